#!/usr/bin/env python3
"""Prints the SHA-256 of the firmware image inside a firmware pack, as a key reports it.

The pack is a 24-byte header ("NVRKFIRM", header length, firmware version, device parameters,
image size) followed by the image; the hash covers the image alone, not the header. Prints
"<hex digest> <major>.<minor> <image size>" and fails on a pack that is not well formed.

    tools/pack_image_sha256.py app/firmware_pack.bin
"""
import hashlib
import struct
import sys

MAGIC = b"NVRKFIRM"
HEADER_LENGTH = 24


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as pack_file:
        pack = pack_file.read()
    if len(pack) < HEADER_LENGTH or pack[:8] != MAGIC:
        sys.exit(f"{sys.argv[1]}: not a firmware pack")
    header_length, major, minor = struct.unpack_from("<HBB", pack, 8)
    (image_size,) = struct.unpack_from("<I", pack, 20)
    if header_length != HEADER_LENGTH or HEADER_LENGTH + image_size != len(pack):
        sys.exit(f"{sys.argv[1]}: broken firmware pack")
    digest = hashlib.sha256(pack[HEADER_LENGTH:]).hexdigest()
    print(f"{digest} {major}.{minor} {image_size}")


if __name__ == "__main__":
    main()
