#!/usr/bin/env python3
"""Reads a ZIP archive of AES-256 encrypted entries ("AE-2", method 99) from the format's rules
alone, as a reader that shares nothing with the program: the container through the strict check
(zipstrict.py), each entry's local header, the key derivation (PBKDF2-HMAC-SHA1,
1000 rounds, 66 bytes), the password verifier, the authentication code (HMAC-SHA1 over the
encrypted data, first 10 bytes) and AES-256 in the format's counter mode (a 16-byte little-endian
counter from 1).

    ae2read.py [--7z] ARCHIVE < passphrase-file

The passphrase is the first line of standard input, so that it is on no command line. Prints one
line per entry: name, size, SHA-256 of the content, real method and salt, tab-separated. Exits 1
when anything departs from the rules, or (with --7z) 7-Zip extracts an entry otherwise, naming it
on stderr; an entry whose verifier does not match the passphrase says "wrong passphrase".
"""
import hashlib
import hmac
import os
import struct
import subprocess
import sys
import zlib

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zipstrict  # noqa: E402

CHUNK = 1 << 20
problems = []
salts = set()


def fail(name, why):
    problems.append(f"{name}: {why}")


def key_stream(aes, first_block, blocks):
    """AES of the counter blocks: each the block's number, 16 bytes little-endian."""
    counters = struct.pack(f"<{2 * blocks}Q", *(v for i in range(first_block, first_block + blocks)
                                               for v in (i, 0)))
    return aes.update(counters)


def read_entry(archive, name, size, compressed, offset, aes_field, passphrase):
    archive.seek(offset)
    local = archive.read(30)
    (signature, _, flags, method, _, _, crc, _, _, name_length,
     extra_length) = struct.unpack("<IHHHHHIIIHH", local)
    if signature != 0x04034B50:
        return fail(name, "no local header")
    archive.read(name_length)
    local_extras = dict(zipstrict.parse_extra(archive.read(extra_length), name, problems))
    if method != 99 or not flags & 1 or crc != 0 or local_extras.get(0x9901) != aes_field:
        return fail(name, "local header does not describe an AE-2 entry")
    version, vendor, strength, real_method = struct.unpack("<H2sBH", aes_field)
    if (version, vendor, strength) != (2, b"AE", 3) or real_method not in (0, 8):
        return fail(name, f"AES field {aes_field.hex()}")
    if compressed < 28:
        return fail(name, "too short for salt, verifier and code")
    salt, verifier = archive.read(16), archive.read(2)
    # Every entry starts its counter at 1: a salt used twice would give two entries one key stream.
    if salt in salts:
        return fail(name, "its salt is another entry's")
    salts.add(salt)
    keys = PBKDF2HMAC(hashes.SHA1(), 66, salt, 1000).derive(passphrase)
    if keys[64:] != verifier:
        return fail(name, "wrong passphrase")
    aes = Cipher(algorithms.AES(keys[:32]), modes.ECB()).encryptor()
    mac = hmac.new(keys[32:64], digestmod=hashlib.sha1)
    inflate = zlib.decompressobj(-15) if real_method == 8 else None
    digest, produced, left, block = hashlib.sha256(), 0, compressed - 28, 1
    while left:
        data = archive.read(min(CHUNK, left))
        left -= len(data)
        mac.update(data)
        blocks = (len(data) + 15) // 16
        stream = key_stream(aes, block, blocks)
        block += blocks
        plain = (int.from_bytes(data, "little") ^ int.from_bytes(stream[:len(data)], "little")).to_bytes(len(data), "little")
        try:
            out = inflate.decompress(plain) if inflate else plain
        except zlib.error as error:
            return fail(name, f"the deflate stream is damaged: {error}")
        digest.update(out)
        produced += len(out)
    if inflate and not inflate.eof:
        return fail(name, "the deflate stream does not end")
    if mac.digest()[:10] != archive.read(10):
        return fail(name, "authentication code does not match")
    if produced != size:
        return fail(name, f"{produced} bytes, the header says {size}")
    return f"{digest.hexdigest()}\t{real_method}\t{salt.hex()}"


def seven_zip_digest(path, name, passphrase):
    """The entry's SHA-256 as 7-Zip extracts it, streamed: an entry may be larger than memory."""
    digest = hashlib.sha256()
    with subprocess.Popen(["7z", "x", "-so", b"-p" + passphrase, path, name],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as extract:
        for block in iter(lambda: extract.stdout.read(CHUNK), b""):
            digest.update(block)
    return digest.hexdigest() if extract.returncode == 0 else "nothing"


def main():
    passphrase = sys.stdin.buffer.readline().rstrip(b"\r\n")
    path = sys.argv[-1]
    try:
        _, entries = zipstrict.check(path)
    except zipstrict.Faults as faults:
        sys.exit("the strict check refused it: " + "; ".join(faults.args[0][:20]))
    with open(path, "rb") as archive:
        for entry in entries:
            label = entry["name"].decode("utf-8" if entry["flags"] & 0x800 else "cp437")
            aes_field = dict(entry["fields"]).get(0x9901)
            if entry["method"] != 99 or not entry["flags"] & 1 or entry["crc"] != 0 \
                    or entry["needed"] < 51 or aes_field is None:
                fail(label, "central record does not describe an AE-2 entry")
                continue
            result = read_entry(archive, label, entry["usize"], entry["csize"], entry["offset"],
                                aes_field, passphrase)
            if not result:
                continue
            digest = result.split("\t")[0]
            if "--7z" in sys.argv and seven_zip_digest(path, entry["name"], passphrase) != digest:
                fail(label, "7-Zip extracts it otherwise")
                continue
            sys.stdout.buffer.write(entry["name"] + f"\t{entry['usize']}\t{result}\n".encode())
    for problem in problems:
        print(f"bad entry: {problem}", file=sys.stderr)
    sys.exit(1 if problems else 0)


main()
