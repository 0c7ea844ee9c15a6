#!/usr/bin/env python3
"""Draws the icons of VrlnSchd.exe and writes them as .ico files beside this script.

    python3 make_icons.py [--out DIR] [--preview FILE.png]

Every icon carries a 16x16 image in the standard 16 colours with an AND mask,
drawn pixel by pixel below, for shells and displays that show no more. The
two tray icons that are shown, tray1000.ico (active) and tray1008.ico
(suspended), also hold images in 32-bit colour with alpha at 16, 20, 24, 32,
40 and 48 pixels (the notification area's small-icon size at 100 % to 300 %
scaling): at 16 px the same drawing in true colours, at the larger sizes the
motif drawn from shapes, so that no size is a scaled copy of another.
tray1001.ico .. tray1007.ico, carried but never shown, keep the 16-colour
image alone. main.ico holds 16-colour 32x32 and 16x16 images and 32-bit ones
of 48 and 256 pixels. Every 32-bit image is stored as PNG, which Windows Vista
and later read inside an .ico: as an indexed PNG with transparency when its
colours, each channel rounded to the coarsest step that leaves no more than
256 of them, fit a palette, which keeps the shipped program small. The
generated files are committed: a build needs no Python. --preview writes an
enlarged PNG of all images for a visual check.

Standard library only.
"""

import argparse
import math
import os
import struct
import zlib

# The standard 16-colour palette, in its usual index order, with the letter
# each colour has in the drawings below. '.' is a transparent pixel.
PALETTE = [
    ('K', (0x00, 0x00, 0x00)),  # black
    ('r', (0x80, 0x00, 0x00)),  # dark red
    ('g', (0x00, 0x80, 0x00)),  # dark green
    ('o', (0x80, 0x80, 0x00)),  # olive
    ('n', (0x00, 0x00, 0x80)),  # navy
    ('p', (0x80, 0x00, 0x80)),  # purple
    ('t', (0x00, 0x80, 0x80)),  # teal
    ('s', (0xC0, 0xC0, 0xC0)),  # silver
    ('d', (0x80, 0x80, 0x80)),  # dark grey
    ('R', (0xFF, 0x00, 0x00)),  # red
    ('G', (0x00, 0xFF, 0x00)),  # lime
    ('Y', (0xFF, 0xFF, 0x00)),  # yellow
    ('B', (0x00, 0x00, 0xFF)),  # blue
    ('M', (0xFF, 0x00, 0xFF)),  # magenta
    ('C', (0x00, 0xFF, 0xFF)),  # cyan
    ('W', (0xFF, 0xFF, 0xFF)),  # white
]
INDEX = {letter: i for i, (letter, _) in enumerate(PALETTE)}


def rows(text):
    return [line.strip() for line in text.strip().splitlines()]


# ---------------------------------------------------------------------------
# Drawings. The globe: navy rim, blue sea with the equator, two parallels and
# three meridians in cyan, green land lying over them, shaded dark green on
# its eastern edges.

GLOBE16 = rows("""
    .....nnnnn......
    ...nngBCBBnn....
    ..nGGGgCBCGgn...
    .nGGGGGgBGGGgn..
    .nGGGGgCCGGGgn..
    nBBGGGgCBBGGgBn.
    nBBCGgBCBBBgBBn.
    nCCCCgCCCCCCCCn.
    nBBCBGgCBBBCBBn.
    nBBCGGGgBBBCBBn.
    .nCCGGGgCCCCCn..
    .nBBCGgCBBCBBn..
    ..nBBgBCBCBBn...
    ...nnBBCBBnn....
    .....nnnnn......
    ................
""")

# The small clock laid over the globe's lower right corner; '.' keeps what
# lies beneath. Its hand is added per icon.
CLOCK9 = rows("""
    ...RRR...
    .RRWWWRR.
    .RWWWWWR.
    RWWWWWWWR
    RWWWKWWWR
    RWWWWWWWR
    .RWWWWWR.
    .RRWWWRR.
    ...RRR...
""")
CLOCK9_AT = (7, 7)
CLOCK9_CENTRE = (4, 4)

# Hand pixels relative to the centre, for 12, 1:30, 3, ..., 10:30 o'clock.
HAND_STEPS = [(0, -1), (1, -1), (1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1)]
HAND_LENGTH = 2

# The red X of the suspended icon; '.' keeps what lies beneath.
CROSS16 = rows("""
    R..............R
    RR............RR
    .RR..........RR.
    ..RR........RR..
    ...RR......RR...
    ....RR....RR....
    .....RR..RR.....
    ......RRRR......
    .......RR.......
    ......RRRR......
    .....RR..RR.....
    ....RR....RR....
    ...RR......RR...
    ..RR........RR..
    .RR..........RR.
    RR............RR
""")

# The same motif at 32x32 for the program file's own icon.
GLOBE32 = rows("""
    ............nnnnnnn.............
    .........nnnBBBCBBBnnn..........
    .......nnBCggBBCBBCCCBnn........
    ......nGGgBBggBCBBBGgCggn.......
    .....nGGGGGgBBBCBBGGGgCGGn......
    ....nGGGGGGGgBBCBGGGgBBGGGn.....
    ...nGGGGGGGGGgBCBGGGGGgGGGGn....
    ..ngGGGGGGGGGgCCGGggggCGGGGgn...
    ..nBgGGGGGGGgBBCggBBBBBggggBn...
    .nBBBgGGGGGGgBBCBBBBBBBBBCBBBn..
    .nBBCBgGGGGgBBBCBBGGGGGGgBCBBn..
    .nBBCBBgGGGgBBBCBGGGGGGGGgCBBn..
    nBBBCBBBgGgBBBBCBGGGGGGGGGgBBBn.
    nBBBCBBBBggBBBBCBgGGGGGGGGgBBBn.
    nBBBCBBBBBggBBBCBBGGGGGGGGgBBBn.
    nCCCCCCCCCCgCCCCCCgGGGGGGgCCCCn.
    nBBBCBBBBBBBgBBCBBBgGGGGgBCBBBn.
    nBBBCBBBBBBBGGgCBBBBGGGgBBCBBBn.
    nBBBCBBBBBBGGGGgBBBBGGgBBBCBBBn.
    .nBBCBBBBBGGGGGGgBBBggBBBBCBBn..
    .nBBCBBBBBgGGGGGGgBBBBBBBBCBBn..
    .nBBBCBBBBBGGGGGGgBBBBBBBCBBBn..
    ..nBBCBBBBBGGGGGgBBBBBBBBCBBn...
    ..nCCCCCCCCgGGGgCCCCCCCCCCCCn...
    ...nBBCBBBBBGGGgBBBBBBBBCBBn....
    ....nBBCBBBBGGgCBBBBBBBCBBn.....
    .....nBBCBBBggBCBBBBBBCBBn......
    ......nBBCBBBgBCBBBBBCBBn.......
    .......nnBCCCBBCBBCCCBnn........
    .........nnnBBBCBBBnnn..........
    ............nnnnnnn.............
    ................................
""")

# Its clock: a thick red frame, quarter-hour marks and two hands at 3 o'clock.
CLOCK15 = rows("""
    .....RRRRR.....
    ...RRRRRRRRR...
    ..RRRWWdWWRRR..
    .RRRWWWWWWWRRR.
    .RRWWWWKWWWWRR.
    RRWWWWWKWWWWWRR
    RRWWWWWKWWWWWRR
    RRdWWWWKKKWWdRR
    RRWWWWWWWWWWWRR
    RRWWWWWWWWWWWRR
    .RRWWWWWWWWWRR.
    .RRRWWWWWWWRRR.
    ..RRRWWdWWRRR..
    ...RRRRRRRRR...
    .....RRRRR.....
""")
CLOCK15_AT = (17, 17)


def blank(size):
    return [['.'] * size for _ in range(size)]


def overlay(base, sprite, at):
    ox, oy = at
    for y, line in enumerate(sprite):
        for x, ch in enumerate(line):
            if ch != '.':
                base[oy + y][ox + x] = ch
    return base


def tray_image(step):
    img = overlay(blank(16), GLOBE16, (0, 0))
    overlay(img, CLOCK9, CLOCK9_AT)
    cx = CLOCK9_AT[0] + CLOCK9_CENTRE[0]
    cy = CLOCK9_AT[1] + CLOCK9_CENTRE[1]
    dx, dy = HAND_STEPS[step % 8]
    for k in range(1, HAND_LENGTH + 1):
        img[cy + dy * k][cx + dx * k] = 'K'
    return img


def suspended_image():
    return overlay(tray_image(0), CROSS16, (0, 0))


def main_images():
    big = overlay(blank(32), GLOBE32, (0, 0))
    overlay(big, CLOCK15, CLOCK15_AT)
    return [big, tray_image(0)]


# ---------------------------------------------------------------------------
# The same motif as vector shapes, for the 32-bit images. Every length is a
# fraction of the image size, except line widths, which have a floor of about
# one pixel so that thin lines stay visible at 16 px.

SEA = (0x1C, 0x60, 0xF0)
LAND = (0x34, 0xC0, 0x3C)
GRID = (0x60, 0xE8, 0xFF)
RIM = (0x14, 0x28, 0x90)
FRAME = (0xE8, 0x18, 0x18)
FRAME_EDGE = (0x80, 0x00, 0x00)
FACE = (0xFF, 0xFF, 0xFF)
HAND = (0x10, 0x10, 0x10)
TICK = (0x70, 0x70, 0x70)
CROSS = (0xF0, 0x10, 0x10)
CROSS_EDGE = (0x70, 0x00, 0x00)

# Land in the globe's own coordinates: the unit disc, x to the east, y to the
# south. A western continent from pole to pole and an eastern one whose south
# lies under the clock.
LAND_WEST = [(-0.62, -0.72), (-0.30, -0.84), (-0.04, -0.74), (-0.02, -0.50), (-0.22, -0.30),
             (-0.34, -0.10), (-0.16, 0.04), (-0.08, 0.30), (-0.20, 0.56), (-0.30, 0.80),
             (-0.42, 0.56), (-0.46, 0.24), (-0.60, 0.02), (-0.74, -0.24), (-0.78, -0.50)]
LAND_EAST = [(0.20, -0.78), (0.52, -0.72), (0.70, -0.50), (0.52, -0.34), (0.66, -0.16),
             (0.58, 0.12), (0.40, 0.30), (0.26, 0.10), (0.16, -0.16), (0.28, -0.40)]
# Meridians by the sine of their longitude, parallels by the sine of their latitude.
MERIDIANS = [0.0, -0.72, 0.72]
PARALLELS = [0.0, -0.62, 0.62]
LIGHT = (-0.45, -0.55, 0.70)


class Scene:
    """One picture at one size. The clock's hands are (angle in degrees
    clockwise from 12, length as a fraction of the face's radius)."""

    def __init__(self, size, globe, clock, frame, hands, ticks=False, cross=False):
        self.size = size
        s = float(size)
        # Below 64 px the shapes are fitted to the pixel grid so that the
        # one-pixel lines fall on whole pixels instead of blurring over two:
        # the globe has an odd diameter (its equator and central meridian on
        # pixel centres) and a clock hand of odd width turns about a pixel centre.
        small = size < 64
        self.grid = 1.0 if small else s / 26
        self.rim = max(1.0, round(s / 18))
        self.hand_width = max(1.0, round(s / 16))
        self.frame = max(1.0, round(frame * s))
        self.gr = math.floor(globe * s) + 0.5 if small else globe * s
        self.gc = self.gr                    # the globe touches the top and left edges
        self.cr = clock * s
        if small:
            self.cr = math.floor(self.cr) + (0.5 if self.hand_width % 2 else 0.0)
        self.cc = s - self.cr                # the clock touches the bottom and right edges
        self.parallels = [round(p * self.gr) / self.gr for p in PARALLELS] if small else PARALLELS
        self.edge = s / 48 if size >= 32 else 0.0
        self.hands = [(math.radians(a), length) for a, length in hands]
        self.ticks = ticks and size >= 32
        self.cross = cross
        self.cross_width = 0.11 * s
        self.cross_edge = s / 40 if size >= 24 else 0.0
        norm = math.sqrt(sum(c * c for c in LIGHT))
        self.light = tuple(c / norm for c in LIGHT)

    def colour(self, x, y):
        """(r, g, b, a) at a point, a from 0 to 1; layers painted back to front."""
        rgba = None
        dx, dy = x - self.gc, y - self.gc
        d = math.hypot(dx, dy)
        if d <= self.gr:
            rgba = self.globe(dx / self.gr, dy / self.gr, d)
        dx, dy = x - self.cc, y - self.cc
        d = math.hypot(dx, dy)
        if d <= self.cr:
            rgba = self.clock(dx, dy, d)
        if self.cross:
            over = self.cross_at(x, y)
            if over:
                rgba = over
        return rgba

    def globe(self, u, v, d):
        if d > self.gr - self.rim:
            return RIM + (1.0,)
        nz = math.sqrt(max(0.0, 1.0 - u * u - v * v))
        lit = 0.75 + 0.35 * max(0.0, u * self.light[0] + v * self.light[1] + nz * self.light[2])
        half = self.grid / 2 / self.gr
        colour = SEA
        if any(abs(v - p) < half for p in self.parallels) or \
                any(abs(u - m * math.sqrt(max(0.0, 1.0 - v * v))) < half for m in MERIDIANS):
            colour = GRID
        if inside(u, v, LAND_WEST) or inside(u, v, LAND_EAST):
            colour = LAND
        return tuple(min(255, c * lit) for c in colour) + (1.0,)

    def clock(self, dx, dy, d):
        if d > self.cr - self.edge:
            return FRAME_EDGE + (1.0,)
        if d > self.cr - self.frame:
            return FRAME + (1.0,)
        face = self.cr - self.frame
        for angle, length in self.hands:
            # Square ends: a round end at the centre would smear into grey.
            ux, uy = math.sin(angle), -math.cos(angle)
            along = dx * ux + dy * uy
            if -self.hand_width / 2 <= along <= length * face and abs(dx * uy - dy * ux) <= self.hand_width / 2:
                return HAND + (1.0,)
        if self.ticks:
            for k in range(4):
                a = math.radians(90 * k)
                tx, ty = math.sin(a), -math.cos(a)
                along = dx * tx + dy * ty
                across = abs(dx * ty - dy * tx)
                if face * 0.72 <= along <= face * 0.95 and across <= self.hand_width / 3:
                    return TICK + (1.0,)
        return FACE + (1.0,)

    def cross_at(self, x, y):
        s = float(self.size)
        a, b = 0.07 * s, 0.93 * s
        d = min(segment_distance(x, y, a, a, b, b), segment_distance(x, y, b, a, a, b))
        if d > self.cross_width / 2:
            return None
        if d > self.cross_width / 2 - self.cross_edge:
            return CROSS_EDGE + (1.0,)
        return CROSS + (1.0,)


def inside(x, y, polygon):
    """Even-odd rule."""
    result = False
    j = len(polygon) - 1
    for i in range(len(polygon)):
        xi, yi = polygon[i]
        xj, yj = polygon[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def segment_distance(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - ax - t * vx, py - ay - t * vy)


def render(scene, samples):
    """Rows of (r, g, b, a) bytes, straight alpha, each pixel the mean of
    samples x samples points (coverage blended in premultiplied form)."""
    n = scene.size
    out = []
    step = 1.0 / samples
    for py in range(n):
        line = []
        for px in range(n):
            r = g = b = a = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    c = scene.colour(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    if c:
                        r += c[0] * c[3]
                        g += c[1] * c[3]
                        b += c[2] * c[3]
                        a += c[3]
            if a == 0:
                line.append((0, 0, 0, 0))
            else:
                line.append((round(r / a), round(g / a), round(b / a), round(255 * a / (samples * samples))))
        out.append(line)
    return out


# The sizes drawn from the shapes; the 16 px images come from the pixel drawings.
SHAPE_TRAY_SIZES = [20, 24, 32, 40, 48]
SHAPE_MAIN_SIZES = [48, 256]


def tray_scene(size, step, cross=False):
    return Scene(size, globe=0.47, clock=0.29, frame=0.075, hands=[(45 * step, 0.72)], cross=cross)


def main_scene(size):
    return Scene(size, globe=0.484, clock=0.25, frame=0.06, hands=[(0, 0.78), (90, 0.55)], ticks=True)


def samples_for(size):
    return 3 if size > 64 else 6


# ---------------------------------------------------------------------------
# File formats.

def check(img):
    for line in img:
        for ch in line:
            if ch != '.' and ch not in INDEX:
                raise ValueError('unknown colour letter %r' % ch)


def and_mask(rows_, transparent):
    """The AND mask, bottom-up: a set bit lets the screen show through."""
    size = len(rows_)
    stride = ((size + 31) // 32) * 4
    out = []
    for line in reversed(rows_):
        msk = bytearray(stride)
        for x, px in enumerate(line):
            if transparent(px):
                msk[x // 8] |= 0x80 >> (x % 8)
        out.append(bytes(msk))
    return b''.join(out)


def dib4(img):
    """A 4-bit DIB with its AND mask, as stored inside an .ico file."""
    check(img)
    size = len(img)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         (xor_stride + and_stride) * size, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for _, (r, g, b) in PALETTE)
    xor_rows = []
    for line in reversed(img):  # DIBs are stored bottom-up
        xor = bytearray(xor_stride)
        for x, ch in enumerate(line):
            if ch != '.':
                xor[x // 2] |= INDEX[ch] << (4 if x % 2 == 0 else 0)
        xor_rows.append(bytes(xor))
    return header + palette + b''.join(xor_rows) + and_mask(img, lambda ch: ch == '.')


def dib32(pixels):
    """A 32-bit BGRA DIB (straight alpha) with an AND mask for old renderers."""
    size = len(pixels)
    and_stride = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0,
                         (size * 4 + and_stride) * size, 0, 0, 0, 0)
    xor = b''.join(bytes(c for r, g, b, a in line for c in (b, g, r, a)) for line in reversed(pixels))
    return header + xor + and_mask(pixels, lambda px: px[3] == 0)


def palette_png(pixels):
    """An indexed PNG with transparency, its colours rounded until 256 fit; None when none fit."""
    for step in range(1, 17):
        def near(c):
            return min(255, (c + step // 2) // step * step)
        rounded = [[(0, 0, 0, 0) if a == 0 else (near(r), near(g), near(b), near(a)) for r, g, b, a in line]
                   for line in pixels]
        colours = sorted(set(px for line in rounded for px in line), key=lambda px: px[3])
        if len(colours) <= 256:
            break
    else:
        return None
    index = {px: i for i, px in enumerate(colours)}
    alphas = bytes(px[3] for px in colours).rstrip(b'\xff')

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b''.join(b'\0' + bytes(index[px] for px in line) for line in rounded)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', len(pixels[0]), len(pixels), 8, 3, 0, 0, 0))
            + chunk(b'PLTE', b''.join(bytes(px[:3]) for px in colours))
            + (chunk(b'tRNS', alphas) if alphas else b'')
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def png(width, height, pixels, alpha=False):
    """pixels: rows of (r, g, b) or, with alpha, (r, g, b, a) tuples."""
    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b''.join(b'\0' + bytes(c for px in line for c in px) for line in pixels)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6 if alpha else 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


class Image:
    """One image of an .ico file: 16-colour letters or 32-bit pixels."""

    def __init__(self, letters=None, pixels=None):
        self.letters = letters
        self.pixels = pixels
        self.size = len(letters if letters is not None else pixels)

    def blob(self):
        if self.letters is not None:
            return dib4(self.letters)
        full = png(self.size, self.size, self.pixels, alpha=True)
        indexed = palette_png(self.pixels)
        return indexed if indexed is not None and len(indexed) < len(full) else full

    def rgba(self):
        if self.pixels is not None:
            return self.pixels
        colour = {letter: rgb for letter, rgb in PALETTE}
        return [[(0, 0, 0, 0) if ch == '.' else colour[ch] + (255,) for ch in line] for line in self.letters]


def ico(images):
    blobs = [img.blob() for img in images]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for img, blob in zip(images, blobs):
        colours, bits = (16, 4) if img.letters is not None else (0, 32)
        out += struct.pack('<BBBBHHII', img.size % 256, img.size % 256, colours, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def preview(files, path):
    """One row per file: its images enlarged over a checkerboard (the 256 one
    at its own size), then each at its true size on a light and a dark strip,
    as a tray would show them."""
    gap = 8
    def scale_of(img):
        return 1 if img.size > 64 else 4
    rows_out = []
    for _, images in files:
        width = gap + sum(img.size * scale_of(img) + gap for img in images)
        height = gap + max(img.size * scale_of(img) for img in images) + gap
        rows_out.append((images, width, height))
    strip = 48 + 16
    width = max(w for _, w, _ in rows_out) + gap + 2 * (gap + sum(i.size + 4 for i in files[0][1]))
    height = sum(h for _, _, h in rows_out)
    canvas = [[(0x60, 0x60, 0x60)] * width for _ in range(height)]

    def put(x, y, rgba, under):
        r, g, b, a = rgba
        br, bg, bb = under
        canvas[y][x] = tuple(round((c * a + u * (255 - a)) / 255) for c, u in ((r, br), (g, bg), (b, bb)))

    top = 0
    strips_x = max(w for _, w, _ in rows_out) + gap
    for images, w, h in rows_out:
        x0 = gap
        for img in images:
            k = scale_of(img)
            px = img.rgba()
            for y in range(img.size * k):
                for x in range(img.size * k):
                    light = ((x // 4) + (y // 4)) % 2 == 0
                    put(x0 + x, top + gap + y, px[y // k][x // k], (0xE0,) * 3 if light else (0xB0,) * 3)
            x0 += img.size * k + gap
        for s, bg in enumerate([(0xD4, 0xD0, 0xC8), (0x10, 0x18, 0x30)]):
            left = strips_x + s * (width - strips_x) // 2
            for y in range(top, top + h):
                for x in range(left, left + (width - strips_x) // 2):
                    canvas[y][x] = bg
            x = left + gap
            for img in images:
                if img.size > 64:
                    continue
                px = img.rgba()
                for yy in range(img.size):
                    for xx in range(img.size):
                        put(x + xx, top + gap + yy, px[yy][xx], bg)
                x += img.size + 4
        top += h
    with open(path, 'wb') as f:
        f.write(png(width, height, canvas))


# At 16 px smoothed edges cover half the picture and blur it: the 32-bit image
# there is the hand-drawn one, in the colours of the larger sizes.
TRUE_COLOURS = {'n': RIM, 'B': SEA, 'C': GRID, 'G': LAND, 'g': tuple(c * 3 // 4 for c in LAND),
                'R': FRAME, 'r': FRAME_EDGE, 'W': FACE, 'K': HAND, 'd': TICK}


def true_colour(letters):
    return [[(0, 0, 0, 0) if ch == '.' else TRUE_COLOURS[ch] + (255,) for ch in line] for line in letters]


def tray_images(step, cross=False, shown=True):
    legacy = suspended_image() if cross else tray_image(step)
    if not shown:
        return [Image(letters=legacy)]
    return [Image(letters=legacy), Image(pixels=true_colour(legacy))] + [
        Image(pixels=render(tray_scene(n, step, cross), samples_for(n))) for n in SHAPE_TRAY_SIZES]


def main_icon_images():
    big, small = main_images()
    return [Image(letters=big), Image(letters=small)] + [
        Image(pixels=render(main_scene(n), samples_for(n))) for n in SHAPE_MAIN_SIZES]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument('--out', default=here, help='folder for the .ico files')
    parser.add_argument('--preview', help='also write an enlarged PNG of all images')
    args = parser.parse_args()

    files = [('tray%d.ico' % (1000 + step), tray_images(step, shown=step == 0)) for step in range(8)]
    files.append(('tray1008.ico', tray_images(0, cross=True)))
    files.append(('main.ico', main_icon_images()))
    for name, images in files:
        with open(os.path.join(args.out, name), 'wb') as f:
            f.write(ico(images))
    if args.preview:
        preview(files, args.preview)


if __name__ == '__main__':
    main()
