#!/usr/bin/env python3
"""A seeded pair of large data files: OLD and NEW, SIZE_MIB each (default 1024).

Content compresses about 2:1 and has no repeats at long range: each 1 MiB
stretch draws random bytes from an alphabet of its own size (4 to 64 symbols).
NEW is OLD with 1 % of its 64 KiB blocks rewritten and, every 128 MiB, a
4 MiB stretch moved 8 to 40 MiB further on (what rebuilt game data packs do).

    bench/large_pair.py OLD NEW [SIZE_MIB]
"""
import random
import sys

MIB = 1 << 20
BLOCK = 64 << 10
SEED = 31


def stretch(rng, size):
    alphabet = bytes(rng.sample(range(256), rng.choice((4, 8, 16, 32, 64))))
    table = bytes(alphabet[i % len(alphabet)] for i in range(256))
    return rng.randbytes(size).translate(table)


def main():
    old_path, new_path = sys.argv[1:3]
    size = int(sys.argv[3]) * MIB if len(sys.argv) > 3 else 1024 * MIB
    rng = random.Random(SEED)
    data = bytearray()
    while len(data) < size:
        data += stretch(rng, MIB)
    with open(old_path, "wb") as out:
        out.write(data)
    changed = 0
    for block in range(size // BLOCK):
        if rng.random() < 0.01:
            data[block * BLOCK:(block + 1) * BLOCK] = stretch(rng, BLOCK)
            changed += 1
    moved = 0
    for start in range(64 * MIB, size - 64 * MIB, 128 * MIB):
        piece = bytes(data[start:start + 4 * MIB])
        del data[start:start + 4 * MIB]
        to = start + rng.randrange(8, 40) * MIB
        data[to:to] = piece
        moved += 1
    with open(new_path, "wb") as out:
        out.write(data)
    print(f"large pair: {size // MIB} MiB, {changed} blocks of 64 KiB changed, {moved} stretches of 4 MiB moved",
          file=sys.stderr)


if __name__ == "__main__":
    main()
