#!/usr/bin/env python3
"""Writes the launcher's icon (.ico, 32 x 32, 32-bit) to the path given.

The picture is drawn here so that no binary file is kept in the sources: a
dark disc with a light ring on a transparent ground.
"""
import struct
import sys

SIZE = 32


def pixel(x, y):
    dx = x + 0.5 - SIZE / 2
    dy = y + 0.5 - SIZE / 2
    r = (dx * dx + dy * dy) ** 0.5
    if r > 15:
        return (0, 0, 0, 0)
    if r > 12:
        return (0xE8, 0xC0, 0x60, 0xFF)  # ring (B, G, R, A)
    return (0x40, 0x28, 0x20, 0xFF)  # disc


def main():
    rows = []
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom up
        rows.append(b"".join(bytes(pixel(x, y)) for x in range(SIZE)))
    colour = b"".join(rows)
    mask = bytes(SIZE * SIZE // 8)  # all opaque; alpha decides
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(sys.argv[1], "wb") as out:
        out.write(directory + entry + image)


if __name__ == "__main__":
    main()
