#!/usr/bin/env python3
"""A strict check of a ZIP archive's container, written from the format's rules (PKWARE's
APPNOTE 6.3) and not from the program's writer: where lenient readers guess, this one refuses.

    zipstrict.py [--prefix N] ARCHIVE   exit 0 and one summary line, or exit 1 and one line per
                                        fault; N bytes of a stub before the first entry
    zipstrict.py --headers [--prefix N] ARCHIVE
                                        the summary, then per entry its name, size, compressed
                                        size and the local header's offset, tab-separated
    zipstrict.py --read [--prefix N] ARCHIVE
                                        the data read too, by readers independent of this one:
                                        `7z t` where 7-Zip is installed, and Python's zipfile with
                                        its CRC check; per entry its name, size, SHA-256 of the
                                        content, method, compressed size and the DOS date and
                                        time, tab-separated

Names are printed as the bytes stored.

What it holds an archive to:
- one end of central directory record, at the very end and without a comment (the program writes
  none), on disk 0;
- the ZIP64 end record and its locator exactly when a count, size or offset does not fit the end
  record's fields (entries >= 0xFFFF, sizes or offsets >= 0xFFFFFFFF), and not otherwise; the end
  record's fields hold the true value, or the escape value where it does not fit;
- the central directory: exactly the entries counted, end to end, no byte between it and the end
  records; each record's extra fields parse exactly; a ZIP64 extra field holds exactly the fields
  whose header value is the escape value, in the order the format gives, and only those that need
  it; stored entries have equal sizes; names are unique; a UTF-8 name beyond ASCII carries the
  UTF-8 flag (bit 11) in both its headers, and a flagged name is valid UTF-8;
- every local header matches its central record: name, flags, method, time, CRC and sizes (or the
  escape values with a ZIP64 field holding both sizes); an extra field both carry says the same in
  both (the format lets them carry different ones);
- the entries lie end to end from the archive's first byte to the central directory: no gap, no
  overlap, nothing before the first local header;
- the DOS time is a real date and time, and where an exact time is kept too (extended timestamp
  0x5455 or NTFS 0x000A), the DOS fields say the same moment in the local time zone (to its
  two-second step, the odd second dropped or rounded up), limited to 1980-2107.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import time
import zipfile

ESCAPE16, ESCAPE32 = 0xFFFF, 0xFFFFFFFF
LOCAL, CENTRAL, END, END64, LOCATOR = 0x04034B50, 0x02014B50, 0x06054B50, 0x06064B50, 0x07064B50
NTFS_EPOCH = 11644473600


class Faults(Exception):
    pass


def dos_fields(moment):
    """The DOS date and time that say `moment` (seconds since 1970) in local time, limited to the
    format's years."""
    try:
        local = time.localtime(moment)
        year = local.tm_year
    except (OverflowError, OSError, ValueError):
        year = 9999 if moment > 0 else 0
    if year < 1980:
        return (1 << 5 | 1) << 16
    if year > 2107:
        return (127 << 9 | 12 << 5 | 31) << 16 | (23 << 11 | 59 << 5 | 29)
    date = (year - 1980) << 9 | local.tm_mon << 5 | local.tm_mday
    return date << 16 | local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec // 2


def valid_dos(value):
    date, clock = value >> 16, value & 0xFFFF
    month, day = date >> 5 & 15, date & 31
    return 1 <= month <= 12 and 1 <= day <= 31 and clock >> 11 < 24 and clock >> 5 & 63 < 60 and clock & 31 < 30


def parse_extra(data, where, faults):
    """The extra fields as a list of (id, bytes); they must fill the extra length exactly."""
    fields, at = [], 0
    while at < len(data):
        if at + 4 > len(data):
            faults.append(f"{where}: extra field header cut short")
            break
        ident, size = struct.unpack_from("<HH", data, at)
        if at + 4 + size > len(data):
            faults.append(f"{where}: extra field 0x{ident:04x} runs past the extra length")
            break
        fields.append((ident, data[at + 4:at + 4 + size]))
        at += 4 + size
    ids = [i for i, _ in fields]
    if len(ids) != len(set(ids)):
        faults.append(f"{where}: an extra field appears twice")
    return fields


def utf8_flag(name, flags, where, faults):
    """Bit 11 says the name is UTF-8; without it a reader takes code page 437 and garbles a UTF-8
    name beyond ASCII. Bytes that are no UTF-8 at all can only be code page 437."""
    try:
        name.decode("utf-8")
        utf8 = True
    except UnicodeDecodeError:
        utf8 = False
    if flags & 0x800 and not utf8:
        faults.append(f"{where}: flagged UTF-8 but is not")
    elif utf8 and not flags & 0x800 and any(byte >= 0x80 for byte in name):
        faults.append(f"{where}: a UTF-8 name beyond ASCII without the UTF-8 flag (bit 11)")


def exact_time(fields, where, faults, central):
    """The modification time the extra fields keep, or None."""
    found = None
    for ident, data in fields:
        if ident == 0x5455:
            if not data:
                faults.append(f"{where}: empty extended timestamp")
                continue
            flags = data[0]
            if flags & 1:
                if len(data) < 5:
                    faults.append(f"{where}: extended timestamp without its modification time")
                    continue
                found = struct.unpack_from("<I", data, 1)[0]
            expected = 1 + 4 * (bin(flags & 7).count("1") if not central else (flags & 1))
            if len(data) != expected:
                faults.append(f"{where}: extended timestamp of {len(data)} bytes, flags say {expected}")
        elif ident == 0x000A:
            if len(data) < 4 + 4 + 24 or struct.unpack_from("<HH", data, 4) != (1, 24):
                faults.append(f"{where}: NTFS times malformed")
                continue
            ticks = struct.unpack_from("<Q", data, 8)[0]
            if ticks % 10000000 == 0:
                found = ticks // 10000000 - NTFS_EPOCH
            else:
                found = ticks / 10000000 - NTFS_EPOCH
    return found


def check(path, prefix=0):
    """The summary and the central records (name, flags, method, crc, usize, csize, offset, fields
    and more), or Faults."""
    faults = []
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        def read(offset, length):
            if offset < 0 or offset + length > size:
                raise Faults([f"a record at {offset} runs past the end of the archive ({size} bytes)"])
            f.seek(offset)
            return f.read(length)

        end_at = size - 22
        (signature, disk, cd_disk, here_count, count16, cd_size32, cd_offset32, comment) = \
            struct.unpack("<IHHHHIIH", read(end_at, 22))
        if signature != END or comment:
            raise Faults(["no end of central directory record without a comment at the end"])
        if disk or cd_disk:
            faults.append(f"end record names disk {disk} and {cd_disk}: a single archive is disk 0")
        if here_count != count16:
            faults.append(f"end record: {here_count} entries on this disk but {count16} in all")

        # The ZIP64 end record and its locator, which stand right before the end record.
        has64 = end_at >= 20 and struct.unpack("<I", read(end_at - 20, 4))[0] == LOCATOR
        count, cd_size, cd_offset, records_end = count16, cd_size32, cd_offset32, end_at
        if has64:
            _, disk64, end64_at, disks = struct.unpack("<IIQI", read(end_at - 20, 20))
            if disk64 != 0 or disks != 1:
                faults.append(f"ZIP64 locator: disk {disk64} of {disks}")
            signature, record_size, _, needed, d1, d2, here64, count64, cd_size64, cd_offset64 = \
                struct.unpack("<IQHHIIQQQQ", read(end64_at, 56))
            if signature != END64:
                raise Faults(faults + [f"the ZIP64 locator points at {end64_at}, where no ZIP64 end record is"])
            if end64_at + 12 + record_size != end_at - 20:
                faults.append("bytes between the ZIP64 end record and its locator")
            if record_size < 44:
                faults.append(f"ZIP64 end record of size {record_size}")
            if d1 or d2:
                faults.append("ZIP64 end record names another disk")
            if here64 != count64:
                faults.append(f"ZIP64 end record: {here64} entries here, {count64} in all")
            if (needed & 0xFF) < 45:
                faults.append(f"ZIP64 end record needs version {needed & 0xFF}, below 4.5")
            count, cd_size, cd_offset, records_end = count64, cd_size64, cd_offset64, end64_at
            for name, field, value, escape in (("entry count", count16, count64, ESCAPE16),
                                               ("entry count on this disk", here_count, here64, ESCAPE16),
                                               ("directory size", cd_size32, cd_size64, ESCAPE32),
                                               ("directory offset", cd_offset32, cd_offset64, ESCAPE32)):
                if field != escape and (field != value or value >= escape):
                    faults.append(f"end record {name} {field}, the ZIP64 record says {value}")
        if cd_offset + cd_size != records_end:
            faults.append(f"the central directory ({cd_size} bytes at {cd_offset}) does not end where "
                          f"the end records begin ({records_end})")

        # The central directory, record by record.
        directory = read(cd_offset, cd_size)
        at, entries, names = 0, [], set()
        while at < len(directory):
            where = f"central record {len(entries) + 1} at {cd_offset + at}"
            if at + 46 > len(directory) or struct.unpack_from("<I", directory, at)[0] != CENTRAL:
                raise Faults(faults + [f"{where}: not a central directory record"])
            (_, made, needed, flags, method, dos, crc, csize, usize, name_len, extra_len, comment_len,
             disk_start, _, _, offset) = struct.unpack_from("<IHHHHIIIIHHHHHII", directory, at)
            name = directory[at + 46:at + 46 + name_len]
            extra = directory[at + 46 + name_len:at + 46 + name_len + extra_len]
            at += 46 + name_len + extra_len + comment_len
            if at > len(directory):
                raise Faults(faults + [f"{where}: runs past the central directory"])
            where = f"entry {name!r}"
            fields = parse_extra(extra, where + " (central)", faults)
            zip64 = dict(fields).get(0x0001)
            wanted = [(n, v) for n, v in (("size", usize), ("compressed size", csize), ("offset", offset))
                      if v == ESCAPE32]
            if disk_start:
                faults.append(f"{where}: starts on disk {disk_start}")
            if wanted and zip64 is None:
                faults.append(f"{where}: escape values without a ZIP64 extra field")
            elif zip64 is not None:
                if len(zip64) != 8 * len(wanted):
                    faults.append(f"{where}: ZIP64 extra field of {len(zip64)} bytes for {len(wanted)} escaped fields")
                else:
                    values = {n: int.from_bytes(zip64[8 * i:8 * i + 8], "little") for i, (n, _) in enumerate(wanted)}
                    for n, v in values.items():
                        if v < ESCAPE32:
                            faults.append(f"{where}: {n} {v} escaped to ZIP64 though it fits")
                    usize, csize, offset = values.get("size", usize), values.get("compressed size", csize), values.get("offset", offset)
                if (needed & 0xFF) < 45:
                    faults.append(f"{where}: ZIP64 fields with version needed {needed & 0xFF}")
            utf8_flag(name, flags, where + " (central)", faults)
            if name in names:
                faults.append(f"{where}: a second entry of that name")
            names.add(name)
            if method == 0 and csize != usize and not flags & 1:
                faults.append(f"{where}: stored, yet {csize} bytes hold {usize}")
            if not valid_dos(dos):
                faults.append(f"{where}: DOS date and time 0x{dos:08x} is no real moment")
            moment = exact_time(fields, where + " (central)", faults, True)
            # Two-second steps: the writer may drop the odd second or round it up.
            if moment is not None and dos not in (dos_fields(int(moment)), dos_fields(int(moment) + 1)):
                faults.append(f"{where}: DOS time 0x{dos:08x} and exact time {moment} disagree "
                              f"(expected 0x{dos_fields(int(moment)):08x})")
            entries.append(dict(name=name, needed=needed & 0xFF, flags=flags, method=method, dos=dos,
                                crc=crc, csize=csize, usize=usize, offset=offset, fields=fields,
                                moment=moment, where=where))
        if len(entries) != count:
            faults.append(f"the end records count {count} entries, the central directory holds {len(entries)}")
        # Whether ZIP64 is needed follows from what the archive holds, not from what it says.
        needs64 = max(count, len(entries)) >= ESCAPE16 or cd_size >= ESCAPE32 or cd_offset >= ESCAPE32
        if needs64 and not has64:
            faults.append(f"{len(entries)} entries, directory of {cd_size} bytes at {cd_offset}: "
                          "the ZIP64 end record is missing")
        if has64 and not needs64:
            faults.append("a ZIP64 end record where the end record's fields suffice")

        # Every local header, and the data after it, end to end.
        expected_at = prefix
        for entry in sorted(entries, key=lambda e: e["offset"]):
            where = entry["where"]
            if entry["offset"] != expected_at:
                faults.append(f"{where}: starts at {entry['offset']}, the previous entry ends at {expected_at}"
                              + (" (a gap)" if entry["offset"] > expected_at else " (an overlap)"))
            (signature, needed, flags, method, dos, crc, csize, usize, name_len, extra_len) = \
                struct.unpack("<IHHHIIIIHH", read(entry["offset"], 30))
            if signature != LOCAL:
                faults.append(f"{where}: no local header at {entry['offset']}")
                expected_at = entry["offset"] + 30
                continue
            name = read(entry["offset"] + 30, name_len)
            fields = parse_extra(read(entry["offset"] + 30 + name_len, extra_len), where + " (local)", faults)
            if name != entry["name"]:
                faults.append(f"{where}: local header names it {name!r}")
            utf8_flag(name, flags, where + " (local)", faults)
            for what, local_value, central_value in (("flags", flags, entry["flags"]),
                                                     ("method", method, entry["method"]),
                                                     ("DOS time", dos, entry["dos"])):
                if local_value != central_value:
                    faults.append(f"{where}: local {what} 0x{local_value:x}, central 0x{central_value:x}")
            zip64 = dict(fields).get(0x0001)
            if flags & 8:
                faults.append(f"{where}: a data descriptor (flag bit 3): the program writes none")
            if zip64 is not None:
                if len(zip64) != 16 or usize != ESCAPE32 or csize != ESCAPE32:
                    faults.append(f"{where}: local ZIP64 field must hold both sizes, the header both escaped")
                else:
                    usize, csize = struct.unpack("<QQ", zip64)
                if (needed & 0xFF) < 45:
                    faults.append(f"{where}: local ZIP64 field with version needed {needed & 0xFF}")
            elif entry["usize"] >= ESCAPE32 or entry["csize"] >= ESCAPE32:
                faults.append(f"{where}: {entry['usize']} bytes need a ZIP64 field in the local header")
            if (crc, csize, usize) != (entry["crc"], entry["csize"], entry["usize"]):
                faults.append(f"{where}: local CRC {crc:08x}, sizes {csize}/{usize}; central "
                              f"{entry['crc']:08x}, {entry['csize']}/{entry['usize']}")
            # The format lets the two headers carry different extra fields; one carried by both
            # says the same in both.
            central_fields = dict(entry["fields"])
            moment = exact_time(fields, where + " (local)", faults, False)
            if 0x5455 in central_fields and 0x5455 in dict(fields):
                if exact_time([(0x5455, dict(fields)[0x5455])], where, faults, False) != \
                        exact_time([(0x5455, central_fields[0x5455])], where, faults, True):
                    faults.append(f"{where}: the local and central extended timestamps differ")
            for ident, data in fields:
                if ident not in (0x0001, 0x5455) and ident in central_fields and central_fields[ident] != data:
                    faults.append(f"{where}: extra field 0x{ident:04x} differs from the central one")
            if moment is not None and dos not in (dos_fields(int(moment)), dos_fields(int(moment) + 1)):
                faults.append(f"{where}: local DOS time 0x{dos:08x} and exact time {moment} disagree")
            expected_at = entry["offset"] + 30 + name_len + extra_len + entry["csize"]
        if expected_at != cd_offset:
            faults.append(f"the last entry ends at {expected_at}, the central directory begins at {cd_offset}")
    if faults:
        raise Faults(faults)
    return f"{len(entries)} entries, central directory {cd_size} bytes at {cd_offset}, " + \
        ("ZIP64 end records" if has64 else "no ZIP64 end records"), entries


def read(path, prefix):
    """What readers independent of this one find in the entries, or 1 when one refuses them."""
    # 7-Zip looks for a stub of a few megabytes at most: an archive behind a larger one is not its
    # case.
    if shutil.which("7z") and prefix < (1 << 20):
        tested = subprocess.run(["7z", "t", "-bd", "-p", path], capture_output=True, text=True,
                                errors="replace")
        if tested.returncode != 0 or "Everything is Ok" not in tested.stdout:
            print("7z t refused it: " + (tested.stdout + tested.stderr)[-2000:], file=sys.stderr)
            return 1
    try:
        with zipfile.ZipFile(path) as archive:
            bad = archive.testzip()
            if bad is not None:
                print(f"bad entry: {bad}", file=sys.stderr)
                return 1
            for info in archive.infolist():
                digest = hashlib.sha256()
                with archive.open(info) as entry:
                    for block in iter(lambda: entry.read(1 << 20), b""):
                        digest.update(block)
                # UTF-8 when the entry says so, code page 437 (every byte as it is) when not.
                name = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
                moment = "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time
                line = f"\t{info.file_size}\t{digest.hexdigest()}\t{info.compress_type}" \
                    f"\t{info.compress_size}\t{moment}\n"
                sys.stdout.buffer.write(name + line.encode())
    except (zipfile.BadZipFile, OSError) as error:
        print(f"unreadable archive: {error}", file=sys.stderr)
        return 1
    return 0


def main():
    args = sys.argv[1:]
    mode = args.pop(0) if args[0] in ("--headers", "--read") else None
    prefix = 0
    if args[0] == "--prefix":
        prefix, args = int(args[1]), args[2:]
    try:
        summary, entries = check(args[0], prefix)
    except Faults as faults:
        for fault in faults.args[0][:50]:
            print(fault, file=sys.stderr)
        return 1
    except OSError as error:
        print(f"unreadable archive: {error}", file=sys.stderr)
        return 1
    if mode == "--read":
        return read(args[0], prefix)
    print(summary)
    for entry in entries if mode == "--headers" else []:
        line = f"\t{entry['usize']}\t{entry['csize']}\t{entry['offset']}\n"
        sys.stdout.buffer.write(entry["name"] + line.encode())
    return 0


if __name__ == "__main__":
    sys.exit(main())
