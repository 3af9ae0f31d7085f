"""List utilities: backfill_iterdict, collapse, backfill and same_order."""

import collections
import copy
import math

import pytest
from hypothesis import given, settings, strategies as st

from _kesp import backfill, backfill_iterdict, collapse, same_order
from hostile import BaseBoom, Boom, Mutating, OnRelease, panic_exception_type, raising
from tripwire import Tripwires


def items_of(dicts):
    """Each dict as its list of (key, value) pairs, in stored order."""
    return [list(d.items()) for d in dicts]


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    return info.value


def _forbidden(name):
    def method(self, *args):
        raise AssertionError(f"{name} called")

    return method


def overridden(base):
    """A subclass of `base` whose Python-level reading methods must not be used."""
    methods = {name: _forbidden(name) for name in ("__iter__", "__getitem__", "__len__")}
    return type(f"Overridden{base.__name__.capitalize()}", (base,), methods)


Overridden = overridden(list)


class OverriddenDict(dict):
    def __iter__(self):
        raise AssertionError("__iter__ called")

    def keys(self):
        raise AssertionError("keys called")

    def items(self):
        raise AssertionError("items called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")


class Key(str):
    """A str subclass whose instances are all distinct dict keys, even with
    equal texts, and whose __str__ must not be used."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __str__(self):
        raise AssertionError("__str__ called")


class Tag(str):
    """A plain str subclass: equal to and hashed like the same text."""


# ---------------------------------------------------------------------------
# backfill_iterdict


def model_backfill_iterdict(rows):
    """What backfill_iterdict does, written out in Python."""
    latest, pending, result = {}, {}, []
    for row in rows:
        out = {}
        for key, value in dict.items(row):
            text = str.__str__(key)
            if value is None:
                if text in latest:
                    out[text] = latest[text]
                else:
                    pending[text] = pending.get(text, 0) + 1
                continue
            latest[text] = value
            for k in range(pending.pop(text, 0)):
                if k < len(result):
                    result[k][text] = value
            out[text] = value
        result.append(out)
    return result


@pytest.mark.parametrize(
    ("rows", "expected"),
    [
        ([{"a": 1, "b": None}, {"a": 4, "b": 2}, {"a": None, "b": None}],
         [[("a", 1), ("b", 2)], [("a", 4), ("b", 2)], [("a", 4), ("b", 2)]]),
        ([{"a": None}], [[]]),
        ([{"a": 1, "b": None}, {"a": 2, "b": None}], [[("a", 1)], [("a", 2)]]),
        ([{"x": 0}, {"a": None}, {"a": 5}], [[("x", 0), ("a", 5)], [], [("a", 5)]]),
        ([{"b": None, "a": 1}, {"b": 2, "a": 3}], [[("a", 1), ("b", 2)], [("b", 2), ("a", 3)]]),
        ([{"a": 1}, {"a": None}, {}], [[("a", 1)], [("a", 1)], []]),
        ([{"a": None, "b": 1}, {"b": None}, {"a": 2}],
         [[("b", 1), ("a", 2)], [("b", 1)], [("a", 2)]]),
        ([{"a": 0}, {"a": None}], [[("a", 0)], [("a", 0)]]),
        ([{"a": ""}, {"a": None}], [[("a", "")], [("a", "")]]),
        ([{"a": False}, {"a": None}, {"a": []}], [[("a", False)], [("a", False)], [("a", [])]]),
        # Several keys waiting at once, each filled at its own first value.
        ([{"a": None, "b": None}, {"a": None, "b": 1}, {"a": 2, "b": None}],
         [[("b", 1), ("a", 2)], [("b", 1), ("a", 2)], [("a", 2), ("b", 1)]]),
        # A later None takes the latest value, not the first one.
        ([{"a": 1}, {"a": 2}, {"a": None}], [[("a", 1)], [("a", 2)], [("a", 2)]]),
        ([{}, {}, {"a": None}], [[], [], []]),
        ([{"é": None}, {"é": "ü"}], [[("é", "ü")], [("é", "ü")]]),
    ],
)
def test_backfill_iterdict_table(rows, expected):
    before = copy.deepcopy(rows)
    result = backfill_iterdict(rows)
    assert items_of(result) == expected
    assert type(result) is list and all(type(d) is dict for d in result)
    assert all(type(k) is str for d in result for k in d)
    assert rows == before


def test_backfill_iterdict_empty_is_a_new_list():
    rows = []
    result = backfill_iterdict(rows)
    assert result == [] and result is not rows


def test_backfill_iterdict_values_are_the_callers_objects():
    v, w = object(), float("nan")
    result = backfill_iterdict([{"a": None, "b": w}, {"a": None, "b": None}, {"a": v}])
    assert [d["a"] for d in result] == [v, v, v]
    assert all(d["a"] is v for d in result)
    assert result[0]["b"] is w and result[1]["b"] is w


def test_backfill_iterdict_str_subclass_keys_become_exact_str():
    k = Tag("a")
    rows = [{k: None}, {"a": 1}, {Tag("b"): 2}]
    result = backfill_iterdict(rows)
    assert items_of(result) == [[("a", 1)], [("a", 1)], [("b", 2)]]
    for d in result:
        for key in d:
            assert type(key) is str
    assert type(next(iter(rows[0]))) is Tag and rows[0][k] is None


@pytest.mark.parametrize(
    "rows",
    [
        # A key of a str subclass after plain keys of an exact dict: one that
        # waits for its first value, one taken forward, one with a value.
        [{"a": None, "b": 1, Tag("c"): 2, "d": None}, {"a": 3, "b": None, "c": None, "d": 4}],
        [{"a": 1, "b": 2}, {"a": None, "b": None, Tag("c"): 3, "d": None}, {"d": 5}],
        # Subclass keys first, last, alone; plain rows before and after.
        [{Tag("a"): None}, {"a": None, "b": 1}, {"a": 2, Tag("b"): None}, {"b": 3, "a": None}],
        [{"x": 1, "y": None}, {"x": None, Tag("y"): 2}, {"x": None, "y": None}, {"y": None, "x": 5}],
        # A dict subclass among exact dicts.
        [{"a": None}, OverriddenDict(a=None, b=1), {"b": None, "a": 2}],
    ],
)
def test_backfill_iterdict_rows_of_mixed_key_types(rows):
    result = backfill_iterdict(rows)
    assert items_of(result) == items_of(model_backfill_iterdict(rows))
    assert all(type(d) is dict for d in result)
    assert all(type(k) is str for d in result for k in d)


def row_with_deleted_entry(k):
    """A row that holds k after a deleted entry, and 'a' with the same hash."""
    row = {k: 0}
    row["a"] = None
    row["b"] = 2
    del row[k]
    row[k] = 3
    return row


def row_with_many_deleted_entries(k):
    """A row mostly of deleted entries, which a dict copies entry by entry."""
    row = {f"x{i}": i for i in range(12)}
    row[k] = 3
    row["a"] = None
    row["b"] = 2
    for i in range(12):
        del row[f"x{i}"]
    return row


@pytest.mark.parametrize(
    ("make_row", "expected"),
    [
        (row_with_deleted_entry, [("b", 2), ("k", 3)]),
        (row_with_many_deleted_entries, [("k", 3), ("b", 2)]),
    ],
)
def test_backfill_iterdict_never_compares_a_subclass_key(make_row, expected):
    # k is hashed like 'a', so any probe of the row for 'a' (or a copy of
    # it) would ask k.__eq__, and every such call is counted.
    w = Tripwires()
    row = make_row(w.Str("k", hash_as="a"))
    w.calls.clear()
    result = backfill_iterdict([row, row])
    assert dict(w.calls) == {}
    assert items_of(result) == [expected, expected]


def test_backfill_iterdict_keys_are_identified_by_text_alone():
    # Two distinct dict keys of one text in one row are one key for the
    # function: the second value replaces the first in the output, and a
    # back-fill count that outruns the rows already done skips the rest.
    first, second, third = Key("a"), Key("a"), Key("a")
    rows = [{"x": 0}, {first: None, second: None, third: 7}, {Key("a"): None}]
    result = backfill_iterdict(rows)
    assert items_of(result) == [[("x", 0), ("a", 7)], [("a", 7)], [("a", 7)]]
    assert items_of(backfill_iterdict([{first: 1, second: 2}])) == [[("a", 2)]]
    assert items_of(backfill_iterdict([{first: 1, second: None}])) == [[("a", 1)]]


def test_backfill_iterdict_reads_stored_state_of_subclasses():
    rows = Overridden([OverriddenDict(a=None), OverriddenDict(a=3, b=None), {"b": 4}])
    result = backfill_iterdict(rows)
    assert type(result) is list
    assert items_of(result) == [[("a", 3), ("b", 4)], [("a", 3)], [("b", 4)]]
    assert all(type(d) is dict for d in result)


def test_backfill_iterdict_many_keys():
    rows = [{f"k{i}": (None if r % 3 else r) for i in range(r, r + 50)} for r in range(60)]
    assert items_of(backfill_iterdict(rows)) == items_of(model_backfill_iterdict(rows))


def test_backfill_iterdict_leaves_argument_unchanged():
    key = Tag("a")
    rows = [{key: None, "b": 1}, {"a": 2, "b": None}]
    keys_before = [list(r) for r in rows]
    backfill_iterdict(rows)
    assert [list(r) for r in rows] == keys_before
    assert next(iter(rows[0])) is key
    assert rows == [{"a": None, "b": 1}, {"a": 2, "b": None}]


def test_backfill_iterdict_local_class_names():
    class Row:
        pass

    raises_exactly(TypeError, "'test_backfill_iterdict_local_class_names.<locals>.Row' object "
                   "cannot be converted to 'PyDict'", backfill_iterdict, [Row()])


@pytest.mark.parametrize(
    ("rows", "exc_type", "message"),
    [
        (({"a": 1},), TypeError, "argument 'iterdict': 'tuple' object cannot be converted to 'PyList'"),
        (None, TypeError, "argument 'iterdict': 'NoneType' object cannot be converted to 'PyList'"),
        ([{"a": 1}, 5], TypeError, "'int' object cannot be converted to 'PyDict'"),
        ([{"a": 1}, {"b": 2}, [("c", 3)]], TypeError, "'list' object cannot be converted to 'PyDict'"),
        ([{1: None}], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([{"a": None}, {"a": 1, b"b": 2}], TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ([{"\ud800": 1}], UnicodeEncodeError, None),
        ([{"a": None}, {"\ud800": None}], UnicodeEncodeError, None),
    ],
)
def test_backfill_iterdict_errors(rows, exc_type, message):
    error = raises_exactly(exc_type, message, backfill_iterdict, rows)
    if exc_type is TypeError:
        assert error.__cause__ is None
    if exc_type is UnicodeEncodeError:
        assert not str(error).startswith("argument")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: backfill_iterdict(), "backfill_iterdict() missing 1 required positional argument: 'iterdict'"),
        (lambda: backfill_iterdict([], []), "backfill_iterdict() takes 1 positional arguments but 2 were given"),
        (lambda: backfill_iterdict([], iterdict=[]), "backfill_iterdict() got multiple values for argument 'iterdict'"),
        (lambda: backfill_iterdict(rows=[]), "backfill_iterdict() got an unexpected keyword argument 'rows'"),
    ],
)
def test_backfill_iterdict_argument_errors(call, message):
    raises_exactly(TypeError, message, call)


def test_backfill_iterdict_by_keyword():
    assert backfill_iterdict(iterdict=[{"a": None}, {"a": 1}]) == [{"a": 1}, {"a": 1}]


rows_strategy = st.lists(
    st.dictionaries(st.sampled_from(["a", "b", "c", "dé", Tag("a")]),
                    st.one_of(st.none(), st.integers(0, 3)), max_size=4),
    max_size=8,
)


@given(rows_strategy)
def test_backfill_iterdict_follows_the_model(rows):
    result = backfill_iterdict(rows)
    assert items_of(result) == items_of(model_backfill_iterdict(rows))
    assert all(type(k) is str for d in result for k in d)


# ---------------------------------------------------------------------------
# collapse

CONTAINS_ITSELF = "collapse() cannot flatten a list or tuple that contains itself"


def nested(depth, leaf, kind=list):
    value = leaf
    for _ in range(depth):
        value = kind([value])
    return value


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((), []),
        (([["a", ["b", ("c", "d")]], -2, -1, [0, 1]],), ["a", "b", "c", "d", -2, -1, 0, 1]),
        ((1, (2, [3, (4,)]), 5), [1, 2, 3, 4, 5]),
        (([], (), [[]], ([],)), []),
        (([[], 1, [[], [2, [[]]]], (), 3],), [1, 2, 3]),
        ((collections.namedtuple("Point", "x y")(1, 2),), [1, 2]),
        ((nested(30, "x"), nested(30, "y", tuple)), ["x", "y"]),
    ],
)
def test_collapse_table(args, expected):
    before = copy.deepcopy(args)
    result = collapse(*args)
    assert type(result) is list and result == expected
    assert args == before


def test_collapse_reads_stored_items_of_subclasses():
    Pair = overridden(tuple)
    assert collapse(Overridden([1, Overridden([2]), Pair((3, [4]))])) == [1, 2, 3, 4]


def test_collapse_leaves_are_the_objects_themselves():
    leaves = ("abc", b"de", {"k": 1}, {1, 2}, None, range(3))
    result = collapse(*leaves)
    assert len(result) == 6 and all(a is b for a, b in zip(result, leaves))

    b = "z"
    result = collapse([b, (b,)])
    assert result == ["z", "z"] and result[0] is b and result[1] is b


def test_collapse_flat_list_is_a_new_list():
    x = [object(), 1, "a"]
    result = collapse(x)
    assert result == x and result is not x
    assert all(a is b for a, b in zip(result, x))


def test_collapse_shared_containers_are_walked_each_time():
    a = [1]
    assert collapse([a, a]) == [1, 1]
    # Shared below the levels searched by a scan as well, and met again after
    # its path has been left.
    deep = nested(40, "x")
    assert collapse([deep, deep], (deep, [deep])) == ["x"] * 4
    inner = [2, 3]
    assert collapse(nested(40, [inner, (inner, inner)])) == [2, 3] * 3


def test_collapse_more_leaves_than_arguments_hold():
    # Far more leaves than the arguments' own items, and far fewer.
    pairs = [[i, (str(i), [i])] for i in range(3000)]
    assert collapse(pairs) == model_collapse(pairs)
    assert collapse(1, [[]] * 5000, 2, [[3]]) == [1, 2, 3]


def test_collapse_very_deep_nesting():
    assert collapse(nested(100_000, "x")) == ["x"]
    assert collapse(nested(100_000, "y", tuple), 1) == ["y", 1]


def test_collapse_many_arguments():
    assert collapse(*range(1000)) == list(range(1000))


def direct_cycle():
    x = [1]
    x.append(x)
    return x


def tuple_cycle():
    inner = [1]
    outer = (0, inner)
    inner.append(outer)
    return [outer]


def deep_cycle(depth):
    top = [0]
    bottom = top
    for _ in range(depth):
        bottom.append([])
        bottom = bottom[-1]
    bottom.append(top)
    return top


def held_by_its_cycle_alone(make):
    # Once the call returns, the container at the head of the cycle is held
    # by the outer list and by the slot that closes the cycle: two
    # references, the fewest a container met inside itself can have.
    return lambda: [make()]


@pytest.mark.parametrize(
    "make", [direct_cycle, tuple_cycle, lambda: deep_cycle(3), lambda: deep_cycle(23),
             lambda: deep_cycle(24), lambda: deep_cycle(25), lambda: deep_cycle(5000),
             held_by_its_cycle_alone(direct_cycle), held_by_its_cycle_alone(lambda: deep_cycle(2)),
             held_by_its_cycle_alone(lambda: deep_cycle(30))])
def test_collapse_container_that_contains_itself(make):
    value = make()
    raises_exactly(ValueError, CONTAINS_ITSELF, collapse, value)
    raises_exactly(ValueError, CONTAINS_ITSELF, collapse, 1, [2, value])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: collapse(1, depth=2), "collapse() got an unexpected keyword argument 'depth'"),
        (lambda: collapse(args=[1]), "collapse() got an unexpected keyword argument 'args'"),
        (lambda: collapse(direct_cycle(), x=1), "collapse() got an unexpected keyword argument 'x'"),
    ],
)
def test_collapse_keywords_are_rejected(call, message):
    raises_exactly(TypeError, message, call)


def model_collapse(*args):
    out = []

    def walk(item):
        if isinstance(item, (list, tuple)):
            for sub in item:
                walk(sub)
        else:
            out.append(item)

    for arg in args:
        walk(arg)
    return out


nested_strategy = st.recursive(
    st.one_of(st.integers(), st.text(max_size=2), st.none()),
    lambda children: st.one_of(st.lists(children, max_size=4),
                               st.lists(children, max_size=4).map(tuple)),
    max_leaves=30,
)


@given(st.lists(nested_strategy, max_size=4))
def test_collapse_follows_the_model(args):
    assert collapse(*args) == model_collapse(*args)


# ---------------------------------------------------------------------------
# backfill


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        ([None, None, 1, 2, 3, None, 4], [1, 1, 1, 2, 3, 3, 4]),
        ([1, None, None], [1, 1, 1]),
        ([None, 5], [5, 5]),
        ([1, None, 2, None], [1, 1, 2, 2]),
        ([7], [7]),
        ([0, None, False, None, ""], [0, 0, False, False, ""]),
        ([[], None], [[], []]),
        (Overridden([None, 1, None]), [1, 1, 1]),
    ],
)
def test_backfill_table(values, expected):
    before = list.copy(values)
    result = backfill(values)
    assert type(result) is list and result == expected and result is not values
    assert [type(v) for v in result] == [type(v) for v in expected]
    assert list.copy(values) == before


def test_backfill_items_are_the_objects_themselves():
    a, b = object(), object()
    result = backfill([None, a, None, b, None])
    assert [id(v) for v in result] == [id(a)] * 3 + [id(b)] * 2


@pytest.mark.parametrize("values", [[None], [None, None], Overridden([None, None])])
def test_backfill_only_gaps_returns_the_argument(values):
    assert backfill(values) is values
    assert list.copy(values) == [None] * list.__len__(values)


def test_backfill_empty_is_a_new_list():
    values = []
    result = backfill(values)
    assert result == [] and result is not values


def test_backfill_by_keyword():
    assert backfill(values=[None, 2]) == [2, 2]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: backfill((None, 1)), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: backfill(None), "argument 'values': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: backfill(), "backfill() missing 1 required positional argument: 'values'"),
        (lambda: backfill([], []), "backfill() takes 1 positional arguments but 2 were given"),
        (lambda: backfill([], values=[]), "backfill() got multiple values for argument 'values'"),
        (lambda: backfill(items=[]), "backfill() got an unexpected keyword argument 'items'"),
    ],
)
def test_backfill_errors(call, message):
    raises_exactly(TypeError, message, call)


@given(st.lists(st.one_of(st.none(), st.integers(0, 5)), min_size=1))
def test_backfill_follows_the_model(values):
    first = next((v for v in values if v is not None), None)
    if first is None:
        assert backfill(values) is values
        return
    expected, fill = [], first
    for v in values:
        fill = fill if v is None else v
        expected.append(fill)
    assert backfill(values) == expected


# ---------------------------------------------------------------------------
# same_order


@pytest.mark.parametrize(
    ("ref", "comp", "expected"),
    [
        (["x", "y", "z"], ["x", "a", "b", "y", "d", "z"], True),
        (["x", "y", "z"], ["x", "z", "y"], False),
        ([], [], True),
        ([], [1, 2], True),
        ([1], [], False),
        (["x", "x"], ["x"], False),
        (["x", "x"], ["x", "y"], True),
        (["y", "x"], ["x", "y", "x"], False),
        (["q"], ["a", "b"], False),
        ([1, 2], [1.0, 2.0], True),
        (["b"], ["a", "b"], True),
        (["a", "c", "b"], ["a", "b", "c"], False),
        (["a", "b", "q"], ["a", "b", "c"], False),
        (Overridden(["a", "b"]), Overridden(["a", "c", "b"]), True),
    ],
)
def test_same_order_table(ref, comp, expected):
    before = (list.copy(ref), list.copy(comp))
    assert same_order(ref, comp) is expected
    assert (list.copy(ref), list.copy(comp)) == before


@pytest.mark.parametrize(
    ("r", "v", "equal"),
    [
        ("abc", "".join(["a", "bc"]), True),
        ("e", "\u00e9", False),
        # Texts of different storage widths whose first bytes agree.
        ("a", "\u0161", False),
        ("a", "\U00010061", False),
        ("\u0100", "\U00010100", False),
        ("\u00e9", "\u00e9x"[:1], True),
        ("\u20ac", "\U0001f600"[:0] + "\u20ac", True),
        ("\U0001f600", "\U0001f601", False),
        ("", "", True),
        ("a", Tag("a"), True),
        (Tag("a"), "a", True),
        ("1", 1, False),
        (-5, int("-5"), True),
        (5, -5, False),
        (2**62, 2**61 * 2, True),
        (10**30, int("1" + "0" * 30), True),
        (10**30, 10**30 + 1, False),
        (2**64, 0, False),
        (1, True, True),
        (True, 1, True),
        (0, 0.0, True),
        (1, 1.5, False),
    ],
)
def test_same_order_equality(r, v, equal):
    assert same_order([r], ["pad", v]) is equal
    assert same_order([r, "pad"], [v, "pad"]) is equal


def test_same_order_has_no_identity_shortcut():
    x = float("nan")
    assert same_order([x], [x]) is False


class Recorder:
    def __init__(self, answer=False):
        self.calls = []
        self.answer = answer

    def __eq__(self, other):
        self.calls.append(other)
        return self.answer

    __hash__ = object.__hash__


def test_same_order_comparison_order():
    r = Recorder()
    assert same_order([r], [10, 20, 30]) is False
    assert r.calls == [10, 20, 30]
    # Each reference element scans from the start and stops at its first match.
    later = Recorder(answer=True)
    assert same_order(["a", later], ["a", "b", "c"]) is True
    assert later.calls == ["a"]


class Logged:
    """Equal to the objects of the same value; records every comparison it is
    asked to make, as the left operand or reflected.  With `mode` "fails" the
    comparison raises Boom; with "verdict" it answers with an object whose
    truth test is recorded too."""

    def __init__(self, name, value, log, mode="plain"):
        self.name, self.value, self.log, self.mode = name, value, log, mode

    def __eq__(self, other):
        self.log.append((self.name, getattr(other, "name", other)))
        if self.mode == "fails":
            raise Boom(self.name)
        equal = self.value == getattr(other, "value", other)
        return Verdict(equal, self.log, self.name) if self.mode == "verdict" else equal

    __hash__ = object.__hash__


class Verdict:
    def __init__(self, truth, log, name):
        self.truth, self.log, self.name = truth, log, name

    def __bool__(self):
        self.log.append(("truth of", self.name))
        return self.truth


element_strategy = st.tuples(
    st.sampled_from(["plain", "plain", "fails", "verdict", "int", "str", "float"]),
    st.integers(0, 2))


@settings(max_examples=300)
@given(st.lists(element_strategy, max_size=5), st.lists(element_strategy, max_size=7))
def test_same_order_makes_the_comparisons_of_the_model(ref_spec, comp_spec):
    # Every comparison and truth test in which Python code takes part is
    # recorded, in order; the model keeps all first positions and judges
    # their order at the end.
    log = []

    def build(prefix, spec):
        made = {"int": int, "str": str, "float": float}
        return [made[kind](v) if kind in made else Logged(f"{prefix}{i}", v, log, kind)
                for i, (kind, v) in enumerate(spec)]

    ref, comp = build("r", ref_spec), build("c", comp_spec)

    def outcome(function):
        log.clear()
        try:
            answer = function(ref, comp)
        except Boom as error:
            answer = ("Boom", error.args)
        return answer, list(log)

    assert outcome(same_order) == outcome(model_same_order)


# Characters of every storage width, some of them sharing their low byte.
wide_and_narrow = st.sampled_from(["a", "\xe9", "\u0161", "\u0100", "\u20ac", "\U00010061",
                                   "\U00010100", "\U0001f600"])
plain_values = st.one_of(st.text(max_size=4), st.text(wide_and_narrow, max_size=3),
                         st.integers(-(2**70), 2**70), st.integers(-3, 3))


@given(plain_values, plain_values, st.booleans())
def test_same_order_exact_str_and_int_answer_as_the_interpreter(a, b, equal_copy):
    if equal_copy:
        # An equal value in another object, where the type allows one.
        b = a[:1] + a[1:] if isinstance(a, str) else int(repr(a))
    assert same_order([a], [b]) is (a == b)
    assert same_order([b, a], [a, "pad", b]) is model_same_order([b, a], [a, "pad", b])


def test_same_order_raising_elements_are_reached_only_when_needed():
    e = raising(Boom(), "__eq__")
    assert same_order(["q", e], ["a", "b"]) is False
    assert same_order(["a"], ["a", e]) is True
    # The order is already broken after two positions, but every reference
    # element is still looked for.
    raises_exactly(Boom, None, same_order, ["y", "x", e], ["x", "y", "z"])


class Answer:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        return self.result

    __hash__ = object.__hash__


def test_same_order_truth_of_the_comparison_result():
    assert same_order([Answer(1)], ["a"]) is True
    assert same_order([Answer([])], ["a"]) is False
    assert same_order([Answer(NotImplemented)], ["a"]) is False
    raises_exactly(Boom, None, same_order, [Answer(raising(Boom(), "__bool__"))], ["a"])


def test_same_order_comp_emptied_by_a_comparison():
    comp = ["a", "b", "c"]
    r = Mutating("q", comp.clear)
    raises_exactly(IndexError, "list index out of range", same_order, [r], comp)


def test_same_order_ref_list_emptied_by_a_comparison():
    ref = []
    ref.extend([Mutating("a", ref.clear), "b"])
    raises_exactly(IndexError, "list index out of range", same_order, ref, ["a", "b"])


def test_same_order_comp_emptied_by_a_finalizer():
    # The comparison's result empties comp when it is given back, after its
    # truth test; the next read finds the position gone.
    comp = ["a", "b"]
    released = []

    class Emptying:
        def __eq__(self, other):
            return OnRelease(lambda: (released.append(other), comp.clear()))

        __hash__ = object.__hash__

    raises_exactly(IndexError, "list index out of range", same_order, [Emptying()], comp)
    assert released == ["a"]


def test_same_order_sees_changes_made_during_the_call():
    comp = ["a", "b"]

    def replace():
        comp[1] = "q"

    # The replaced element is read after the change; one appended beyond the
    # length read at the start is never looked at.
    assert same_order([Mutating("z", replace), "q"], comp + ["z"]) is False
    comp = ["a", "b"]
    assert same_order([Mutating("q", replace)], comp) is True
    comp = ["a"]
    assert same_order([Mutating("z", lambda: comp.append("z"))], comp) is False


def test_same_order_compared_elements_stay_alive():
    comp = [object(), object()]
    r = Mutating(0, comp.clear)
    # The element being compared loses its last list reference mid-comparison.
    raises_exactly(IndexError, "list index out of range", same_order, [r], comp)


def test_same_order_reflected_comparison_of_a_subclass():
    class Base:
        def __eq__(self, other):
            raise AssertionError("the subclass is asked first")

        __hash__ = object.__hash__

    class Derived(Base):
        def __eq__(self, other):
            return True

    assert same_order([Base()], [Derived()]) is True


def test_same_order_panic_exception_from_python_code(capfd):
    panic = panic_exception_type()
    e = raising(lambda: panic("from __eq__"), "__eq__")
    error = raises_exactly(panic, "from __eq__", same_order, [e], ["a"])
    assert error.args == ("from __eq__",)
    assert "resuming a panic" in capfd.readouterr().err


def test_same_order_base_exception_passes_through():
    raises_exactly(BaseBoom, None, same_order, [raising(BaseBoom(), "__eq__")], ["a"])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: same_order(("x",), ["x"]), "argument 'ref_list': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: same_order(["x"], "x"), "argument 'comp': 'str' object cannot be converted to 'PyList'"),
        (lambda: same_order("x", "x"), "argument 'ref_list': 'str' object cannot be converted to 'PyList'"),
        (lambda: same_order([1]), "same_order() missing 1 required positional argument: 'comp'"),
        (lambda: same_order(), "same_order() missing 2 required positional arguments: 'ref_list' and 'comp'"),
        (lambda: same_order([], [], []), "same_order() takes 2 positional arguments but 3 were given"),
        (lambda: same_order([], ref_list=[]), "same_order() got multiple values for argument 'ref_list'"),
        (lambda: same_order([], [], x=1), "same_order() got an unexpected keyword argument 'x'"),
    ],
)
def test_same_order_errors(call, message):
    raises_exactly(TypeError, message, call)


def test_same_order_by_keyword():
    assert same_order(comp=["a", "b"], ref_list=["b"]) is True


def model_same_order(ref, comp):
    if len(comp) < len(ref):
        return False
    positions = []
    for r in ref:
        for j, v in enumerate(comp):
            if r == v:
                positions.append(j)
                break
        else:
            return False
    return all(a <= b for a, b in zip(positions, positions[1:]))


@given(st.lists(st.integers(0, 4), max_size=5), st.lists(st.integers(0, 4), max_size=8))
def test_same_order_follows_the_model(ref, comp):
    assert same_order(ref, comp) is model_same_order(ref, comp)
