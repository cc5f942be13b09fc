"""A window's pixels, and the PNG files made of them."""
import collections
import os
import struct
import zlib


class Image:
    """A window's pixels, one channel per bytes object, rows top to bottom."""

    def __init__(self, width, height, red, green, blue):
        self.width, self.height = width, height
        self.channels = (red, green, blue)

    def pixel(self, x, y):
        return tuple(channel[y * self.width + x] for channel in self.channels)

    def colours(self):
        return collections.Counter(zip(*self.channels))

    def is_picture(self):
        """True unless one colour covers nine tenths of the pixels or more."""
        most = self.colours().most_common(1)[0][1]
        return most < 0.9 * self.width * self.height

    def count_near(self, colour, tolerance=2):
        """How many pixels lie within tolerance of colour on every channel."""
        return sum(n for c, n in self.colours().items()
                   if all(abs(a - b) <= tolerance for a, b in zip(c, colour)))

    def png(self):
        """The image as an 8-bit RGB PNG file. Each row is stored as its
        difference from the row above (filter type 2), which suits smooth
        shader pictures."""
        stride = self.width * 3
        rgb = bytearray(stride * self.height)
        for offset, channel in enumerate(self.channels):
            rgb[offset::3] = channel
        rows = bytearray()
        previous = bytes(stride)
        for y in range(self.height):
            row = rgb[y * stride:(y + 1) * stride]
            rows.append(2)
            rows += bytes((a - b) & 0xFF for a, b in zip(row, previous))
            previous = row

        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data
                    + struct.pack(">I", zlib.crc32(kind + data)))
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))

    def save_png(self, path):
        """Writes the PNG whole: a viewer never sees half a file."""
        with open(path + ".new", "wb") as file:
            file.write(self.png())
        os.replace(path + ".new", path)

