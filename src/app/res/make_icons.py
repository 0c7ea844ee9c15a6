#!/usr/bin/env python3
"""Draws the icons of VrlnSchd.exe and writes them as .ico files beside this script.

    python3 make_icons.py [--out DIR] [--preview FILE.png]

The tray icons tray1000.ico .. tray1008.ico hold one 16x16 image each; main.ico
holds a 32x32 and a 16x16 image. All images use 4 bits per pixel with the
standard 16-colour palette and an AND mask for transparency, so they look the
same on every display depth. The generated files are committed: a build needs
no Python. --preview writes an enlarged PNG of all images for a visual check.

Standard library only.
"""

import argparse
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
# File formats.

def check(img):
    for line in img:
        for ch in line:
            if ch != '.' and ch not in INDEX:
                raise ValueError('unknown colour letter %r' % ch)


def dib(img):
    """A 4-bit DIB with its AND mask, as stored inside an .ico file."""
    check(img)
    size = len(img)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         (xor_stride + and_stride) * size, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for _, (r, g, b) in PALETTE)
    xor_rows = []
    and_rows = []
    for line in reversed(img):  # DIBs are stored bottom-up
        xor = bytearray(xor_stride)
        msk = bytearray(and_stride)
        for x, ch in enumerate(line):
            if ch == '.':
                msk[x // 8] |= 0x80 >> (x % 8)  # transparent: screen shows through
            else:
                xor[x // 2] |= INDEX[ch] << (4 if x % 2 == 0 else 0)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(msk))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def ico(images):
    blobs = [dib(img) for img in images]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for img, blob in zip(images, blobs):
        size = len(img)
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def png(width, height, pixels):
    """pixels: rows of (r, g, b) tuples."""
    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b''.join(b'\0' + bytes(c for px in line for c in px) for line in pixels)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def preview(images, path, scale=8):
    """All images side by side, enlarged over a checkerboard, then at their
    true size on a light and a dark strip, as a tray would show them."""
    colour = {letter: rgb for letter, rgb in PALETTE}
    gap = 8
    width = sum(len(i) * scale + gap for i in images) + gap
    strip = 2 * 32 + 16
    height = gap + 32 * scale + gap + strip * 2
    canvas = [[(0x60, 0x60, 0x60)] * width for _ in range(height)]
    x0 = gap
    for img in images:
        n = len(img)
        for y in range(n * scale):
            for x in range(n * scale):
                ch = img[y // scale][x // scale]
                if ch == '.':
                    light = ((x // scale) + (y // scale)) % 2 == 0
                    rgb = (0xE0, 0xE0, 0xE0) if light else (0xB0, 0xB0, 0xB0)
                else:
                    rgb = colour[ch]
                canvas[gap + y][x0 + x] = rgb
        x0 += n * scale + gap
    for s, bg in enumerate([(0xD4, 0xD0, 0xC8), (0x10, 0x18, 0x30)]):
        top = gap + 32 * scale + gap + s * strip
        for y in range(top, top + strip):
            canvas[y] = [bg] * width
        x0 = gap
        for img in images:
            n = len(img)
            for factor, dx in ((1, 0), (2, n + 8)):
                for y in range(n * factor):
                    for x in range(n * factor):
                        ch = img[y // factor][x // factor]
                        if ch != '.':
                            canvas[top + 8 + y][x0 + dx + x] = colour[ch]
            x0 += n * scale + gap
    with open(path, 'wb') as f:
        f.write(png(width, height, canvas))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--out', default=here, help='folder for the .ico files')
    parser.add_argument('--preview', help='also write an enlarged PNG of all images')
    args = parser.parse_args()

    files = [('tray%d.ico' % (1000 + step), [tray_image(step)]) for step in range(8)]
    files.append(('tray1008.ico', [suspended_image()]))
    files.append(('main.ico', main_images()))
    for name, images in files:
        with open(os.path.join(args.out, name), 'wb') as f:
            f.write(ico(images))
    if args.preview:
        preview([img for _, images in files for img in images], args.preview)


if __name__ == '__main__':
    main()
