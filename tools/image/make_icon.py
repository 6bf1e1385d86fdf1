#!/usr/bin/python3
"""Writes the application icon: 16, 24, 32 and 48 pixels at 8 bpp (256-colour palette), then
the same sizes at 32 bpp with alpha, all as BITMAPINFOHEADER DIBs. Deterministic, so that two
builds give the same image."""
import struct
import sys

SIZES = (16, 24, 32, 48)


def coverage(size, x, y):
    """0..1: a disc with a notch ("V"-like wedge) cut from its top, the picture of all sizes."""
    cx = cy = (size - 1) / 2
    dx, dy = x - cx, (size - 1 - y) - cy  # rows are stored bottom-up
    r = (dx * dx + dy * dy) ** 0.5
    outside = r - size * 0.46
    if outside > 0.5:
        return 0.0
    if dy < 0 and abs(dx) < -dy * 0.45:
        return 0.0
    return min(1.0, 0.5 - outside)


def shade(size, x, y):
    """0..254: lighter towards the top left."""
    return int(254 * (1 - (x + (size - 1 - y)) / (2 * size)))


def colour(level):
    """Blue-green ramp as (b, g, r)."""
    return (200 + level // 5, 60 + level * 2 // 3, 20 + level // 4)


def and_mask(size, opaque):
    stride = ((size + 31) // 32) * 4
    rows = bytearray()
    for y in range(size):
        row = bytearray(stride)
        for x in range(size):
            if not opaque(x, y):
                row[x // 8] |= 0x80 >> (x % 8)
        rows += row
    return bytes(rows)


def header(size, bpp, image_bytes, colours):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, image_bytes, 0, 0,
                       colours, 0)


def image_8bpp(size):
    palette = b"\0\0\0\0" + b"".join(bytes(colour(i)) + b"\0" for i in range(255))
    stride = (size + 3) & ~3
    pixels = bytearray()
    for y in range(size):
        row = bytearray(stride)
        for x in range(size):
            if coverage(size, x, y) >= 0.5:
                row[x] = 1 + shade(size, x, y)
        pixels += row
    mask = and_mask(size, lambda x, y: coverage(size, x, y) >= 0.5)
    return header(size, 8, len(pixels) + len(mask), 256) + palette + bytes(pixels) + mask


def image_32bpp(size):
    pixels = bytearray()
    for y in range(size):
        for x in range(size):
            alpha = round(255 * coverage(size, x, y))
            b, g, r = colour(shade(size, x, y)) if alpha else (0, 0, 0)
            pixels += bytes((b, g, r, alpha))
    mask = and_mask(size, lambda x, y: coverage(size, x, y) > 0)
    return header(size, 32, len(pixels) + len(mask), 0) + bytes(pixels) + mask


def icon():
    images = [(s, 8, image_8bpp(s)) for s in SIZES] + [(s, 32, image_32bpp(s)) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_icon.py OUT.ico")
    with open(argv[1], "wb") as f:
        f.write(icon())


if __name__ == "__main__":
    main(sys.argv)
