#!/usr/bin/env python3
"""Draws the application icon: two clock faces a little apart, the program's
subject, at 16, 32 and 48 pixels into skewmon.ico (32-bit images with alpha),
and at 16, 32, 48 and 256 pixels into PNG files for the desktop's icon theme
(icons/hicolor/SIZExSIZE/apps/skewmon.png).

Run from anywhere: python3 res/make_icon.py
"""
import math
import os
import struct
import zlib

SIZES = (16, 32, 48)
PNG_SIZES = (16, 32, 48, 256)
SUPERSAMPLE = 4


def clock(cx, cy, r, rim, face, hands, hour_angle, minute_angle):
    """The colour of one clock at a point, or None outside it."""
    def shade(x, y):
        d = math.hypot(x - cx, y - cy)
        if d > r:
            return None
        if d > r * 0.82:
            return rim
        # Hands: a short thick one and a long thin one, from the centre.
        for angle, length, width in ((hour_angle, 0.5, 0.11), (minute_angle, 0.75, 0.07)):
            ux, uy = math.sin(angle), -math.cos(angle)
            along = (x - cx) * ux + (y - cy) * uy
            across = abs(-(x - cx) * uy + (y - cy) * ux)
            if -0.05 * r <= along <= length * r and across <= width * r:
                return hands
        if d < r * 0.1:
            return hands
        # Twelve ticks.
        angle = math.atan2(x - cx, -(y - cy))
        tick = (angle / (2 * math.pi) * 12) % 1
        if d > r * 0.68 and (tick < 0.06 or tick > 0.94):
            return hands
        return face
    return shade


def render(size):
    back = clock(0.60, 0.40, 0.38, (120, 128, 140, 255), (226, 230, 236, 255), (90, 96, 108, 255),
                 math.radians(95), math.radians(10))
    front = clock(0.42, 0.58, 0.40, (28, 78, 170, 255), (255, 255, 255, 255), (20, 30, 60, 255),
                  math.radians(60), math.radians(-25))
    pixels = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    c = front(x, y) or back(x, y)
                    if c:
                        a = c[3] / 255.0
                        acc[0] += c[0] * a
                        acc[1] += c[1] * a
                        acc[2] += c[2] * a
                        acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3] > 0:
                rgb = [int(round(acc[i] / acc[3])) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], int(round(alpha * 255))))
        pixels.append(row)
    return pixels


def dib(size, pixels):
    """A BITMAPINFOHEADER image of twice the height (XOR image, AND mask)."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def png(size, pixels):
    """An 8-bit RGBA PNG, with nothing in it that changes from run to run."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # no filter
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) +
            chunk(b'IEND', b''))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    rendered = {s: render(s) for s in sorted(set(SIZES) | set(PNG_SIZES))}
    for s in PNG_SIZES:
        folder = os.path.join(here, 'icons', 'hicolor', '%dx%d' % (s, s), 'apps')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'skewmon.png'), 'wb') as f:
            f.write(png(s, rendered[s]))

    images = [dib(s, rendered[s]) for s in SIZES]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, image in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    path = os.path.join(here, 'skewmon.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
