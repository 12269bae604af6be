#!/usr/bin/env python3
"""The header fields of a PE image that the build and the release fill in or compare.

Usage: pe_image.py checksum IMAGE   computes the image's checksum and writes it into the header
       pe_image.py digest IMAGE     prints the image's SHA-256 Authenticode digest
       pe_image.py signed IMAGE     exits 0 when the image carries a signature, 1 when not
       pe_image.py codeview IMAGE   prints the PDB the image's CodeView record names: its file
                                    name, its GUID and its age
       pe_image.py pdb PDB          prints a PDB's own GUID and age
       pe_image.py first-difference IMAGE1 IMAGE2
                                    names the first part of the two images that differs: a
                                    section by its name, else the headers (but for the checksum
                                    and the signature's directory entry); exits 1 when none does
       pe_image.py symstore IMAGE PDB DIR
                                    checks that the image names this very PDB, then files both
                                    in DIR in the layout Windows symbol servers read:
                                      NAME.pdb/<GUID><age>/NAME.pdb
                                      NAME.exe/<TimeDateStamp><SizeOfImage>/NAME.exe
                                    and prints the two paths, relative to DIR

The checksum is the one the loader checks for drivers and that signing tools keep up to date: the
file as little-endian 16-bit words (checksum field taken as zero, an odd last byte padded with
zero) added with the carries folded back in, folded to 16 bits, plus the file's length.

The Authenticode digest is what a signature vouches for: the file without its checksum field,
without the certificate table's directory entry and without the certificate table itself. It is
the same for a signed image and for the unsigned image it was made from, which is how a signed
release is compared with a rebuild. An unsigned image is hashed as signing pads it: with zeros to
a multiple of 8 bytes.

A PDB is named by GUID and age: the GUID in its field order as 32 upper-case hex digits (the
first three fields as numbers, the last eight bytes as they stand), the age in hex. An image is
named by its header's time stamp (8 upper-case hex digits) and its size in memory (hex). Signing
changes neither, so a signed and an unsigned image of one build are filed under one key. The
image's CodeView record gives the PDB's GUID and age as the image expects them; the PDB's own are
in its info stream (the GUID) and its debug information stream (the age, which debuggers compare).

Also a module: pe-delay-directory.py reads the headers through PeHeaders.
"""
import os
import shutil
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
        self.time_date_stamp = struct.unpack_from("<I", data, pe + 8)[0]
        self.size_of_image = struct.unpack_from("<I", data, self.optional + 56)[0]
        self.section_table = self.optional + optional_size

    def directory(self, index):
        """The file offset of data directory entry `index` (address, size)."""
        return self.directories + 8 * index

    def section_headers(self, data):
        """(virtual size, virtual address, raw size, raw offset) of each section."""
        return [struct.unpack_from("<IIII", data, self.section_table + 40 * i + 8)
                for i in range(self.sections)]


DEBUG_DIRECTORY = 6
DEBUG_TYPE_CODEVIEW = 2


def guid_text(raw):
    """A GUID's 16 bytes as symbol stores write it: the fields in order, upper-case hex."""
    first, second, third = struct.unpack_from("<IHH", raw)
    return f"{first:08X}{second:04X}{third:04X}" + raw[8:16].hex().upper()


def codeview(data):
    """(PDB file name, GUID text, age) of the image's CodeView record."""
    headers = PeHeaders(data)
    address, size = struct.unpack_from("<II", data, headers.directory(DEBUG_DIRECTORY))
    offset = None
    for virtual_size, virtual_address, raw_size, raw_offset in headers.section_headers(data):
        if virtual_address <= address < virtual_address + max(virtual_size, raw_size):
            offset = raw_offset + address - virtual_address
    if offset is None or size == 0:
        raise PeError("no debug directory")
    for entry in range(offset, offset + size - 27, 28):
        kind, length, _, pointer = struct.unpack_from("<IIII", data, entry + 12)
        if kind != DEBUG_TYPE_CODEVIEW:
            continue
        record = data[pointer:pointer + length]
        if record[:4] != b"RSDS" or len(record) < 25:
            raise PeError("the CodeView record is not a PDB 7.0 record")
        name = record[24:].split(b"\0", 1)[0].decode("utf-8")
        return name, guid_text(record[4:20]), struct.unpack_from("<I", record, 20)[0]
    raise PeError("no CodeView entry in the debug directory")


def msf_stream(data, index):
    """One stream of an MSF file, the container a PDB is."""
    if not data.startswith(b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"):
        raise PeError("not a PDB")
    block, _, _, directory_size, _, block_map = struct.unpack_from("<IIIIII", data, 32)

    def blocks(size):
        return (size + block - 1) // block

    def read(indices, size):
        return b"".join(data[i * block:(i + 1) * block] for i in indices)[:size]

    map_indices = struct.unpack_from(f"<{blocks(directory_size)}I", data, block_map * block)
    directory = read(map_indices, directory_size)
    count = struct.unpack_from("<I", directory)[0]
    sizes = [0 if s == 0xFFFFFFFF else s
             for s in struct.unpack_from(f"<{count}I", directory, 4)]
    if index >= count:
        raise PeError(f"the PDB has no stream {index}")
    at = 4 + 4 * count + 4 * sum(blocks(s) for s in sizes[:index])
    return read(struct.unpack_from(f"<{blocks(sizes[index])}I", directory, at), sizes[index])


def pdb_identity(data):
    """(GUID text, age) of a PDB, from its info stream and its debug information stream."""
    info = msf_stream(data, 1)
    dbi = msf_stream(data, 3)
    return guid_text(info[12:28]), struct.unpack_from("<I", dbi, 8)[0]


def symstore(image_path, pdb_path, store):
    with open(image_path, "rb") as image:
        data = image.read()
    with open(pdb_path, "rb") as pdb:
        identity = pdb_identity(pdb.read())
    name, guid, age = codeview(data)
    if (guid, age) != identity:
        raise PeError(f"the image names the PDB {guid} age {age:x}, "
                      f"but {pdb_path} is {identity[0]} age {identity[1]:x}")
    if name != os.path.basename(pdb_path):
        raise PeError(f"the image names {name}, not {os.path.basename(pdb_path)}")
    headers = PeHeaders(data)
    image_name = os.path.basename(image_path)
    filed = [(pdb_path, os.path.join(name, f"{guid}{age:x}", name)),
             (image_path, os.path.join(image_name,
                                       f"{headers.time_date_stamp:08X}{headers.size_of_image:x}",
                                       image_name))]
    for source, relative in filed:
        target = os.path.join(store, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        print(relative)


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


def section_name(data, headers, index):
    raw = data[headers.section_table + 40 * index:headers.section_table + 40 * index + 8]
    return raw.rstrip(b"\0").decode("ascii", "replace")


def first_difference(a, b):
    """The first part that differs between two images, or None when their parts are the same."""
    ha, hb = PeHeaders(a), PeHeaders(b)
    sections_a, sections_b = ha.section_headers(a), hb.section_headers(b)

    def headers(data, h, sections):
        end = min((offset for _, _, size, offset in sections if size), default=len(data))
        view = bytearray(data[:end])
        view[h.checksum:h.checksum + 4] = bytes(4)
        entry = h.directory(SECURITY_DIRECTORY)
        view[entry:entry + 8] = bytes(8)
        return bytes(view)

    # The sections first: the headers follow from them (lld's time stamp is a hash of the content).
    for i, ((_, _, size_a, at_a), (_, _, size_b, at_b)) in enumerate(zip(sections_a, sections_b)):
        if a[at_a:at_a + size_a] != b[at_b:at_b + size_b]:
            return "section %s" % section_name(a, ha, i)
    if len(sections_a) != len(sections_b):
        return "the number of sections"
    if headers(a, ha, sections_a) != headers(b, hb, sections_b):
        return "the headers"
    return None


def is_signed(data):
    entry = PeHeaders(data).directory(SECURITY_DIRECTORY)
    return struct.unpack_from("<I", data, entry + 4)[0] != 0


def main():
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return
    if len(sys.argv) == 4 and sys.argv[1] == "first-difference":
        try:
            with open(sys.argv[2], "rb") as f1, open(sys.argv[3], "rb") as f2:
                found = first_difference(f1.read(), f2.read())
        except (OSError, PeError, struct.error) as error:
            sys.exit(f"pe_image: {error}")
        print("first difference: " + (found or "none in the headers or sections"))
        sys.exit(0 if found else 1)
    if len(sys.argv) == 5 and sys.argv[1] == "symstore":
        try:
            symstore(*sys.argv[2:])
        except (OSError, PeError, struct.error, UnicodeDecodeError) as error:
            sys.exit(f"pe_image: {error}")
        return
    if len(sys.argv) != 3 or sys.argv[1] not in ("checksum", "digest", "signed", "codeview", "pdb"):
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
        elif command == "codeview":
            print("%s %s %x" % codeview(data))
        elif command == "pdb":
            print("%s %x" % pdb_identity(data))
        else:
            sys.exit(0 if is_signed(data) else 1)
    except (OSError, PeError, struct.error, UnicodeDecodeError) as error:
        sys.exit(f"pe_image: {path}: {error}")


if __name__ == "__main__":
    main()
