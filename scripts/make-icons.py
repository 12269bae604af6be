#!/usr/bin/env python3
"""Draws the executable's icon: a dark rounded square with an amber letter Z.

Writes one .ico file with 32-bit images of 16, 24, 32, 48, 64, 128 and 256 pixels square (the
largest stored as PNG, the others as bitmaps with alpha). Standard library only.

Usage: make-icons.py OUTPUT.ico
"""
import math
import struct
import sys
import zlib

SIZES = [16, 24, 32, 48, 64, 128, 256]
BACKGROUND = (0x1D, 0x21, 0x29)  # dark slate
LETTER = (0xF2, 0xB1, 0x34)  # amber
SUBROWS = 5  # vertical samples per pixel; horizontal coverage is exact

# The letter as one polygon in unit coordinates (y downwards).
Z_OUTLINE = [
    (0.25, 0.20), (0.75, 0.20), (0.75, 0.33), (0.44, 0.67), (0.75, 0.67),
    (0.75, 0.80), (0.25, 0.80), (0.25, 0.67), (0.56, 0.33), (0.25, 0.33),
]
MARGIN = 0.04
RADIUS = 0.20


def polygon_spans(points, y):
    """The x intervals inside the polygon on the line y (even-odd rule)."""
    xs = []
    for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
        if (y0 <= y < y1) or (y1 <= y < y0):
            xs.append(x0 + (y - y0) * (x1 - x0) / (y1 - y0))
    xs.sort()
    return list(zip(xs[0::2], xs[1::2]))


def rounded_square_spans(y):
    lo, hi = MARGIN, 1.0 - MARGIN
    if not lo <= y < hi:
        return []
    dy = max(lo + RADIUS - y, y - (hi - RADIUS), 0.0)
    inset = RADIUS - math.sqrt(max(RADIUS * RADIUS - dy * dy, 0.0))
    return [(lo + inset, hi - inset)]


def coverage(size, spans_at):
    """Per-pixel coverage (0..1) of a shape given by its spans on each sample line."""
    cover = [[0.0] * size for _ in range(size)]
    for row in range(size):
        for sub in range(SUBROWS):
            y = (row + (sub + 0.5) / SUBROWS) / size
            for a, b in spans_at(y):
                a, b = a * size, b * size
                for col in range(max(int(a), 0), min(int(math.ceil(b)), size)):
                    inside = min(b, col + 1) - max(a, col)
                    if inside > 0:
                        cover[row][col] += inside / SUBROWS
    return cover


def draw(size):
    """Rows of (r, g, b, a) from top to bottom."""
    background = coverage(size, rounded_square_spans)
    letter = coverage(size, lambda y: polygon_spans(Z_OUTLINE, y))
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            a = min(background[y][x], 1.0)
            z = min(letter[y][x], 1.0)
            rgb = tuple(round(bg * (1 - z) + fg * z) for bg, fg in zip(BACKGROUND, LETTER))
            row.append(rgb + (round(a * 255),))
        rows.append(row)
    return rows


def bitmap_entry(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)  # all zero: alpha decides


def png_entry(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    if sys.argv[1:2] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        rows = draw(size)
        images.append(png_entry(size, rows) if size >= 256 else bitmap_entry(size, rows))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        side = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as out:
        out.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    main()
