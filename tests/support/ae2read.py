#!/usr/bin/env python3
"""Reads a ZIP archive of AES-256 encrypted entries ("AE-2", method 99) from the format's rules
alone, as a reader that shares nothing with the program: the end records and the central
directory (ZIP64 where marked), each entry's local header, the key derivation (PBKDF2-HMAC-SHA1,
1000 rounds, 66 bytes), the password verifier, the authentication code (HMAC-SHA1 over the
encrypted data, first 10 bytes) and AES-256 in the format's counter mode (a 16-byte little-endian
counter from 1).

    ae2read.py ARCHIVE < passphrase-file

The passphrase is the first line of standard input, so that it is on no command line. Prints one
line per entry: name, size, SHA-256 of the content, real method and salt, tab-separated. Exits 1
when anything departs from the rules, naming it on stderr; an entry whose verifier does not match
the passphrase says "wrong passphrase".
"""
import hashlib
import hmac
import struct
import sys
import zlib

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

CHUNK = 1 << 20
problems = []
salts = set()


def fail(name, why):
    problems.append(f"{name}: {why}")


def extras(data):
    fields, at = {}, 0
    while at + 4 <= len(data):
        kind, size = struct.unpack_from("<HH", data, at)
        fields[kind] = data[at + 4:at + 4 + size]
        at += 4 + size
    return fields


def zip64(field, values):
    """The ZIP64 extra field fills, in order, the values that are 0xFFFFFFFF."""
    out, at = [], 0
    for value in values:
        if value == 0xFFFFFFFF:
            value = struct.unpack_from("<Q", field, at)[0]
            at += 8
        out.append(value)
    return out


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
    local_extras = extras(archive.read(extra_length))
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


def main():
    passphrase = sys.stdin.buffer.readline().rstrip(b"\r\n")
    with open(sys.argv[1], "rb") as archive:
        archive.seek(0, 2)
        end = archive.tell()
        archive.seek(max(0, end - 22))
        record = archive.read(22)
        (signature, _, _, _, count, directory_size, directory_offset, _) = struct.unpack("<IHHHHIIH", record)
        if signature != 0x06054B50:
            sys.exit("no end record (or an archive comment)")
        if count == 0xFFFF or directory_offset == 0xFFFFFFFF:
            archive.seek(end - 22 - 20)
            locator = struct.unpack("<IIQI", archive.read(20))
            archive.seek(locator[2])
            record64 = struct.unpack("<IQHHIIQQQQ", archive.read(56))
            if locator[0] != 0x07064B50 or record64[0] != 0x06064B50:
                sys.exit("bad ZIP64 end records")
            count, directory_size, directory_offset = record64[7], record64[8], record64[9]
        archive.seek(directory_offset)
        central = archive.read(directory_size)
        entries, at = [], 0
        for _ in range(count):
            fields = struct.unpack_from("<IHHHHHHIIIHHHHHII", central, at)
            name_length, extra_length, comment_length = fields[10], fields[11], fields[12]
            name = central[at + 46:at + 46 + name_length]
            field = extras(central[at + 46 + name_length:at + 46 + name_length + extra_length])
            values = zip64(field.get(0x0001, b""), [fields[9], fields[8], fields[16]])
            label = name.decode("utf-8" if fields[3] & 0x800 else "cp437")
            if fields[0] != 0x02014B50 or fields[4] != 99 or not fields[3] & 1 or fields[7] != 0 \
                    or fields[2] < 51 or 0x9901 not in field:
                fail(label, "central record does not describe an AE-2 entry")
            else:
                entries.append((name, label, values, field[0x9901]))
            at += 46 + name_length + extra_length + comment_length
        for name, label, (size, compressed, offset), aes_field in entries:
            result = read_entry(archive, label, size, compressed, offset, aes_field, passphrase)
            if result:
                sys.stdout.buffer.write(name + f"\t{size}\t{result}\n".encode())
    for problem in problems:
        print(f"bad entry: {problem}", file=sys.stderr)
    sys.exit(1 if problems else 0)


main()
