#!/usr/bin/env python3
"""Draws the application icon and writes it as a Windows icon file.

The mark is a white shield with a blue ring on a rounded blue square. Every
size is drawn from the same shapes with 4 x 4 supersampling; 16 to 64 pixels
are stored as 32-bit bitmaps, 256 pixels as a PNG image. The output depends
only on this script (and zlib's level-9 output), so builds reproduce it byte
for byte.

Usage: make_icon.py --out app.ico [--png preview.png]
"""
import argparse
import math
import struct
import zlib

SIZES = (16, 24, 32, 48, 64, 256)
SUPERSAMPLE = 4

ACCENT_TOP = (0, 122, 196)
ACCENT_BOTTOM = (0, 84, 139)
WHITE = (255, 255, 255)
RING = (0, 106, 171)


def in_rounded_square(x, y):
    inset, radius = 0.03, 0.2
    lo, hi = inset + radius, 1.0 - inset - radius
    dx = max(lo - x, 0.0, x - hi)
    dy = max(lo - y, 0.0, y - hi)
    if x < inset or x > 1 - inset or y < inset or y > 1 - inset:
        return False
    return dx * dx + dy * dy <= radius * radius


def shield_half_width(y):
    """Half the width of the shield at height y (0 outside it)."""
    top, shoulder, tip, half = 0.19, 0.52, 0.85, 0.255
    if y < top or y > tip:
        return 0.0
    if y <= shoulder:
        # The top edge rounds off at its corners.
        corner = 0.05
        if y < top + corner:
            t = (top + corner - y) / corner
            return half - corner + corner * math.sqrt(max(0.0, 1 - t * t))
        return half
    t = (y - shoulder) / (tip - shoulder)
    return half * (1 - t ** 1.7) ** 0.85


def in_shield(x, y):
    return abs(x - 0.5) <= shield_half_width(y)


def in_ring(x, y):
    d = math.hypot(x - 0.5, y - 0.47)
    return 0.065 <= d <= 0.125 or d <= 0.03


def colour_at(x, y):
    """Straight (not premultiplied) RGBA of one sample."""
    if not in_rounded_square(x, y):
        return (0, 0, 0, 0)
    if in_shield(x, y):
        return RING + (255,) if in_ring(x, y) else WHITE + (255,)
    t = y
    return tuple(round(a + (b - a) * t) for a, b in zip(ACCENT_TOP, ACCENT_BOTTOM)) + (255,)


def render(size):
    """Rows of (r, g, b, a) pixels, top row first."""
    n = SUPERSAMPLE
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    cr, cg, cb, ca = colour_at(x, y)
                    r += cr * ca
                    g += cg * ca
                    b += cb * ca
                    a += ca
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(a / (n * n))))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bmp_bytes(rows):
    size = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # the alpha channel decides; the mask is all opaque
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


def icon_bytes():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_bytes(rows) if size == 256 else bmp_bytes(rows)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        dim = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--png", help="also write the 256-pixel image as a PNG file")
    args = parser.parse_args()
    with open(args.out, "wb") as out:
        out.write(icon_bytes())
    if args.png:
        with open(args.png, "wb") as out:
            out.write(png_bytes(render(256)))


if __name__ == "__main__":
    main()
