"""Finds texts whose str hashes agree in their low 16 bits when
PYTHONHASHSEED=0, by brute force over "c0", "c1", ...: the keys that the
hash-table tests and benchmarks use to show that a table keyed by those hashes
does not pile them into one probe run.

    PYTHONHASHSEED=0 python3 tools/find_colliding_keys.py 10000 > tests/colliding_keys_seed0.txt

Prints the numbers i of the texts f"c{i}", one a line.  The str hash with a
fixed seed is the same on every CPython since 3.11 (SipHash-1-3) on a
little-endian 64-bit machine."""

import multiprocessing
import os
import sys

LOW_BITS = 0xFFFF
CHUNK = 1 << 22


def scan(start):
    return [i for i in range(start, start + CHUNK) if hash(f"c{i}") & LOW_BITS == 0]


def main():
    if os.environ.get("PYTHONHASHSEED") != "0":
        sys.exit("run with PYTHONHASHSEED=0")
    wanted = int(sys.argv[1])
    found = []
    with multiprocessing.Pool() as pool:
        for numbers in pool.imap(scan, range(0, 1 << 40, CHUNK)):
            found.extend(numbers)
            if len(found) >= wanted:
                break
    print("\n".join(str(i) for i in found[:wanted]))


if __name__ == "__main__":
    main()
