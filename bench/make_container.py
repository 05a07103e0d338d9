#!/usr/bin/python3
"""Writes an update container (UpdateData.dat) in the wide layout.

    make_container.py OUTPUT FILE...

Each FILE becomes an entry named by its base name, in the order given.
Layout: 11 signature bytes, layout mark '2', entry count (u32 LE); then a
32-byte NUL-padded name field per entry; then (offset, length) u32 LE pairs,
offsets counting from the end of that directory; then the data.
"""
import os
import struct
import sys

SIGNATURE = b"SQUPDATEDAT"  # 11 bytes; the reader does not examine them
WIDE_MARK = b"2"
NAME_FIELD = 32
CHUNK = 16 << 20


def main(argv):
    if len(argv) < 3:
        sys.stderr.write("usage: make_container.py OUTPUT FILE...\n")
        return 2
    output, files = argv[1], argv[2:]
    names, records, offset = [], [], 0
    for path in files:
        name = os.path.basename(path).encode("cp932")
        if len(name) >= NAME_FIELD:
            sys.stderr.write("make_container.py: name too long: %s\n" % path)
            return 2
        size = os.path.getsize(path)
        names.append(name.ljust(NAME_FIELD, b"\0"))
        records.append(struct.pack("<II", offset, size))
        offset += size
    if offset >= 1 << 31:
        sys.stderr.write("make_container.py: data area must stay below 2 GiB\n")
        return 2
    with open(output, "wb") as out:
        out.write(SIGNATURE + WIDE_MARK + struct.pack("<I", len(files)))
        out.write(b"".join(names) + b"".join(records))
        for path in files:
            with open(path, "rb") as src:
                while True:
                    block = src.read(CHUNK)
                    if not block:
                        break
                    out.write(block)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
