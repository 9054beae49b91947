#!/usr/bin/env python3
"""Raw diagnostic files that cross every size boundary of the formatting: the 510-character cut,
the 64 KiB read block, the batch of 256 lines or 256 K characters, the formatter helper's
messages and its answers, the 1 MiB of a copy made in memory, the 8 MiB the formatting runs ahead; short, long and
over-64-KiB lines first, in the middle, last and after a batch's worth of short lines; LF, CR LF
and lone CRs; blank, control and rejected lines.

    raw_cases.py FOLDER [NAME...]   writes FOLDER/diag_NAME.log for the named cases (all of the
                                    table when none is named); "filled_BYTES" is a file of
                                    exactly BYTES bytes of records, "small_N" a few records
"""
import itertools
import os
import sys

KIB = 1024
MIB = KIB * KIB
BLOCK = 64 * KIB
CUT = 510
BATCH_LINES = 256
BATCH_CHARS = 256 * KIB
COMPONENTS = [1, 2, 3, 4, 5, 7, 0, 123456789]


def head(i):
    return b"%016X|%04X|%d|%d|" % (0x1A2415F8683 + i * 1234567, i * 7919 & 0xFFFF, i % 5,
                                   COMPONENTS[i % len(COMPONENTS)])


PAIRS = b"".join(b"%02X" % b for b in range(256))


def hex_digits(n, i=0):
    """n hex digits whose pairs run through every byte value (an odd n leaves a dangling digit)."""
    start = 2 * (i % 256)
    return ((PAIRS[start:] + PAIRS[:start]) * (n // len(PAIRS) + 1))[:n]


ANY = bytes(b for b in range(256) if b != 10)


def filler(n, i=0):
    """n characters of anything but a line break (blanks, tabs, CRs, Latin-1), ending in X."""
    start = i * 31 % len(ANY)
    text = (ANY[start:] + ANY[:start]) * (n // len(ANY) + 1)
    return text[:n - 1] + b"X" if n else b""


def record(length, i=0, rest="hex"):
    """A record of exactly `length` characters, hex up to the cut; beyond it hex or anything."""
    h = head(i)
    if length <= CUT:
        return h + hex_digits(length - len(h), i)
    tail = hex_digits(length - CUT, i + 1) if rest == "hex" else filler(length - CUT, i)
    return h + hex_digits(CUT - len(h), i) + tail


def bad(length, i=0):
    """A line of exactly `length` characters that is no record."""
    return (b"bad%d:" % i + filler(length, i))[:length - 1] + b"x"


def short(i):
    return head(i) + hex_digits(2 * (i % 40), i)


def shorts(n, start=0):
    return [short(start + k) for k in range(n)]


def join(lines, eol=b"\r\n", last=True):
    text = eol.join(lines)
    return text + eol if last and lines else text


def filled(size, i=0):
    """Exactly `size` (at least 100) bytes of records, CR LF after each."""
    out, k, left = [], i, size
    while left > 0:
        line = record(100 + k * 37 % 400, k) + b"\r\n"
        if left - len(line) < 100:
            line = record(left - 2, k) + b"\r\n"
        out.append(line)
        left -= len(line)
        k += 1
    return b"".join(out)


def answered(total):
    """Records at the cut whose answers from the helper (8 bytes of header and the text, a line)
    come to exactly `total` bytes: the last two are sized to the rest."""
    from readable_copy import format_record

    def answer(line):
        return 8 + len(format_record(line))

    out, k, left = [], 0, total
    while left > 2 * answer(record(CUT, k)):
        out.append(record(CUT, k))
        left -= answer(out[-1])
        k += 1
    for share in (left // 2, left - left // 2):
        out.append(next(line for line in (record(n, k) for n in range(len(head(k)), CUT + 1))
                        if answer(line) == share))
        k += 1
    assert sum(map(answer, out)) == total and len(out) < BATCH_LINES
    return out


def cases():
    table = {}
    long_line = 2 * BLOCK + 123
    # One line of each length at each boundary and either side, first, between and last.
    for n in [1, 26, CUT - 1, CUT, CUT + 1, CUT + 2, BLOCK - 1, BLOCK, BLOCK + 1, long_line]:
        line = record(n, n) if n >= 26 else b"x" * n
        table["len_%d_first" % n] = join([line] + shorts(2))
        table["len_%d_middle" % n] = join(shorts(3) + [line] + shorts(2, 3))
        table["len_%d_last" % n] = join(shorts(3) + [line], last=False)
        table["len_%d_rest_any" % n] = join(shorts(1) + [record(n, n, rest="any") if n >= 26
                                                         else line] + shorts(1, 1))
    # A long line after a batch's worth of short lines, one either side.
    for k in [BATCH_LINES - 1, BATCH_LINES, BATCH_LINES + 1, 2 * BATCH_LINES]:
        table["batch_lines_%d" % k] = join(shorts(k) + [record(long_line, k)] + shorts(3, k))
        table["batch_lines_%d_bad_long" % k] = join(shorts(k) + [bad(long_line, k)] + shorts(3, k))
    # Lines whose characters reach the batch's 256 K at the line before a long one.
    for total in [BATCH_CHARS - 1, BATCH_CHARS, BATCH_CHARS + 1]:
        lines = [record(4096, k) for k in range(63)]
        lines.append(record(total - 63 * 4096, 63))
        table["batch_chars_%d" % total] = join(lines + [record(long_line, 64)] + shorts(2))
    # Lines just inside the block: a batch's characters made of them.
    table["batch_of_block_lines"] = join([record(BLOCK - 1, k) for k in range(6)] + shorts(2))
    # The helper's messages: whole batches of lines at the cut, answers longer than 64 KiB.
    table["helper_batches_of_510"] = join([record(CUT, k) for k in range(3 * BATCH_LINES + 7)])
    table["helper_batches_of_511"] = join([record(CUT + 1, k) for k in range(BATCH_LINES + 1)])
    # One batch's answers at 64 KiB, the room they are first read into, and one either side.
    for total in [BLOCK - 1, BLOCK, BLOCK + 1]:
        table["answers_%d" % total] = join(answered(total))
    table["many_short_then_long"] = join(shorts(1000) + [record(3 * BLOCK, 1)] + shorts(300, 5))
    table["long_lines_in_a_row"] = join(shorts(2) + [record(long_line, k) for k in range(4)] +
                                        [bad(long_line), record(BLOCK + 1, 9)] + shorts(2))
    # Blanks: around the cut, spanning blocks, trailing, leading.
    table["blanks_across_cut"] = join(shorts(1) + [record(500, 1) + b" " * 20 + b"Y" * 30] +
                                      shorts(1))
    table["cut_then_blocks_of_blanks"] = join(shorts(2) + [record(CUT, 2) + b" " * (2 * BLOCK) + b"Q"]
                                              + shorts(1))
    table["short_then_blocks_of_blanks"] = join(shorts(2) + [record(300, 2) + b" " * (3 * BLOCK) +
                                                             b"Q" + filler(BLOCK, 3)] + shorts(1))
    table["cut_then_trailing_blanks"] = join(shorts(2) + [record(CUT, 3) + b" " * (BLOCK + 5)] +
                                             shorts(1))
    table["long_then_trailing_blanks"] = join(shorts(2) + [record(long_line, 3) + b" " * (BLOCK + 5)]
                                              + shorts(1))
    for n in [BLOCK - 1, BLOCK, BLOCK + 1]:
        table["inner_blanks_%d" % n] = join(shorts(1) + [record(CUT + 5, 4) + b" " * n + b"E"] +
                                            shorts(1))
    table["leading_blanks_over_block"] = join(shorts(1) + [b" " * (BLOCK + 3) + short(5),
                                                           b"\t" * (BLOCK + 1) + record(long_line, 6),
                                                           b" " * BLOCK + b"\0\r\t" + short(7)]
                                              + shorts(1, 8))
    # Line ends.
    table["eol_lf"] = join(shorts(5) + [record(long_line, 1)] + shorts(3), eol=b"\n")
    table["eol_mixed"] = b"".join(line + eol for line, eol in
                                  zip(shorts(6), itertools.cycle([b"\n", b"\r\n", b"\r\r\n"])))
    table["eol_lone_cr"] = (short(1) + b"\r" + short(2) + b"\r\n" + b"\r\r\r\n" + short(3) +
                            b"\r\n\r\n\n" + short(4) + b"\r")
    table["eol_none"] = join(shorts(3), last=False)
    for n in [BLOCK - 2, BLOCK - 1, BLOCK]:
        # The CR of a CR LF at, before and after the end of a block.
        table["crlf_at_%d" % n] = join(shorts(2) + [record(n, 1)] + shorts(1), eol=b"\r\n")
        table["lone_cr_at_%d" % n] = join(shorts(1) + [record(n, 2, rest="any") + b"\r" +
                                                       b"tail"] + shorts(1))
    table["cr_before_lf_at_block"] = join(shorts(1) + [record(BLOCK - 1, 3) + b"\r"] + shorts(1))
    # Blank and control lines.
    table["blank_and_control"] = (b"\r\n      \r\n\t\t\r\n\0\0\t\r\n \0 \r\n" + b"  \t" + short(1) +
                                  b"\r\n\t  " + short(2) + b"\r\n" + b"\0" + short(3) + b"\0\r\n")
    table["only_blank_lines"] = b"   \r\n\t\r\n\r\n \n"
    table["empty"] = b""
    # Lines the formatter rejects.
    rejected = [b"not a record", b"1|2|3", b"000001A2415F8683|0A3C|5|1|41",
                b"FFFFFFFFFFFFFFFF|0A3C|3|1|41", b"000001A2415F8683|0A3|3|1|41",
                b"000001A2415F8683|0A3C|3|x|41", b"000001A2415F8683|0A3C|3|1|4G",
                b"000001A2415F8683|0A3C|3|1|41|42", bad(CUT), bad(CUT + 1), bad(BLOCK + 1)]
    table["rejected_mixed"] = join([line for pair in zip(shorts(len(rejected)), rejected)
                                    for line in pair])
    # The first millisecond of 1970, the last of 9999 and one after it.
    table["time_edges"] = join([b"0000000000000000|0000|1|4|"] +
                               [b"%016X|FFFF|4|0|41" % ms for ms in (253402300799999,
                                                                     253402300800000)])
    # Rejected lines are listed up to 100 a file, then counted.
    for n in [99, 100, 101]:
        table["rejected_%d" % n] = join([bad(30 + k, k) for k in range(n)] + shorts(2))
    table["rejected_150_long"] = join([bad(CUT + k * 700, k) for k in range(150)] + shorts(1))
    # In memory up to 1 MiB, written beyond.
    for size in [MIB - 1, MIB, MIB + 1]:
        table["filled_%d" % size] = filled(size)
    return table


def build(name, table):
    if name.startswith("filled_") and name not in table:
        size, _, i = name[len("filled_"):].partition("_")
        return filled(int(size), int(i or 0))
    if name.startswith("small_"):
        i = int(name[len("small_"):])
        return join(shorts(3 + i % 5, i) + ([bad(40, i)] if i % 7 == 0 else []))
    return table[name]


def main():
    folder, names = sys.argv[1], sys.argv[2:]
    generated = ("filled_", "small_")
    table = {} if names and all(name.startswith(generated) for name in names) else cases()
    os.makedirs(folder, exist_ok=True)
    for name in names or list(table):
        with open(os.path.join(folder, "diag_%s.log" % name), "wb") as out:
            out.write(build(name, table))


if __name__ == "__main__":
    main()
