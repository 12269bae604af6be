#!/usr/bin/env python3
"""Fills in the delay-import directory entry of a PE image linked by GNU ld.

ld builds working delay imports from a dlltool delay-import library but leaves the image's
delay-import data directory empty, so tools that list an image's imports do not see them. This
finds the one delay-import descriptor by its symbol, checks that an all-zero descriptor follows
it, and points data directory 13 at the two (64 bytes).

Usage: pe-delay-directory.py NM IMAGE
"""
import struct
import subprocess
import sys

from pe_image import PeError, PeHeaders

DESCRIPTOR_SIZE = 32
DELAY_IMPORT_DIRECTORY = 13


def fail(message):
    sys.exit("pe-delay-directory: " + message)


def main():
    if sys.argv[1:2] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    nm, image_path = sys.argv[1:]
    symbols = subprocess.run([nm, image_path], check=True, capture_output=True, text=True).stdout
    descriptors = [int(line.split()[0], 16) for line in symbols.splitlines()
                   if line.split()[-1].startswith("__DELAY_IMPORT_DESCRIPTOR_")]
    if len(descriptors) != 1:
        fail(f"expected one delay-import descriptor, found {len(descriptors)}")

    with open(image_path, "r+b") as image:
        data = bytearray(image.read())
        try:
            headers = PeHeaders(data)
        except PeError as error:
            fail(str(error))
        if not headers.pe32plus:
            fail("not a PE32+ image")
        rva = descriptors[0] - headers.image_base

        # The descriptor's file offset, through the section table.
        offset = None
        for (vsize, vaddr, raw_size, raw_ptr) in headers.section_headers(data):
            if vaddr <= rva and rva + 2 * DESCRIPTOR_SIZE <= vaddr + min(vsize, raw_size):
                offset = raw_ptr + (rva - vaddr)
        if offset is None:
            fail("descriptor outside the image's sections")
        descriptor = data[offset:offset + DESCRIPTOR_SIZE]
        terminator = data[offset + DESCRIPTOR_SIZE:offset + 2 * DESCRIPTOR_SIZE]
        if struct.unpack_from("<I", descriptor, 4)[0] == 0:
            fail("descriptor names no library")
        if any(terminator):
            fail("no all-zero descriptor after the delay-import descriptor")
        struct.pack_into("<II", data, headers.directory(DELAY_IMPORT_DIRECTORY), rva,
                         2 * DESCRIPTOR_SIZE)
        image.seek(0)
        image.write(data)


if __name__ == "__main__":
    main()
