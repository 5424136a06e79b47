#!/usr/bin/env python3
"""Writes the PE checksum into the header of each file named, as link.exe /RELEASE and GNU
ld do (lld 14 cannot): the file's 16-bit words summed with their carries folded back in,
the checksum field taken as zero, plus the file's length. Signing tools write it too, and
removing a signature computes it again, so a product that carries it comes back byte for
byte once its signature is removed."""
import struct
import sys


def pe_checksum(data: bytes, field: int) -> int:
    words = data[:field] + b"\0\0\0\0" + data[field + 4:]
    if len(words) % 2:
        words += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main() -> None:
    for path in sys.argv[1:]:
        with open(path, "r+b") as f:
            data = f.read()
            # e_lfanew, then the PE signature and file header (24 bytes); the checksum is
            # at offset 64 of the optional header in both PE32 and PE32+.
            field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
            f.seek(field)
            f.write(struct.pack("<I", pe_checksum(data, field)))


if __name__ == "__main__":
    main()
