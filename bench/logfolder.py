#!/usr/bin/env python3
"""Fills a logging folder with files unlike orvel-sim's: random sizes between two bounds (spread
evenly over their logarithm), random names (the two picked prefixes in any case, other files
among them, names of many lengths, some not ASCII), and several kinds of content, so that the
benchmarks do not measure only the shapes orvel-sim makes.

    logfolder.py FOLDER --files N --min BYTES --max BYTES [--diag SHARE] [--binary SHARE]
                 [--other SHARE] [--seed N]

SHARE is a fraction of the files: --diag of them are raw diagnostic logs (records of the served
product, whole records with blank lines among them and now and then a record past 510
characters), --other are neither data_ nor diag_ files (never archived), and of the data_ files
--binary hold binary data (packed records, or bytes that do not compress); the rest hold log text
of many message forms. The folder is made if missing; files already there stay.
"""
import argparse
import math
import os
import random
import struct

parser = argparse.ArgumentParser()
parser.add_argument("folder")
parser.add_argument("--files", type=int, required=True)
parser.add_argument("--min", type=int, required=True)
parser.add_argument("--max", type=int, required=True)
parser.add_argument("--diag", type=float, default=1 / 3)
parser.add_argument("--binary", type=float, default=0.2)
parser.add_argument("--other", type=float, default=0.03)
parser.add_argument("--seed", type=int, default=11)
options = parser.parse_args()
rng = random.Random(options.seed)

WORDS = ("message mailbox caller greeting queued delivered retry session port trunk extension "
         "notify directory sync user store volume index timeout accepted refused pending voice "
         "fax record play stop transfer hold resume digit prompt language quota full").split()
HOSTS = ["mx%02d.example.net" % i for i in range(12)] + ["10.4.%d.%d" % (i, i * 7 % 250) for i in range(9)]
LEVELS = ("TRACE", "INFO", "WARN", "ERROR", "FATAL")


def size_of():
    low, high = math.log(options.min), math.log(options.max)
    return int(math.exp(rng.uniform(low, high)))


def name_of(prefix, taken):
    stems = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789-_.") for _ in range(rng.randint(1, 40))),
             "%04d%02d%02d_%06d" % (rng.randint(2019, 2027), rng.randint(1, 12), rng.randint(1, 28),
                                    rng.randint(0, 999999)),
             rng.choice(["boîte", "größe", "очередь", "café"]) + str(rng.randint(0, 99999))]
    while True:
        name = prefix + rng.choice(stems) + rng.choice([".log", ".txt", "", ".1", ".old"])
        if name.lower() not in taken:
            taken.add(name.lower())
            return name


def cased(prefix):
    return "".join(c.upper() if rng.random() < 0.15 else c for c in prefix)


def text_line():
    kind = rng.randrange(5)
    stamp = "2026-%02d-%02d %02d:%02d:%02d.%03d" % (rng.randint(1, 12), rng.randint(1, 28), rng.randrange(24),
                                                   rng.randrange(60), rng.randrange(60), rng.randrange(1000))
    words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 14)))
    if kind == 0:
        return f"{stamp} {rng.choice(LEVELS)} [{rng.randrange(65536):04X}] {words}"
    if kind == 1:
        return f"{stamp} {rng.choice(HOSTS)} session={rng.getrandbits(48):012x} {words} in {rng.randint(1, 90000)} ms"
    if kind == 2:
        return f"{stamp};{rng.randint(1, 9999)};{rng.choice(WORDS)};{rng.random():.6f};{rng.choice(HOSTS)}"
    if kind == 3:
        return f"  at {rng.choice(WORDS)}.{rng.choice(WORDS)}({rng.choice(WORDS)}.cpp:{rng.randint(1, 4000)})"
    return f"{stamp} {words.upper()} {rng.getrandbits(128):032x}"


def record(message_length):
    message = " ".join(rng.choice(WORDS) for _ in range(message_length // 6 + 1))[:message_length]
    return "%016X|%04X|%d|%d|%s" % (rng.randint(1_600_000_000_000, 1_900_000_000_000), rng.randrange(65536),
                                    rng.randrange(5), rng.choice([1, 2, 3, 4, 5, rng.randint(6, 999)]),
                                    message.encode().hex().upper())


def diag_content(size):
    lines, used = [], 0
    while used < size:
        roll = rng.random()
        if roll < 0.03:
            line = rng.choice(["", "   ", "\t"])
        elif roll < 0.04:
            line = record(rng.randint(260, 900))
        else:
            line = record(rng.randint(4, 120))
        lines.append(line)
        used += len(line) + 1
    # Whole records only, as the product writes them: a record cut short is the formatter's error.
    while len(lines) > 1 and used > size:
        used -= len(lines.pop()) + 1
    return ("\n".join(lines) + "\n").encode()


def text_content(size):
    lines, used = [], 0
    while used < size:
        line = text_line()
        lines.append(line)
        used += len(line) + 2
    return ("\r\n".join(lines) + "\r\n").encode()[:size]


def binary_content(size):
    if rng.random() < 0.5:
        return rng.randbytes(size)
    out, base = bytearray(), rng.getrandbits(32)
    while len(out) < size:
        base += rng.randint(0, 900)
        out += struct.pack("<IIHHd", base, rng.randrange(64), rng.randrange(5), rng.randrange(1000),
                           rng.random() * 100)
    return bytes(out[:size])


os.makedirs(options.folder, exist_ok=True)
taken = {name.lower() for name in os.listdir(options.folder)}
for _ in range(options.files):
    roll = rng.random()
    size = size_of()
    if roll < options.diag:
        name, content = name_of(cased("diag_"), taken), diag_content(size)
    elif roll < options.diag + options.other:
        name = name_of(rng.choice(["app_", "trace-", "da", "x", "readme"]), taken)
        content = text_content(size)
    else:
        name = name_of(cased("data_"), taken)
        content = binary_content(size) if rng.random() < options.binary else text_content(size)
    with open(os.path.join(options.folder, name), "wb") as out:
        out.write(content)
