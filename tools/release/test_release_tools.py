#!/usr/bin/env python3
"""Tests of the release tools: entry-name rules, name-set rules, the archive
checks of the manifest generator, a fixture release round trip, and the
licence-notice check of the release script.

    python3 -m unittest test_release_tools     (from this folder)

The full demo release (64 MiB) is not built here; its plan of names and sizes
is checked instead, which is cheap.
"""

import ast
import hashlib
import io
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib
from contextlib import redirect_stderr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import check_notices  # noqa: E402
import make_manifest  # noqa: E402
import make_release  # noqa: E402
import release_rules as rules  # noqa: E402

CYRILLIC = "Прочти меня.txt".encode("utf-8")


class EntryNameRules(unittest.TestCase):
    VALID = [
        b"a", b".hidden", b"a.b.c", b"licenses/x/y.txt", b"Pelorin.exe",
        b"x" * 150 + b"/" + b"y" * 49,  # 200 bytes, two components of at most 150
        b"a" * 150,
        b"name with spaces.txt", b"a b/c d", b"~tilde/$dollar/#hash",
        b"\xc2\xa0",  # U+00A0 is the first code point after the C1 controls
        CYRILLIC, "licenses/日本語/emoji😀.txt".encode("utf-8"),
        b"\xef\xbf\xbd", b"\xf4\x8f\xbf\xbf",  # U+FFFD, U+10FFFF
        # Names that only look like device names.
        b"com10", b"aux1", b"nul1", b"conx", b"lpt", b"console.log", b"CLOCK", b"prn_x.txt",
        b"x.con", b"a/con_b",
    ]
    INVALID = [
        b"", b"a" * 201, b"a" * 151, b"x" * 151 + b"/y",
        b"/a", b"a/", b"/", b"a//b", b"a/./b", b"a/../b", b".", b"..", b"./a",
        b"a./b", b"a /b", b"a.", b"a ", b"dir/file.",
        b"a\\b", b"a:b", b"a*b", b"a?b", b'a"b', b"a<b", b"a>b", b"a|b",
        # Device names, in any case, with any extension, in any component.
        b"CON", b"con.txt", b"Con.tar.gz", b"x/NUL/y", b"com1.dll", b"COM0", b"lpt9.x",
        b"clock$", b"CONIN$", b"conout$.log", b"aux", b"PRN.json", b"Lpt5", b"licenses/nul.txt",
    ]
    BAD_BYTES = [
        (b"a\x00b", "NUL"), (b"a\tb", "TAB"), (b"a\x1fb", "C0 control"), (b"a\x7fb", "DEL"),
        (b"a\xc2\x85b", "U+0085, a C1 control"), (b"\xc2\x9f", "U+009F"),
        (b"\xc0\xaf", "overlong '/'"), (b"\xc1\xbf", "overlong, lead C1"),
        (b"\xe0\x80\xaf", "3-byte overlong"), (b"\xf0\x80\x80\xaf", "4-byte overlong"),
        (b"\xed\xa0\x80", "surrogate U+D800"), (b"\xed\xbf\xbf", "surrogate U+DFFF"),
        (b"\xf4\x90\x80\x80", "above U+10FFFF"), (b"\xf5\x80\x80\x80", "lead byte F5"),
        (b"\xff", "byte FF"), (b"\x80", "lone continuation byte"), (b"a\xbfb", "stray continuation"),
        (b"ab\xc3", "ends in a lead byte"), (b"ab\xe2\x82", "cut 3-byte sequence"),
        (b"\xc3\x28", "lead byte followed by ASCII"), (b"\xe2\x28\xa1", "bad second byte"),
    ]

    def test_valid_names(self):
        for name in self.VALID:
            with self.subTest(name=name):
                self.assertIsNone(rules.entry_name_problem(name))
                self.assertTrue(rules.is_valid_entry_name(name))

    def test_invalid_names(self):
        for name in self.INVALID:
            with self.subTest(name=name):
                self.assertFalse(rules.is_valid_entry_name(name))

    def test_invalid_byte_sequences(self):
        for name, why in self.BAD_BYTES:
            with self.subTest(why=why):
                self.assertFalse(rules.is_valid_entry_name(name))

    def test_device_names_are_refused_for_every_digit_and_case(self):
        for stem in (b"com", b"lpt", b"COM", b"Lpt"):
            for digit in b"0123456789":
                name = stem + bytes([digit])
                with self.subTest(name=name):
                    self.assertFalse(rules.is_valid_entry_name(name))
                    self.assertFalse(rules.is_valid_entry_name(b"dir/" + name + b".txt"))
                    self.assertTrue(rules.is_valid_entry_name(name + b"0"))

    def test_ascii_lower_leaves_non_ascii_bytes_alone(self):
        self.assertEqual(rules.ascii_lower(b"AbC/\xd0\x9f\xc3\x80Z"), b"abc/\xd0\x9f\xc3\x80z")


class NameSetRules(unittest.TestCase):
    CASES = [
        ([b"A.dll", b"a.DLL"], False),
        ([b"x", b"x/y"], False),
        ([b"X", b"x/y"], False),
        ([b"x/y", b"X"], False),
        ([b"a/b/c", b"A/B"], False),
        ([b"a/b", b"a/b"], False),
        ([b"x/y", b"x/z"], True),
        ([b"xy", b"x/y"], True),
        ([b"x.txt", b"x/y"], True),
        ([b"a/B/c", b"a/b/d"], True),  # the same folder in two spellings is not a clash here
        ([b"ok", b"a//b"], False),
        ([b"ok", b"CON"], False),
        ([CYRILLIC, "прочти меня.txt".encode("utf-8")], True),  # folding touches ASCII letters only
        ([CYRILLIC, CYRILLIC.upper()], False),  # ".txt" and ".TXT"
        ([], True),
    ]

    def test_cases(self):
        for names, expected in self.CASES:
            with self.subTest(names=names):
                self.assertEqual(rules.check_name_set(names), expected)

    def test_implied_folders(self):
        self.assertEqual(rules.implied_folders([b"a/b/c.txt", b"a/d.txt", b"e"]), {b"a", b"a/b"})


# ---------------------------------------------------------------------------
# Archives built by hand, so that each can break one rule.

class RawEntry:
    def __init__(self, rel, data=b"hello world\n", **kw):
        self.name = kw.pop("full_name", rules.ROOT_PREFIX + rel)
        self.data = data
        self.method = kw.pop("method", 8)
        self.flags = kw.pop("flags", rules.FLAG_UTF8)
        self.external = kw.pop("external", 0o100644 << 16)
        self.version_needed = kw.pop("version_needed", 20)
        self.crc = kw.pop("crc", zlib.crc32(data))
        self.size = kw.pop("size", len(data))
        self.central_extra = kw.pop("central_extra", b"")
        self.local_name = kw.pop("local_name", None)
        self.local_crc = kw.pop("local_crc", None)
        self.descriptor = kw.pop("descriptor", None)  # (crc, comp, size) after the data
        if kw:
            raise TypeError(kw)
        if self.method == 8:
            compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
            self.compressed = compressor.compress(data) + compressor.flush()
        else:
            self.compressed = data


def raw_zip(entries):
    out, central = bytearray(), bytearray()
    for e in entries:
        offset = len(out)
        local_name = e.local_name if e.local_name is not None else e.name
        if e.descriptor is not None:
            local_fields = (0, 0, 0)
        else:
            local_fields = (e.local_crc if e.local_crc is not None else e.crc, len(e.compressed), e.size)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, e.version_needed, e.flags, e.method, 0, 0x5A6E,
                           *local_fields, len(local_name), 0)
        out += local_name + e.compressed
        if e.descriptor is not None:
            out += struct.pack("<IIII", 0x08074B50, *e.descriptor)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0314, e.version_needed, e.flags,
                               e.method, 0, 0x5A6E, e.crc, len(e.compressed), e.size, len(e.name),
                               len(e.central_extra), 0, 0, 0, e.external, offset)
        central += e.name + e.central_extra
    eocd = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(out), 0)
    return bytes(out + central + eocd)


class ManifestGeneratorRefusals(unittest.TestCase):
    """make_manifest refuses what the installer would refuse, names the entry
    and the rule, and writes nothing."""

    GOOD = [RawEntry(b"Pelorin.exe", b"MZ" + bytes(100)), RawEntry(b"licenses/a/LICENSE", b"text\n" * 20)]

    CASES = [
        ("stored entry", [RawEntry(b"x.dll", method=0)], "x.dll", "compression method 0"),
        ("no Unix mode", [RawEntry(b"x.dll", external=0x20)], "x.dll", "Unix regular-file mode"),
        ("symlink mode", [RawEntry(b"x.dll", external=0o120777 << 16)], "x.dll", "Unix regular-file mode"),
        ("DOS folder bit", [RawEntry(b"x.dll", external=(0o100644 << 16) | 0x10)], "x.dll", "folder bit"),
        ("reparse bit", [RawEntry(b"x.dll", external=(0o100644 << 16) | 0x400)], "x.dll", "reparse-point"),
        ("bad root prefix", [RawEntry(b"", full_name=b"Pelorin-Windows-0.4.0-win-x64/x.dll")],
         "Pelorin-Windows-0.4.0-win-x64/x.dll", "outside the root folder"),
        ("root prefix in other case", [RawEntry(b"", full_name=b"pelorin-windows-0.5.0-win-x64/x.dll")],
         "pelorin-windows-0.5.0-win-x64/x.dll", "outside the root folder"),
        ("no root folder at all", [RawEntry(b"", full_name=b"x.dll")], "x.dll", "outside the root folder"),
        ("duplicate after case folding", [RawEntry(b"A.dll"), RawEntry(b"a.DLL")], "a.DLL", "letter case"),
        ("file where a folder is needed", [RawEntry(b"lib"), RawEntry(b"LIB/x.dll")], "LIB/x.dll", "folder"),
        ("exact duplicate", [RawEntry(b"x.dll"), RawEntry(b"x.dll")], "x.dll", "second entry"),
        ("non-ASCII name without the UTF-8 flag", [RawEntry(CYRILLIC, flags=0)], "Прочти", "UTF-8 flag"),
        ("bad CRC-32", [RawEntry(b"x.dll", crc=zlib.crc32(b"hello world\n") ^ 1,
                                 local_crc=zlib.crc32(b"hello world\n") ^ 1)], "x.dll", "CRC-32 mismatch"),
        ("size larger than the data", [RawEntry(b"x.dll", size=13)], "x.dll", "inflates to 12 bytes"),
        ("size above the ceiling", [RawEntry(b"x.dll", size=rules.MAX_ENTRY_SIZE + 1)], "x.dll", "at most"),
        ("folder entry", [RawEntry(b"licenses/", b"")], "licenses/", "folder entry"),
        ("invalid name", [RawEntry(b"a/../b")], "a/../b", "invalid entry name"),
        ("device name", [RawEntry(b"licenses/aux.txt")], "aux.txt", "device name"),
        ("encrypted", [RawEntry(b"x.dll", flags=rules.FLAG_UTF8 | 1)], "x.dll", "encrypted"),
        ("strong encryption", [RawEntry(b"x.dll", flags=0x40)], "x.dll", "encrypted"),
        ("masked directory", [RawEntry(b"x.dll", flags=0x2000)], "x.dll", "masked"),
        ("patched data", [RawEntry(b"x.dll", flags=0x20)], "x.dll", "patched"),
        ("needs ZIP 4.5", [RawEntry(b"x.dll", version_needed=45)], "x.dll", "version 4.5"),
        ("ZIP64 extra field", [RawEntry(b"x.dll", central_extra=struct.pack("<HHQ", 1, 8, 12))],
         "x.dll", "ZIP64"),
        ("local header names another file", [RawEntry(b"x.dll", local_name=rules.ROOT_PREFIX + b"y.dll")],
         "x.dll", "local header names a different file"),
        ("local header CRC differs", [RawEntry(b"x.dll", local_crc=1)], "x.dll", "disagrees"),
        ("data descriptor differs", [RawEntry(b"x.dll", flags=rules.FLAG_UTF8 | 8, descriptor=(1, 14, 12))],
         "x.dll", "data descriptor disagrees"),
        ("name the installer writes itself", [RawEntry(b"uninstall.exe")], "uninstall.exe", "writes a file"),
        ("marker name", [RawEntry(b".pelorin-installation")], ".pelorin-installation", "writes a file"),
    ]

    def run_manifest(self, archive):
        with tempfile.TemporaryDirectory() as tmp:
            zpath = os.path.join(tmp, "release.zip")
            out = os.path.join(tmp, "manifest.cpp")
            with open(zpath, "wb") as f:
                f.write(archive)
            err = io.StringIO()
            with redirect_stderr(err):
                status = make_manifest.main(["--archive", zpath, "--out", out])
            return status, err.getvalue(), os.path.exists(out)

    def test_refusals(self):
        for what, bad, entry, rule in self.CASES:
            with self.subTest(what):
                status, message, written = self.run_manifest(raw_zip(self.GOOD + bad))
                self.assertEqual(status, 1, message)
                self.assertFalse(written)
                self.assertIn(entry, message)
                self.assertIn(rule, message)
                self.assertEqual(len(message.strip().splitlines()), 1, message)

    def test_accepted_variants(self):
        # What the installer accepts must not be refused either.
        crc = zlib.crc32(b"hello world\n")
        cases = [
            ("plain", []),
            ("non-ASCII name with the UTF-8 flag", [RawEntry(CYRILLIC)]),
            ("no UTF-8 flag on ASCII names", [RawEntry(b"x.dll", flags=0)]),
            ("data descriptor that agrees", [RawEntry(b"x.dll", flags=8, descriptor=(crc, 14, 12))]),
            ("version 4.4, executable mode", [RawEntry(b"x.dll", version_needed=44, external=0o100755 << 16)]),
            ("other extra fields", [RawEntry(b"x.dll", central_extra=struct.pack("<HHI", 0x5455, 4, 0))]),
        ]
        for what, extra in cases:
            with self.subTest(what):
                status, message, written = self.run_manifest(raw_zip(self.GOOD + extra))
                self.assertEqual((status, message), (0, ""))
                self.assertTrue(written)

    def test_archive_level_refusals(self):
        good = raw_zip(self.GOOD)
        zip64_locator = good[:-22] + struct.pack("<IIQI", 0x07064B50, 0, 0, 1) + good[-22:]
        cases = [
            ("not a zip", b"hello" * 10, "no end-of-central-directory"),
            ("empty file", b"", "not a ZIP archive"),
            ("ZIP64 locator", zip64_locator, "ZIP64"),
            ("truncated", good[:40] + good[-22:], "central directory"),
        ]
        for what, archive, rule in cases:
            with self.subTest(what):
                status, message, written = self.run_manifest(archive)
                self.assertEqual(status, 1)
                self.assertIn(rule, message)
                self.assertFalse(written)


class CStringLiterals(unittest.TestCase):
    def test_escapes_decode_to_the_same_bytes(self):
        # Python's byte-literal escapes \ooo, \\ and \" mean what C++'s do.
        names = [b"plain.txt", CYRILLIC, b'q"uote', b"back\\slash", "й1".encode() + b"7", b"\x7f\x80\xff0"]
        for name in names:
            literal = make_manifest.c_string(name)
            with self.subTest(name=name):
                self.assertTrue(literal.isascii())
                self.assertNotRegex(literal, r"\\x")
                self.assertEqual(ast.literal_eval("b" + literal), name)

    def test_non_ascii_bytes_become_three_digit_octal(self):
        self.assertEqual(make_manifest.c_string("П7".encode()), '"\\320\\2377"')


# ---------------------------------------------------------------------------
# Fixture releases and the manifest made from them.

ROW = re.compile(r'^    \{(".*"), (\d+)u, "([0-9a-f]{64})"\},$')


def parse_manifest(text):
    rows, consts = [], {}
    for line in text.splitlines():
        m = ROW.match(line)
        if m:
            rows.append((ast.literal_eval("b" + m.group(1)), int(m.group(2)), m.group(3)))
        m = re.match(r"^const std::\w+ (\w+) = (\d+)u?;$", line)
        if m:
            consts[m.group(1)] = int(m.group(2))
        m = re.match(r'^const char ReleaseArchiveSha256\[\] = "([0-9a-f]{64})";$', line)
        if m:
            consts["ReleaseArchiveSha256"] = m.group(1)
    return rows, consts


class FixtureRoundTrip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.app = b"MZ" + bytes(range(256)) * 40 + b"stand-in application"
        cls.app_path = os.path.join(cls.tmp.name, "Pelorin.exe")
        with open(cls.app_path, "wb") as f:
            f.write(cls.app)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def make_fixture(self, name, out):
        self.assertEqual(make_release.main(["fixture", name, "--app", self.app_path, "--out", self.path(out)]), 0)
        with open(self.path(out), "rb") as f:
            return f.read()

    def make_manifest(self, archive, out):
        self.assertEqual(make_manifest.main(["--archive", self.path(archive), "--out", self.path(out)]), 0)
        with open(self.path(out), encoding="ascii") as f:
            return f.read()

    def test_manifest_rows_match_the_files(self):
        archive = self.make_fixture("small", "small.zip")
        text = self.make_manifest("small.zip", "small.cpp")
        rows, consts = parse_manifest(text)
        with zipfile.ZipFile(self.path("small.zip")) as z:
            files = {i.filename.encode("utf-8"): z.read(i) for i in z.infolist()}
        expected = sorted((n[len(rules.ROOT_PREFIX):], len(d), hashlib.sha256(d).hexdigest())
                          for n, d in files.items())
        self.assertEqual(rows, expected)
        self.assertEqual(consts["PayloadEntryCount"], len(rows))
        self.assertEqual(consts["PayloadTotalBytes"], sum(r[1] for r in rows))
        self.assertEqual(consts["ReleaseArchiveSize"], len(archive))
        self.assertEqual(consts["ReleaseArchiveSha256"], hashlib.sha256(archive).hexdigest())
        self.assertTrue(text.startswith("// Generated from small.zip by tools/release/make_manifest.py."))
        self.assertIn("namespace pelorin::setup {", text)

    def test_fixture_shape(self):
        self.make_fixture("small", "shape.zip")
        with open(self.path("shape.zip"), "rb") as f:
            entries = rules.read_release(f.read())
        names = [e.name for e in entries]
        by_name = {e.name: e for e in entries}
        self.assertEqual(by_name[b"Pelorin.exe"].sha256, hashlib.sha256(self.app).hexdigest())
        self.assertGreaterEqual(max(n.count(b"/") for n in names), 3)
        self.assertIn(CYRILLIC, names)
        self.assertTrue(6 <= len(names) <= 12)
        # The UTF-8 flag is set exactly where a name needs it.
        self.assertEqual({e.name for e in entries if e.flags & rules.FLAG_UTF8}, {CYRILLIC})

    def test_generation_is_deterministic(self):
        self.assertEqual(self.make_fixture("small", "a.zip"), self.make_fixture("small", "b.zip"))

    def test_archive_order_does_not_change_the_rows(self):
        self.make_fixture("small", "ordered.zip")
        reversed_archive = self.make_fixture("reversed", "reversed.zip")
        first = [e.name for e in rules.read_release(reversed_archive, verify_data=False)]
        self.assertEqual(first, sorted(first, reverse=True))
        rows_a, _ = parse_manifest(self.make_manifest("ordered.zip", "ordered.cpp"))
        rows_b, _ = parse_manifest(self.make_manifest("reversed.zip", "reversed.cpp"))
        self.assertEqual(rows_a, rows_b)

    def test_unchanged_output_is_not_rewritten(self):
        self.make_fixture("small", "same.zip")
        out = self.path("same.cpp")
        self.make_manifest("same.zip", "same.cpp")
        os.utime(out, ns=(1, 1))
        self.make_manifest("same.zip", "same.cpp")
        self.assertEqual(os.stat(out).st_mtime_ns, 1)
        with open(out, "a") as f:
            f.write("// edited\n")
        self.make_manifest("same.zip", "same.cpp")
        self.assertNotEqual(os.stat(out).st_mtime_ns, 1)
        with open(out) as f:
            self.assertNotIn("edited", f.read())


class DemoPlan(unittest.TestCase):
    """The demo release's names and sizes, without building its contents."""

    def plan_entries(self, app_size):
        plan = make_release.demo_plan(app_size)
        return [rules.Entry(i, name, size, None, 0, 0, rules.FLAG_UTF8)
                for i, (name, size, _, _) in enumerate(plan)]

    def test_shape_holds_for_executables_of_different_sizes(self):
        for app_size in (50 * 1024, 300 * 1024, 777777, 4 << 20):
            with self.subTest(app_size=app_size):
                entries = self.plan_entries(app_size)
                self.assertEqual(make_release.shape_problems(make_release.DEMO_ARCHIVE_SIZE, entries), [])
                names = [e.name for e in entries]
                self.assertIsNone(rules.name_set_problem(names))
                self.assertTrue(all(e.size <= rules.MAX_ENTRY_SIZE for e in entries))
                self.assertTrue(all(n not in rules.RESERVED_RELEASE_NAMES for n in names))
                app = [e for e in entries if e.name == b"Pelorin.exe"]
                self.assertEqual([e.size for e in app], [app_size])

    def test_shape_check_notices_a_difference(self):
        entries = self.plan_entries(300 * 1024)
        entries[0].size += 1
        problems = make_release.shape_problems(make_release.DEMO_ARCHIVE_SIZE + 1, entries)
        self.assertTrue(any(p.startswith("total bytes") for p in problems), problems)
        self.assertTrue(any(p.startswith("archive bytes") for p in problems), problems)

    def test_executable_too_large_for_the_release_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            app = os.path.join(tmp, "big.exe")
            with open(app, "wb") as f:
                f.truncate(20 << 20)
            out = os.path.join(tmp, "demo.zip")
            err = io.StringIO()
            with redirect_stderr(err):
                status = make_release.main(["demo", "--app", app, "--out", out])
            self.assertEqual(status, 1)
            self.assertIn("Pelorin.exe", err.getvalue())
            self.assertFalse(os.path.exists(out))


class ResourcePackTuning(unittest.TestCase):
    def test_hits_exact_compressed_sizes_without_changing_the_size(self):
        pack = make_release.ResourcePack(200_000)
        for target in (30_000, 100_001, 150_000):
            with self.subTest(target=target):
                data, _, _ = pack.tune(target)
                self.assertEqual(len(data), 200_000)
                self.assertEqual(len(make_release.deflate(data)), target)

    def test_impossible_target_is_reported(self):
        with self.assertRaises(make_release.GenerationError):
            make_release.ResourcePack(50_000).tune(60_000)


class LicenceNoticeCheck(unittest.TestCase):
    """What the link took, from the map, and whose notices are missing."""

    MAP = """\
Archive member included to satisfy reference by file (symbol)

ui/libpelorin_ui.a(entry.cpp.obj)
                              ui/CMakeFiles/pelorin_setup.dir/main.cpp.obj (pelorin::setup::RunSetup(HINSTANCE__*, int))
/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a(cow-stdexcept.o)
                              ui/libpelorin_ui.a(entry.cpp.obj) (std::runtime_error::runtime_error(char const*))
lib/libshort.a(a.o)           ui/libpelorin_ui.a(entry.cpp.obj) (short_symbol)

Discarded input sections

 .text          0x0000000000000000        0x0 x/libignored.a(b.o)

Memory Configuration

Linker script and memory map

LOAD /usr/x86_64-w64-mingw32/lib/crt2u.o
LOAD ui/CMakeFiles/pelorin_setup.dir/main.cpp.obj
LOAD ui/CMakeFiles/pelorin_setup_resources.dir/__/resources/setup.rc.res
LOAD ui/libpelorin_ui.a
LOAD dll stuff
"""

    def test_the_map_names_members_taken_and_objects_loaded(self):
        self.assertEqual(check_notices.linked_files(self.MAP), [
            ("ui/libpelorin_ui.a", "entry.cpp.obj"),
            ("/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a", "cow-stdexcept.o"),
            ("lib/libshort.a", "a.o"),
            ("/usr/x86_64-w64-mingw32/lib/crt2u.o", None),
            ("ui/CMakeFiles/pelorin_setup.dir/main.cpp.obj", None),
            ("ui/CMakeFiles/pelorin_setup_resources.dir/__/resources/setup.rc.res", None),
        ])

    def setUp(self):
        try:
            library = subprocess.run(["x86_64-w64-mingw32-g++-posix", "-print-file-name=libstdc++.a"],
                                     capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            self.skipTest("no mingw-w64 compiler on this machine (tools/setup.sh installs it)")
        package = check_notices.make_notices.owning_package(library)
        if package is None:
            self.skipTest("the compiler's libstdc++.a belongs to no Debian package here")
        self.library, self.package = library, package
        self.licence = check_notices.make_notices.package_licence(package)
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.vendored = os.path.join(folder.name, "vendored.h")
        self.grant = "/* Copyright 2024 Someone\n   Permission is hereby granted, free of charge, ... */"
        with open(self.vendored, "w") as f:
            f.write("/* a plain comment */\n" + self.grant + "\nint vendored;\n")
        self.unlicensed = os.path.join(folder.name, "unlicensed.h")
        with open(self.unlicensed, "w") as f:
            f.write("/* no licence here */\nint unlicensed;\n")

    def test_missing_notices(self):
        crlf = (self.licence + "\n" + self.grant).replace("\n", "\r\n")
        cases = [
            # (name, third-party files, notices text, what the problems name)
            ("package and vendored notice present", [self.library, self.vendored],
             self.licence + "\n" + self.grant, []),
            ("stored with CRLF line ends, as the resource holds it", [self.library, self.vendored], crlf, []),
            ("package notice missing", [self.library], self.grant, [self.package]),
            ("vendored notice missing", [self.vendored], self.licence, ["vendored.h"]),
            ("package notice cut short", [self.library], self.licence[: len(self.licence) // 2], [self.package]),
            ("a file of no package and no licence", [self.unlicensed], self.licence, ["unlicensed.h"]),
        ]
        for name, files, notices, named in cases:
            with self.subTest(name):
                _, problems = check_notices.missing_notices(files, notices)
                self.assertEqual(len(problems), len(named), problems)
                for problem, what in zip(problems, named):
                    self.assertIn(what, problem)

    def test_origins_are_packages_and_vendored_files(self):
        origins, _ = check_notices.missing_notices([self.library, self.library, self.vendored], "")
        self.assertEqual(origins, [self.package, "vendored.h"])


if __name__ == "__main__":
    unittest.main()
