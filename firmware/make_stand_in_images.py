#!/usr/bin/env python3
"""Writes the two stand-in firmware images (variant.bin, primary.bin).

The content is a keyed pseudo-random stream that never uses 0xFF, so that fill bytes can
always be told from image bytes, and every 56-byte block of both images is unique: a block
that is misplaced, repeated or dropped on its way to the device shows at once.
"""
import hashlib
import pathlib
import sys

BLOCK = 56
IMAGES = {"variant.bin": 55292, "primary.bin": 109375}


def stand_in(name: str, length: int) -> bytes:
    out = bytearray()
    counter = 0
    while len(out) < length:
        digest = hashlib.sha256(f"orvel-m8 {name} {counter}".encode()).digest()
        out.extend(b % 255 for b in digest)  # 0x00..0xFE
        counter += 1
    return bytes(out[:length])


def main() -> int:
    folder = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent)
    seen = set()
    for name, length in IMAGES.items():
        data = stand_in(name, length)
        for k in range(0, length, BLOCK):
            block = data[k:k + BLOCK]
            assert block not in seen, f"{name}: block at {k} repeats"
            seen.add(block)
        (folder / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
