#!/usr/bin/env python3
"""Fills a mounted NTFS volume the way the benchmarks want it.

Phases, in order:
  stale      random data written until the volume is nearly full, then deleted,
             so that the free clusters hold non-zero bytes that a tool copying
             free space would have to move (and that zero detection cannot skip);
  small      many small files in a tree of folders (some resident in their file
             records, most not), plus a share created and deleted again so that
             the MFT has holes;
  fragmented a few files grown in turns by small appends, so that their run
             lists have hundreds of runs each;
  large      large files until the volume is filled to the wanted share.

Usage: fill-volume.py MOUNTPOINT [--small N] [--fill-percent P] [--seed S]
"""
import argparse
import os
import random
import shutil
import sys

MIB = 1024 * 1024
CHUNK = 4 * MIB
# Stop the stale phase this far short of full: a full NTFS volume makes
# ntfs-3g slow and its MFT unable to grow for the small files.
STALE_HEADROOM = 160 * MIB
STALE_FILE = 256 * MIB
LARGE_FILE = 256 * MIB
FILES_PER_DIR = 100
DELETED_SHARE = 10  # one file in this many is created and deleted again
FRAGMENTED_FILES = 12
FRAGMENTED_SIZE = 8 * MIB


class Random:
    """Incompressible bytes without draining the kernel's generator: one
    random block from the kernel, varied per chunk by a seeded generator."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.block = os.urandom(CHUNK)

    def chunk(self, size):
        start = self.rng.randrange(0, CHUNK - 64)
        data = self.block[start:] + self.block[:start]
        # A fresh head per chunk keeps equal chunks out of the volume.
        head = self.rng.randbytes(64)
        return (head + data[64:])[:size]

    def small(self, size):
        return self.rng.randbytes(size)


def free_bytes(mount):
    return shutil.disk_usage(mount).free


def used_share(mount):
    usage = shutil.disk_usage(mount)
    return 100.0 * (usage.total - usage.free) / usage.total


def write_file(path, size, rnd):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, CHUNK)
            f.write(rnd.chunk(n))
            left -= n


def stale_phase(mount, rnd):
    folder = os.path.join(mount, "stale")
    os.mkdir(folder)
    index = 0
    while True:
        room = free_bytes(mount) - STALE_HEADROOM
        if room < MIB:
            break
        write_file(os.path.join(folder, "s%03d.bin" % index), min(room, STALE_FILE), rnd)
        index += 1
    os.sync()
    shutil.rmtree(folder)
    os.sync()
    return index


def small_size(rng):
    # Mostly a few KiB, some below the size that stays resident in a record.
    r = rng.random()
    if r < 0.25:
        return rng.randrange(1, 600)
    if r < 0.85:
        return rng.randrange(600, 16 * 1024)
    return rng.randrange(16 * 1024, 64 * 1024)


def small_phase(mount, count, rnd):
    rng = rnd.rng
    root = os.path.join(mount, "small")
    os.mkdir(root)
    doomed = []
    made = 0
    index = 0
    while made < count:
        folder = os.path.join(root, "d%04d" % (index // FILES_PER_DIR))
        if index % FILES_PER_DIR == 0:
            os.mkdir(folder)
        path = os.path.join(folder, "f%06d.dat" % index)
        with open(path, "wb") as f:
            f.write(rnd.small(small_size(rng)))
        if index % DELETED_SHARE == DELETED_SHARE - 1:
            doomed.append(path)
        else:
            made += 1
        index += 1
    for path in doomed:
        os.remove(path)
    return made, len(doomed)


def fragmented_phase(mount, rnd):
    rng = rnd.rng
    folder = os.path.join(mount, "fragmented")
    os.mkdir(folder)
    files = [open(os.path.join(folder, "frag%02d.bin" % i), "wb", buffering=0)
             for i in range(FRAGMENTED_FILES)]
    sizes = [0] * FRAGMENTED_FILES
    try:
        while min(sizes) < FRAGMENTED_SIZE:
            for i, f in enumerate(files):
                if sizes[i] >= FRAGMENTED_SIZE:
                    continue
                # Unbuffered small appends in turns: each write allocates
                # clusters right after the previous file's last ones.
                n = rng.choice((4096, 8192, 12288, 16384, 32768))
                f.write(rnd.chunk(n))
                sizes[i] += n
    finally:
        for f in files:
            f.close()
    return FRAGMENTED_FILES


def large_phase(mount, fill_percent, rnd):
    folder = os.path.join(mount, "large")
    os.mkdir(folder)
    index = 0
    while used_share(mount) < fill_percent:
        usage = shutil.disk_usage(mount)
        want = int(usage.total * fill_percent / 100) - (usage.total - usage.free)
        size = max(MIB, min(LARGE_FILE, want))
        write_file(os.path.join(folder, "large%03d.bin" % index), size, rnd)
        index += 1
    return index


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mount")
    parser.add_argument("--small", type=int, default=20000)
    parser.add_argument("--fill-percent", type=float, default=50.0)
    parser.add_argument("--seed", type=int, default=20240607)
    args = parser.parse_args()
    rnd = Random(args.seed)

    stale = stale_phase(args.mount, rnd)
    print("stale files written and deleted: %d" % stale, flush=True)
    made, deleted = small_phase(args.mount, args.small, rnd)
    print("small files: %d (and %d deleted)" % (made, deleted), flush=True)
    frag = fragmented_phase(args.mount, rnd)
    print("fragmented files: %d" % frag, flush=True)
    large = large_phase(args.mount, args.fill_percent, rnd)
    print("large files: %d" % large, flush=True)
    os.sync()
    print("used: %.1f%%" % used_share(args.mount), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
