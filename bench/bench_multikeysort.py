"""multikeysort on 100,000 dicts of 8 keys, against the fastest pure-Python
ways of getting the same order and against the work that cannot be avoided."""

import functools
import operator
import random

from harness import Case, compare

from _kesp import multikeysort

N = 100_000
rng = random.Random(42)
WORDS = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 10)))
         for _ in range(5000)]


def make_row(i):
    return {
        "a": rng.randrange(1_000_000),
        "name": None if rng.random() < 0.05 else rng.choice(WORDS),
        "age": None if rng.random() < 0.05 else rng.randrange(18, 90),
        "score": rng.random() * 100,
        "city": rng.choice(WORDS[:200]),
        "id": i,
        "active": rng.random() < 0.5,
        "tag": rng.choice(["x", "y", "z"]),
    }


items = [make_row(i) for i in range(N)]
machine_ints = [rng.randrange(1_000_000) for _ in range(N)]


def limit(columns):
    """The n x m lookups at C speed, plus sorted() of n machine ints."""
    getters = [operator.itemgetter(c.lstrip("-")) for c in columns]

    def run():
        for g in getters:
            list(map(g, items))
        return sorted(machine_ints)

    return run


# 1. One int column.
get_a = operator.itemgetter("a")
assert multikeysort(items, ["a"]) == sorted(items, key=get_a)
compare(
    "one int column ['a'], 100,000 dicts of 8 keys",
    [
        Case("_kesp.multikeysort", lambda: multikeysort(items, ["a"])),
        Case("sorted(key=itemgetter('a'))", lambda: sorted(items, key=get_a)),
        Case("limit: lookups + sorted(ints)", limit(["a"])),
    ],
    goals=[
        ("sorted(key=itemgetter('a'))", lambda r: r >= 1.5, "at least 1.5x faster than sorted()"),
        ("limit: lookups + sorted(ints)", lambda r: r >= 0.5, "within 2x of the limit"),
    ],
)


# 2. ['-name', 'age']: text descending (None last), then int ascending (None first).
def py_ranks(rows):
    """Ranks per column, then one sort of int tuples: the fastest pure-Python
    way found.  A descending column negates its rank; None ranks below every
    value, so descending puts it last."""
    names = [r.get("name") for r in rows]
    ages = [r.get("age") for r in rows]
    name_rank = {v: i + 1 for i, v in enumerate(sorted({v for v in names if v is not None}))}
    name_rank[None] = 0
    age_keys = [-1 if v is None else v for v in ages]
    keys = [(-name_rank[n], a) for n, a in zip(names, age_keys)]
    order = sorted(range(len(rows)), key=keys.__getitem__)
    return [rows[i] for i in order]


def py_two_pass(rows):
    """Two stable sorts, the last column first; the rows without a name are
    set apart so that they can follow the others."""
    by_age = sorted(rows, key=lambda r: -1 if (a := r.get("age")) is None else a)
    named = [r for r in by_age if r.get("name") is not None]
    named.sort(key=operator.itemgetter("name"), reverse=True)
    named.extend(r for r in by_age if r.get("name") is None)
    return named


def py_two_pass_empty_for_none(rows):
    """The same with '' standing for None: faster, but only right for data
    without empty names, such as this."""
    out = sorted(rows, key=lambda r: -1 if (a := r.get("age")) is None else a)
    out.sort(key=lambda r: r.get("name") or "", reverse=True)
    return out


def py_cmp(rows):
    def cmp(x, y):
        a, b = x.get("name"), y.get("name")
        if a != b:
            if a is None:
                return 1
            if b is None:
                return -1
            return -1 if a > b else 1
        a, b = x.get("age"), y.get("age")
        if a != b:
            if a is None:
                return -1
            if b is None:
                return 1
            return -1 if a < b else 1
        return 0

    return sorted(rows, key=functools.cmp_to_key(cmp))


columns = ["-name", "age"]
expected = multikeysort(items, columns)
assert py_ranks(items) == expected
assert py_two_pass(items) == expected
assert py_two_pass_empty_for_none(items) == expected
assert py_cmp(items) == expected
compare(
    "['-name', 'age'] with 5% None, 100,000 dicts of 8 keys",
    [
        Case("_kesp.multikeysort", lambda: multikeysort(items, columns)),
        Case("pure Python: ranks + sort of int tuples", lambda: py_ranks(items)),
        Case("pure Python: two stable sorts", lambda: py_two_pass(items)),
        Case("pure Python: two sorts, '' for None (this data)", lambda: py_two_pass_empty_for_none(items)),
        Case("pure Python: cmp_to_key comparator", lambda: py_cmp(items)),
        Case("limit: lookups + sorted(ints)", limit(columns)),
    ],
    goals=[
        ("pure Python: ranks + sort of int tuples", lambda r: r >= 5,
         "at least 5x faster than pure Python (ranks)"),
        ("pure Python: two stable sorts", lambda r: r >= 5,
         "at least 5x faster than pure Python (two sorts)"),
        ("limit: lookups + sorted(ints)", lambda r: r >= 0.5, "within 2x of the limit"),
    ],
)

# 3. Already sorted input: one run, n - 1 comparisons.
presorted = multikeysort(items, ["a"])
compare(
    "already sorted by ['a'], 100,000 dicts of 8 keys",
    [
        Case("_kesp.multikeysort", lambda: multikeysort(presorted, ["a"])),
        Case("sorted(key=itemgetter('a'))", lambda: sorted(presorted, key=get_a)),
        Case("limit: lookups + sorted(ints)", limit(["a"])),
    ],
)
