#!/usr/bin/env python3
"""Draws the monitor's icon (a gold key on a blue rounded tile) into monitor.ico.

Run once by hand when the design changes; the .ico is committed.
"""
import struct, math

def inside_round_rect(x, y, r):
    cx = min(max(x, r), 1 - r); cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

def key_shape(x, y):
    # Ring of the key's bow.
    d = math.hypot(x - 0.34, y - 0.40)
    if 0.085 <= d <= 0.19:
        return True
    # Shaft running down-right, with two teeth.
    u = (x - 0.34 + y - 0.40) / math.sqrt(2)   # along the shaft
    v = (x - 0.34 - (y - 0.40)) / math.sqrt(2)  # across it
    if 0.17 <= u <= 0.58 and abs(v) <= 0.045:
        return True
    for t in (0.44, 0.54):
        if t <= u <= t + 0.06 and 0.0 <= v <= 0.13:
            return True
    return False

def pixel(px, py, size, ss=4):
    acc = [0, 0, 0, 0]
    for sy in range(ss):
        for sx in range(ss):
            x = (px + (sx + 0.5) / ss) / size
            y = (py + (sy + 0.5) / ss) / size
            if key_shape(x, y):
                c = (230, 180, 40, 255)
            elif inside_round_rect(x, y, 0.18):
                shade = int(60 + 80 * (1 - y))
                c = (20, shade, 170, 255)
            else:
                c = (0, 0, 0, 0)
            for i in range(4):
                acc[i] += c[i]
    n = ss * ss
    return tuple(v // n for v in acc)

def bmp_entry(size):
    rows = []
    for py in reversed(range(size)):  # bottom-up
        row = b"".join(struct.pack("BBBB", b, g, r, a)
                       for (r, g, b, a) in (pixel(px, py, size) for px in range(size)))
        rows.append(row)
    xor = b"".join(rows)
    and_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + and_row * size, 0, 0, 0, 0)
    return header + xor + b"\0" * (and_row * size)

sizes = [16, 24, 32, 48]
images = [bmp_entry(s) for s in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
for s, img in zip(sizes, images):
    out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
    offset += len(img)
out += b"".join(images)
open("monitor.ico", "wb").write(out)
