#!/usr/bin/env python3
"""The header fields of a PE image that the build and the release fill in or compare.

Usage: pe_image.py checksum IMAGE   computes the image's checksum and writes it into the header
       pe_image.py digest IMAGE     prints the image's SHA-256 Authenticode digest
       pe_image.py signed IMAGE     exits 0 when the image carries a signature, 1 when not

The checksum is the one the loader checks for drivers and that signing tools keep up to date: the
file as little-endian 16-bit words (checksum field taken as zero, an odd last byte padded with
zero) added with the carries folded back in, folded to 16 bits, plus the file's length.

The Authenticode digest is what a signature vouches for: the file without its checksum field,
without the certificate table's directory entry and without the certificate table itself. It is
the same for a signed image and for the unsigned image it was made from, which is how a signed
release is compared with a rebuild. An unsigned image is hashed as signing pads it: with zeros to
a multiple of 8 bytes.

Also a module: pe-delay-directory.py reads the headers through PeHeaders.
"""
import array
import hashlib
import struct
import sys

SECURITY_DIRECTORY = 4


class PeError(Exception):
    pass


class PeHeaders:
    """Offsets of the fields in the image's headers that the scripts read or write."""

    def __init__(self, data):
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("not a PE image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("not a PE image")
        self.sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        self.optional = pe + 24
        magic = struct.unpack_from("<H", data, self.optional)[0]
        if magic == 0x20B:
            self.pe32plus = True
            self.image_base = struct.unpack_from("<Q", data, self.optional + 24)[0]
            self.directories = self.optional + 112
        elif magic == 0x10B:
            self.pe32plus = False
            self.image_base = struct.unpack_from("<I", data, self.optional + 28)[0]
            self.directories = self.optional + 96
        else:
            raise PeError("unknown optional header")
        self.checksum = self.optional + 64
        self.section_table = self.optional + optional_size

    def directory(self, index):
        """The file offset of data directory entry `index` (address, size)."""
        return self.directories + 8 * index

    def section_headers(self, data):
        """(virtual size, virtual address, raw size, raw offset) of each section."""
        return [struct.unpack_from("<IIII", data, self.section_table + 40 * i + 8)
                for i in range(self.sections)]


def checksum(data):
    headers = PeHeaders(data)
    words = bytearray(data)
    words[headers.checksum:headers.checksum + 4] = bytes(4)
    if len(words) % 2:
        words.append(0)
    values = array.array("H", bytes(words))
    if sys.byteorder == "big":
        values.byteswap()
    # Adding everything first and folding afterwards gives the same sum as folding after each
    # word: the carries end up in the low half either way.
    total = sum(values)
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def authenticode_digest(data):
    headers = PeHeaders(data)
    entry = headers.directory(SECURITY_DIRECTORY)
    table_offset, table_size = struct.unpack_from("<II", data, entry)
    end = table_offset if table_size else len(data)
    if end > len(data):
        raise PeError("certificate table beyond the end of the file")
    digest = hashlib.sha256()
    digest.update(data[:headers.checksum])
    digest.update(data[headers.checksum + 4:entry])
    digest.update(data[entry + 8:end])
    if not table_size:
        digest.update(bytes(-len(data) % 8))
    return digest.hexdigest()


def is_signed(data):
    entry = PeHeaders(data).directory(SECURITY_DIRECTORY)
    return struct.unpack_from("<I", data, entry + 4)[0] != 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("checksum", "digest", "signed"):
        sys.exit(__doc__)
    command, path = sys.argv[1:]
    try:
        with open(path, "rb") as image:
            data = image.read()
        if command == "checksum":
            value = checksum(data)
            with open(path, "r+b") as image:
                image.seek(PeHeaders(data).checksum)
                image.write(struct.pack("<I", value))
        elif command == "digest":
            print(authenticode_digest(data))
        else:
            sys.exit(0 if is_signed(data) else 1)
    except (OSError, PeError, struct.error) as error:
        sys.exit(f"pe_image: {path}: {error}")


if __name__ == "__main__":
    main()
