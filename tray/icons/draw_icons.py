#!/usr/bin/env python3
"""Draws the tray helper's five icons and writes them as .ico files.

Each file holds two 16 x 16 images: one with a 256-colour palette and a 1-bit
mask, and one in 32-bit colour with alpha. The shapes are described with
coordinates in pixels and rendered with 8 x 8 samples per pixel, so edges get
partial coverage. Only the standard library is used; the output is the same
on every run, and the .ico files are committed so that a build needs no
drawing tools. Run from anywhere: python3 tray/icons/draw_icons.py
"""
import math
import os
import struct

SIZE = 16
SAMPLES = 8


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, outer, inner):
    return lambda x, y: inner * inner < (x - cx) ** 2 + (y - cy) ** 2 <= outer * outer


def rect(left, top, right, bottom):
    return lambda x, y: left <= x < right and top <= y < bottom


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        d1, d2, d3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (d1 >= 0 and d2 >= 0 and d3 >= 0) or (d1 <= 0 and d2 <= 0 and d3 <= 0)
    return inside


def solid(rgb):
    return lambda x, y: rgb


def vertical_gradient(top_rgb, bottom_rgb, top, bottom):
    def colour(x, y):
        t = min(1.0, max(0.0, (y - top) / (bottom - top)))
        return tuple(round(a + (b - a) * t) for a, b in zip(top_rgb, bottom_rgb))
    return colour


def render(layers):
    """layers: (shape, colour) pairs, later ones on top. Returns rows of RGBA."""
    image = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            r = g = b = covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    y = py + (sy + 0.5) / SAMPLES
                    hit = None
                    for shape, colour in layers:
                        if shape(x, y):
                            hit = colour(x, y)
                    if hit is not None:
                        r, g, b = r + hit[0], g + hit[1], b + hit[2]
                        covered += 1
            if covered:
                row.append((round(r / covered), round(g / covered), round(b / covered),
                            round(255 * covered / (SAMPLES * SAMPLES))))
            else:
                row.append((0, 0, 0, 0))
        image.append(row)
    return image


def button(face, edge):
    return [(circle(8, 8, 7.5), solid(edge)), (circle(8, 8, 6.5), face)]


WHITE_FACE = vertical_gradient((255, 255, 255), (222, 226, 230), 1.5, 14.5)
GREY_EDGE = (120, 126, 134)
GREY_MARK = (112, 116, 122)


def tray_icon():
    frame = (72, 80, 92)
    return [
        (rect(0, 1, 16, 15), solid(frame)),
        (rect(1, 2, 15, 4), vertical_gradient((120, 150, 190), (84, 112, 156), 2, 4)),
        (rect(12, 2, 14, 4), solid((220, 90, 80))),
        (rect(1, 4, 15, 14), solid((236, 238, 240))),
        (rect(2, 5, 14, 13), vertical_gradient((96, 170, 240), (22, 84, 176), 5, 13)),
        (triangle((2, 13), (7, 8), (11, 13)), solid((30, 70, 140))),
    ]


def running_icon():
    return button(WHITE_FACE, GREY_EDGE) + [
        (triangle((5.5, 4.0), (5.5, 12.0), (12.5, 8.0)), solid((32, 160, 56))),
    ]


def stopped_icon():
    return button(WHITE_FACE, GREY_EDGE) + [
        (rect(4.5, 4.5, 11.5, 11.5), solid(GREY_MARK)),
    ]


def error_icon():
    return button(vertical_gradient((232, 72, 64), (186, 28, 28), 1.5, 14.5), (136, 16, 16)) + [
        (rect(7, 3.5, 9, 9.5), solid((255, 255, 255))),
        (circle(8, 11.75, 1.25), solid((255, 255, 255))),
    ]


def pending_icon():
    return button(WHITE_FACE, GREY_EDGE) + [
        (circle(4.5, 8, 1.4), solid(GREY_MARK)),
        (circle(8, 8, 1.4), solid(GREY_MARK)),
        (circle(11.5, 8, 1.4), solid(GREY_MARK)),
    ]


def mask_rows(image):
    """AND mask, bottom-up, 1 = transparent; each row padded to 4 bytes."""
    data = b""
    for row in reversed(image):
        bits = 0
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits |= 1 << (15 - x)
        data += struct.pack(">H", bits) + b"\0\0"
    return data


def header(bit_count, image_bytes, colours):
    # The height counts the colour image and the mask together.
    return struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, bit_count, 0, image_bytes, 0, 0, colours, 0)


def image_256(image):
    palette = []
    index = {}
    pixels = b""
    for row in reversed(image):
        for r, g, b, a in row:
            colour = (r, g, b) if a >= 128 else (0, 0, 0)
            if colour not in index:
                index[colour] = len(palette)
                palette.append(colour)
            pixels += bytes([index[colour]])
    palette += [(0, 0, 0)] * (256 - len(palette))
    table = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    mask = mask_rows(image)
    return header(8, len(pixels) + len(mask), 256) + table + pixels + mask


def image_32(image):
    pixels = b"".join(struct.pack("BBBB", b, g, r, a) for row in reversed(image) for r, g, b, a in row)
    mask = mask_rows(image)
    return header(32, len(pixels) + len(mask), 0) + pixels + mask


def write_icon(path, layers):
    image = render(layers)
    images = [(8, image_256(image)), (32, image_32(image))]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    body = b""
    for bit_count, data in images:
        directory += struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, bit_count, len(data), offset + len(body))
        body += data
    with open(path, "wb") as out:
        out.write(directory + body)


def main():
    folder = os.path.dirname(os.path.abspath(__file__))
    icons = {
        "tray.ico": tray_icon(),
        "running.ico": running_icon(),
        "stopped.ico": stopped_icon(),
        "error.ico": error_icon(),
        "pending.ico": pending_icon(),
    }
    for name, layers in icons.items():
        write_icon(os.path.join(folder, name), layers)
        print(os.path.join(folder, name))


if __name__ == "__main__":
    main()
