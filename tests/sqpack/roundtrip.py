#!/usr/bin/env python3
"""Round trips: containers made by sqpack, read by the updater's own reader.

    roundtrip.py SQPACK PAYLOAD_DUMP.exe -- RUNNER...

For each case, sqpack builds UpdateData.dat from a few files; payload_dump
(the updater's OpenPayload/ReadPayload, cross-built, run through RUNNER, i.e.
Wine) opens a list of names from it; every payload must come back byte for
byte from the file it was made from, at the position `sqpack list` reports,
and every name the updater cannot find must come back null.

Then every committed fuzz seed (tools/sqpack/fuzz/corpus), sound or corrupt,
and a sparse container of just over 2 GiB are read the same way: for each
entry's own name the updater must open exactly the entry `sqpack list --json`
says it finds ("found", when "usable"), or nothing.
"""
import json
import os
import random
import struct
import subprocess
import sys
import tempfile

# A fixed pseudo-random payload large enough to span several copy buffers'
# worth of offsets in the data area.
BIG = random.Random(1300).randbytes(300_000)

CASES = [
    {
        "title": "wide layout, mixed case, a Shift-JIS name",
        "layout": "wide",
        "files": {"a.txt": b"hello", "B.BIN": b"WORLD!", "テスト.dat": "テスト".encode("cp932"),
                  "big.bin": BIG, "abcdefghijklmnopqrstuvwxyz0.bin": b"31-byte name"},
        "queries": {"a.txt": "a.txt", "A.TXT": "a.txt", "b.bin": "B.BIN", "テスト.dat": "テスト.dat",
                    "sub\\テスト.dat": "テスト.dat", "big.bin": "big.bin",
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0.BIN": "abcdefghijklmnopqrstuvwxyz0.bin",
                    "missing.txt": None, "a.tx": None},
    },
    {
        "title": "narrow layout",
        "layout": "narrow",
        "files": {"a.txt": b"narrow a", "テスト.dat": b"\x00\x01\x02", "big.bin": BIG,
                  "abcdefghijk.bin": b"15-byte name"},
        "queries": {"A.txt": "a.txt", "テスト.DAT": "テスト.dat", "big.bin": "big.bin",
                    "x\\y\\abcdefghijk.bin": "abcdefghijk.bin", "abcdefghijk.bi": None},
    },
    {
        "title": "duplicate names: the first wins",
        "layout": "wide",
        "files": {"one/x.bin": b"first x", "two/X.BIN": b"second X", "y.bin": b"y"},
        "queries": {"x.bin": "one/x.bin", "X.BIN": "one/x.bin", "Y.bin": "y.bin"},
        "verify": ['entry 1 "X.BIN": same name as entry 0 "x.bin" to the updater; only the first is reachable'],
    },
    {
        "title": "duplicate names beyond ASCII case: full-width and Greek letters",
        "layout": "wide",
        "files": {"one/Ａ.dat": b"full-width A", "two/ａ.dat": b"full-width a", "Σ.bin": b"sigma"},
        "queries": {"ａ.dat": "one/Ａ.dat", "Ａ.DAT": "one/Ａ.dat", "σ.BIN": "Σ.bin"},
        "verify": ['entry 1 "ａ.dat": same name as entry 0 "Ａ.dat" to the updater; only the first is reachable'],
    },
]

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sqpack", "fuzz", "corpus")


def run_case(case, sqpack, dump, runner, root):
    src = os.path.join(root, "src")
    work = os.path.join(root, "work")
    os.makedirs(os.path.join(work, "out"))
    inputs = []
    for rel, data in case["files"].items():
        path = os.path.join(src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        inputs.append(path)
    container = os.path.join(work, "UpdateData.dat")
    subprocess.run([sqpack, "create", container, "--layout", case["layout"], *inputs], check=True,
                   stderr=subprocess.DEVNULL)

    listing = json.loads(subprocess.run([sqpack, "list", container, "--json"], check=True,
                                        capture_output=True, text=True).stdout)
    positions = {e["name"]: e["position"] for e in listing["entries"]}
    verify = subprocess.run([sqpack, "verify", container], capture_output=True, text=True)
    problems = [line.split(": ", 1)[1] for line in verify.stdout.splitlines() if ": OK," not in line]

    queries = list(case["queries"].items())
    names = [q.encode("cp932").hex() for q, _ in queries]
    result = subprocess.run([*runner, dump, "out", *names], cwd=work, capture_output=True, text=True)
    lines = {int(l.split()[0]): l.split()[1:] for l in result.stdout.splitlines() if l.strip()}

    failures = []
    if result.returncode != 0:
        failures.append(f"payload_dump exited {result.returncode}: {result.stderr.strip()}")
    if problems != case.get("verify", []):
        failures.append(f"sqpack verify said {problems}, expected {case.get('verify', [])}")
    for i, (query, source) in enumerate(queries):
        got = lines.get(i)
        if source is None:
            if got != ["null"]:
                failures.append(f"{query!r}: expected no payload, got {got}")
            continue
        if got is None or got == ["null"]:
            failures.append(f"{query!r}: expected the bytes of {source}, got {got}")
            continue
        with open(os.path.join(work, "out", f"{i}.bin"), "rb") as f:
            data = f.read()
        if data != case["files"][source]:
            failures.append(f"{query!r}: {len(data)} bytes differ from {source} ({len(case['files'][source])} bytes)")
        name = os.path.basename(source)
        if int(got[1]) != positions.get(name, -1):
            failures.append(f"{query!r}: updater reads at {got[1]}, sqpack list says {positions.get(name)}")
    return failures


def write_far_entries(path):
    """A sparse container just over 2 GiB: entries at the last offset below
    2^31, at 2^31 (out of the updater's reach) and at 0."""
    entries = [(b"far.bin", 0x7FFFFFF0, 16), (b"beyond.bin", 0x80000000, 4), (b"near.bin", 0, 3)]
    head = (b"SQPACK\x1a\0\0\0\0" + b"1" + struct.pack("<I", len(entries)) +
            b"".join(n.ljust(16, b"\0") for n, _, _ in entries) +
            b"".join(struct.pack("<II", o, l) for _, o, l in entries))
    with open(path, "wb") as f:
        f.write(head + b"abc")
        f.seek(len(head) + 0x7FFFFFF0)
        f.write(b"0123456789abcdef")
        f.seek(len(head) + 0x80000000)
        f.write(b"WXYZ")


def check_container(label, container, sqpack, dump, runner):
    """The container (in a folder of its own, named UpdateData.dat) read by
    the updater: each entry's own name must open what `sqpack list` says the
    updater opens for it (the entry it calls "found", if "usable"), or nothing."""
    failures = []
    work = os.path.dirname(container)
    os.makedirs(os.path.join(work, "out"))
    listed = subprocess.run([sqpack, "list", container, "--json"], capture_output=True, text=True)
    entries = json.loads(listed.stdout)["entries"] if listed.returncode == 0 else []
    # Empty names cannot be passed on a command line, and a name that opens
    # as a loose file in the folder would not reach the container.
    queries = [e for e in entries if e["name_hex"] and bytes.fromhex(e["name_hex"]).lower() not in
               (b"updatedata.dat", b"out")][:40]
    names = [e["name_hex"] for e in queries] + ["612e747874"]
    result = subprocess.run([*runner, dump, "out", *names], cwd=work, capture_output=True, text=True)
    got = {int(l.split()[0]): l.split()[1:] for l in result.stdout.splitlines() if l.strip()}
    a_txt = next((e["index"] for e in entries if bytes.fromhex(e["name_hex"]).lower() == b"a.txt"), -1)
    for i, found in enumerate([e["found"] for e in queries] + [a_txt]):
        target = entries[found] if found >= 0 else None
        expected = [str(target["length"]), str(target["position"])] if target and target["usable"] else ["null"]
        if got.get(i) != expected:
            failures.append(f"{label}: name {names[i]}: updater gave {got.get(i)}, sqpack says {expected}")
        elif expected != ["null"]:
            with open(os.path.join(work, "out", f"{i}.bin"), "rb") as out, open(container, "rb") as f:
                f.seek(target["position"])
                if out.read() != f.read(target["length"]):
                    failures.append(f"{label}: name {names[i]}: bytes differ")
    return failures


def check_seeds(sqpack, dump, runner, root):
    """Every committed fuzz seed, sound or corrupt, and the sparse container."""
    failures = []
    for seed in sorted(os.listdir(CORPUS)):
        container = os.path.join(root, seed, "UpdateData.dat")
        os.makedirs(os.path.dirname(container))
        with open(os.path.join(CORPUS, seed), "rb") as src, open(container, "wb") as dst:
            dst.write(src.read())
        failures += check_container(seed, container, sqpack, dump, runner)
    container = os.path.join(root, "far", "UpdateData.dat")
    os.makedirs(os.path.dirname(container))
    write_far_entries(container)
    failures += check_container("entries at the 2^31 boundary", container, sqpack, dump, runner)
    return failures


def main():
    if len(sys.argv) < 4 or "--" not in sys.argv:
        sys.exit(__doc__)
    split = sys.argv.index("--")
    sqpack, dump = (os.path.abspath(p) for p in sys.argv[1:split])
    runner = sys.argv[split + 1:]
    if runner and os.path.exists(runner[0]):
        runner[0] = os.path.abspath(runner[0])
    failed = 0
    for case in CASES:
        with tempfile.TemporaryDirectory(prefix="sqpack-roundtrip-") as root:
            failures = run_case(case, sqpack, dump, runner, root)
        print(("FAIL: " if failures else "ok:   ") + case["title"])
        for f in failures:
            print("      " + f)
        failed += bool(failures)
    with tempfile.TemporaryDirectory(prefix="sqpack-corpus-") as root:
        failures = check_seeds(sqpack, dump, runner, root)
    print(("FAIL: " if failures else "ok:   ") + "the updater reads every fuzz seed, and a 2 GiB sparse container, "
          "as sqpack list says")
    for f in failures:
        print("      " + f)
    failed += bool(failures)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
