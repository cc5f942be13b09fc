#!/usr/bin/env python3
"""Writes docs/screenshot.png: quadforge's 800x600 window drawing the shipped
resources/ pair, on an Xvfb server of its own.

    python3 docs/screenshot.py [--pair DIR] [--output FILE]

QUADFORGE names the binary to run (build/quadforge by default), GL_PROBE the
test build's driver probe (build/tests/gl_probe)."""
import argparse
import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("QUADFORGE", os.path.join(ROOT, "build", "quadforge"))
os.environ.setdefault("GL_PROBE", os.path.join(ROOT, "build", "tests", "gl_probe"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402  (reads QUADFORGE when imported)


def png(image):
    """The image as an 8-bit RGB PNG. Each row is stored as its difference
    from the row above (filter type 2), which suits smooth shader pictures."""
    stride = image.width * 3
    rgb = bytearray(stride * image.height)
    for offset, channel in enumerate(image.channels):
        rgb[offset::3] = channel
    rows = bytearray()
    previous = bytes(stride)
    for y in range(image.height):
        row = rgb[y * stride:(y + 1) * stride]
        rows.append(2)
        rows += bytes((a - b) & 0xFF for a, b in zip(row, previous))
        previous = row

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    header = struct.pack(">IIBBBBB", image.width, image.height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pair", default=os.path.join(ROOT, "resources"),
                        help="folder holding the shader pair (default: resources/)")
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "screenshot.png"))
    args = parser.parse_args()

    pair = harness.read_pair(args.pair)
    with harness.XServer() as server, harness.Session(server, pair) as session:
        session.find_window()
        image = session.wait_for_picture()
        session.close_window()
        status, out, _ = session.finish()
    if status != 0 or not out.endswith("Shader load successful.\n"):
        sys.exit(f"quadforge did not draw the pair (exit status {status}):\n{out}")
    with open(args.output, "wb") as file:
        file.write(png(image))
    print(f"Wrote {args.output} ({image.width}x{image.height}).")


if __name__ == "__main__":
    main()
