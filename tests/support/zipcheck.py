#!/usr/bin/env python3
"""Reads a ZIP archive with readers independent of the program: the strict check of the container
(zipstrict.py), `7z t` where 7-Zip is installed, and Python's own reader.

    zipcheck.py [--prefix N] ARCHIVE    every entry's data read and checked; N bytes of a stub
                                        before the first entry
    zipcheck.py --headers N ARCHIVE     the headers only, the data unread

Checks every entry's CRC, then prints one line per entry: name, size, SHA-256 of the content,
compression method, compressed size and the DOS date and time, separated by tabs, the name as the
bytes stored; with
--headers, the strict check's summary, then name, size, compressed size and the local header's
offset as the strict check read them. Exits 1 when the
archive or an entry is bad, saying which reader refused it.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zipstrict  # noqa: E402

headers = sys.argv[1] == "--headers"
prefix, path = (int(sys.argv[2]), sys.argv[3]) if sys.argv[1] in ("--headers", "--prefix") else (0, sys.argv[1])
try:
    summary, entries = zipstrict.check(path, prefix)
except zipstrict.Faults as faults:
    print("the strict check refused it: " + "; ".join(faults.args[0][:20]), file=sys.stderr)
    sys.exit(1)
except OSError as error:
    print(f"unreadable archive: {error}", file=sys.stderr)
    sys.exit(1)
if headers:
    print(summary)
    for entry in entries:
        sys.stdout.buffer.write(entry["name"] + f"\t{entry['usize']}\t{entry['csize']}\t{entry['offset']}\n".encode())
    sys.exit(0)
# 7-Zip looks for a stub of a few megabytes at most: an archive behind a larger one is not its case.
if shutil.which("7z") and prefix < (1 << 20):
    tested = subprocess.run(["7z", "t", "-bd", "-p", path], capture_output=True, text=True,
                            errors="replace")
    if tested.returncode != 0 or "Everything is Ok" not in tested.stdout:
        print("7z t refused it: " + (tested.stdout + tested.stderr)[-2000:], file=sys.stderr)
        sys.exit(1)

try:
    with zipfile.ZipFile(path) as archive:
        bad = archive.testzip()
        if bad is not None:
            print(f"bad entry: {bad}", file=sys.stderr)
            sys.exit(1)
        for info in archive.infolist():
            digest = hashlib.sha256()
            with archive.open(info) as entry:
                for block in iter(lambda: entry.read(1 << 20), b""):
                    digest.update(block)
            # The name's own bytes: UTF-8 when the entry says so, code page 437 (every byte as it
            # is) when not.
            name = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
            moment = "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time
            line = f"\t{info.file_size}\t{digest.hexdigest()}\t{info.compress_type}\t{info.compress_size}\t{moment}\n"
            sys.stdout.buffer.write(name + line.encode())
except (zipfile.BadZipFile, OSError) as error:
    print(f"unreadable archive: {error}", file=sys.stderr)
    sys.exit(1)
