#!/usr/bin/env python3
"""Decodes the simulated device's PNG files with Python's own zlib and compares every pixel with
the raw bytes written beside them. Usage: png_check.py PNG_SAMPLES_PROGRAM"""
import os
import shlex
import struct
import subprocess
import sys
import tempfile
import zlib


def decode(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "PNG signature"
    pos, chunks = 8, []
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert zlib.crc32(kind + body) == crc, "CRC of chunk %r" % kind
        chunks.append((kind, body))
        pos += 12 + length
    assert [k for k, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"], "chunk order"
    w, h, depth, ctype, comp, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert (depth, ctype, comp, filt, interlace) == (8, 2, 0, 0, 0), "8-bit RGB"
    raw = zlib.decompress(chunks[1][1])  # checks the Adler-32 too
    stride = w * 3
    assert len(raw) == h * (stride + 1), "one filter byte a row"
    out, prev = bytearray(), bytearray(stride)
    for y in range(h):
        ftype = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        assert ftype in (0, 1, 2, 3, 4), "filter type %d" % ftype
        for i in range(stride):
            a = row[i - 3] if i >= 3 else 0
            b = prev[i]
            c = prev[i - 3] if i >= 3 else 0
            if ftype == 1:
                pred = a
            elif ftype == 2:
                pred = b
            elif ftype == 3:
                pred = (a + b) // 2
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            else:
                pred = 0
            row[i] = (row[i] + pred) & 0xFF
        out += row
        prev = row
    return w, h, bytes(out), len(data)


def main():
    program = sys.argv[1]
    emulator = shlex.split(os.environ.get("ZOLSIM_EMULATOR", ""))
    failures = 0
    with tempfile.TemporaryDirectory() as d:
        subprocess.run(emulator + [program, d], check=True)
        names = sorted(f[:-4] for f in os.listdir(d) if f.endswith(".png"))
        assert names, "no samples written"
        for name in names:
            try:
                w, h, pixels, size = decode(os.path.join(d, name + ".png"))
                want = open(os.path.join(d, name + ".rgb"), "rb").read()
                assert len(want) == w * h * 3, "size %dx%d" % (w, h)
                assert pixels == want, "pixels differ from what was written"
                if name == "flat":
                    assert size < 16384, "a flat 800x480 frame (1152000 bytes of pixels) should stay small, is %d bytes" % size
                print("ok     %s (%dx%d, %d bytes)" % (name, w, h, size))
            except AssertionError as e:
                failures += 1
                print("FAILED %s: %s" % (name, e))
    print("%d passed, %d failed" % (len(names) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
