#!/usr/bin/env python3
"""quadforge on a virtual display of its own, for a machine without one: keys
typed in the terminal reach the window, and the window is saved as a PNG after
its first frame and after each rebuild. scripts/run.sh starts it, from the
folder that holds resources/, when there is no DISPLAY.

    python3 scripts/headless.py PNG QUADFORGE [ARGUMENTS...]

GL_PROBE names the build's driver probe (tests/gl_probe). Ends with
quadforge's exit status."""
import os
import select
import signal
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from framework.display import GL_PROBE, XServer, end_with_parent  # noqa: E402

CTRL_C, ESC = b"\x03", b"\x1b"
# How long a save waits for the picture to change: a rebuild that changes
# nothing shows no new frame to wait for.
SAVE_WAIT = 3.0


class RawInput:
    """The terminal's input key by key, without echo, Ctrl-C included;
    output is left as it is, so quadforge's lines still print as lines. The
    settings come back on every way out that runs Python code."""

    def __init__(self, fd):
        self.fd, self.saved = fd, None

    def __enter__(self):
        if os.isatty(self.fd):
            self.saved = termios.tcgetattr(self.fd)
            raw = termios.tcgetattr(self.fd)
            raw[0] &= ~(termios.ICRNL | termios.IXON)
            raw[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN)
            raw[6][termios.VMIN], raw[6][termios.VTIME] = 1, 0
            termios.tcsetattr(self.fd, termios.TCSANOW, raw)
        return self

    def __exit__(self, *_):
        if self.saved is not None:
            termios.tcsetattr(self.fd, termios.TCSADRAIN, self.saved)


class Picture:
    """Saves the window as a PNG once a new frame shows, or SAVE_WAIT after
    it was asked for; a new frame is one that differs from the picture at
    the time of asking (at start-up: from the blank window)."""

    def __init__(self, server, path):
        self.server, self.path = server, path
        self.window, self.before, self.deadline = None, None, None

    def request(self):
        self.before = self.capture() if self.window else None
        self.deadline = time.monotonic() + SAVE_WAIT

    def capture(self):
        return self.server.x.image(self.window)

    def poll(self):
        if self.deadline is None:
            return
        if self.window is None:
            self.window = self.server.x.find("quadforge")
            if self.window is None:
                return
            # However long the start took, the first frame gets its full wait.
            self.deadline = time.monotonic() + SAVE_WAIT
        image = self.capture()
        if image is None:
            return
        blank = not any(channel.strip(b"\0") for channel in image.channels)
        changed = self.before is not None and image.channels != self.before.channels
        if (not blank and (self.before is None or changed)) or time.monotonic() > self.deadline:
            image.save_png(self.path)
            print(f"Saved the window as {self.path}.", flush=True)
            self.deadline = None


def press(server, picture, key):
    if picture.window is not None:
        server.x.focus(picture.window)
        server.x.press(key)


def answer(quadforge):
    """Enter, for quadforge's wait after a failure."""
    try:
        quadforge.stdin.write(b"\n")
        quadforge.stdin.flush()
    except BrokenPipeError:
        pass


def handle(typed, server, quadforge, picture):
    # Esc followed by more is an arrow or function key's sequence.
    if typed.startswith(ESC) and len(typed) > 1:
        return
    for key in (bytes([byte]) for byte in typed):
        if key == CTRL_C:
            quadforge.terminate()
        elif key == b"s":
            picture.request()  # the picture before the key, which the rebuild changes
            press(server, picture, "s")
        elif key == ESC:
            press(server, picture, "Escape")
        elif key in (b"\r", b"\n"):
            answer(quadforge)


def run(server, png, program_and_args):
    quadforge = subprocess.Popen(server.command(*program_and_args), env=server.env(),
                                 stdin=subprocess.PIPE, preexec_fn=end_with_parent)
    picture = Picture(server, png)
    picture.request()
    keys = [sys.stdin]
    with RawInput(sys.stdin.fileno()):
        while quadforge.poll() is None:
            picture.poll()
            if keys and select.select(keys, [], [], 0.05)[0]:
                typed = os.read(sys.stdin.fileno(), 64)
                if typed:
                    handle(typed, server, quadforge, picture)
                else:
                    keys = []  # no more input: quadforge runs on until it ends
            elif not keys:
                time.sleep(0.05)
    status = quadforge.wait()
    return status if status >= 0 else 128 - status


def main():
    png, program_and_args = sys.argv[1], sys.argv[2:]
    # A terminal that closes, or a kill, still restores it and ends the server.
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda number, _: sys.exit(128 + number))
    # The driver probe, where the build has it, finds a driver that offers 3.3
    # only when asked (Debian 11's Mesa), and the server then asks for it.
    with XServer(probe=GL_PROBE if os.path.exists(GL_PROBE) else None) as server:
        print(f"No display found: quadforge runs on a virtual display ({server.display}), its "
              f"window saved as {png} after the first frame and after each s.", flush=True)
        print("Keys typed here: s rebuilds, Esc quits, Enter answers quadforge's wait after "
              "a failure, Ctrl-C stops it.", flush=True)
        sys.exit(run(server, png, program_and_args))


if __name__ == "__main__":
    main()
