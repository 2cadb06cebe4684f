# The Windows zip and the Debian package in dist/ as a player gets them, judged with Debian's
# tools.  Usage: package_test.py DIST_DIR X11_RECEIVER [PackageTest.test_...]
import gzip
import os
import re
import shlex
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
APP_ID = "org.example.wigwag"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
# What the program writes when it closes after a first start with nothing chosen.
DEFAULT_SETTINGS = (b"0|0|0|0|31|26|\r\n---------------\r\nWigwag Config File.\r\n"
                    b"Created By Vantor\r\n")
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
        for name, text, patterns in [  # each text, and what it must match
            ("README.txt", guide, [
                rf"\AWigwag {version} for Windows", r"\A([^\r\n]*\r\n)+\Z", "First start",
                "Choosing keys", "Switching on and off in the game", "Run as administrator",
                "wigwag.cfg", "Unable to", "wigwag.exe --list-devices",
                r"(?s)\A(?!.*@[A-Z_]+@)"]),  # no variable left unreplaced
            ("wigwag.exe", dump, [r"file format pei-x86-64\n", r"Subsystem\s+00000002\s"]),
            # windres decompiles the version resource, checking its signature on the way.
            ("version", run("x86_64-w64-mingw32-windres", "-i", exe, "-O", "rc").stdout, [
                rf"(?m)^ FILEVERSION {numbers}$", rf"(?m)^ PRODUCTVERSION {numbers}$", *[
                    rf'(?m)^\s*VALUE "{key}", "{value}"$' for key, value in dict(
                        ProductName="Wigwag", FileDescription="Wigwag", FileVersion=version,
                        ProductVersion=version, OriginalFilename=r"wigwag\.exe",
                        CompanyName="The Wigwag developers").items()]]),
            ("control", run("dpkg-deb", "-f", self.deb).stdout, [
                *[rf"(?m)^{key}: {value}$" for key, value in (
                    ("Package", "wigwag"), ("Version", version), ("Architecture", self.arch),
                    ("Section", "utils"), ("Priority", "optional"),
                    ("Maintainer", "The Wigwag developers <wigwag@example.org>"),
                    ("Homepage", r"https://wigwag\.example\.org/"),
                    ("Recommends", "fonts-liberation, xdg-utils"), ("Installed-Size", r"\d{3,}"),
                    ("Description", "police lights and siren for driving simulators"))],
                # by dpkg-shlibdeps, with versions (lintian names any library left out)
                r"(?m)^Depends: (.*, )?libqt6widgets6 \(>= 6\."]),
            ("desktop entry", read(self.desktop), [
                r"(?m)^Exec=wigwag --config-dir$", rf"(?m)^Icon={APP_ID}$",
                r"(?m)^Categories=Game;Utility;"]),
            ("metainfo", read(self.metainfo), [
                rf'<launchable type="desktop-id">{APP_ID}\.desktop</launchable>',
                r'<screenshot type="default">\s*<caption>[^<]+</caption>\s*'
                r'<image>https://[^<]+\.png</image>',
                rf'<release version="{version}" date="\d{{4}}-\d\d-\d\d"/>']),
            ("manual", run("man", "-l", self.manual, env=dict(os.environ, MANWIDTH="80")).stdout,
             [r"\AWIGWAG\(1\)", "--config-dir", "~/.config/wigwag/", "wigwag.cfg", "DISPLAY",
              f"wigwag {version}"]),
            # gzip -9n: best compression, no name, no time stamp (these come before "max")
            ("gzip", run("file", "-b", self.manual, f"{doc}/changelog.gz").stdout, [
                r"\A(gzip compressed data, max compression, from Unix, [^\n]*\n){2}\Z"]),
            ("changelog", read(f"{doc}/changelog.gz", "rt", gzip.open), [
                rf"\Awigwag \({version}\) "]),
            # Debian's machine-readable form, with LICENSE's terms folded into it.
            ("copyright", read(f"{doc}/copyright"), [
                r"\AFormat: https://www\.debian\.org/doc/packaging-manuals/copyright-format/1\.0/\n"
                r"(.+\n)+\nFiles: \*\nCopyright: \d{4} The Wigwag developers\nLicense: Expat\n",
                re.escape(" " + terms.replace("\n\n", "\n.\n").replace("\n", "\n ")) + r"\n\Z"]),
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

    def test_workflows(self):
        # Each step runs one of the project's own scripts, so the forge runs what runs here.
        paths = [f"{SOURCE}/.github/workflows/{name}.yml" for name in ("ci", "release")]
        result = run("yamllint", "--strict", "-c", f"{SOURCE}/.yamllint", *paths)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([re.findall(r"(?m)^\s*(?:- )?run:\s*(.*)$", read(path)) for path in paths],
                         [["bash tools/test-all.sh"], ["bash tools/package.sh"]])

    def test_command_line(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        with tempfile.TemporaryDirectory() as home:
            open(f"{home}/a-file", "w").close()
            env.update(HOME=home, XDG_CONFIG_HOME=f"{home}/a-file")
            unknown = r"\Awigwag: unknown option '{}'[^\n]*\n\Z"
            version = rf"\Awigwag {re.escape(self.version)}\n\Z"
            for args, status, out, err in [  # arguments, status, standard output and error
                    (["--version"], 0, version, ""), (["-v"], 0, version, ""),
                    (["--help"], 0, r"\AUsage: wigwag \[options\]\n(.*\n)*.*wigwag\.cfg"
                                    r"(.*\n)*.*X display", ""),
                    (["-h", "--bogus"], 2, "", unknown.format("--bogus")),
                    (["-x"], 2, "", unknown.format("-x")),
                    (["level1"], 2, "", r"\Awigwag: unexpected argument 'level1'[^\n]*\n\Z"),
                    (["--config-dir"], 1, "",
                     r"\Awigwag: cannot use the settings folder [^\n]*a-file/wigwag\n\Z")]:
                with self.subTest(args=args):
                    result = run(f"{self.root}/usr/bin/wigwag", *args, cwd=home, env=env)
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertRegex(result.stdout, out or r"\A\Z")
                    self.assertRegex(result.stderr, err or r"\A\Z")
            self.assertEqual(os.listdir(home), ["a-file"], "a file left behind")

    def test_menu_entry(self):
        # As a desktop starts the menu entry; XDG_CONFIG_HOME names a folder not made yet.
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(xvfb.communicate)
        self.addCleanup(xvfb.kill)
        home, config, runtime = (f"{self.temp.name}/{name}" for name in ("home", "cfg", "run"))
        os.mkdir(home)
        os.mkdir(runtime, 0o700)
        env = {k: v for k, v in os.environ.items() if k != "WAYLAND_DISPLAY"}
        env.update(DISPLAY=":" + xvfb.stdout.readline().strip(), HOME=home, XDG_CONFIG_HOME=config,
                   XDG_RUNTIME_DIR=runtime, PATH=f"{self.root}/usr/bin:{os.environ['PATH']}")

        def x(*command):  # xdotool or the receiver on this display
            return run(*command, env=env).stdout.split()

        box = ["--onlyvisible", "--name", "^Unable to Continue$"]
        for first in (True, False):  # the second start reads the settings back: no box
            proc = subprocess.Popen(shlex.split(re.search(r"(?m)^Exec=(.*)$", read(
                self.desktop)).group(1)), cwd=home, env=env, text=True, stderr=subprocess.PIPE)
            self.addCleanup(proc.communicate)
            self.addCleanup(proc.kill)
            if first:  # the first start finds no settings file and says so
                x(RECEIVER, "close", x("xdotool", "search", "--sync", *box)[0])
            window = x("xdotool", "search", "--sync", "--onlyvisible", "--name", "^Wigwag v")
            self.assertEqual(x("xdotool", "search", *box), [], "a message box is open")
            x(RECEIVER, "close", window[0])
            _, err = proc.communicate(timeout=20)
            self.assertEqual((proc.returncode, err), (0, ""))
            self.assertEqual(read(f"{config}/wigwag/wigwag.cfg", "rb"), DEFAULT_SETTINGS)
            self.assertEqual(os.listdir(f"{config}/wigwag"), ["wigwag.cfg"])
            self.assertEqual(os.stat(f"{config}/wigwag").st_mode & 0o777, 0o700)
            self.assertEqual(os.listdir(home), [], "settings written to the home folder")


if __name__ == "__main__":
    DIST, RECEIVER = sys.argv[1:3]
    result = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"package: {result.testsRun - failed} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() else 1)
