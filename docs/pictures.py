#!/usr/bin/env python3
"""Renders the README's pictures with the checkerwarp command.

Run from the repository after building: python3 docs/pictures.py
The knockout picture is shown over a grey checkerboard so that its
transparency can be seen.
"""
import struct
import subprocess
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CLI = ROOT / "build" / "default" / "checkerwarp"
DOCS = ROOT / "docs"

PICTURES = {
    "demo-defaults.png": [],
    "demo-mosaic.png": ["--set", "background fill=tile", "--set", "squares fill=none",
                        "--set", "background color=#ffffff", "--set", "squares across=32"],
    "demo-bricks-wibble.png": ["--set", "background fill=tile", "--set", "background color=#606060",
                               "--set", "squares fill=tile", "--set", "squares across=24",
                               "--set", "brick offset=180", "--set", "wibble max=0.6",
                               "--set", "wibble angle=45", "--set", "horizontal max=1.3",
                               "--set", "vertical max=1.3"],
    "demo-knockout.png": ["--set", "background fill=knockout", "--set", "squares fill=tile",
                          "--set", "squares across=16"],
    # the plain mosaic: the pixelate example effect
    "demo-pixelate.png": ["--plugin", "pixelate", "--set", "cell size=24", "--set", "keep alpha=on"],
}


def read_rgba(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, colour, interlace) == (8, 6, 0), "expects the command's 8-bit RGBA output"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b, c = prev[i], prev[i - 4] if i >= 4 else 0
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


def write_rgb(path, width, height, rows):
    raw = b"".join(b"\x00" + bytes(r) for r in rows)
    chunk = lambda kind, body: struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def over_checkerboard(path):
    width, height, rows = read_rgba(path)
    out = []
    for y, row in enumerate(rows):
        line = bytearray()
        for x in range(width):
            r, g, b, a = row[4 * x:4 * x + 4]
            board = 200 if ((x // 16) + (y // 16)) % 2 else 140
            line += bytes((r * a + board * (255 - a)) // 255 for r in (r, g, b))
        out.append(line)
    write_rgb(path, width, height, out)


# A loop: one cell's width of "x offset" over two seconds, wibbling there and back.
MOTION = {
    "motion-x-offset.gif": ["--duration", "24", "--fps", "12", "--animate", "x offset", "0=0;24=360",
                            "--animate", "wibble max", "0~=0;12~=0.5;24~=0", "--set", "wibble angle=45",
                            "--set", "squares across=16", "--quiet"],
}


def main():
    for name, options in {**PICTURES, **MOTION}.items():
        subprocess.run([str(CLI), "render", "--demo", str(DOCS / name), *options], check=True)
    over_checkerboard(DOCS / "demo-knockout.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
