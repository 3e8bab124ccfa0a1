#!/usr/bin/env python3
"""Draws the updater's banner pictures and window icon.

Writes banner1.bmp .. banner5.bmp (one per wizard page) and update.ico next
to this script. Only the standard library is used: shapes are signed distance
functions sampled once per pixel, which gives clean anti-aliased edges without
an imaging package. The output is deterministic, and the generated files are
committed so that the build never needs Python.

Every file is read back and checked after it is written: the program hands
the banner bytes unchanged to the system picture loader and the icon group to
the resource compiler, so a wrong size or header must fail here, not there.
"""

import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

BANNER_WIDTH = 120
BANNER_HEIGHT = 244
BANNER_FILE_SIZE = 87894  # 14 + 40 header bytes + 244 rows of 360 bytes

# (size in pixels, bits per pixel), in the order of the icon group.
ICON_IMAGES = [(48, 8), (32, 8), (16, 8), (48, 32), (32, 32)]


# ---------------------------------------------------------------------------
# Signed distance functions: negative inside, positive outside, in pixels.


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def rounded_box(cx, cy, hw, hh, radius=0.0):
    def sdf(x, y):
        qx = abs(x - cx) - hw + radius
        qy = abs(y - cy) - hh + radius
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return sdf


def segment(ax, ay, bx, by, half_width):
    """A stroke from a to b with round caps."""
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def sdf(x, y):
        t = ((x - ax) * dx + (y - ay) * dy) / length2
        t = min(max(t, 0.0), 1.0)
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - half_width
    return sdf


def polyline(points, half_width):
    return union(*[segment(*points[i], *points[i + 1], half_width)
                   for i in range(len(points) - 1)])


def polygon(points):
    """Any simple polygon; exact distance, sign by the crossing rule."""
    n = len(points)

    def sdf(x, y):
        best = float("inf")
        inside = False
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[i - 1]
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            t = min(max((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0), 1.0)
            best = min(best, math.hypot(wx - ex * t, wy - ey * t))
            if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
                inside = not inside
        return -best if inside else best
    return sdf


def arc(cx, cy, r, half_width, start, sweep):
    """A stroke along a circle from angle start, sweeping clockwise on screen
    (y grows downwards), with a round cap at the start and a flat end so that
    an arrowhead can sit on it."""
    end = start + sweep
    sx, sy = cx + r * math.cos(start), cy + r * math.sin(start)
    ex, ey = math.cos(end), math.sin(end)  # outward normal at the end

    def sdf(x, y):
        px, py = x - cx, y - cy
        a = (math.atan2(py, px) - start) % (2.0 * math.pi)
        if a <= sweep:
            return abs(math.hypot(px, py) - r) - half_width
        cap = math.hypot(x - sx, y - sy) - half_width
        # Past the end: distance to the flat end face.
        tx, ty = -ey, ex  # direction of travel at the end
        along = px * tx + py * ty - (r * ex * tx + r * ey * ty)
        across = abs(px * ex + py * ey - r) - half_width
        face = math.hypot(max(along, 0.0), max(across, 0.0)) + min(
            max(along, across), 0.0)
        return min(cap, face)
    return sdf


def ellipse_outline(cx, cy, rx, ry, half_width):
    # Scaled circle distance: close enough for thin strokes.
    k = min(rx, ry)
    return lambda x, y: abs(
        (math.hypot((x - cx) / rx, (y - cy) / ry) - 1.0) * k) - half_width


def outline(sdf, half_width):
    return lambda x, y: abs(sdf(x, y)) - half_width


def union(*sdfs):
    return lambda x, y: min(s(x, y) for s in sdfs)


def intersect(a, b):
    return lambda x, y: max(a(x, y), b(x, y))


def subtract(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


# ---------------------------------------------------------------------------
# Colours and the canvas.


def rgb(hex_text):
    v = int(hex_text, 16)
    return ((v >> 16) & 255, (v >> 8) & 255, v & 255)


def mix(a, b, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vertical(top_color, bottom_color, y0, y1):
    """A paint that fades from top_color at y0 to bottom_color at y1."""
    a, b = rgb(top_color), rgb(bottom_color)
    return lambda x, y: mix(a, b, (y - y0) / (y1 - y0))


class Canvas:
    """Premultiplied RGBA pixels as floats, 0..255 per channel."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, sdf, paint, opacity=1.0, feather=1.0, bounds=None):
        """Composites a shape over the canvas. paint is an (r, g, b) tuple or
        a function of (x, y); feather widens the edge for soft shadows."""
        x0, y0, x1, y1 = bounds or (0, 0, self.width, self.height)
        x0, y0 = max(int(x0), 0), max(int(y0), 0)
        x1, y1 = min(int(math.ceil(x1)), self.width), min(
            int(math.ceil(y1)), self.height)
        for py in range(y0, y1):
            cy = py + 0.5
            row = py * self.width
            for px in range(x0, x1):
                cx = px + 0.5
                cover = 0.5 - sdf(cx, cy) / feather
                if cover <= 0.0:
                    continue
                a = min(cover, 1.0) * opacity
                color = paint(cx, cy) if callable(paint) else paint
                p = self.pixels[row + px]
                keep = 1.0 - a
                p[0] = color[0] * a + p[0] * keep
                p[1] = color[1] * a + p[1] * keep
                p[2] = color[2] * a + p[2] * keep
                p[3] = 255.0 * a + p[3] * keep

    def straight(self, x, y):
        """The pixel as straight (r, g, b, a) bytes."""
        r, g, b, a = self.pixels[y * self.width + x]
        if a <= 0.0:
            return (0, 0, 0, 0)
        k = 255.0 / a
        return tuple(min(max(int(round(v)), 0), 255)
                     for v in (r * k, g * k, b * k, a))


# ---------------------------------------------------------------------------
# Banners: one gradient backdrop, an emblem on a white disc and a row of step
# dots; only the emblem and the current dot change from page to page.

BLUE = rgb("1F64BE")
BLUE_DARK = rgb("164A94")
LIGHT_BLUE = rgb("9CC3EE")
PALE_BLUE = rgb("EAF3FC")
GREEN = rgb("2EAA5A")
WHITE = (255, 255, 255)
SHADOW = rgb("0A2A55")

EMBLEM_X, EMBLEM_Y, DISC_R = 60.0, 96.0, 36.0


def draw_backdrop(c, step):
    c.fill(lambda x, y: -1.0, vertical("164E96", "3A95D6", 0, BANNER_HEIGHT))
    # Large faint circles give the plain gradient some depth.
    c.fill(circle(-10, 10, 90), WHITE, opacity=0.06)
    c.fill(circle(130, 250, 80), WHITE, opacity=0.07)
    c.fill(circle(20, 270, 60), WHITE, opacity=0.05)
    # The emblem disc with a soft shadow and a thin halo.
    c.fill(circle(EMBLEM_X, EMBLEM_Y + 3, DISC_R), SHADOW, opacity=0.35,
           feather=8.0)
    c.fill(outline(circle(EMBLEM_X, EMBLEM_Y, DISC_R + 6), 0.7), WHITE,
           opacity=0.35)
    c.fill(circle(EMBLEM_X, EMBLEM_Y, DISC_R),
           vertical("FFFFFF", "E4EEF9", EMBLEM_Y - DISC_R, EMBLEM_Y + DISC_R))
    # Where the wizard is: five dots, the current one bright.
    for i in range(5):
        x = EMBLEM_X + (i - 2) * 14
        if i == step:
            c.fill(circle(x, 204, 4.0), WHITE)
        else:
            c.fill(circle(x, 204, 3.0), WHITE, opacity=0.4)


def badge(c, x, y, r):
    """A green disc with a white rim, for a small sign on an emblem."""
    c.fill(circle(x, y + 1, r + 2.5), SHADOW, opacity=0.25, feather=3.0)
    c.fill(circle(x, y, r + 2.5), WHITE)
    c.fill(circle(x, y, r), vertical("4CC377", "23924A", y - r, y + r))


def emblem_globe(c):
    cx, cy, r = EMBLEM_X, EMBLEM_Y - 2, 22.0
    globe = circle(cx, cy, r)
    c.fill(globe, vertical("D6E8FB", "A9CDF3", cy - r, cy + r))
    inside = circle(cx, cy, r - 0.5)
    grid = union(
        ellipse_outline(cx, cy, 9.5, r, 1.0),
        segment(cx, cy - r, cx, cy + r, 1.0),
        segment(cx - r, cy, cx + r, cy, 1.0),
        segment(cx - r, cy - 11, cx + r, cy - 11, 1.0),
        segment(cx - r, cy + 11, cx + r, cy + 11, 1.0))
    c.fill(intersect(grid, inside), BLUE, opacity=0.8)
    c.fill(outline(globe, 1.5), BLUE)
    bx, by = cx + 17, cy + 17
    badge(c, bx, by, 9.0)
    arrow = union(segment(bx, by - 5, bx, by + 4.5, 1.4),
                  polyline([(bx - 4, by + 1), (bx, by + 5), (bx + 4, by + 1)],
                           1.4))
    c.fill(arrow, WHITE)


def emblem_servers(c):
    for i, y in enumerate((EMBLEM_Y - 17, EMBLEM_Y, EMBLEM_Y + 17)):
        unit = rounded_box(EMBLEM_X, y, 22, 6.5, 3.0)
        c.fill(unit, SHADOW, opacity=0.2, feather=2.5)
        c.fill(unit, vertical("2F7AD6", "1A55A6", y - 6.5, y + 6.5))
        c.fill(segment(EMBLEM_X - 19, y - 4.2, EMBLEM_X + 19, y - 4.2, 0.6),
               WHITE, opacity=0.25)
        for k in range(4):
            vx = EMBLEM_X - 15 + k * 4
            c.fill(segment(vx, y - 2.5, vx, y + 2.5, 0.8), LIGHT_BLUE)
        c.fill(circle(EMBLEM_X + 14, y, 2.3), rgb("5BE08A") if i == 1 else GREEN)
        c.fill(circle(EMBLEM_X + 7, y, 1.6), LIGHT_BLUE)


def emblem_document(c):
    left, right, top, bottom, fold = 44.0, 74.0, 68.0, 122.0, 10.0
    page = polygon([(left, top), (right - fold, top), (right, top + fold),
                    (right, bottom), (left, bottom)])
    c.fill(page, SHADOW, opacity=0.22, feather=3.0)
    c.fill(page, PALE_BLUE)
    c.fill(outline(page, 1.1), BLUE)
    corner = polygon([(right - fold, top), (right - fold, top + fold),
                      (right, top + fold)])
    c.fill(corner, LIGHT_BLUE)
    c.fill(outline(corner, 0.8), BLUE)
    for i, width in enumerate((18, 20, 14, 20, 11)):
        y = top + 19 + i * 7
        c.fill(segment(left + 6, y, left + 6 + width, y, 1.1), rgb("7FA6D6"))
    bx, by = right + 2, bottom - 6
    badge(c, bx, by, 9.0)
    arrow = union(segment(bx, by + 5, bx, by - 4.5, 1.4),
                  polyline([(bx - 4, by - 1), (bx, by - 5), (bx + 4, by - 1)],
                           1.4))
    c.fill(arrow, WHITE)


def emblem_download(c):
    cx = EMBLEM_X
    arrow = union(rounded_box(cx, EMBLEM_Y - 12, 6, 13, 1.5),
                  polygon([(cx - 15, EMBLEM_Y - 1), (cx + 15, EMBLEM_Y - 1),
                           (cx, EMBLEM_Y + 15)]))
    c.fill(arrow, SHADOW, opacity=0.2, feather=3.0)
    c.fill(arrow, vertical("3584DE", "1A54A4", EMBLEM_Y - 25, EMBLEM_Y + 15))
    tray = polyline([(cx - 20, EMBLEM_Y + 8), (cx - 20, EMBLEM_Y + 21),
                     (cx + 20, EMBLEM_Y + 21), (cx + 20, EMBLEM_Y + 8)], 2.6)
    c.fill(tray, vertical("4CC377", "23924A", EMBLEM_Y + 6, EMBLEM_Y + 24))


def emblem_check(c):
    r = 24.0
    c.fill(circle(EMBLEM_X, EMBLEM_Y + 1.5, r), SHADOW, opacity=0.25,
           feather=3.0)
    c.fill(circle(EMBLEM_X, EMBLEM_Y, r),
           vertical("52C97E", "1F8D45", EMBLEM_Y - r, EMBLEM_Y + r))
    c.fill(outline(circle(EMBLEM_X, EMBLEM_Y, r - 3.0), 0.6), WHITE,
           opacity=0.35)
    mark = polyline([(EMBLEM_X - 11, EMBLEM_Y + 1), (EMBLEM_X - 3,
                     EMBLEM_Y + 9), (EMBLEM_X + 12, EMBLEM_Y - 8)], 3.2)
    c.fill(mark, WHITE)


BANNERS = [emblem_globe, emblem_servers, emblem_document, emblem_download,
           emblem_check]


def bmp_bytes(canvas):
    """A 24-bit bottom-up BMP file of an opaque canvas."""
    w, h = canvas.width, canvas.height
    stride = (w * 3 + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b, _ = canvas.straight(x, y)
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels),
                       2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0,
                         14 + len(info))
    return header + info + pixels


def check_banner(data):
    magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    (info_size, w, h, planes, bits, compression, image_size, _, _, used,
     _) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    assert magic == b"BM" and size == len(data) == BANNER_FILE_SIZE, size
    assert offset == 54 and info_size == 40, (offset, info_size)
    assert (w, h, planes, bits) == (BANNER_WIDTH, BANNER_HEIGHT, 1, 24)
    assert compression == 0 and used == 0
    assert image_size == BANNER_HEIGHT * BANNER_WIDTH * 3


# ---------------------------------------------------------------------------
# Icon: a blue circular arrow around a green down arrow, drawn on a 48-unit
# grid and scaled; the 16-pixel image gets bolder strokes so it stays legible.


def draw_icon(size):
    c = Canvas(size, size)
    k = size / 48.0
    bold = 1.25 if size <= 16 else 1.0
    cx = cy = 24.0 * k
    r = 16.5 * k
    half = 2.9 * k * bold
    # The arc ends at the top with its head pointing right, into the gap.
    sweep = math.radians(290.0)
    start = math.radians(-90.0) - sweep
    ring = arc(cx, cy, r, half, start, sweep)
    end = start + sweep
    nx, ny = math.cos(end), math.sin(end)
    tx, ty = -ny, nx
    px, py = cx + r * nx, cy + r * ny
    head_w, head_l = 6.2 * k, 7.5 * k
    head = polygon([(px + nx * head_w, py + ny * head_w),
                    (px + tx * head_l, py + ty * head_l),
                    (px - nx * head_w, py - ny * head_w)])
    ring_paint = vertical("4A9BEA", "1650A8", cy - r - half, cy + r + half)
    c.fill(union(ring, head), ring_paint)
    shaft_w = 2.6 * k * bold
    arrow = union(
        rounded_box(cx, cy - 2.5 * k, shaft_w, 6.0 * k, 0.8 * k),
        polygon([(cx - 8.0 * k * bold, cy + 1.0 * k),
                 (cx + 8.0 * k * bold, cy + 1.0 * k),
                 (cx, cy + 10.0 * k)]))
    c.fill(arrow, vertical("5CD083", "1E8E44", cy - 9 * k, cy + 10 * k))
    return c


def build_palette(colors):
    """Median cut to at most 255 entries; entry 0 stays black for the
    transparent pixels. Deterministic: ties split by channel order."""
    boxes = [sorted(set(colors))]
    while len(boxes) < 255:
        best, best_range, best_channel = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                lo = min(col[ch] for col in box)
                hi = max(col[ch] for col in box)
                if hi - lo > best_range:
                    best, best_range, best_channel = i, hi - lo, ch
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda col: (col[best_channel], col))
        half = len(box) // 2
        boxes[best:best] = [box[:half], box[half:]]
    palette = [(0, 0, 0)]
    for box in boxes:
        n = len(box)
        palette.append(tuple(int(round(sum(col[ch] for col in box) / n))
                             for ch in range(3)))
    palette += [(0, 0, 0)] * (256 - len(palette))
    return palette


def nearest(palette, color, cache):
    if color not in cache:
        cache[color] = min(
            range(1, 256),
            key=lambda i: sum((palette[i][ch] - color[ch]) ** 2
                              for ch in range(3)))
    return cache[color]


def icon_image_bytes(canvas, bits):
    """BITMAPINFOHEADER, palette if any, colour rows and the AND mask, all
    bottom-up as the icon format wants them."""
    n = canvas.width
    pixels = [[canvas.straight(x, y) for x in range(n)] for y in range(n)]
    # Without alpha, a pixel is either shown or masked: cut at half cover.
    shown = [[p[3] >= (1 if bits == 32 else 128) for p in row]
             for row in pixels]
    body = bytearray()
    palette = []
    if bits == 8:
        palette = build_palette([p[:3] for row, mask in zip(pixels, shown)
                                 for p, on in zip(row, mask) if on])
        for r, g, b in palette:
            body += bytes((b, g, r, 0))
    cache = {}
    color_stride = (n * bits // 8 + 3) & ~3
    for y in range(n - 1, -1, -1):
        row = bytearray()
        for x in range(n):
            r, g, b, a = pixels[y][x]
            if bits == 32:
                row += bytes((b, g, r, a))
            else:
                row.append(nearest(palette, (r, g, b), cache)
                           if shown[y][x] else 0)
        body += row + bytes(color_stride - len(row))
    mask_stride = ((n + 31) // 32) * 4
    mask = bytearray()
    for y in range(n - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(n):
            if not shown[y][x]:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    image_size = color_stride * n + mask_stride * n
    info = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, bits, 0, image_size,
                       0, 0, 0, 0)
    return info + bytes(body) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, bits, image bytes)."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, bodies = b"", b""
    for size, bits, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1,
                               bits, len(data), offset)
        bodies += data
        offset += len(data)
    return header + entries + bodies


def check_icon(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind, count) == (0, 1, len(ICON_IMAGES))
    expected_offset = 6 + 16 * count
    for i, (size, bits) in enumerate(ICON_IMAGES):
        w, h, colors, _, planes, bit_count, length, offset = \
            struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        assert (w, h, colors, planes, bit_count) == (size, size, 0, 1, bits)
        assert offset == expected_offset, (offset, expected_offset)
        info = struct.unpack_from("<IiiHHIIiiII", data, offset)
        assert info[:5] == (40, size, 2 * size, 1, bits), info
        palette = 1024 if bits == 8 else 0
        mask = ((size + 31) // 32) * 4 * size
        assert length == 40 + palette + size * size * bits // 8 + mask
        assert info[6] == length - 40 - palette
        expected_offset += length
    assert expected_offset == len(data)


# ---------------------------------------------------------------------------


def write(name, data, check):
    path = os.path.join(HERE, name)
    with open(path, "wb") as f:
        f.write(data)
    with open(path, "rb") as f:
        check(f.read())
    print(f"{name}: {len(data)} bytes")


def main():
    for step, emblem in enumerate(BANNERS):
        canvas = Canvas(BANNER_WIDTH, BANNER_HEIGHT)
        draw_backdrop(canvas, step)
        emblem(canvas)
        write(f"banner{step + 1}.bmp", bmp_bytes(canvas), check_banner)
    drawn = {}
    images = []
    for size, bits in ICON_IMAGES:
        if size not in drawn:
            drawn[size] = draw_icon(size)
        images.append((size, bits, icon_image_bytes(drawn[size], bits)))
    write("update.ico", ico_bytes(images), check_icon)
    return 0


if __name__ == "__main__":
    sys.exit(main())
