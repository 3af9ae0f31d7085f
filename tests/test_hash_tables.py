"""The hash tables of multikeysort's column filter and backfill_iterdict's
key table, against hashes chosen to collide.

With PYTHONHASHSEED fixed, texts whose str hashes agree in their low bits are
easy to find; colliding_keys_seed0.txt holds such texts for seed 0 (made by
tools/find_colliding_keys.py).  A table that took its slots from those bits
would still give right answers, only slowly; what the tables do with such
hashes is checked directly on the hash index (hash_index_test), and the
answers are checked here on the colliding keys themselves."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_iter import items_of, model_backfill_iterdict

HERE = Path(__file__).parent
BUILD = os.environ.get("KESP_EXPECT_BUILD")


def test_hash_index_spreads_colliding_hashes():
    if not BUILD:
        pytest.skip("the hash index test program is built by tools/check (KESP_EXPECT_BUILD)")
    run = subprocess.run([str(Path(BUILD) / "hash_index_test")], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.count(": spread") == 6, run.stdout


CHILD = r"""
import json, random, sys
from _kesp import backfill_iterdict, multikeysort

numbers = open(sys.argv[1]).read().split()
keys = [f"c{i}" for i in numbers[:1500]]
assert len({hash(k) & 0xFFFF for k in keys}) == 1, "the keys do not collide here"

rng = random.Random(7)
# backfill_iterdict: rows of many colliding keys; some texts come as new str
# objects in later rows, and waiting keys are back-filled.
rows = []
for r in range(12):
    row = {}
    for j, key in enumerate(keys[: 300 + 100 * r]):
        if r % 3 == 2:
            key = "".join(list(key))  # the same text, another object
        row[key] = None if rng.random() < 0.4 else r * 10_000 + j
    rows.append(row)
result = backfill_iterdict(rows)
assert all(type(k) is str for d in result for k in d)

# multikeysort: ten colliding keys per dict, a thousand colliding columns
# that no dict has, and two that every dict has.
items = [{k: rng.randrange(5) for k in keys[:10]} for _ in range(300)]
columns = keys[10:1010] + [keys[3], "-" + keys[7]]
expected = sorted(items, key=lambda d: (d[keys[3]], -d[keys[7]]))
sorted_items = multikeysort(items, columns)
print(json.dumps({
    "rows": rows,
    "result": [list(d.items()) for d in result],
    "sorted": all(a is b for a, b in zip(sorted_items, expected)) and len(sorted_items) == 300,
}))
"""


def test_colliding_keys_give_the_same_answers():
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    run = subprocess.run(
        [sys.executable, "-c", CHILD, str(HERE / "colliding_keys_seed0.txt")],
        capture_output=True, text=True, env=env,
    )
    assert run.returncode == 0, run.stderr
    answer = json.loads(run.stdout)
    expected = items_of(model_backfill_iterdict(answer["rows"]))
    assert [[tuple(pair) for pair in d] for d in answer["result"]] == expected
    assert answer["sorted"]
