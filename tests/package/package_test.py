#!/usr/bin/env python3
"""The .deb as `make deb` packs it: CPack makes it from a build, dpkg-deb unpacks it, and its
files are checked the way a distribution's tools and a user's desktop read them (the desktop
entry and metainfo validators, man's formatter, bash's completion, the programs themselves).
`cmake --install` with DESTDIR and a prefix must put the same files in place.

Exit status 77 (skipped) when a tool it needs is missing; `make test` installs them."""
import argparse
import glob
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
ARGS = None


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def files_below(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def expected_files(app_id):
    share = ["applications/%s.desktop" % app_id, "metainfo/%s.metainfo.xml" % app_id,
             "icons/hicolor/scalable/apps/%s.svg" % app_id,
             "man/man1/fernapp.1.gz", "man/man1/fernset.1.gz",
             "bash-completion/completions/fernset"]
    share += ["icons/hicolor/%dx%d/apps/%s.png" % (s, s, app_id) for s in ICON_SIZES]
    return {"bin/fernapp", "bin/fernset"} | {"share/" + f for f in share}


def png_size_and_ink(data):
    """Width, height and the share of pixels that are not fully transparent (8-bit RGBA PNG)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", body[:10])
            assert (depth, color) == (8, 6), "not 8-bit RGBA: depth %d, colour type %d" % (depth, color)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, previous, inked = zlib.decompress(idat), width * 4, bytearray(width * 4), 0
    assert len(raw) == (stride + 1) * height, "pixel data of the wrong length"
    for row in range(height):
        kind, line = raw[row * (stride + 1)], bytearray(raw[row * (stride + 1) + 1:(row + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up, up_left = previous[i], previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else up_left)) & 0xFF
        inked += sum(1 for i in range(3, stride, 4) if line[i])
        previous = line
    return width, height, inked / (width * height)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="fern-package-")
        made = run([ARGS.cpack, "--config", os.path.join(ARGS.build, "CPackConfig.cmake"),
                    "-G", "DEB", "-B", os.path.join(cls.tmp, "out")])
        if made.returncode != 0:
            shutil.rmtree(cls.tmp)
            raise AssertionError("cpack failed:\n" + made.stdout + made.stderr)
        debs = glob.glob(os.path.join(cls.tmp, "out", "*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        cls.root = os.path.join(cls.tmp, "root")
        unpacked = run(["dpkg-deb", "-x", cls.deb, cls.root])
        assert unpacked.returncode == 0, unpacked.stderr
        cls.usr = os.path.join(cls.root, "usr")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def path(self, relative):
        return os.path.join(self.usr, relative)

    def test_files_and_modes(self):
        self.assertEqual(files_below(self.root), {"usr/" + f for f in expected_files(ARGS.app_id)})
        for relative in expected_files(ARGS.app_id):
            mode = os.stat(self.path(relative)).st_mode & 0o7777
            self.assertEqual(mode, 0o755 if relative.startswith("bin/") else 0o644, relative)

    def test_control(self):
        fields = run(["dpkg-deb", "-f", self.deb, "Package", "Version", "Depends", "Maintainer",
                      "Description", "Homepage"]).stdout
        control = {}
        for line in fields.splitlines():
            if line and not line[0].isspace():
                key, _, value = line.partition(":")
                control[key] = value.strip()
        self.assertEqual(control.get("Package"), "ferncastle")
        self.assertEqual(control.get("Version"), ARGS.version)
        self.assertTrue(control.get("Maintainer"))
        self.assertTrue(control.get("Homepage", "").startswith("https://"))
        # A synopsis line, then the extended description, each line within 80 columns.
        description = fields[fields.index("Description:"):].split("\n")
        self.assertEqual(description[0], "Description: " + "back up and restore USB flash drives")
        extended = [line for line in description[1:] if line.startswith(" ")]
        self.assertGreater(len(extended), 1)
        self.assertNotIn("back up and restore USB flash drives", extended[0])
        self.assertLessEqual(max(len(line) for line in extended), 80)
        # Depends comes from the libraries the programs link, each with its minimum version.
        depends = {d.strip().split(" ")[0]: d.strip() for d in control.get("Depends", "").split(",")}
        for library in ("libc6", "libstdc++6", "zlib1g", "libqt6core6", "libqt6gui6",
                        "libqt6widgets6", "libqt6dbus6", "libqt6svg6"):
            self.assertIn(library, depends, control.get("Depends"))
            self.assertIn("(>= ", depends[library])

    def test_programs_are_stripped_and_tell_their_version(self):
        # No display: --version is answered before the window system is looked for.
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        for program in ("fernapp", "fernset"):
            binary = self.path("bin/" + program)
            sections = run(["readelf", "-S", "--wide", binary]).stdout
            self.assertIn(".text", sections)
            self.assertFalse(".symtab" in sections, program + " is not stripped")
            self.assertFalse(".debug_info" in sections, program + " keeps its debug information")
            answer = run([binary, "--version"], env=env, timeout=30)
            self.assertEqual((answer.returncode, answer.stdout, answer.stderr),
                             (0, "%s %s\n" % (program, ARGS.version), ""))
            # A version that cannot be written is an error, not a silent success.
            with open("/dev/full", "w") as full:
                failed = subprocess.run([binary, "--version"], stdout=full, env=env, timeout=30)
            self.assertNotEqual(failed.returncode, 0, program)
        usage = run([self.path("bin/fernset"), "--help"]).stdout
        self.assertIn("--version", usage)

    def test_desktop_entry(self):
        entry = self.path("share/applications/%s.desktop" % ARGS.app_id)
        checked = run(["desktop-file-validate", entry])
        self.assertEqual((checked.returncode, checked.stdout + checked.stderr), (0, ""))
        with open(entry, encoding="utf-8") as f:
            keys = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        self.assertEqual(keys["Exec"].split()[0], "fernapp")
        self.assertEqual(keys["Icon"], ARGS.app_id)
        self.assertIn("backup", keys["Keywords"].split(";"))
        self.assertIn("Utility", keys["Categories"].split(";"))

    def test_metainfo(self):
        metainfo = self.path("share/metainfo/%s.metainfo.xml" % ARGS.app_id)
        checked = run(["appstreamcli", "validate", "--no-net", "--no-color", metainfo])
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertNotRegex(checked.stdout, r"(?m)^[EW]:", checked.stdout)
        component = ET.parse(metainfo).getroot()
        self.assertEqual(component.findtext("id"), ARGS.app_id)
        launchable = component.findtext("launchable")
        self.assertTrue(os.path.isfile(self.path("share/applications/" + launchable)), launchable)
        self.assertEqual(component.findtext("screenshots/screenshot/image"), ARGS.screenshot)
        self.assertTrue(ARGS.screenshot.startswith("https://"))
        self.assertEqual([r.get("version") for r in component.findall("releases/release")],
                         [ARGS.version])
        for binary in component.findall("provides/binary"):
            self.assertTrue(os.path.isfile(self.path("bin/" + binary.text)), binary.text)

    def test_icons(self):
        svg = ET.parse(self.path("share/icons/hicolor/scalable/apps/%s.svg" % ARGS.app_id)).getroot()
        self.assertEqual(svg.tag, "{http://www.w3.org/2000/svg}svg")
        for size in ICON_SIZES:
            relative = "share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, ARGS.app_id)
            with open(self.path(relative), "rb") as png:
                width, height, ink = png_size_and_ink(png.read())
            self.assertEqual((width, height), (size, size), relative)
            self.assertGreater(ink, 0.4, relative + " is (nearly) blank")

    def test_man_pages(self):
        for program in ("fernapp", "fernset"):
            page = self.path("share/man/man1/%s.1.gz" % program)
            with open(page, "rb") as f:
                self.assertEqual(f.read(8)[4:8], b"\0\0\0\0", "gzip keeps a time stamp")
            with gzip.open(page, "rt", encoding="utf-8") as f:
                text = f.read()
            self.assertIn('.TH %s 1 ' % program.upper(), text)
            self.assertIn('"Ferncastle %s"' % ARGS.version, text)
            self.assertIn(r"\-\-version", text)
            formatted = run(["groff", "-man", "-Tutf8", "-ww", "-P-cbou"], input=text)
            self.assertEqual((formatted.returncode, formatted.stderr), (0, ""), program)
            if program == "fernapp":
                self.assertIn("fernapp --autostart on\n", formatted.stdout)
                self.assertIn("fernapp --autostart off\n", formatted.stdout)
            else:
                for command in ("backup", "list", "restore", "extract", "verify"):
                    self.assertIn(".B fernset " + command, text)

    def test_bash_completion(self):
        sets = os.path.join(self.tmp, "sets")
        os.makedirs(os.path.join(sets, "older"))
        for name in ("STICK-1.fcf", "STICK-2.FCI", "notes.txt"):
            open(os.path.join(sets, name), "w").close()
        script = self.path("share/bash-completion/completions/fernset")

        def complete(*words):
            # Completes the last of the words, as bash does on Tab.
            line = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _fernset; '
                    'printf "%s\\n" "${COMPREPLY[@]}"')
            done = run(["bash", "--norc", "-c", line, "bash", script] + list(words), cwd=self.tmp)
            self.assertEqual(done.returncode, 0, done.stderr)
            return sorted(r for r in done.stdout.splitlines() if r)

        self.assertEqual(complete("fernset", "li"), ["list"])
        self.assertEqual(complete("fernset", "--v"), ["--version"])
        self.assertEqual(complete("fernset", "list", "sets/"),
                         ["sets/STICK-1.fcf", "sets/STICK-2.FCI", "sets/older"])
        self.assertEqual(complete("fernset", "restore", "sets/STICK-1.fcf", "sets/"), ["sets/older"])
        self.assertEqual(complete("fernset", "backup", "--l"), ["--label", "--letter"])
        self.assertEqual(complete("fernset", "backup", "--label", "s"), [])
        self.assertEqual(complete("fernset", "extract", "sets/STICK-1.fcf", "--to", "sets/"),
                         ["sets/older"])

    def test_install_puts_the_same_files_below_a_prefix(self):
        destdir = os.path.join(self.tmp, "destdir")
        env = dict(os.environ, DESTDIR=destdir)
        installed = run([ARGS.cmake, "--install", ARGS.build, "--prefix", "/opt/fern"], env=env)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.assertEqual(files_below(destdir), {"opt/fern/" + f for f in expected_files(ARGS.app_id)})


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--build", "--version", "--app-id", "--screenshot"):
        parser.add_argument(option, required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    ARGS, rest = parser.parse_known_args()
    tools = [ARGS.cmake, ARGS.cpack, "dpkg-deb", "dpkg-shlibdeps", "file", "appstreamcli",
             "desktop-file-validate", "groff", "readelf", "bash"]
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("SKIP: not installed: %s (make test installs them)" % " ".join(missing))
        return 77
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
