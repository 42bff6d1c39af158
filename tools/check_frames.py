#!/usr/bin/env python3
"""Checks the frames the demo saved: each client's window is where the layout says, framed in its
own colour, over the compositor's background, and the windows' content moves from frame to frame.
Usage: check_frames.py OUT-DIR FRAMES"""
import struct
import sys
import zlib

# The frame colours of the windows (demo_protocol.h), by kind: gradient, shapes, video (its luma,
# shown grey).
BORDER = {0: (255, 0, 0), 1: (0, 255, 0), 2: (235, 235, 235)}
TOLERANCE = 8  # the rounding of RGB 565


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path + ": not a PNG"
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        assert zlib.crc32(kind + body) == crc, "%s: bad CRC in %s" % (path, kind)
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (8, 2), path + ": not 8-bit RGB"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * 3, [], bytearray(width * 3)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b, c = prev[i], prev[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, rows


def pixel(png, x, y):
    row = png[2][y]
    return tuple(row[x * 3:x * 3 + 3])


def near(a, b):
    return all(abs(p - q) <= TOLERANCE for p, q in zip(a, b))


def main():
    out, frames = sys.argv[1], int(sys.argv[2])
    windows = []
    with open(out + "/layout.txt") as f:
        for line in f:
            name, kind, x, y, w, h = line.split()
            windows.append((name, int(kind), int(x), int(y), int(w), int(h)))
    failures, previous = [], None
    for n in range(frames):
        png = read_png("%s/frame-%03d.png" % (out, n))
        for name, kind, x, y, w, h in windows:
            for px, py in ((x + 1, y + 1), (x + w - 2, y + h - 2), (x + w // 2, y + 1)):
                got = pixel(png, px, py)
                if not near(got, BORDER[kind]):
                    failures.append("frame %d: %s window's frame at (%d, %d) is %s, not %s" %
                                    (n, name, px, py, got, BORDER[kind]))
        # Outside every window: the compositor's blue-grey background.
        r, g, b = pixel(png, 2, 2)
        if not (b > r + 30 and b > 60):
            failures.append("frame %d: background at (2, 2) is %s" % (n, (r, g, b)))
        inside = [pixel(png, x + w // 2 + dx, y + h // 2) for _, _, x, y, w, h in windows for dx in range(0, 40, 4)]
        if previous is not None and inside == previous:
            failures.append("frame %d: the windows' content did not move" % n)
        previous = inside
    sheet = read_png(out + "/contact-sheet.png")
    if sheet[0] < 4:
        failures.append("the contact sheet is empty")
    for f in failures:
        print(f)
    print("%d frames checked, %d windows each: %s" % (frames, len(windows), "FAILED" if failures else "ok"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
