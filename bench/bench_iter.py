"""The list utilities against the best pure-Python ways of doing the same
jobs and the cheapest CPython operation each must do anyway."""

import random

import more_itertools
from harness import Case, compare

from _kesp import backfill, backfill_iterdict, collapse, same_order

rng = random.Random(42)


# backfill: 100,000 items, 30% None -----------------------------------------

def py_backfill(values):
    fill = next((v for v in values if v is not None), None)
    if fill is None:
        return values
    out = []
    append = out.append
    for v in values:
        if v is None:
            append(fill)
        else:
            fill = v
            append(v)
    return out


series = [None if rng.random() < 0.3 else rng.random() for _ in range(100_000)]
assert backfill(series) == py_backfill(series)
compare(
    "backfill, 100,000 items, 30% None",
    [
        Case("_kesp.backfill", lambda: backfill(series)),
        Case("pure Python: one loop with append", lambda: py_backfill(series)),
        Case("limit: list.copy()", lambda: series.copy()),
    ],
    goals=[("limit: list.copy()", lambda r: r >= 1 / 2, "within 2x of list.copy()")],
)


# collapse --------------------------------------------------------------------

def py_collapse(*args):
    out = []
    append = out.append

    def walk(items):
        for item in items:
            if isinstance(item, (list, tuple)):
                walk(item)
            else:
                append(item)

    walk(args)
    return out


flat = list(range(100_000))
assert collapse(flat) == flat
compare(
    "collapse, flat list of 100,000 items",
    [
        Case("_kesp.collapse", lambda: collapse(flat)),
        Case("pure Python: recursive closure", lambda: py_collapse(flat)),
        Case("limit: list(x)", lambda: list(flat)),
    ],
    goals=[("limit: list(x)", lambda r: r >= 1 / 2, "within 2x of list(x)")],
)


def make_tree(depth):
    """Lists and tuples of 1 to 6 items, leaves and containers mixed, down to `depth`."""
    items = []
    for _ in range(rng.randint(1, 6)):
        if depth > 1 and rng.random() < 0.5:
            items.append(make_tree(depth - 1))
        else:
            items.append(rng.randint(0, 1000))
    return items if rng.random() < 0.7 else tuple(items)


tree, leaves = [], 0
while leaves < 14_000:
    branch = make_tree(5)
    tree.append(branch)
    leaves = len(py_collapse(tree))
expected = py_collapse(tree)
assert collapse(tree) == expected == list(more_itertools.collapse(tree))
compare(
    f"collapse, {len(expected)} leaves nested up to depth 5",
    [
        Case("_kesp.collapse", lambda: collapse(tree)),
        Case("pure Python: recursive closure", lambda: py_collapse(tree)),
        Case("more_itertools.collapse", lambda: list(more_itertools.collapse(tree))),
    ],
    goals=[("pure Python: recursive closure", lambda r: r >= 10, "at least 10x faster than the closure")],
)


# backfill_iterdict: 10,000 rows of 5 keys (long or one letter), 30% None --

def py_backfill_iterdict(rows):
    latest, pending, result = {}, {}, []
    for row in rows:
        out = {}
        for key, value in row.items():
            if value is None:
                if key in latest:
                    out[key] = latest[key]
                else:
                    pending[key] = pending.get(key, 0) + 1
            else:
                latest[key] = value
                count = pending.pop(key, 0)
                for k in range(min(count, len(result))):
                    result[k][key] = value
                out[key] = value
        result.append(out)
    return result


def compare_backfill_iterdict(title, rows):
    assert backfill_iterdict(rows) == py_backfill_iterdict(rows)
    compare(
        title,
        [
            Case("_kesp.backfill_iterdict", lambda: backfill_iterdict(rows)),
            Case("pure Python: two dicts, one loop", lambda: py_backfill_iterdict(rows)),
            Case("limit: [d.copy() for d in rows]", lambda: [d.copy() for d in rows]),
        ],
        goals=[("limit: [d.copy() for d in rows]", lambda r: r >= 1 / 2, "within 2x of the copies")],
    )


keys = ["id", "name", "price", "volume", "updated"]
compare_backfill_iterdict(
    "backfill_iterdict, 10,000 rows of 5 keys, 30% None",
    [{k: (None if rng.random() < 0.3 else rng.random()) for k in keys} for _ in range(10_000)],
)
compare_backfill_iterdict(
    "backfill_iterdict, 10,000 rows of 5 one-letter keys, small ints, 30% None",
    [{k: (None if rng.random() < 0.3 else rng.randrange(100)) for k in "abcde"} for _ in range(10_000)],
)


# same_order: 2,000 reference items in 20,000 --------------------------------

def py_same_order(ref, comp):
    if len(comp) < len(ref):
        return False
    try:
        positions = [comp.index(x) for x in ref]
    except ValueError:
        return False
    return all(a <= b for a, b in zip(positions, positions[1:]))


comp = [f"item-{i}" for i in range(20_000)]
ref = [f"item-{i}" for i in range(0, 20_000, 10)]  # equal texts, other objects
assert same_order(ref, comp) is py_same_order(ref, comp) is True
compare(
    "same_order, 2,000 reference items in 20,000 (str)",
    [
        Case("_kesp.same_order", lambda: same_order(ref, comp)),
        Case("pure Python: comp.index() + order check", lambda: py_same_order(ref, comp)),
    ],
    goals=[("pure Python: comp.index() + order check", lambda r: r >= 1, "no slower than comp.index()")],
)

icomp = list(range(1000, 21_000))
iref = [icomp[i] + 0 for i in range(0, 20_000, 10)]
assert same_order(iref, icomp) is py_same_order(iref, icomp) is True
compare(
    "same_order, 2,000 reference items in 20,000 (int)",
    [
        Case("_kesp.same_order", lambda: same_order(iref, icomp)),
        Case("pure Python: comp.index() + order check", lambda: py_same_order(iref, icomp)),
    ],
    goals=[("pure Python: comp.index() + order check", lambda r: r >= 1, "no slower than comp.index()")],
)
