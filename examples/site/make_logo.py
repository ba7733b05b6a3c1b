#!/usr/bin/env python3
"""Writes the example site's logo: a 64 x 32 24-bit BMP with a blue band,
an orange disc and a white "Q"-like ring. Run from anywhere:
    python3 examples/site/make_logo.py examples/site/logo.bmp
"""
import struct
import sys

W, H = 64, 32


def pixel(x, y):
    # y counts from the top.
    dx, dy = x - 16, y - 16
    d2 = dx * dx + dy * dy
    if 64 <= d2 <= 121:
        return (255, 255, 255)
    if d2 < 64:
        return (255, 140, 0)
    if x > 30 and 10 <= y < 22:
        return (255, 255, 255) if (x // 4 + y // 4) % 2 == 0 else (30, 80, 200)
    return (30, 80, 200)


def main(path):
    row_bytes = (W * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(H - 1, -1, -1):  # bottom-up rows
        row = bytearray()
        for x in range(W):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (row_bytes - len(row))
        pixels += row
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "logo.bmp")
