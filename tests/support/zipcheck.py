#!/usr/bin/env python3
"""Reads a ZIP archive with Python's own reader, independent of the program's libzip.

Checks every entry's CRC, then prints one line per entry: name, size, SHA-256 of the content and
compression method and compressed size, separated by tabs; the name as the bytes stored. Exits 1 when the archive or an entry is bad.
"""
import hashlib
import sys
import zipfile

try:
    with zipfile.ZipFile(sys.argv[1]) as archive:
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
            line = f"\t{info.file_size}\t{digest.hexdigest()}\t{info.compress_type}\t{info.compress_size}\n"
            sys.stdout.buffer.write(name + line.encode())
except (zipfile.BadZipFile, OSError) as error:
    print(f"unreadable archive: {error}", file=sys.stderr)
    sys.exit(1)
