"""Where a function reads the caller's objects through their stored state, it
asks them nothing: a table over the functions, each case handing a function
the counting objects of tripwire.py and checking that no method was called and
that the result is right.

Left out are the calls the functions are meant to make: the lookups of
multikeysort (a dict subclass's __getitem__, the probing of a dict that
compares colliding keys), comparisons of values that are not numbers or
texts, and the comparisons of same_order."""

import pytest

from _kesp import (
    backfill,
    backfill_iterdict,
    collapse,
    multikeysort,
    parse,
    sanitize_vulgar_string,
    same_order,
    uncamel,
    underscore_to_camelcase,
)
from tripwire import Tripwires

CASES = []


def case(build):
    """A case: build(wires) makes the input and returns the call and a check
    of its outcome (the result, or the exception it raised)."""
    CASES.append(pytest.param(build, id=build.__name__))
    return build


def keys_of(dicts):
    """The keys of each dict, in stored order, each checked to be an exact str."""
    assert all(type(key) is str for d in dicts for key in d)
    return [list(d) for d in dicts]


# ---------------------------------------------------------------------------
# backfill_iterdict: every key is read by its stored text and str hash, and
# every dict the function writes into holds exact str keys only.


def key_hashed_like_a_waiting_key(w, fill):
    # The row's dict compares its subclass key k with 'a' whenever it probes
    # for 'a': when 'a' waits for its first value, and when it is taken
    # forward.  fill(k, vk, vb) makes the row of k, 'a' (None) and 'b'.
    x, vk, vb, va = w.Value(), w.Value(), w.Value(), w.Value()
    row = fill(w.Str("k", hash_as="a"), vk, vb)
    rows = [{"x": x}, row, {"a": va}, row]
    order = [str.__str__(key) for key in row]
    value = {"a": va, "b": vb, "k": vk}

    def check(result):
        waiting = [key for key in order if key != "a"]  # 'a' goes from the first output of row
        assert keys_of(result) == [["x", "a"], waiting, ["a"], order]
        assert [list(map(id, d.values())) for d in result] == [
            [id(x), id(va)], [id(value[key]) for key in waiting], [id(va)],
            [id(value[key]) for key in order]]

    return lambda: backfill_iterdict(rows), check


@case
def backfill_iterdict_key_hashed_like_a_waiting_key(w):
    # k stored after a deleted entry; the row's entries are mostly live, so
    # a copy of it clones its table.
    def fill(k, vk, vb):
        row = {k: w.Value()}
        row["a"] = None
        row["b"] = vb
        del row[k]
        row[k] = vk
        return row

    return key_hashed_like_a_waiting_key(w, fill)


@case
def backfill_iterdict_key_hashed_like_a_waiting_key_in_a_sparse_row(w):
    # A row mostly of deleted entries, whose copy inserts the keys one by one
    # into a new table, and so compares k with 'a'.
    def fill(k, vk, vb):
        row = {f"gone {i}": i for i in range(12)}
        row[k] = vk
        row["a"] = None
        row["b"] = vb
        for i in range(12):
            del row[f"gone {i}"]
        return row

    return key_hashed_like_a_waiting_key(w, fill)


@case
def backfill_iterdict_subclass_rows_and_list(w):
    # Two keys of one text in one row, with different hashes: one key for
    # the function.
    va, vb = w.Value(), w.Value()
    rows = w.List([
        w.Dict({w.Str("a"): None, "b": vb}),
        w.Dict({w.Str("a", hash_as="other"): va, w.Str("b"): None}),
        {"a": None},
    ])

    def check(result):
        assert type(result) is list and all(type(d) is dict for d in result)
        assert keys_of(result) == [["b", "a"], ["a", "b"], ["a"]]
        assert [list(map(id, d.values())) for d in result] == [
            [id(vb), id(va)], [id(va), id(vb)], [id(va)]]

    return lambda: backfill_iterdict(rows), check


def values_held_by_their_rows_alone(w, rows):
    # Rows copied and patched: a value given back too often would be
    # finalized.
    def check(result):
        assert keys_of(result) == [["b", "a"], ["a", "b"], ["a", "b"]]
        a, b = rows[1]["a"], rows[0]["b"]
        assert [[v is a if k == "a" else v is b for k, v in d.items()] for d in result] == [
            [True, True], [True, True], [True, True]]

    return lambda: backfill_iterdict(rows), check


@case
def backfill_iterdict_plain_rows(w):
    rows = [{"a": None, "b": w.Value()}, {"a": w.Value(), "b": None}, {"a": None, "b": None}]
    return values_held_by_their_rows_alone(w, rows)


@case
def backfill_iterdict_instance_dicts(w):
    # The __dict__ of instances of one class, which may share one keys table.
    class Record:
        def __init__(self, a, b):
            self.a = a
            self.b = b

    records = [Record(None, w.Value()), Record(w.Value(), None), Record(None, None)]
    return values_held_by_their_rows_alone(w, [vars(r) for r in records])


# ---------------------------------------------------------------------------
# collapse: the walk reads list and tuple storage and compares addresses.


def chain(w, depth, leaf):
    """`leaf` inside `depth` nested tripwire lists and tuples, deeper than the
    levels the walk scans for itself."""
    for level in range(depth):
        leaf = w.List([leaf]) if level % 2 else w.Tuple((leaf,))
    return leaf


@case
def collapse_subclasses_deeply_nested(w):
    s, v, f = w.Str("s"), w.Value(), 1.5
    shared = w.Tuple((v, w.List([])))
    args = (w.List([s, shared, chain(w, 40, f)]), shared, w.Tuple(()))

    def check(result):
        assert [id(leaf) for leaf in result] == [id(s), id(v), id(f), id(v)]

    return lambda: collapse(*args), check


@case
def collapse_deep_cycle(w):
    top = w.List([w.Value()])
    inner = top
    for _ in range(40):
        inner.append(w.List([w.Str("leaf")]))
        inner = list.__getitem__(inner, -1)
    inner.append(top)

    def check(outcome):
        assert type(outcome) is ValueError
        assert str(outcome) == "collapse() cannot flatten a list or tuple that contains itself"

    return lambda: collapse(top), check


# ---------------------------------------------------------------------------
# backfill: items are read from storage and tested against None by identity.


@case
def backfill_subclass_list(w):
    v, s = w.Value(), w.Str("x")
    values = w.List([None, v, None, s, None])

    def check(result):
        assert type(result) is list and [id(x) for x in result] == [id(v)] * 3 + [id(s)] * 2

    return lambda: backfill(values), check


@case
def backfill_subclass_list_of_gaps(w):
    values = w.List([None, None])
    return lambda: backfill(values), lambda result: result is values


# ---------------------------------------------------------------------------
# multikeysort: the column specification, the column filter (keys found by
# text and str hash), the sort of texts, and the read-back and store.


@case
def multikeysort_filter_finds_no_column(w):
    # Keys hashed like the column names but of other texts: no column is
    # present, so no item is looked up.
    items = [
        {w.Str("x", hash_as="a"): w.Value(), "y": 1},
        w.Dict({w.Str("z", hash_as="b"): w.Value()}),
        {w.Str("ab"): 2},
    ]
    columns = ["a", "-b", "a"]

    def check(result):
        assert type(result) is list and [id(x) for x in result] == [id(x) for x in items]

    return lambda: multikeysort(items, columns), check


def sort_case(w, inplace):
    # Texts of a str subclass with a long common prefix, so that runs of
    # equal radix keys are compared by text; the items in a list subclass,
    # read and written through its storage; each dict is held by the list
    # alone, and each text by its dict alone.
    data = [(f"a common prefix-{i % 3}", i % 5) for i in range(30)]
    items = w.List([{"name": w.Str(text), "n": n, "i": i} for i, (text, n) in enumerate(data)])
    columns = w.List([w.Str("name"), w.Str("-n")])
    expected = sorted(range(len(data)), key=lambda i: (data[i][0], -data[i][1]))

    def check(result):
        assert (result is None) == inplace
        assert [d["i"] for d in (items if inplace else result)] == expected

    return lambda: multikeysort(items, columns, inplace=inplace), check


@case
def multikeysort_texts_into_a_new_list(w):
    return sort_case(w, False)


@case
def multikeysort_texts_in_place(w):
    return sort_case(w, True)


# ---------------------------------------------------------------------------
# same_order and the text functions: lists read from storage, str arguments
# read through their stored text.


@case
def same_order_subclass_lists(w):
    ref, comp = w.List(["x", "y"]), w.List(["x", "a", "y", 1])
    return lambda: same_order(ref, comp), lambda result: result is True


@case
def keyword_names_of_a_str_subclass(w):
    # Matched to the parameters by their text.
    values = [None, w.Value()]
    keywords = {w.Str("values"): values}

    def check(result):
        assert [id(x) for x in result] == [id(values[1])] * 2

    return lambda: backfill(**keywords), check


@pytest.mark.parametrize(
    ("function", "text", "expected"),
    [
        (parse, "$(1,234.50)", -1234.5),
        (uncamel, "getHTTPResponseCode", "get_http_response_code"),
        (underscore_to_camelcase, "foo_bar_baz", "fooBarBaz"),
        (sanitize_vulgar_string, "4¾ cups", "4.75 cups"),
    ],
)
def test_str_arguments_are_read_through_their_text(function, text, expected):
    w = Tripwires()
    argument = w.Str(text)
    result = function(argument)
    assert dict(w.calls) == {}
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("build", CASES)
def test_no_method_of_the_callers_objects_is_called(build):
    w = Tripwires()
    call, check = build(w)
    w.calls.clear()
    try:
        outcome = call()
    except Exception as error:  # checked below
        outcome = error
    calls = dict(w.calls)
    assert calls == {}
    assert check(outcome) is not False
