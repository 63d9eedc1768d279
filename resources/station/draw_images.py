#!/usr/bin/python3
"""Draws the station's tool-bar bitmaps, list state pictures, image button picture and program
icon as RGBA PNG files. Usage: draw_images.py <output directory>"""
import math
import os
import struct
import sys
import zlib

SUB = 4  # supersamples per pixel edge


def png(path, size, pixels):
    w, h = size
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            raw.extend(pixels[y * w + x])

    def chunk(tag, data):
        c = struct.pack(">I", len(data)) + tag + data
        return c + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


class Canvas:
    """Straight-alpha RGBA canvas; shapes are inside-tests painted with supersampled coverage."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [(0.0, 0.0, 0.0, 0.0)] * (w * h)

    def paint(self, inside, colour):
        """colour: (r, g, b) or a function (x, y) -> (r, g, b); values 0..255."""
        for y in range(self.h):
            for x in range(self.w):
                hits = 0
                for sy in range(SUB):
                    for sx in range(SUB):
                        if inside(x + (sx + 0.5) / SUB, y + (sy + 0.5) / SUB):
                            hits += 1
                if not hits:
                    continue
                a = hits / (SUB * SUB)
                c = colour(x + 0.5, y + 0.5) if callable(colour) else colour
                r0, g0, b0, a0 = self.px[y * self.w + x]
                out = a + a0 * (1 - a)
                mix = lambda new, old: (new * a + old * a0 * (1 - a)) / out
                self.px[y * self.w + x] = (mix(c[0], r0), mix(c[1], g0), mix(c[2], b0), out)

    def save(self, path):
        pixels = [tuple(max(0, min(255, int(round(v)))) for v in (r, g, b, a * 255))
                  for r, g, b, a in self.px]
        png(path, (self.w, self.h), pixels)


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def segment(ax, ay, bx, by, width):
    def inside(x, y):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def polygon(points):
    def inside(x, y):
        result = False
        n = len(points)
        for i in range(n):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < (xb - xa) * (y - ya) / (yb - ya) + xa:
                result = not result
        return result
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


def shade(light, dark, cx, cy, r):
    """Radial shading from a highlight up left of the centre to the rim."""
    def colour(x, y):
        t = min(1.0, math.hypot(x - (cx - r * 0.35), y - (cy - r * 0.35)) / (r * 1.5))
        return tuple(l + (d - l) * t for l, d in zip(light, dark))
    return colour


def ball(c, light, dark, cx=16, cy=16, r=13):
    c.paint(circle(cx, cy, r + 1), tuple(v * 0.6 for v in dark))
    c.paint(circle(cx, cy, r), shade(light, dark, cx, cy, r))


WHITE = (255, 255, 255)


def draw_usb():
    c = Canvas(32, 32)
    grey = (70, 74, 80)
    c.paint(segment(16, 4, 16, 26, 2.6), grey)
    c.paint(polygon([(16, 1.5), (20, 7), (12, 7)]), grey)
    c.paint(circle(16, 27, 3.2), grey)
    c.paint(segment(16, 20, 9, 14, 2.4), grey)
    c.paint(segment(9, 14, 9, 10, 2.4), grey)
    c.paint(circle(9, 9, 2.6), grey)
    c.paint(segment(16, 17, 23, 12, 2.4), grey)
    c.paint(segment(23, 12, 23, 9, 2.4), grey)
    c.paint(rect(20.5, 5, 25.5, 10), grey)
    return c


def draw_state(light, dark, mark=None):
    c = Canvas(32, 32)
    ball(c, light, dark)
    if mark:
        c.paint(mark, WHITE)
    return c


def draw_start():
    c = Canvas(32, 32)
    ball(c, (130, 220, 110), (20, 120, 30))
    c.paint(polygon([(12, 8.5), (24, 16), (12, 23.5)]), WHITE)
    return c


def draw_remove():
    c = Canvas(32, 32)
    ball(c, (250, 130, 120), (170, 20, 20))
    c.paint(rounded(8, 14, 24, 18, 1.5), WHITE)
    return c


def draw_setting():
    c = Canvas(32, 32)
    teeth = []
    for i in range(8):
        a = i * math.pi / 4
        teeth.append(segment(16 + 9 * math.cos(a), 16 + 9 * math.sin(a),
                             16 + 13.5 * math.cos(a), 16 + 13.5 * math.sin(a), 5))
    gear = minus(union(circle(16, 16, 10.5), *teeth), circle(16, 16, 4.5))
    c.paint(gear, shade((200, 205, 212), (80, 86, 96), 16, 16, 14))
    c.paint(ring(16, 16, 5.5, 4.5), (60, 64, 72))
    return c


def draw_package():
    c = Canvas(32, 32)
    edge = (110, 72, 30)
    c.paint(polygon([(4, 10), (16, 5), (28, 10), (28, 25), (16, 30), (4, 25)]), edge)
    c.paint(polygon([(5.5, 11), (16, 15.5), (16, 28.3), (5.5, 24)]), (214, 160, 90))
    c.paint(polygon([(26.5, 11), (16, 15.5), (16, 28.3), (26.5, 24)]), (190, 135, 70))
    c.paint(polygon([(5.5, 10), (16, 6.3), (26.5, 10), (16, 14.3)]), (236, 190, 120))
    c.paint(polygon([(9, 8.5), (20, 12.6), (23, 11.5), (12, 7.4)]), (245, 230, 200))
    c.paint(polygon([(20, 12.6), (23, 11.5), (23, 16), (20, 17.2)]), (235, 215, 180))
    return c


def draw_main(size):
    c = Canvas(size, size)
    s = size / 32.0
    c.paint(rounded(7 * s, 2 * s, 25 * s, 30 * s, 3.5 * s), (40, 44, 52))
    c.paint(rect(9 * s, 6 * s, 23 * s, 25 * s), (70, 140, 220))
    c.paint(rounded(14 * s, 26.5 * s, 18 * s, 28.2 * s, 0.8 * s), (120, 124, 132))
    bolt = polygon([(18 * s, 7.5 * s), (11.5 * s, 17 * s), (15.5 * s, 17 * s), (13.5 * s, 24 * s),
                    (20.5 * s, 13.5 * s), (16.5 * s, 13.5 * s)])
    c.paint(bolt, (255, 215, 40))
    return c


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    cross = union(segment(11, 11, 21, 21, 3.4), segment(21, 11, 11, 21, 3.4))
    check = union(segment(9.5, 16.5, 14, 21, 3.4), segment(14, 21, 22.5, 11, 3.4))
    slash = segment(8, 24, 24, 8, 3)
    images = {
        "usb": draw_usb(),
        "blue": draw_state((140, 190, 255), (20, 70, 190)),
        "blued": draw_state((190, 205, 225), (90, 110, 140), slash),
        "yellow": draw_state((255, 235, 130), (215, 150, 10)),
        "green": draw_state((150, 235, 130), (20, 130, 40), check),
        "red": draw_state((255, 140, 130), (180, 25, 25), cross),
        "start": draw_start(),
        "remove": draw_remove(),
        "setting": draw_setting(),
        "package": draw_package(),
        "main": draw_main(32),
        "main48": draw_main(48),
    }
    for name, canvas in images.items():
        canvas.save(os.path.join(out, name + ".png"))


if __name__ == "__main__":
    main()
