#!/usr/bin/env python3
"""Writes docs/screenshot.png: quadforge's 800x600 window drawing the shipped
resources/ pair, on an Xvfb server of its own.

    python3 docs/screenshot.py [--pair DIR] [--output FILE]

QUADFORGE names the binary to run (build/quadforge by default), GL_PROBE the
test build's driver probe (build/tests/gl_probe)."""
import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("QUADFORGE", os.path.join(ROOT, "build", "quadforge"))
os.environ.setdefault("GL_PROBE", os.path.join(ROOT, "build", "tests", "gl_probe"))
sys.path.insert(0, ROOT)
from framework.display import XServer  # noqa: E402
from framework.expect import read_pair  # noqa: E402
from framework.session import Session  # noqa: E402  (reads QUADFORGE when imported)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pair", default=os.path.join(ROOT, "resources"),
                        help="folder holding the shader pair (default: resources/)")
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "screenshot.png"))
    args = parser.parse_args()

    pair = read_pair(args.pair)
    with XServer() as server, Session(server, pair) as session:
        session.find_window()
        image = session.wait_for_picture()
        session.close_window()
        status, out, _ = session.finish()
    if status != 0 or not out.endswith("Shader load successful.\n"):
        sys.exit(f"quadforge did not draw the pair (exit status {status}):\n{out}")
    image.save_png(args.output)
    print(f"Wrote {args.output} ({image.width}x{image.height}).")


if __name__ == "__main__":
    main()
