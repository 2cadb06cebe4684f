# The two releases as a player gets them: the Windows zip and the Debian package in dist/,
# read back file by file, checked with Debian's own tools, and the packaged Linux program run
# from an unpacked copy, at the end on a private Xvfb started the way the menu entry starts it.
#   package_test.py DIST_DIR X11_RECEIVER [PackageTest.test_...]
import gzip
import os
import re
import shlex
import struct
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
# Lintian's findings that are kept, with the reason.
ACCEPTED_LINTIAN = {
    # CPack strips with a plain strip, which leaves the compiler's version note in .comment;
    # it costs a few hundred bytes and nothing else.
    "I: wigwag: binary-has-unneeded-section .comment [usr/bin/wigwag]",
}
# desktop-file-validate's hints that are kept: Wigwag belongs both with the games and with
# the utilities, so both main categories are named on purpose.
ACCEPTED_DESKTOP_HINTS = {
    'hint: value "Game;Utility;" for key "Categories" in group "Desktop Entry" contains more '
    'than one main category; application might appear more than once in the application menu',
}


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(wigwag VERSION ([0-9.]+)", f.read()).group(1)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **kwargs)


# --- a small reader of Windows program files ------------------------------------------------

class PeFile:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data,
                                                                               pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        count = struct.unpack_from("<I", data, optional + 108)[0]  # PE32+ layout
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(count)]
        self.sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
                         for i in range(sections)]

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"address {rva:#x} is in no section")

    def c_string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        rva = self.directories[1][0]
        names = []
        while True:
            descriptor = struct.unpack_from("<5I", self.data, self.offset(rva))
            if not any(descriptor):
                return names
            names.append(self.c_string(descriptor[3]))
            rva += 20

    def resource(self, kind):
        # Type, then the first name, then the first language: the bytes of that resource.
        base = self.offset(self.directories[2][0])
        table, wanted = base, kind
        for _ in range(3):
            named, numbered = struct.unpack_from("<HH", self.data, table + 12)
            entries = [struct.unpack_from("<II", self.data, table + 16 + 8 * i)
                       for i in range(named + numbered)]
            if wanted is not None:
                entries = [e for e in entries if e[0] == wanted]
            if not entries:
                return None
            table, wanted = base + (entries[0][1] & 0x7FFFFFFF), None
        rva, size = struct.unpack_from("<II", self.data, table)
        return self.data[self.offset(rva):self.offset(rva) + size]


def version_info(blob):
    """VS_VERSIONINFO: the fixed file and product versions and the strings."""
    def nodes(start, end):
        while start + 6 <= end:
            length, value_length, text = struct.unpack_from("<HHH", blob, start)
            if length == 0:
                return
            key_end = start + 6
            while blob[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = blob[start + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            value = blob[value_at:value_at + value_length * (2 if text else 1)]
            children = list(nodes((value_at + len(value) + 3) & ~3, start + length))
            yield key, value, children
            start = (start + length + 3) & ~3

    [(root, fixed, children)] = list(nodes(0, len(blob)))
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {key: value.decode("utf-16-le").rstrip("\0")
               for name, _, tables in children if name == "StringFileInfo"
               for _, _, entries in tables for key, value, _ in entries}
    return {"root": root, "signature": signature, "file": split(file_ms, file_ls),
            "product": split(product_ms, product_ls), "strings": strings}


def stop(proc):
    proc.kill()
    proc.communicate()


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = project_version()
        cls.arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        cls.zip = os.path.join(DIST, f"wigwag-{cls.version}-windows-x64.zip")
        cls.deb = os.path.join(DIST, f"wigwag_{cls.version}_{cls.arch}.deb")
        cls.temp = tempfile.TemporaryDirectory()
        cls.root = os.path.join(cls.temp.name, "root")
        if os.path.exists(cls.deb):
            subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.program = os.path.join(cls.root, "usr", "bin", "wigwag")
        cls.share = os.path.join(cls.root, "usr", "share")

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    # --- the Windows zip -------------------------------------------------------------------

    def test_zip_files(self):
        with zipfile.ZipFile(self.zip) as z:
            self.assertEqual(sorted(z.namelist()), ["LICENSE.txt", "README.txt", "wigwag.exe"])
            texts = {name: z.read(name) for name in ("README.txt", "LICENSE.txt")}
        for name, text in texts.items():
            self.assertNotIn(b"\r\r", text, name)
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), f"{name}: bare line ends")
            self.assertTrue(text.endswith(b"\r\n"), name)
        with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
            self.assertEqual(texts["LICENSE.txt"], f.read().replace(b"\n", b"\r\n"))
        guide = texts["README.txt"].decode("ascii")
        self.assertIn(f"Wigwag {self.version} for Windows", guide)
        for topic in ("First start", "Choosing keys", "Switching on and off in the game",
                      "Run as administrator", "wigwag.cfg", "Unable to",
                      "wigwag.exe --list-devices"):
            self.assertIn(topic, guide)
        self.assertNotRegex(guide, r"@[A-Z_]+@", "a variable left unreplaced")

    def test_exe_version_and_imports(self):
        with zipfile.ZipFile(self.zip) as z:
            exe = PeFile(z.read("wigwag.exe"))
        self.assertEqual((exe.machine, exe.magic, exe.subsystem), (0x8664, 0x20B, 2))
        # One program file: only Windows' own libraries, no compiler runtime beside it.
        self.assertLessEqual({name.lower() for name in exe.imports()},
                             {"comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
                              "user32.dll", "uxtheme.dll", "winmm.dll", "shell32.dll",
                              "advapi32.dll", "ole32.dll", "dinput8.dll"})
        blob = exe.resource(16)  # RT_VERSION
        self.assertIsNotNone(blob, "no version resource")
        info = version_info(blob)
        numbers = tuple(int(n) for n in self.version.split(".")) + (0, 0, 0)
        self.assertEqual((info["root"], info["signature"]), ("VS_VERSION_INFO", 0xFEEF04BD))
        self.assertEqual(info["file"], numbers[:4])
        self.assertEqual(info["product"], numbers[:4])
        strings = info["strings"]
        for key, value in (("ProductName", "Wigwag"), ("FileDescription", "Wigwag"),
                           ("FileVersion", self.version), ("ProductVersion", self.version),
                           ("OriginalFilename", "wigwag.exe"),
                           ("CompanyName", "The Wigwag developers")):
            self.assertEqual(strings.get(key), value, key)

    # --- the Debian package ----------------------------------------------------------------

    def test_deb_files(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout.splitlines()
        files = {}
        for line in listing:
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", path)
            if not mode.startswith("d"):
                files[path.removeprefix(".")] = mode
        expected = {
            "/usr/bin/wigwag": "-rwxr-xr-x",
            f"/usr/share/applications/{APP_ID}.desktop": "-rw-r--r--",
            f"/usr/share/metainfo/{APP_ID}.metainfo.xml": "-rw-r--r--",
            "/usr/share/man/man1/wigwag.1.gz": "-rw-r--r--",
            "/usr/share/doc/wigwag/copyright": "-rw-r--r--",
            "/usr/share/doc/wigwag/changelog.gz": "-rw-r--r--",
        }
        expected.update({f"/usr/share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png": "-rw-r--r--"
                         for n in ICON_SIZES})
        self.assertEqual(files, expected)
        for n in ICON_SIZES:
            path = os.path.join(self.share, "icons", "hicolor", f"{n}x{n}", "apps", APP_ID + ".png")
            self.assertEqual(png_size(path), (n, n), path)
        self.assertIn("stripped", run(["file", "-L", self.program]).stdout)

    def test_deb_control(self):
        fields = {}
        for line in run(["dpkg-deb", "-f", self.deb]).stdout.splitlines():
            if not line.startswith(" "):
                key, _, value = line.partition(": ")
                fields[key] = value
        for key, value in (("Package", "wigwag"), ("Version", self.version),
                           ("Architecture", self.arch), ("Section", "utils"),
                           ("Priority", "optional"),
                           ("Maintainer", "The Wigwag developers <wigwag@example.org>"),
                           ("Homepage", "https://wigwag.example.org/"),
                           ("Recommends", "fonts-liberation, xdg-utils"),
                           ("Description", "police lights and siren for driving simulators")):
            self.assertEqual(fields.get(key), value, key)
        # Worked out by dpkg-shlibdeps from the libraries the program links.
        depends = dict(re.fullmatch(r"([a-z0-9.+-]+)(?: \((.*)\))?", d.strip()).groups()
                       for d in fields["Depends"].split(","))
        for library in ("libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6network6",
                        "libqt6widgets6", "libx11-6", "libxi6", "libxtst6", "libudev1",
                        "libevdev2"):
            self.assertIn(library, depends)
        self.assertRegex(depends["libqt6widgets6"], r"^>= 6\.")
        self.assertGreaterEqual(int(fields["Installed-Size"]), 100)

    def test_lintian(self):
        result = run(["lintian", "--info", "--pedantic", self.deb])
        findings = {line for line in result.stdout.splitlines() if re.match(r"^[EWIPX]: ", line)}
        self.assertEqual(findings - ACCEPTED_LINTIAN, set(), result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_desktop_entry(self):
        path = os.path.join(self.share, "applications", APP_ID + ".desktop")
        result = run(["desktop-file-validate", path])
        lines = {line.removeprefix(path + ": ") for line in result.stdout.splitlines()}
        self.assertEqual((result.returncode, lines - ACCEPTED_DESKTOP_HINTS), (0, set()),
                         result.stdout)
        with open(path) as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        self.assertEqual(entry["Exec"], "wigwag --config-dir")
        self.assertEqual(entry["Icon"], APP_ID)
        self.assertEqual(entry["Categories"].split(";")[:2], ["Game", "Utility"])

    def test_appstream(self):
        path = os.path.join(self.share, "metainfo", APP_ID + ".metainfo.xml")
        result = run(["appstreamcli", "validate", "--no-net", "--pedantic", "--no-color", path])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^[EWIP]: ", result.stdout)
        with open(path) as f:
            text = f.read()
        self.assertIn(f'<launchable type="desktop-id">{APP_ID}.desktop</launchable>', text)
        self.assertRegex(text, rf'<release version="{re.escape(self.version)}" '
                               r'date="\d{4}-\d\d-\d\d"/>')
        self.assertRegex(text, r"<screenshot type=\"default\">\s*<caption>[^<]+</caption>\s*"
                               r"<image>https://[^<]+\.png</image>")

    def test_manual_and_doc_files(self):
        page = os.path.join(self.share, "man", "man1", "wigwag.1.gz")
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        result = run(["man", "--warnings", "-l", page], env=env)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertRegex(result.stdout, r"^WIGWAG\(1\)")
        for text in ("--config-dir", "~/.config/wigwag/", "wigwag.cfg", "DISPLAY",
                     f"wigwag {self.version}"):
            self.assertIn(text, result.stdout)
        doc = os.path.join(self.share, "doc", "wigwag")
        for compressed in (page, os.path.join(doc, "changelog.gz")):
            with open(compressed, "rb") as f:
                head = f.read(10)
            # gzip -9n: best compression, no name, no time stamp.
            self.assertEqual((head[:3], head[3] & 0x08, head[4:8], head[8]),
                             (b"\x1f\x8b\x08", 0, b"\0\0\0\0", 2), compressed)
        with gzip.open(os.path.join(doc, "changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith(f"wigwag ({self.version}) "))
        with open(os.path.join(doc, "copyright")) as f:
            copyright_file = f.read()
        with open(os.path.join(SOURCE, "LICENSE")) as f:
            license_text = f.read()
        header, files = copyright_file.split("\n\n", 1)
        self.assertTrue(header.startswith("Format: https://www.debian.org/doc/packaging-manuals/"
                                          "copyright-format/1.0/\n"))
        self.assertRegex(files, r"^Files: \*\nCopyright: \d{4} The Wigwag developers\n"
                                r"License: Expat\n")
        terms = files.split("License: Expat\n", 1)[1]
        unfolded = "\n".join("" if line == " ." else line[1:]
                             for line in terms.rstrip("\n").split("\n"))
        self.assertTrue(license_text.rstrip("\n").endswith(unfolded), "copyright's terms")

    # --- the forge's workflows -------------------------------------------------------------

    def test_workflows(self):
        # Valid YAML in the project's style, and every step that runs something runs one of
        # the project's own scripts, so that the forge runs what runs here.
        folder = os.path.join(SOURCE, ".github", "workflows")
        paths = [os.path.join(folder, name) for name in ("ci.yml", "release.yml")]
        result = run(["yamllint", "--strict", "-c", os.path.join(SOURCE, ".yamllint"), *paths])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        scripts = {}
        for path in paths:
            with open(path) as f:
                text = f.read()
            commands = re.findall(r"(?m)^\s*(?:- )?run:\s*(.*)$", text)
            self.assertTrue(commands, path)
            for command in commands:
                self.assertRegex(command, r"^bash tools/[a-z-]+\.sh$", path)
                self.assertTrue(os.path.exists(os.path.join(SOURCE, command.split()[1])), command)
            scripts[os.path.basename(path)] = commands
        self.assertEqual(scripts, {"ci.yml": ["bash tools/test-all.sh"],
                                   "release.yml": ["bash tools/package.sh"]})

    # --- the packaged program --------------------------------------------------------------

    def test_command_line(self):
        base = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        with tempfile.TemporaryDirectory() as home:
            blocked = os.path.join(home, "a-file")
            open(blocked, "w").close()
            UNKNOWN = r"\Awigwag: unknown option '{}'[^\n]*\n\Z"
            cases = [  # arguments, extra environment, status, standard output, standard error
                (["--version"], {}, 0, rf"\Awigwag {re.escape(self.version)}\n\Z", r"\A\Z"),
                (["-v"], {}, 0, rf"\Awigwag {re.escape(self.version)}\n\Z", r"\A\Z"),
                (["--help"], {}, 0, r"\AUsage: wigwag \[options\]\n(.*\n)*.*wigwag\.cfg"
                                    r"(.*\n)*.*X display", r"\A\Z"),
                (["-h", "--bogus"], {}, 2, r"\A\Z", UNKNOWN.format("--bogus")),
                (["--bogus"], {}, 2, r"\A\Z", UNKNOWN.format("--bogus")),
                (["-x"], {}, 2, r"\A\Z", UNKNOWN.format("-x")),
                (["level1"], {}, 2, r"\A\Z", r"\Awigwag: unexpected argument 'level1'[^\n]*\n\Z"),
                ([], {}, 1, r"\A\Z", r"\Awigwag: [^\n]*display[^\n]*\n\Z"),
                ([], {"DISPLAY": ":4097"}, 1, r"\A\Z", r"\Awigwag: [^\n]*display[^\n]*\n\Z"),
                (["--config-dir"], {"XDG_CONFIG_HOME": blocked}, 1, r"\A\Z",
                 r"\Awigwag: cannot use the settings folder [^\n]*a-file/wigwag\n\Z"),
            ]
            for args, extra, status, out, err in cases:
                with self.subTest(args=args, env=extra):
                    env = dict(base, HOME=home, **extra)
                    result = run([self.program, *args], cwd=home, env=env)
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertRegex(result.stdout, out)
                    self.assertRegex(result.stderr, err)
            self.assertEqual(os.listdir(home), ["a-file"], "a file left behind")

    def test_menu_entry(self):
        # As a desktop starts the menu entry: its Exec line, in the home folder, with the
        # packaged program first on the PATH; XDG_CONFIG_HOME names a folder not made yet.
        with open(os.path.join(self.share, "applications", APP_ID + ".desktop")) as f:
            exec_line = re.search(r"(?m)^Exec=(.*)$", f.read()).group(1)
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, xvfb)
        with tempfile.TemporaryDirectory() as temp:
            home, config = os.path.join(temp, "home"), os.path.join(temp, "config")
            runtime = os.path.join(temp, "runtime")
            os.mkdir(home)
            os.mkdir(runtime, 0o700)
            env = dict(os.environ, DISPLAY=":" + xvfb.stdout.readline().strip(), HOME=home,
                       XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime,
                       PATH=os.path.dirname(self.program) + os.pathsep + os.environ["PATH"])
            env.pop("WAYLAND_DISPLAY", None)

            def call(*command):
                return subprocess.run(command, env=env, check=True, capture_output=True,
                                      text=True, timeout=20).stdout.split()

            def start_and_close(expect_box):
                proc = subprocess.Popen(shlex.split(exec_line), cwd=home, env=env, text=True,
                                        stderr=subprocess.PIPE)
                self.addCleanup(stop, proc)
                if expect_box:  # the first start finds no settings file and says so
                    box = call("xdotool", "search", "--sync", "--onlyvisible", "--name",
                               "^Unable to Continue$")
                    call(RECEIVER, "close", box[0])
                window = call("xdotool", "search", "--sync", "--onlyvisible", "--pid",
                              str(proc.pid), "--name", "^Wigwag v")
                boxes = subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                        "^Unable to Continue$"], env=env, capture_output=True)
                self.assertEqual(boxes.returncode, 1, "a message box is open")
                call(RECEIVER, "close", window[0])
                _, err = proc.communicate(timeout=20)
                self.assertEqual((proc.returncode, err), (0, ""))

            start_and_close(expect_box=True)
            with open(os.path.join(config, "wigwag", "wigwag.cfg"), "rb") as f:
                self.assertEqual(f.read(), DEFAULT_SETTINGS)
            self.assertEqual(os.listdir(home), [], "settings written to the home folder")
            self.assertEqual(os.stat(os.path.join(config, "wigwag")).st_mode & 0o777, 0o700)
            # The second start reads them back from there: no message box.
            start_and_close(expect_box=False)
            self.assertEqual(sorted(os.listdir(os.path.join(config, "wigwag"))), ["wigwag.cfg"])


if __name__ == "__main__":
    DIST, RECEIVER = sys.argv[1:3]
    program = unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]], exit=False)
    result = program.result
    failed = len(result.failures) + len(result.errors)
    print(f"package: {result.testsRun - failed} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() else 1)
