#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico with several sizes.

The design: a white page with a folded corner on a rounded red square, with three grey text lines
and a blue badge (the context-menu helper's "hand-off" dot). Every size is rendered from the same
geometry with 4x4 supersampling, so the small sizes stay crisp without hand-drawn pixels.

Sizes up to 48 px are stored as 32-bit DIBs (read by every Windows version and every resource
tool); 256 px is stored as PNG, as Windows expects for that size. Only the standard library is used.

The sparse package's logos are the same drawing at one size each, as PNG.

Usage: make_icon.py OUTPUT.ico
       make_icon.py OUTPUT.png SIZE
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
SUPERSAMPLE = 4

BACKGROUND = (200, 40, 45)
PAGE = (255, 255, 255)
FOLD = (225, 225, 230)
TEXT = (150, 150, 160)
BADGE = (30, 110, 210)


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def colour_at(x, y):
    """Colour (r, g, b) and coverage 0/1 of the design at the point (x, y) of the unit square."""
    if (x - 0.74) ** 2 + (y - 0.74) ** 2 <= 0.2 ** 2:
        return BADGE, 1
    page_left, page_top, page_right, page_bottom, fold = 0.22, 0.12, 0.72, 0.88, 0.16
    if page_left <= x <= page_right and page_top <= y <= page_bottom:
        corner_x = x - (page_right - fold)
        corner_y = (page_top + fold) - y
        in_corner = corner_x > 0 and corner_y > 0
        if in_corner and corner_x <= corner_y:
            return FOLD, 1
        if not in_corner:
            for line_y in (0.42, 0.55, 0.68):
                if abs(y - line_y) <= 0.025 and page_left + 0.08 <= x <= page_right - 0.08:
                    return TEXT, 1
            return PAGE, 1
    if inside_rounded(x, y, 0.04, 0.04, 0.96, 0.96, 0.16):
        return BACKGROUND, 1
    return (0, 0, 0), 0


def render(size):
    """Rows of (r, g, b, a) tuples, top row first."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    colour, cover = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if cover:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a:
                row.append((r // a, g // a, b // a, 255 * a // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def dib(rows):
    size = len(rows)
    # The height in an icon's header counts the colour image and the AND mask together.
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def png(rows):
    size = len(rows)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter type None
        for pixel in row:
            raw += bytes(pixel)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9))
            + chunk(b'IEND', b''))


def ico(images):
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory = bytearray()
    data = bytearray()
    for size, blob in images:
        dimension = 0 if size >= 256 else size  # 0 means 256 in the directory
        directory += struct.pack('<BBBBHHII', dimension, dimension, 0, 0, 1, 32, len(blob), offset + len(data))
        data += blob
    return header + bytes(directory) + bytes(data)


def main():
    if len(sys.argv) == 3 and sys.argv[1].endswith('.png'):
        with open(sys.argv[1], 'wb') as out:
            out.write(png(render(int(sys.argv[2]))))
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows) if size >= 256 else dib(rows)))
    with open(sys.argv[1], 'wb') as out:
        out.write(ico(images))


if __name__ == '__main__':
    main()
