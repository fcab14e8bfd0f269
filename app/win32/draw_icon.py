#!/usr/bin/env python3
"""Draws the program's icon, lumo_tool.ico: one 32 x 32 image at 32 bits per pixel (a blue
rounded chip with a white upward arrow over a progress bar). The .ico is committed; run this
again only to change the picture:  python3 app/win32/draw_icon.py app/win32/lumo_tool.ico"""
import struct
import sys

SIZE = 32
SS = 4  # samples per pixel along each axis, for smooth edges


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_arrow(x, y):
    # Head: a triangle with its tip at (16, 5) and its base at y = 15 from x = 8 to 24.
    if 5 <= y <= 15:
        half = (y - 5) * 8 / 10
        if abs(x - 16) <= half:
            return True
    # Shaft.
    return 13 <= x <= 19 and 15 <= y <= 21


def inside_bar(x, y):
    return inside_round_rect(x, y, 7, 24, 25, 27, 1.5)


def inside_bar_fill(x, y):
    return inside_round_rect(x, y, 7, 24, 19, 27, 1.5)


def pixel(px, py):
    """Straight (not premultiplied) RGBA of one pixel, averaged over its samples."""
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SS):
        for sx in range(SS):
            x = px + (sx + 0.5) / SS
            y = py + (sy + 0.5) / SS
            if not inside_round_rect(x, y, 1, 1, 31, 31, 6):
                continue
            t = y / SIZE
            color = (int(30 + 20 * (1 - t)), int(100 + 40 * (1 - t)), int(200 + 40 * (1 - t)))
            if inside_arrow(x, y) or inside_bar_fill(x, y):
                color = (255, 255, 255)
            elif inside_bar(x, y):
                color = (120, 170, 235)
            for i in range(3):
                acc[i] += color[i]
            acc[3] += 255
    n = SS * SS
    a = acc[3] / n
    if a == 0:
        return (0, 0, 0, 0)
    covered = acc[3] / 255
    return tuple(int(round(acc[i] / covered)) for i in range(3)) + (int(round(a)),)


def main(out):
    rows = []
    for py in range(SIZE - 1, -1, -1):  # bottom-up
        row = b""
        for px in range(SIZE):
            r, g, b, a = pixel(px, py)
            row += bytes((b, g, r, a))
        rows.append(row)
    xor = b"".join(rows)
    mask = bytes(SIZE * 4)  # all opaque; the alpha channel decides
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    image = header + xor + mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(out, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "lumo_tool.ico")
