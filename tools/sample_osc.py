#!/usr/bin/env python3
"""Writes a small oscillogram for the bundled configuration: devices 0..3,
2000 Hz, a few seconds of flat signal with one carriage entry."""
import struct
import sys

START_OFFSET = 21504


def main(path):
    table = bytearray(START_OFFSET)
    struct.pack_into("<BQi", table, 0, 1, START_OFFSET, 0)
    records = bytearray()
    for sample in range(2000):
        for device in range(4):
            payload = struct.pack("<BH4HB", 0, 512, 5000, 5100, 5200, 5300, 0)
            records += struct.pack("<BHI", device, 12, 1000 + sample) + payload
    with open(path, "wb") as out:
        out.write(table)
        out.write(records)


if __name__ == "__main__":
    main(sys.argv[1])
