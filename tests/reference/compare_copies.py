#!/usr/bin/env python3
"""Compares the readable copies the program made with the reference, byte for byte.

    compare_copies.py RAW_FOLDER COPIES [--withheld]

COPIES is a folder holding NAME.fmtd.txt for every diag_ file NAME of RAW_FOLDER, or a ZIP
archive holding them as entries (read with zipfile). Prints "NAME REJECTED" for every raw file
(the lines the formatter rejects), a line on stderr for every copy that is missing or differs,
and ends with status 1 when one does or there is no diag_ file.
"""
import os
import sys
import zipfile

from readable_copy import readable_copy


def main():
    raw_folder, copies = sys.argv[1:3]
    withheld = sys.argv[3:] == ["--withheld"]
    if zipfile.is_zipfile(copies):
        archive = zipfile.ZipFile(copies)
        names = set(archive.namelist())
        read = lambda name: archive.read(name) if name in names else None
    else:
        def read(name):
            path = os.path.join(copies, name)
            return open(path, "rb").read() if os.path.exists(path) else None
    failed = False
    raws = [name for name in sorted(os.listdir(raw_folder)) if name.lower().startswith("diag_")]
    if not raws:
        sys.exit("%s: no diag_ file, so nothing to compare" % raw_folder)
    for name in raws:
        with open(os.path.join(raw_folder, name), "rb") as raw:
            expected, rejected = readable_copy(raw.read(), withheld)
        print(name, rejected)
        got = read(name + ".fmtd.txt")
        if got == expected:
            continue
        failed = True
        if got is None:
            print("%s: no readable copy" % name, file=sys.stderr)
            continue
        at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                  min(len(got), len(expected)))
        print("%s: %d bytes, expected %d; first difference at byte %d (line %d): got %r, "
              "expected %r" % (name, len(got), len(expected), at, expected.count(b"\n", 0, at) + 1,
                               got[max(at - 20, 0):at + 40], expected[max(at - 20, 0):at + 40]),
              file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
