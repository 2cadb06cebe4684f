# The Windows zip and the Debian package in dist/ as a player gets them, judged with Debian's
# tools; what the program does is the end-to-end tests'.  Usage: package_test.py DIST_DIR
# [PackageTest.test_...]
import gzip
import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
APP_ID = "org.example.wigwag"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
ACCEPTED = {  # the lint tools' findings that are kept, with the reason
    # CPack strips with a plain strip, which leaves the compiler's version note in .comment.
    "I: wigwag: binary-has-unneeded-section .comment [usr/bin/wigwag]",
    # Wigwag belongs both with the games and with the utilities, on purpose.
    'hint: value "Game;Utility;" for key "Categories" in group "Desktop Entry" contains more '
    'than one main category; application might appear more than once in the application menu',
}


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **kwargs)


def read(path, mode="r", opener=open):
    with opener(path, mode) as f:
        return f.read()


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = re.search(r"project\(wigwag VERSION ([0-9.]+)",
                                read(f"{SOURCE}/CMakeLists.txt")).group(1)
        cls.arch = run("dpkg", "--print-architecture").stdout.strip()
        cls.zip = f"{DIST}/wigwag-{cls.version}-windows-x64.zip"
        cls.deb = f"{DIST}/wigwag_{cls.version}_{cls.arch}.deb"
        cls.temp = tempfile.TemporaryDirectory()
        cls.root = cls.temp.name + "/root"  # the .deb unpacked
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.desktop = f"{cls.root}/usr/share/applications/{APP_ID}.desktop"
        cls.metainfo = f"{cls.root}/usr/share/metainfo/{APP_ID}.metainfo.xml"
        cls.manual = f"{cls.root}/usr/share/man/man1/wigwag.1.gz"

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_contents(self):
        with zipfile.ZipFile(self.zip) as z:
            self.assertEqual(sorted(z.namelist()), ["LICENSE.txt", "README.txt", "wigwag.exe"])
            guide, licence = z.read("README.txt").decode(), z.read("LICENSE.txt").decode()
            exe = z.extract("wigwag.exe", self.temp.name)
        license_text = read(f"{SOURCE}/LICENSE")
        self.assertEqual(licence, license_text.replace("\n", "\r\n"))
        listing = {f[-1]: f[0] for f in map(str.split, run("dpkg-deb", "-c", self.deb).stdout
                                            .splitlines()) if f[0][0] != "d"}
        self.assertEqual(listing, {"./usr/bin/wigwag": "-rwxr-xr-x", **{
            f"./usr/share/{path}": "-rw-r--r--" for path in (
                f"applications/{APP_ID}.desktop", f"metainfo/{APP_ID}.metainfo.xml",
                "man/man1/wigwag.1.gz", "doc/wigwag/copyright", "doc/wigwag/changelog.gz",
                *[f"icons/hicolor/{n}x{n}/apps/{APP_ID}.png" for n in ICON_SIZES])}})
        dump = run("x86_64-w64-mingw32-objdump", "-p", exe).stdout
        # One program file: only Windows' own libraries, no compiler runtime beside it.
        self.assertLessEqual({name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)},
                             {"comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
                              "user32.dll", "uxtheme.dll", "winmm.dll", "shell32.dll",
                              "advapi32.dll", "ole32.dll", "dinput8.dll"})
        version = re.escape(self.version)
        numbers = ", ".join((self.version.split(".") + ["0"] * 4)[:4])
        terms = re.search(r"Copyright \(c\) [^\n]+\n\n(.+[^\n])", license_text, re.S).group(1)
        doc = f"{self.root}/usr/share/doc/wigwag"
        # Each text, and what it must match; lintian, desktop-file-validate and appstreamcli
        # judge the rest of the fields and formats.
        for name, text, patterns in [
            ("README.txt", guide, [rf"\AWigwag {version} for Windows", r"\A([^\r\n]*\r\n)+\Z",
                                   r"(?s)\A(?!.*@[A-Z_]+@)"]),  # no variable left unreplaced
            ("wigwag.exe", dump, [r"file format pei-x86-64\n", r"Subsystem\s+00000002\s"]),
            # windres decompiles the version resource, checking its signature on the way.
            ("version", run("x86_64-w64-mingw32-windres", "-i", exe, "-O", "rc").stdout, [
                rf"(?m)^ FILEVERSION {numbers}$", rf"(?m)^ PRODUCTVERSION {numbers}$",
                rf'(?m)^\s*VALUE "FileVersion", "{version}"$']),
            ("control", run("dpkg-deb", "-f", self.deb).stdout, [
                rf"(?m)^Version: {version}$", rf"(?m)^Architecture: {self.arch}$",
                # by dpkg-shlibdeps, with versions (lintian names any library left out)
                r"(?m)^Depends: (.*, )?libqt6widgets6 \(>= 6\."]),
            ("desktop entry", read(self.desktop), [
                r"(?m)^Exec=wigwag --config-dir$", rf"(?m)^Icon={APP_ID}$"]),
            ("metainfo", read(self.metainfo), [
                rf'<launchable type="desktop-id">{APP_ID}\.desktop</launchable>',
                rf'<release version="{version}" date="\d{{4}}-\d\d-\d\d"/>']),
            ("manual", run("man", "-l", self.manual, env=dict(os.environ, MANWIDTH="80")).stdout,
             [r"\AWIGWAG\(1\)", f"wigwag {version}"]),
            ("changelog", read(f"{doc}/changelog.gz", "rt", gzip.open), [
                rf"\Awigwag \({version}\) "]),
            ("copyright", read(f"{doc}/copyright"), [  # LICENSE's terms folded in
                re.escape(" " + terms.replace("\n\n", "\n.\n").replace("\n", "\n ")) + r"\n\Z"]),
            ("program", run(f"{self.root}/usr/bin/wigwag", "--version").stdout,
             [rf"\Awigwag {version}\n\Z"]),
        ]:
            for pattern in patterns:
                with self.subTest(name, pattern=pattern[:60]):
                    self.assertRegex(text, pattern)

    def test_lint_tools(self):
        # Lintian also judges owners, modes, stripping, icon sizes, compression and Depends.
        for command, stream, finding in (
                (["lintian", "--display-info", "--info", "--pedantic", self.deb], "stdout",
                 r"[EWIPX]: "),
                (["desktop-file-validate", self.desktop], "stdout", ""),
                (["appstreamcli", "validate", "--no-net", "--pedantic", "--no-color",
                  self.metainfo], "stdout", r"[EWIP]: "),
                (["man", "--warnings", "-l", self.manual], "stderr", "")):
            with self.subTest(command[0]):
                result = run(*command, env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
                verdicts = getattr(result, stream).replace(self.desktop + ": ", "")
                findings = {line for line in verdicts.splitlines() if re.match(finding, line)}
                self.assertEqual((result.returncode, findings - ACCEPTED), (0, set()), verdicts)


if __name__ == "__main__":
    DIST = sys.argv[1]
    result = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[2:]], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"package: {result.testsRun - failed} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() else 1)
