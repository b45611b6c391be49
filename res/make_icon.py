#!/usr/bin/env python3
"""Draws Tavik's icon (two sheets, the front one ticked) and writes it as a 16-colour .ico with 32x32 and 16x16 images.

The pictures are drawn from the shapes below, so the icon is rebuilt byte for byte the same on every build.
Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

# The standard 16-colour palette, as (r, g, b); the index is what the drawing uses.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, NAVY, SILVER, GRAY, LIME, BLUE, WHITE = 0, 2, 4, 7, 8, 10, 12, 15
CLEAR = None


def sheet(img, x0, y0, x1, y1, fill, rule):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            edge = x in (x0, x1) or y in (y0, y1)
            img[y][x] = BLACK if edge else fill
    # Lines of text on the sheet, every third row.
    for y in range(y0 + 3, y1 - 1, 3 if y1 - y0 > 12 else 2):
        for x in range(x0 + 2, x1 - 1):
            img[y][x] = rule


def tick(img, points, colour, width):
    for (xa, ya), (xb, yb) in zip(points, points[1:]):
        steps = max(abs(xb - xa), abs(yb - ya))
        for i in range(steps + 1):
            x = xa + (xb - xa) * i // steps
            y = ya + (yb - ya) * i // steps
            for d in range(width):
                img[y - d][x] = colour


def draw(size):
    img = [[CLEAR] * size for _ in range(size)]
    if size == 32:
        sheet(img, 2, 1, 18, 24, SILVER, GRAY)
        sheet(img, 11, 7, 29, 30, WHITE, BLUE)
        tick(img, [(13, 20), (17, 25), (27, 12)], GREEN, 3)
    else:
        sheet(img, 1, 0, 9, 12, SILVER, GRAY)
        sheet(img, 5, 3, 14, 15, WHITE, BLUE)
        tick(img, [(7, 10), (9, 13), (13, 7)], GREEN, 2)
    return img


def image_bytes(img):
    size = len(img)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    for row in reversed(img):  # DIB rows run bottom-up
        nibbles = [0 if c is CLEAR else c for c in row]
        xor = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor_rows.append(xor + b'\0' * (-len(xor) % 4))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is CLEAR else 0)
        mask = bits.to_bytes(size // 8, 'big')
        and_rows.append(mask + b'\0' * (-len(mask) % 4))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def main(path):
    images = [(size, image_bytes(draw(size))) for size in (32, 16)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, data in images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1])
