#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora from the project's own material."""
import os
import random
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def records(count, devices=4, payload_length=12, seed=1):
    rng = random.Random(seed)
    out = bytearray()
    for sample in range(count):
        for device in range(devices):
            channels = [5000 + rng.randrange(-40, 40) for _ in range(4)]
            out += struct.pack("<BHI", device, payload_length, 1000 + sample)
            out += struct.pack("<BH4HB", 0, 512, *channels, 0)
    return bytes(out)


def main(seeds):
    with open(os.path.join(ROOT, "configs", "scales.json.conf"), "rb") as f:
        config = f.read()
    write(f"{seeds}/config_fuzz", "bundled.json", config)
    write(f"{seeds}/config_fuzz", "empty-lines.json", b'{"lines":[]}')
    write(f"{seeds}/config_fuzz", "missing-side.json",
          b'{"lines":[{"id":1,"devices":{"odd":{"enabled":true,"uid":null,"port":7126,'
          b'"frequency":1000,"sensors":[{"channel":0,"side":false,"coeff":2,"vel_coeff":0.5,"enabled":true}]}}}]}')

    write(f"{seeds}/oscillogram_fuzz", "flat.rec", records(64))
    write(f"{seeds}/oscillogram_fuzz", "short-payload.rec", records(4, payload_length=5))
    write(f"{seeds}/oscillogram_fuzz", "long-payload.rec", records(4, payload_length=13))

    write(f"{seeds}/master_message_fuzz", "status.json",
          b'{"cmd":"status","param":"{\\"ServerId\\":\\"srv-1\\"}","name":"master","id":1}')
    write(f"{seeds}/master_message_fuzz", "other.json", b'{"cmd":"ping","param":"","name":"master","id":2}')
    write(f"{seeds}/master_message_fuzz", "junk.bin", bytes(range(256)))

    rng = random.Random(7)
    for index in range(8):
        write(f"{seeds}/merge_document_fuzz", f"shape{index}.bin",
              bytes(rng.randrange(256) for _ in range(512)))


if __name__ == "__main__":
    main(sys.argv[1])
