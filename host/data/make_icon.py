#!/usr/bin/env python3
"""Draws the program icon: a sheet of note paper with a wren perched on it.

Writes a 256x256 RGBA PNG with only the standard library, so the build needs
no image tools. Usage: make_icon.py OUTPUT.png
"""

import math
import struct
import sys
import zlib

SIZE = 256
SAMPLES = 3  # per axis, for anti-aliased edges

PAPER = (246, 242, 232)
EDGE = (196, 170, 128)
LINE = (205, 196, 178)
BODY = (139, 94, 60)
WING = (104, 68, 42)
BREAST = (214, 176, 132)
EYE = (33, 24, 18)
BEAK = (70, 52, 36)


def rounded_rect(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def ellipse(x, y, cx, cy, rx, ry, angle=0.0):
    c, s = math.cos(angle), math.sin(angle)
    dx, dy = x - cx, y - cy
    u, v = dx * c + dy * s, -dx * s + dy * c
    return (u / rx) ** 2 + (v / ry) ** 2 <= 1.0


def triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


def colour_at(x, y):
    """The colour of one sample point, or None outside the icon."""
    if ellipse(x, y, 176, 140, 8, 5):
        return EYE
    if triangle(x, y, (197, 146), (218, 152), (197, 156)):
        return BEAK
    if ellipse(x, y, 178, 148, 24, 22):
        return BODY
    if ellipse(x, y, 138, 168, 30, 20, -0.35):
        return WING
    if ellipse(x, y, 148, 182, 46, 34):
        return BREAST if y > 186 and x > 140 else BODY
    if triangle(x, y, (100, 170), (70, 112), (88, 106)):
        return BODY
    if triangle(x, y, (104, 172), (84, 104), (100, 102)):
        return WING
    if not rounded_rect(x, y, 20, 20, 236, 236, 28):
        return None
    if not rounded_rect(x, y, 28, 28, 228, 228, 22):
        return EDGE
    for line_y in (64, 96, 128, 224 - 8):
        if abs(y - line_y) <= 3 and 52 <= x <= 204 and not (line_y > 200 and x > 120):
            return LINE
    return PAPER


def render():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter type None
        for px in range(SIZE):
            r = g = b = covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        covered += 1
            if covered:
                row += bytes((r // covered, g // covered, b // covered,
                              covered * 255 // (SAMPLES * SAMPLES)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.png")
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
           chunk(b"IDAT", zlib.compress(render(), 9)) + chunk(b"IEND", b""))
    with open(sys.argv[1], "wb") as output:
        output.write(png)


if __name__ == "__main__":
    main()
