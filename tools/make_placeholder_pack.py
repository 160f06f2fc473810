#!/usr/bin/env python3
"""Writes the placeholder firmware pack that the updater embeds by default.

The header is the real one for firmware 2.0; the image is 113736 deterministic bytes
(a SHA-256 counter stream), standing in for the firmware that a release embeds instead.

    tools/make_placeholder_pack.py app/firmware_pack.bin
"""
import hashlib
import struct
import sys

MAGIC = b"NVRKFIRM"
HEADER_LENGTH = 24
VERSION_MAJOR, VERSION_MINOR = 2, 0
DEVICE_PARAMETERS = bytes.fromhex("08000660FF00FFFF")
IMAGE_SIZE = 113736
SEED = b"NEVRIK placeholder firmware image"


def placeholder_image(size):
    blocks = (size + 31) // 32
    stream = b"".join(hashlib.sha256(SEED + struct.pack(">I", i)).digest() for i in range(blocks))
    return stream[:size]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    header = (MAGIC + struct.pack("<HBB", HEADER_LENGTH, VERSION_MAJOR, VERSION_MINOR)
              + DEVICE_PARAMETERS + struct.pack("<I", IMAGE_SIZE))
    assert len(header) == HEADER_LENGTH
    with open(sys.argv[1], "wb") as pack:
        pack.write(header + placeholder_image(IMAGE_SIZE))


if __name__ == "__main__":
    main()
