#!/usr/bin/env python3
"""Draws the window's flat icons into resources/images/ as PNG files, and
with --app-icon the program's own icon in the sizes the desktop's icon theme
asks for (resources/icons/vantaro-N.png; vantaro.svg beside them is the same
drawing by hand).

Only the standard library is used: every shape is an "inside" test, each
pixel is supersampled 4 x 4 for smooth edges, layers are composited over a
transparent background and written with zlib. Run from the repository root:

    python3 tools/make-icons.py [output-folder]
    python3 tools/make-icons.py --app-icon [output-folder]
"""

import math
import os
import struct
import sys
import zlib

ACCENT = (0, 172, 236)
ACCENT_DARK = (0, 153, 204)
GREY = (149, 165, 166)
SILVER = (189, 195, 199)
DARK = (52, 73, 94)
WHITE = (255, 255, 255)

SS = 4  # samples per pixel side


# ---------------------------------------------------------------- shapes
def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in < (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    return inside


def polygon(points):
    def inside(x, y):
        result = False
        n = len(points)
        for i in range(n):
            xa, ya = points[i]
            xb, yb = points[(i + 1) % n]
            if (ya > y) != (yb > y):
                xc = xa + (y - ya) * (xb - xa) / (yb - ya)
                if x < xc:
                    result = not result
        return result

    return inside


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def gear(cx, cy, r_body, r_teeth, r_hole, teeth=8):
    def inside(x, y):
        dx, dy = x - cx, y - cy
        d = math.hypot(dx, dy)
        if d <= r_hole:
            return False
        if d <= r_body:
            return True
        if d > r_teeth:
            return False
        a = (math.atan2(dy, dx) / (2 * math.pi) * teeth) % 1.0
        return a < 0.45

    return inside


# ---------------------------------------------------------------- canvas
class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[(0.0, 0.0, 0.0, 0.0) for _ in range(w)] for _ in range(h)]

    def fill(self, shape, color, alpha=1.0):
        for j in range(self.h):
            for i in range(self.w):
                hits = 0
                for sj in range(SS):
                    for si in range(SS):
                        if shape(i + (si + 0.5) / SS, j + (sj + 0.5) / SS):
                            hits += 1
                if not hits:
                    continue
                a = alpha * hits / (SS * SS)
                r, g, b, da = self.px[j][i]
                out_a = a + da * (1 - a)
                if out_a <= 0:
                    continue
                mix = [(c * a + dc * da * (1 - a)) / out_a for c, dc in zip(color, (r, g, b))]
                self.px[j][i] = (mix[0], mix[1], mix[2], out_a)
        return self

    def png(self):
        raw = bytearray()
        for row in self.px:
            raw.append(0)
            for r, g, b, a in row:
                raw += bytes((round(r), round(g), round(b), round(a * 255)))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------- icons
def combo_arrow():
    return Canvas(12, 8).fill(polygon([(1, 1.5), (11, 1.5), (6, 7)]), ACCENT)


def slider_handle(ring_color, fill_color):
    c = Canvas(20, 20)
    c.fill(circle(10, 10, 8.5), ring_color)
    c.fill(circle(10, 10, 5.5), fill_color)
    return c


def switch(on, hover):
    c = Canvas(45, 18)
    track = (ACCENT_DARK if hover else ACCENT) if on else (GREY if hover else SILVER)
    c.fill(rounded_rect(1, 1, 44, 17, 8), track)
    knob_x = 35.5 if on else 9.5
    c.fill(circle(knob_x, 9, 6.5), WHITE)
    return c


def plus_icon():
    c = Canvas(14, 14)
    c.fill(union(rect(2, 6, 12, 8), rect(6, 2, 8, 12)), DARK)
    return c


def minus_icon():
    return Canvas(14, 14).fill(rect(2, 6, 12, 8), DARK)


def pause_icon():
    c = Canvas(25, 25)
    c.fill(union(rounded_rect(6, 4, 10.5, 21, 1.5), rounded_rect(14.5, 4, 19, 21, 1.5)), ACCENT)
    return c


def play_icon():
    return Canvas(25, 25).fill(polygon([(7, 4), (21, 12.5), (7, 21)]), ACCENT)


def stop_icon():
    return Canvas(25, 25).fill(rounded_rect(5, 5, 20, 20, 2), ACCENT)


def gear_icon(color):
    return Canvas(25, 25).fill(gear(12.5, 12.5, 7.5, 11, 3.5, teeth=8), color)


def video_icon(color, filled):
    c = Canvas(35, 25)
    body = rounded_rect(4, 6, 24, 19, 3)
    lens = polygon([(25, 12.5), (32, 7), (32, 18)])
    if filled:
        c.fill(union(body, lens), color)
        c.fill(circle(11, 12.5, 2.5), WHITE)
    else:
        c.fill(minus(body, rounded_rect(6, 8, 22, 17, 1.5)), color)
        c.fill(lens, color)
    return c


def file_icon(color):
    # A sheet with a folded corner and a small film strip: a recorded file.
    c = Canvas(35, 25)
    sheet = polygon([(10, 2), (21, 2), (26, 7), (26, 23), (10, 23)])
    c.fill(minus(sheet, polygon([(12, 4), (20, 4), (24, 8), (24, 21), (12, 21)])), color)
    c.fill(polygon([(20, 2), (26, 8), (20, 8)]), color)
    for y in (10, 13.5, 17):
        c.fill(rect(14, y, 22, y + 1.6), color)
    return c


def app_icon(size):
    # The mark of the logo: a round body with two lenses, on a 120-unit grid.
    k = size / 120.0
    c = Canvas(size, size)
    c.fill(circle(60 * k, 60 * k, 55 * k), ACCENT)
    for cx in (38, 82):
        c.fill(ring(cx * k, 60 * k, 20 * k, 10 * k), WHITE)
        c.fill(circle(cx * k, 60 * k, 10 * k), DARK)
    return c


APP_ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


ICONS = {
    "combo_arrow": combo_arrow,
    "slider": lambda: slider_handle(ACCENT, WHITE),
    "slider_un": lambda: slider_handle(ACCENT_DARK, ACCENT_DARK),
    "slider_off": lambda: slider_handle(GREY, WHITE),
    "OFF_SMALL": lambda: switch(False, False),
    "ON_SMALL": lambda: switch(True, False),
    "OFF_SMALL_HOVER": lambda: switch(False, True),
    "ON_SMALL_HOVER": lambda: switch(True, True),
    "plus": plus_icon,
    "minus": minus_icon,
    "pause": pause_icon,
    "play": play_icon,
    "stop": stop_icon,
    "gear": lambda: gear_icon(ACCENT),
    "gear_hover": lambda: gear_icon(ACCENT_DARK),
    "gear_un": lambda: gear_icon(GREY),
    "video": lambda: video_icon(ACCENT, False),
    "video_on": lambda: video_icon(ACCENT, True),
    "video_hover": lambda: video_icon(ACCENT_DARK, False),
    "video_on_hover": lambda: video_icon(ACCENT_DARK, True),
    "video_un": lambda: video_icon(GREY, False),
    "TWV_lib2": lambda: file_icon(ACCENT),
    "TWV_lib_hover2": lambda: file_icon(ACCENT_DARK),
}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--app-icon":
        out = sys.argv[2] if len(sys.argv) > 2 else os.path.join("resources", "icons")
        os.makedirs(out, exist_ok=True)
        for size in APP_ICON_SIZES:
            with open(os.path.join(out, "vantaro-%d.png" % size), "wb") as f:
                f.write(app_icon(size).png())
        print("wrote %d sizes of the program's icon to %s" % (len(APP_ICON_SIZES), out))
        return
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join("resources", "images")
    os.makedirs(out, exist_ok=True)
    for name, make in ICONS.items():
        with open(os.path.join(out, name + ".png"), "wb") as f:
            f.write(make().png())
    print("wrote %d icons to %s" % (len(ICONS), out))


if __name__ == "__main__":
    main()
