#!/usr/bin/env python3
"""Tests of the sqpack command line, run against the built binary.

    test_sqpack.py PATH/TO/sqpack [unittest options]

Containers for the reading side are written byte by byte here, from the
format's description, not by sqpack, so that a fault shared by sqpack's writer
and reader cannot hide itself.
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

SQPACK = None
SIGNATURE = b"SQPACK\x1a\x00\x00\x00\x00"


def container(entries, mark=b"2", data=b"", count=None):
    """A container: entries are (name bytes, offset, length) in directory order."""
    field = 32 if mark == b"2" else 16
    names = b"".join(n.ljust(field, b"\x00")[:field] for n, _, _ in entries)
    locations = b"".join(struct.pack("<II", o, l) for _, o, l in entries)
    n = len(entries) if count is None else count
    return SIGNATURE + mark + struct.pack("<I", n) + names + locations + data


class SqpackTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="sqpack-test-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, rel, data):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def sqpack(self, *args):
        return subprocess.run([SQPACK, *args], capture_output=True, text=True, encoding="utf-8")

    def assertNoTemporaries(self, folder):
        self.assertEqual([f for f in os.listdir(folder) if ".sqpack-" in f], [])


class CreateTest(SqpackTest):
    def test_writes_the_documented_bytes(self):
        a = self.write("in/a.txt", b"hello")
        t = self.write("in/テスト.dat", b"\x00xyz")
        out = self.path("out.dat")
        r = self.sqpack("create", out, "--layout", "narrow", a, t)
        self.assertEqual(r.returncode, 0, r.stderr)
        expected = (b"SQPACK\x1a\x00\x00\x00\x00" + b"1" + b"\x02\x00\x00\x00" +
                    b"a.txt".ljust(16, b"\x00") + b"\x83\x65\x83\x58\x83\x67.dat".ljust(16, b"\x00") +
                    b"\x00\x00\x00\x00\x05\x00\x00\x00" + b"\x05\x00\x00\x00\x04\x00\x00\x00" +
                    b"hello\x00xyz")
        with open(out, "rb") as f:
            self.assertEqual(f.read(), expected)
        r = self.sqpack("verify", out, "--expect", "A.TXT", "dir\\テスト.dat")
        self.assertEqual((r.returncode, r.stdout), (0, f"{out}: OK, 2 entries\n"))

    def test_rejects_bad_inputs_and_leaves_the_output_alone(self):
        big = 1 << 30
        cases = [
            # (title, files to make {name: bytes or a sparse size}, layout, arguments, expected message)
            ("wide name of 32 bytes", {"a" * 28 + ".bin": b"x"}, "wide", None,
             "is 32 bytes in Shift-JIS; the wide layout holds at most 31"),
            ("narrow name of 16 bytes", {"abcdefghijkl.bin": b"x"}, "narrow", None,
             "is 16 bytes in Shift-JIS; the narrow layout holds at most 15"),
            ("narrow name counted in Shift-JIS bytes", {"テストテストテ.bin": b"x"}, "narrow", None,
             "is 18 bytes in Shift-JIS; the narrow layout holds at most 15"),
            ("Hangul", {"한국.bin": b"x"}, "wide", None, "cannot be written in Shift-JIS"),
            ("emoji", {"\U0001F600.bin": b"x"}, "wide", None, "cannot be written in Shift-JIS"),
            ("yen sign, which iconv would turn into a backslash", {"\u00a5.bin": b"x"}, "wide", None,
             "cannot be written in Shift-JIS"),
            ("Shift-JIS trail byte 0x5C", {"ソフト.dat": b"x"}, "wide", None, "holds the byte 0x5C in Shift-JIS"),
            ("empty file", {"empty.bin": b""}, "wide", None, "empty; the updater treats an empty entry as missing"),
            ("missing file", {}, "wide", ["nothere.bin"], "nothere.bin: no such file"),
            ("a folder", {"sub/x": b"x"}, "wide", ["sub"], "not a regular file"),
            ("offsets past 2^31", {"g1": big, "g2": big, "g3": big}, "wide", None, "too large"),
        ]
        for title, files, layout, args, message in cases:
            with self.subTest(title):
                made = []
                for name, content in files.items():
                    p = self.write("in/" + name, b"")
                    with open(p, "r+b") as f:
                        if isinstance(content, int):
                            f.truncate(content)
                        else:
                            f.write(content)
                    made.append(p)
                inputs = [self.path("in", a) for a in args] if args else made
                out = self.write("out.dat", b"previous")
                r = self.sqpack("create", out, "--layout", layout, *inputs)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), b"previous")
                self.assertNoTemporaries(self.dir)
                for p in made:
                    os.remove(p)

    def test_duplicates_are_written_with_a_warning(self):
        a = self.write("one/x.bin", b"1")
        b = self.write("two/X.BIN", b"2")
        out = self.path("dup.dat")
        r = self.sqpack("create", out, a, b)
        self.assertEqual(r.returncode, 0)
        self.assertIn("same name as", r.stderr)
        entries = json.loads(self.sqpack("list", out, "--json").stdout)["entries"]
        self.assertEqual([e["name"] for e in entries], ["x.bin", "X.BIN"])

    def test_usage_errors(self):
        for args in (["create"], ["create", self.path("o.dat")], ["create", "o.dat", "--layout", "tall", "x"],
                     ["list"], ["frobnicate"], ["verify", "a", "b"]):
            with self.subTest(args):
                self.assertEqual(self.sqpack(*args).returncode, 2)


# (title, container bytes, --expect names, the problem lines verify must print)
VERIFY_CASES = [
    ("sound", container([(b"a.txt", 0, 2), (b"b.bin", 2, 1)], data=b"abc"), ["A.TXT", "x\\b.bin"], []),
    ("any mark but '2' is narrow", container([(b"a.txt", 0, 1)], mark=b"\x00", data=b"a"), ["a.txt"], []),
    ("empty file", b"", [],
     ["file of 0 bytes is shorter than the 16-byte header", "container holds no entries"]),
    ("no entries", container([]), [], ["container holds no entries"]),
    ("13 bytes: a count byte but no directory", container([])[:12] + b"\x01", [],
     ["file of 13 bytes is shorter than the 16-byte header",
      "directory of 1 entries (40 bytes) runs past the end of the file (13 bytes)"]),
    ("directory past the end", container([(b"a.txt", 0, 1)], count=3, data=b"a"), [],
     ["directory of 3 entries (120 bytes) runs past the end of the file (57 bytes)"]),
    ("hostile count", container([], count=0xFFFFFFFF), ["a.txt"],
     ["directory of 4294967295 entries (171798691800 bytes) runs past the end of the file (16 bytes)",
      'expected "a.txt": no entry of that name']),
    ("name without NUL", container([(b"n" * 32, 0, 1)], data=b"a"), [],
     ['entry 0 "' + "n" * 32 + '": name field holds no NUL within its 32 bytes']),
    ("empty name", container([(b"", 0, 1)], data=b"a"), [], ['entry 0 "": empty name']),
    ("backslash in a name", container([(b"dir\\a.txt", 0, 1)], data=b"a"), ["dir\\a.txt"],
     ['entry 0 "dir\\a.txt": name holds the byte 0x5C (a backslash), where the updater cuts a name; '
      "it can never be found", 'expected "dir\\a.txt": no entry of that name']),
    ("offset at 2^31", container([(b"a.txt", 0x80000000, 1)], data=b"a"), [],
     ['entry 0 "a.txt": offset 0x80000000 is not below 2^31']),
    ("entry past the end", container([(b"a.txt", 1, 5)], data=b"abc"), ["a.txt"],
     ['entry 0 "a.txt": data ends at position 62, past the end of the file (59 bytes)',
      'expected "a.txt": the updater finds entry 0 "a.txt", which it cannot open']),
    ("zero length", container([(b"a.txt", 0, 0)], data=b"a"), [],
     ['entry 0 "a.txt": length 0; the updater treats an empty entry as missing']),
    ("duplicate ignoring ASCII case", container([(b"A.txt", 0, 1), (b"b", 0, 1), (b"a.TXT", 0, 1)], data=b"a"),
     [], ['entry 2 "a.TXT": same name as entry 0 "A.txt" to the updater; only the first is reachable']),
    ("first of duplicates unusable", container([(b"a.txt", 0, 0), (b"A.TXT", 0, 1)], data=b"a"), ["a.txt"],
     ['entry 0 "a.txt": length 0; the updater treats an empty entry as missing',
      'entry 1 "A.TXT": same name as entry 0 "a.txt" to the updater; only the first is reachable',
      'expected "a.txt": the updater finds entry 0 "a.txt", which it cannot open']),
    ("names the updater equates beyond ASCII",
     container([(n, i, 1) for i, n in enumerate(["Ａ.b".encode("cp932"), "ａ.b".encode("cp932"), "Ω".encode("cp932"),
                                                 "ω".encode("cp932"), b"\x81\xe6", b"\xfa\x5b",
                                                 "Ⅰ".encode("cp932"), "ⅰ".encode("cp932")])], data=b"abcdefgh"),
     ["ａ.B"],
     ['entry 1 "ａ.b": same name as entry 0 "Ａ.b" to the updater; only the first is reachable',
      'entry 3 "ω": same name as entry 2 "Ω" to the updater; only the first is reachable',
      'entry 5 "∵": same name as entry 4 "∵" to the updater; only the first is reachable',
      'entry 7 "ⅰ": same name as entry 6 "Ⅰ" to the updater; only the first is reachable']),
    ("Shift-JIS names, one not valid", container([(b"\x83\x65.dat", 0, 1), (b"a\x85b", 0, 1)], data=b"a"),
     ["テ.dat"], []),
]


class VerifyTest(SqpackTest):
    def test_problem_table(self):
        for title, data, expect, problems in VERIFY_CASES:
            with self.subTest(title):
                p = self.write("c.dat", data)
                r = self.sqpack("verify", p, *(["--expect", *expect] if expect else []))
                lines = r.stdout.splitlines()
                if problems:
                    self.assertEqual(lines, [f"{p}: {m}" for m in problems])
                    self.assertEqual(r.returncode, 1)
                else:
                    self.assertEqual((r.returncode, len(lines)), (0, 1), r.stdout)
                    self.assertIn(": OK, ", lines[0])

    def test_missing_container(self):
        r = self.sqpack("verify", self.path("none.dat"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("no such file", r.stderr)


class ListTest(SqpackTest):
    def test_json_and_escaped_names(self):
        p = self.write("c.dat", container([(b"\x83\x65.dat", 0, 1), (b"a\x85b", 1, 2)], mark=b"1", data=b"xyz"))
        r = self.sqpack("list", p, "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        listing = json.loads(r.stdout)
        self.assertEqual(listing["layout"], "narrow")
        self.assertEqual([(e["index"], e["name"], e["name_hex"], e["offset"], e["length"], e["position"])
                          for e in listing["entries"]],
                         [(0, "テ.dat", "83652e646174", 0, 1, 64), (1, "a\\x85b", "618562", 1, 2, 65)])
        text = self.sqpack("list", p).stdout.splitlines()
        self.assertEqual(text[2].split(), ["0", "0", "1", "64", "テ.dat"])

    def test_corrupt_directory(self):
        p = self.write("c.dat", container([], count=0x10000000))
        r = self.sqpack("list", p)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("runs past the end of the file", r.stderr)


class ExtractTest(SqpackTest):
    def test_round_trip_through_create(self):
        files = {"a.txt": b"alpha", "テスト.dat": bytes(range(256)) * 300}
        inputs = [self.write("in/" + n, d) for n, d in files.items()]
        out = self.path("c.dat")
        self.assertEqual(self.sqpack("create", out, *inputs).returncode, 0)
        r = self.sqpack("extract", out, "-C", self.path("x"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(self.path("x"))), sorted(files))
        for n, d in files.items():
            with open(self.path("x", n), "rb") as f:
                self.assertEqual(f.read(), d)

    def test_named_entries_are_found_as_the_updater_finds_them(self):
        p = self.write("c.dat", container([(b"x.bin", 0, 1), (b"X.BIN", 1, 1)], data=b"12"))
        r = self.sqpack("extract", p, "dir\\X.bin", "-C", self.path("x"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.listdir(self.path("x")), ["x.bin"])
        with open(self.path("x", "x.bin"), "rb") as f:
            self.assertEqual(f.read(), b"1")

    def test_bad_entries_are_not_written(self):
        p = self.write("c.dat", container([(b"good", 0, 2), (b"short", 2, 50), (b"..", 0, 1),
                                           (b"a/b", 0, 1), (b"empty", 0, 0), (b"GOOD", 0, 1)], data=b"ok"))
        r = self.sqpack("extract", p, "-C", self.path("x"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(os.listdir(self.path("x")), ["good"])
        self.assertNoTemporaries(self.path("x"))
        for fragment in ('"short" cannot be opened', '".." is not a safe file name', '"a/b" is not a safe',
                         '"empty" cannot be opened', 'entry 5 "GOOD": same name as entry 0'):
            self.assertIn(fragment, r.stderr)


if __name__ == "__main__":
    SQPACK = os.path.abspath(sys.argv.pop(1))
    unittest.main()
