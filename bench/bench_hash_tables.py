"""The module's hash tables against keys chosen to collide: the column filter
of multikeysort and the key table of backfill_iterdict, each with keys whose
str hashes agree in their low 16 bits (found by tools/find_colliding_keys.py
for PYTHONHASHSEED=0) next to the same work on ordinary keys, and the column
filter against a Python set of all keys."""

import os
import sys

if os.environ.get("PYTHONHASHSEED") != "0":
    # The colliding keys collide only under this seed.
    os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, "PYTHONHASHSEED": "0"})

from pathlib import Path

from harness import Case, compare

from _kesp import backfill_iterdict, multikeysort

numbers = Path(__file__).parent.parent.joinpath("tests", "colliding_keys_seed0.txt").read_text().split()
colliding = [f"c{i}" for i in numbers]
assert len({hash(k) & 0xFFFF for k in colliding}) == 1, "the keys do not collide on this interpreter"
ordinary = [f"k{i}" for i in range(len(colliding))]


# multikeysort: columns that no dict has ---------------------------------------

def py_filter(items, columns):
    """The pure-Python way to keep the columns some dict has: a set of all keys."""
    keys = set()
    for d in items:
        keys.update(d)
    return [c for c in columns if c in keys]


items = [{f"k{j}": j for j in range(10)} for _ in range(100_000)]
absent = [f"missing{j}" for j in range(1000)]
assert multikeysort(items, absent) == items
compare(
    "multikeysort, 100,000 dicts of 10 keys, 1000 columns no dict has",
    [
        Case("_kesp.multikeysort", lambda: multikeysort(items, absent)),
        Case("pure Python: set of all keys, 1000 tests", lambda: py_filter(items, absent)),
    ],
    goals=[("pure Python: set of all keys, 1000 tests", lambda r: r >= 1 / 2, "within 2x of the set")],
)

def filter_case(label, keys, names):
    rows = [{k: j for j, k in enumerate(keys)} for _ in range(100_000)]
    assert multikeysort(rows, names) == rows
    return Case(f"_kesp.multikeysort, {label} keys", lambda: multikeysort(rows, names))


ordinary_filter = filter_case("ordinary", ordinary[:10], ordinary[10:1010])
colliding_filter = filter_case("colliding", colliding[:10], colliding[10:1010])
compare(
    "multikeysort, 100,000 dicts of 10 keys, 1000 columns no dict has, "
    "keys and columns colliding in their low 16 hash bits",
    [ordinary_filter, colliding_filter],
    goals=[(colliding_filter.label, lambda r: r <= 3, "colliding keys within 3x of ordinary ones")],
)


# backfill_iterdict: 100 rows of N keys ----------------------------------------

def backfill_rows(keys):
    return [{k: (None if (i + j) % 3 == 0 else j) for j, k in enumerate(keys)} for i in range(100)]


for n in (3_000, 10_000):
    ordinary_rows = backfill_rows(ordinary[:n])
    colliding_rows = backfill_rows(colliding[:n])
    compare(
        f"backfill_iterdict, 100 rows of {n:,} keys, keys colliding in their low 16 hash bits",
        [
            Case("_kesp.backfill_iterdict, ordinary keys", lambda: backfill_iterdict(ordinary_rows)),
            Case("_kesp.backfill_iterdict, colliding keys", lambda: backfill_iterdict(colliding_rows)),
            Case("limit: copies of the colliding rows", lambda: [d.copy() for d in colliding_rows]),
        ],
        goals=[
            ("_kesp.backfill_iterdict, colliding keys", lambda r: r <= 3,
             "colliding keys within 3x of ordinary ones"),
        ],
    )
