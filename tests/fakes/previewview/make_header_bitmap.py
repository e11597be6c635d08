#!/usr/bin/env python3
"""Draws header.bmp, the header picture of the Excluded File Types dialog held by the double of
PreviewView.dll: a document page crossed out by a red "not allowed" sign, 64 x 64 pixels, 8 bits
per pixel with a 16-colour palette. Run it to regenerate the committed file:
    python3 make_header_bitmap.py header.bmp
"""
import math
import struct
import sys

W = H = 64
PALETTE = [
    (255, 255, 255),  # 0 background, the same white as the dialog's header band
    (64, 64, 64),     # 1 page outline
    (250, 250, 245),  # 2 page
    (200, 200, 190),  # 3 folded corner
    (40, 90, 170),    # 4 text lines
    (120, 150, 200),  # 5 short text lines
    (200, 30, 30),    # 6 sign
    (150, 20, 20),    # 7 sign shadow
    (230, 230, 230),  # 8 page shadow
] + [(0, 0, 0)] * 7


def draw():
    px = [[0] * W for _ in range(H)]
    # Page with a shadow and a folded top-right corner.
    left, top, right, bottom, fold = 12, 5, 42, 55, 9
    for y in range(top + 2, bottom + 3):
        for x in range(left + 2, right + 3):
            px[y][x] = 8
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            if x - (right - fold) > y - top:
                continue  # cut corner
            edge = x in (left, right) or y in (top, bottom) or x - (right - fold) == y - top
            px[y][x] = 1 if edge else 2
    for y in range(top, top + fold + 1):
        for x in range(right - fold, right + 1):
            if x - (right - fold) <= y - top:
                px[y][x] = 1 if x == right - fold or y == top + fold else 3
    # Text lines.
    for i, y in enumerate(range(top + 14, bottom - 4, 5)):
        end = right - 4 if i % 3 != 2 else left + 16
        for x in range(left + 4, end):
            px[y][x] = 4 if i % 3 != 2 else 5
            px[y + 1][x] = 4 if i % 3 != 2 else 5
    # "Not allowed" sign: a ring with a diagonal bar, over the page's lower right.
    cx, cy, r_out, r_in = 45.5, 45.5, 15.5, 11.0
    for y in range(H):
        for x in range(W):
            dx, dy = x + 0.5 - cx, y + 0.5 - cy
            d = math.hypot(dx, dy)
            on_ring = r_in <= d <= r_out
            on_bar = d < r_in and abs(dx - dy) / math.sqrt(2) <= 2.6
            if on_ring or on_bar:
                px[y][x] = 6 if dx + dy < 6 else 7
    return px


def write(path):
    pixels = draw()
    row = (W + 3) & ~3
    bits = b"".join(bytes(pixels[y]) + b"\0" * (row - W) for y in reversed(range(H)))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 8, 0, len(bits), 2835, 2835, len(PALETTE), len(PALETTE))
    offset = 14 + len(header) + len(palette)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(file_header + header + palette + bits)


if __name__ == "__main__":
    write(sys.argv[1] if len(sys.argv) > 1 else "header.bmp")
