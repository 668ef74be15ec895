#!/usr/bin/env python3
# Draws the library's two icons (16 x 16 and 32 x 32, 32-bit with an AND mask) and
# writes them as .ico files: tracewnd.ico (the trace window, 128) and ontop.ico (the
# OnTop button, 141). The .ico files are committed; run this only to change them.
import struct, os

def trace_icon(n):
    # A window: dark blue frame and title bar, white ground, trace lines in the level
    # colours (red, blue, black, grey).
    s = n // 16
    px = [[(255, 255, 255, 255)] * n for _ in range(n)]
    frame = (40, 40, 125, 255)
    for y in range(n):
        for x in range(n):
            if x < s or x >= n - s or y < s or y >= n - s or y < 4 * s:
                px[y][x] = frame
    lines = [(255, 0, 0), (0, 0, 255), (0, 0, 0), (127, 127, 127), (0, 125, 0)]
    y = 5 * s
    i = 0
    while y + s <= n - 2 * s:
        c = lines[i % len(lines)]
        x1 = n - 3 * s - (i % 2) * 3 * s
        for yy in range(y, y + s):
            for x in range(3 * s, x1):
                px[yy][x] = c + (255,)
        y += 2 * s
        i += 1
    return px

def ontop_icon(n):
    # An arrow pointing up onto a bar: "stay on top".
    s = n // 16
    px = [[(0, 0, 0, 0)] * n for _ in range(n)]
    c = (40, 40, 125, 255)
    for y in range(s, 3 * s):
        for x in range(2 * s, n - 2 * s):
            px[y][x] = c
    for k in range(6 * s):            # the head of the arrow
        y = 4 * s + k
        half = k // 1
        for x in range(n // 2 - half // 1 - 1, n // 2 + half + 1):
            if 0 <= x < n and y < 10 * s:
                px[y][x] = c
    for y in range(10 * s, n - s):    # the shaft
        for x in range(n // 2 - 2 * s, n // 2 + 2 * s):
            px[y][x] = c
    return px

def ico(images):
    out = struct.pack('<HHH', 0, 1, len(images))
    blobs = []
    for px in images:
        n = len(px)
        xor = b''.join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
        stride = ((n + 31) // 32) * 4
        andm = b''
        for row in reversed(px):
            bits = 0
            line = bytearray(stride)
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    line[x // 8] |= 0x80 >> (x % 8)
            andm += bytes(line)
        hdr = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, len(xor) + len(andm), 0, 0, 0, 0)
        blobs.append(hdr + xor + andm)
    offset = 6 + 16 * len(images)
    for px, blob in zip(images, blobs):
        n = len(px)
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, 'tracewnd.ico'), 'wb') as f:
    f.write(ico([trace_icon(16), trace_icon(32)]))
with open(os.path.join(here, 'ontop.ico'), 'wb') as f:
    f.write(ico([ontop_icon(16), ontop_icon(32)]))
