"""multikeysort(items, columns, inplace=False): the stable multi-key sort of a
list of dictionaries."""

import collections
import ctypes
import functools
import math
import mmap
import sys
import threading
import types
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from _kesp import multikeysort
from hostile import (
    RESUMING,
    Boom,
    Mutating,
    MutatingDict,
    RandomOrder,
    panic_exception_type,
    raising,
)


def interpreter_error(call):
    """The exception the interpreter itself raises for call().  Where the
    module passes on an error of the interpreter's making, the expected text
    is the one of the interpreter under test: the wording of some of them
    changes from one Python version to the next."""
    with pytest.raises(Exception) as info:
        call()
    return info.value


# The C API function the sort reads the list with, called as the module calls it.
list_get_item = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)(
    ("PyList_GetItem", ctypes.pythonapi)
)


def ids(result, names):
    """The names of the objects in `result`, by identity."""
    by_id = {id(obj): name for name, obj in names.items()}
    return [by_id[id(obj)] for obj in result]


# ---------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: multikeysort(), "multikeysort() missing 2 required positional arguments: 'items' and 'columns'"),
        (lambda: multikeysort([{"a": 1}]), "multikeysort() missing 1 required positional argument: 'columns'"),
        (lambda: multikeysort(columns=["a"]), "multikeysort() missing 1 required positional argument: 'items'"),
        (lambda: multikeysort([], [], False, 1), "multikeysort() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: multikeysort([], [], inplace=True, items=[]), "multikeysort() got multiple values for argument 'items'"),
        (lambda: multikeysort([], [], order=1), "multikeysort() got an unexpected keyword argument 'order'"),
        (lambda: multikeysort((1, 2), ["a"]), "argument 'items': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: multikeysort((1, 2), ["a"], 5), "argument 'items': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: multikeysort(None, ["a"]), "argument 'items': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: multikeysort([{"a": 1}], ["a"], 1), "argument 'inplace': 'int' object cannot be converted to 'PyBool'"),
        (lambda: multikeysort([{"a": 1}], ["a"], None), "argument 'inplace': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: multikeysort([{"a": 1}], ["a"], "yes"), "argument 'inplace': 'str' object cannot be converted to 'PyBool'"),
        (lambda: multikeysort([], None, inplace=0), "argument 'inplace': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_argument_error_has_no_cause():
    with pytest.raises(TypeError) as info:
        multikeysort([], [], 1)
    assert info.value.__cause__ is None and info.value.__suppress_context__ is True


def test_all_keywords_and_result_kinds():
    x = [{"a": 2}, {"a": 1}]
    new = multikeysort(x, ["a"], False)
    assert new == [{"a": 1}, {"a": 2}] and new is not x and x == [{"a": 2}, {"a": 1}]
    assert multikeysort(items=x, columns=["a"], inplace=True) is None
    assert x == [{"a": 1}, {"a": 2}]
    assert multikeysort(x, 5) == x and multikeysort(x, None) is not x


# ---------------------------------------------------------------------------
# inplace: bool, numpy's bool types, and look-alikes


def numpy_like(name="bool_", module="numpy", **methods):
    return type(name, (), {"__module__": module, **methods})()


class BoolBoom(Exception):
    pass


def raise_value_error(self):
    raise ValueError("no truth")


def raise_type_error(self):
    raise TypeError("bad")


class EmptyStrMeta(type):
    def __str__(cls):
        return ""


class SurrogateStrMeta(type):
    def __str__(cls):
        return "<\ud800>"


@pytest.mark.parametrize(
    ("inplace", "error", "message"),
    [
        (numpy_like(), TypeError,
         "argument 'inplace': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
        (numpy_like(__bool__=raise_value_error), ValueError, "no truth"),
        (numpy_like(__bool__=raise_type_error), TypeError, "argument 'inplace': bad"),
        (numpy_like(module="numpy.core", __bool__=lambda self: True), TypeError,
         "argument 'inplace': 'bool_' object cannot be converted to 'PyBool'"),
        (numpy_like(name="int64", __bool__=lambda self: True), TypeError,
         "argument 'inplace': 'int64' object cannot be converted to 'PyBool'"),
        # The interpreter's own message for a __bool__ that returns an int.
        (numpy_like(name="bool", __bool__=lambda self: 2), TypeError,
         lambda value: "argument 'inplace': " + str(interpreter_error(lambda: bool(value)))),
        (EmptyStrMeta("bool_", (), {"__module__": "numpy"})(), TypeError,
         "argument 'inplace': object of type '' does not define a '__bool__' conversion"),
        (SurrogateStrMeta("bool_", (), {"__module__": "numpy"})(), TypeError,
         "argument 'inplace': object of type '<\ufffd\ufffd\ufffd>' does not define a '__bool__' "
         "conversion"),
    ],
)
def test_inplace_lookalike_errors(inplace, error, message):
    if callable(message):
        message = message(inplace)
    rows = [{"a": 2}, {"a": 1}]
    with pytest.raises(error) as info:
        multikeysort(rows, ["a"], inplace)
    assert type(info.value) is error and str(info.value) == message
    assert rows == [{"a": 2}, {"a": 1}]


@pytest.mark.parametrize(
    ("inplace", "sorted_in_place"),
    [
        (True, True),
        (False, False),
        (numpy_like(__bool__=lambda self: True), True),
        (numpy_like(name="bool", __bool__=lambda self: False), False),
    ],
)
def test_inplace_accepted(inplace, sorted_in_place):
    rows = [{"a": 2}, {"a": 1}]
    result = multikeysort(rows, ["a"], inplace)
    if sorted_in_place:
        assert result is None and rows == [{"a": 1}, {"a": 2}]
    else:
        assert result == [{"a": 1}, {"a": 2}] and rows == [{"a": 2}, {"a": 1}]


@pytest.mark.numpy
def test_inplace_numpy_bools():
    # Skipped where numpy is missing or cannot be loaded (an interpreter
    # that sees numpy built for another one); the reason names the error at
    # the root, not numpy's guess about it.
    try:
        import numpy
    except ImportError as e:
        root = e
        while root.__cause__ or root.__context__:
            root = root.__cause__ or root.__context__
        pytest.skip(f"numpy cannot be imported here: {type(root).__name__}: {root}")
    rows = [{"a": 2}, {"a": 1}]
    assert multikeysort(rows, ["a"], numpy.False_) == [{"a": 1}, {"a": 2}]
    assert rows == [{"a": 2}, {"a": 1}]
    assert multikeysort(rows, ["a"], numpy.True_) is None
    assert rows == [{"a": 1}, {"a": 2}]
    with pytest.raises(TypeError) as info:
        multikeysort(rows, ["a"], numpy.int64(1))
    assert str(info.value) == "argument 'inplace': 'int64' object cannot be converted to 'PyBool'"


def test_module_attribute_that_raises_is_not_numpy():
    class Meta(type):
        @property
        def __module__(cls):
            raise Boom("no module")

    value = Meta("bool_", (), {"__bool__": lambda self: True})()
    with pytest.raises(TypeError) as info:
        multikeysort([], [], value)
    assert str(info.value) == "argument 'inplace': 'bool_' object cannot be converted to 'PyBool'"


def test_items_error_comes_before_inplace():
    calls = []
    lookalike = numpy_like(__bool__=lambda self: calls.append(1) or True)
    with pytest.raises(TypeError, match="argument 'items'"):
        multikeysort((), [], lookalike)
    assert calls == []


# ---------------------------------------------------------------------------
# Column specification and the examples on three rows

r0 = {"a": 2, "b": "x"}
r1 = {"a": 1, "b": "y"}
r2 = {"a": 2, "b": "a"}
ROWS = {"r0": r0, "r1": r1, "r2": r2}


class IterB(list):
    def __iter__(self):
        return iter(["b"])


class TupleIterB(tuple):
    def __iter__(self):
        return iter(["b"])


class SeqWithBadLen:
    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        if i < 1:
            return "a"
        raise IndexError(i)


class SeqRaisingMidway:
    def __getitem__(self, i):
        if i < 1:
            return "a"
        raise Boom("midway")


@pytest.mark.parametrize(
    ("columns", "expected"),
    [
        (["a"], ["r1", "r0", "r2"]),
        ("a", ["r1", "r0", "r2"]),
        ("-a", ["r0", "r2", "r1"]),
        ("a,b", ["r0", "r1", "r2"]),
        (["a", "b"], ["r1", "r2", "r0"]),
        (("a", "b"), ["r1", "r2", "r0"]),
        (["-a", "b"], ["r2", "r0", "r1"]),
        (["a", 1], ["r1", "r0", "r2"]),
        (["a", None, b"b", ["b"], "\ud800", "b"], ["r1", "r2", "r0"]),
        (("a", 1), ["r0", "r1", "r2"]),
        (["zzz"], ["r0", "r1", "r2"]),
        (["zzz", "-a"], ["r0", "r2", "r1"]),
        (None, ["r0", "r1", "r2"]),
        ([], ["r0", "r1", "r2"]),
        ({"a": 1}, ["r0", "r1", "r2"]),
        (5, ["r0", "r1", "r2"]),
        ({"a"}, ["r0", "r1", "r2"]),
        (frozenset({"a"}), ["r0", "r1", "r2"]),
        ({"a": 1}.keys(), ["r0", "r1", "r2"]),
        ((x for x in ["a"]), ["r0", "r1", "r2"]),
        (iter(["a"]), ["r0", "r1", "r2"]),
        (collections.UserDict({"a": 1}), ["r1", "r0", "r2"]),
        (IterB(["a"]), ["r1", "r0", "r2"]),
        (TupleIterB(("a",)), ["r2", "r0", "r1"]),
        (SeqWithBadLen(), ["r1", "r0", "r2"]),
        (SeqRaisingMidway(), ["r0", "r1", "r2"]),
        ("\ud800", ["r0", "r1", "r2"]),
        (("a", "\ud800"), ["r0", "r1", "r2"]),
        (b"a", ["r0", "r1", "r2"]),
        (["a", "-a"], ["r1", "r0", "r2"]),
        (["b", "b"], ["r2", "r0", "r1"]),
    ],
)
def test_columns_on_three_rows(columns, expected):
    rows = [r0, r1, r2]
    result = multikeysort(rows, columns)
    assert ids(result, ROWS) == expected
    assert result is not rows and rows == [r0, r1, r2]


@pytest.mark.parametrize(
    ("columns", "expected"),
    [(["-a"], ["r0", "r2", "r1"]), (None, ["r0", "r1", "r2"]), (["zzz"], ["r0", "r1", "r2"])],
)
def test_in_place_on_three_rows(columns, expected):
    rows = [r0, r1, r2]
    assert multikeysort(rows, columns, inplace=True) is None
    assert ids(rows, ROWS) == expected


class L(list):
    def __len__(self):
        raise AssertionError("__len__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getitem__(self, i):
        raise AssertionError("__getitem__ called")

    def __setitem__(self, i, v):
        raise AssertionError("__setitem__ called")


@pytest.mark.parametrize("columns", [["a"], None, ["zzz"]])
def test_list_subclass_is_read_and_written_through_its_storage(columns):
    rows = L([r0, r1, r2])
    new = multikeysort(rows, columns)
    assert type(new) is list
    assert multikeysort(rows, columns, True) is None
    assert type(rows) is L and list.__len__(rows) == 3
    assert ids(new, ROWS) == ids(list(list.__iter__(rows)), ROWS)


# ---------------------------------------------------------------------------
# Other inputs


s0, s1, s2, s3 = {"a": 1}, {}, {"a": None}, {"a": 0}
t0, t1 = {"-a": 1}, {"-a": 2}
u0, u1 = {"": 1}, {"": 2}


@pytest.mark.parametrize(
    ("items", "columns", "expected"),
    [
        ([], ["a"], []),
        ([r0], ["a"], [r0]),
        ([5, "x"], ["a"], [5, "x"]),
        ([s0, s1, s2, s3], ["a"], [s1, s2, s3, s0]),
        ([s0, s1, s2, s3], ["-a"], [s0, s3, s1, s2]),
        ([s0, 5, s3], ["a"], [5, s3, s0]),
        ([t0, t1], ["--a"], [t1, t0]),
        ([t0, t1], ["-a"], [t0, t1]),
        ([u0, u1], ["-"], [u1, u0]),
        ([u0, u1], [""], [u0, u1]),
    ],
)
def test_other_inputs(items, columns, expected):
    before = list(items)
    result = multikeysort(items, columns)
    assert [id(x) for x in result] == [id(x) for x in expected]
    assert items == before
    copy = list(items)
    assert multikeysort(copy, columns, True) is None
    assert [id(x) for x in copy] == [id(x) for x in expected]


class KeyStr(str):
    """A str key with its own hash and equality: only its text counts."""

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return False


@pytest.mark.parametrize(
    ("values", "columns", "expected"),
    [
        ([1.5, 1, True], ["k"], [1, True, 1.5]),
        (["9", "10"], ["k"], ["10", "9"]),
        ([2**64, 1], ["k"], [1, 2**64]),
        ([Decimal("2.5"), 2], ["k"], [2, Decimal("2.5")]),
        ([2, None, 1.5], ["k"], [None, 1.5, 2]),
        ([2, None, 1.5], ["-k"], [2, 1.5, None]),
        (["b", "é", "B", "aa", "a"], ["k"], ["B", "a", "aa", "b", "é"]),
        (["€", "\U0001f600", "ÿ", "z"], ["k"], ["z", "ÿ", "€", "\U0001f600"]),
        ([True, 0.5], ["k"], [0.5, True]),
        ([(2, 1), (1, 5)], ["k"], [(1, 5), (2, 1)]),
        ([10**400, 5], ["k"], [5, 10**400]),
        ([float("inf"), -float("inf"), 0.0], ["k"], [-float("inf"), 0.0, float("inf")]),
        ([-(2**63), 2**63 - 1, 0], ["k"], [-(2**63), 0, 2**63 - 1]),
        ([math.nextafter(1.0, 2.0), 1.0, 2], ["k"], [1.0, math.nextafter(1.0, 2.0), 2]),
        (["aaaaaaaab", "aaaaaaaa", "aaaaaaaa\x00", "aaaaaaa"], ["k"],
         ["aaaaaaa", "aaaaaaaa", "aaaaaaaa\x00", "aaaaaaaab"]),
    ],
)
def test_value_order(values, columns, expected):
    items = [{"k": v} for v in values]
    assert [d["k"] for d in multikeysort(items, columns)] == expected


@pytest.mark.parametrize(
    "values",
    [
        [2**53 + 1, float(2**53)],
        [float(2**53), 2**53 + 1],
        [float("nan"), 1.0],
        [1.0, float("nan")],
        [0.0, -0.0],
        [0, -0.0],
        ["x", 1],
        [1, "x"],
        [(1,), 0],
        [raising(Boom("lt"), "__lt__"), raising(Boom("lt"), "__lt__")],
        [raising(RuntimeError("lt"), "__lt__"), 3],
    ],
)
@pytest.mark.parametrize("column", ["k", "-k"])
def test_ties_keep_input_order(values, column):
    items = [{"k": v, "n": i} for i, v in enumerate(values)]
    assert [d["n"] for d in multikeysort(items, [column])] == [0, 1]


def test_ties_on_many_rows_keep_input_order_in_both_directions():
    items = [{"k": i % 3, "n": i} for i in range(200)]
    for column, reverse in (["k", False], ["-k", True]):
        result = multikeysort(items, [column])
        assert [d["n"] for d in result] == [
            d["n"] for d in sorted(items, key=lambda d: d["k"], reverse=reverse)
        ]
    items = [{"k": 5 - i // 40, "n": i} for i in range(200)]  # descending runs with ties
    assert [d["n"] for d in multikeysort(items, ["k"])] == [
        d["n"] for d in sorted(items, key=lambda d: d["k"])
    ]


def test_two_columns_one_descending():
    a, b, c = {"a": 1, "b": 2}, {"a": 1, "b": 1}, {"a": 2, "b": 0}
    result = multikeysort([a, b, c], ["-a", "b"])
    assert [id(x) for x in result] == [id(c), id(b), id(a)]


# ---------------------------------------------------------------------------
# What Python code runs


class Counting:
    """Counts its comparison and conversion calls."""

    calls = collections.Counter()

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        Counting.calls["lt"] += 1
        return self.value < other.value

    def __gt__(self, other):
        Counting.calls["gt"] += 1
        return self.value > other.value


def test_lt_raising_means_no_gt():
    Counting.calls.clear()

    class LtRaises(Counting):
        def __lt__(self, other):
            Counting.calls["lt"] += 1
            raise ValueError("no")

    items = [{"k": LtRaises(2), "n": 0}, {"k": LtRaises(1), "n": 1}]
    assert [d["n"] for d in multikeysort(items, ["k"])] == [0, 1]
    assert Counting.calls["lt"] >= 1 and Counting.calls["gt"] == 0


def test_lt_result_whose_bool_raises_ties_without_gt():
    Counting.calls.clear()

    class LtBadBool(Counting):
        def __lt__(self, other):
            Counting.calls["lt"] += 1
            return raising(Boom("bool"), "__bool__")

    items = [{"k": LtBadBool(2), "n": 0}, {"k": LtBadBool(1), "n": 1}]
    assert [d["n"] for d in multikeysort(items, ["-k"])] == [0, 1]
    assert Counting.calls["gt"] == 0


class AlwaysGreater:
    def __lt__(self, other):
        return False

    def __gt__(self, other):
        return True


def test_gt_decides_when_lt_is_false():
    first, second = AlwaysGreater(), AlwaysGreater()
    items = [{"k": first}, {"k": second}]
    assert [d["k"] for d in multikeysort(items, ["k"])] == [first, second]
    assert [d["k"] for d in multikeysort(items, ["-k"])] == [second, first]


def test_str_subclass_sorts_by_text_without_its_methods():
    class S(str):
        def __lt__(self, other):
            raise AssertionError("__lt__ called")

        __gt__ = __lt__

    items = [{"k": S("b")}, {"k": S("a")}, {"k": "c"}]
    assert [d["k"] for d in multikeysort(items, ["k"])] == ["a", "b", "c"]


def test_numbers_and_texts_are_never_given_to_python_as_the_items_objects():
    seen = []

    class Probe:
        def __lt__(self, other):
            seen.append(other)
            return NotImplemented

        def __gt__(self, other):
            seen.append(other)
            return NotImplemented

    class MyInt(int):
        pass

    original = MyInt(3)
    items = [{"k": Probe()}, {"k": original}, {"k": "t"}]
    multikeysort(items, ["k"])
    assert seen and all(type(x) in (int, str) for x in seen)
    assert not any(x is original for x in seen)


def test_conversions_run_index_and_float():
    class Idx:
        def __index__(self):
            return 7

    class Flt:
        def __float__(self):
            return 2.5

    class BadIdx:
        def __index__(self):
            raise Boom("index")

        def __float__(self):
            return 9.5

    items = [{"k": Idx()}, {"k": Flt()}, {"k": BadIdx()}, {"k": 3}]
    assert [type(d["k"]).__name__ for d in multikeysort(items, ["k"])] == ["Flt", "int", "Idx", "BadIdx"]


@pytest.mark.parametrize("inplace", [False, True])
def test_value_whose_conversion_drops_it_from_its_dict(inplace):
    # A value held by its dict alone that takes itself and its row out of the
    # dict and the list in its __index__, which then raises: the sort goes on
    # to read it with __float__, and the value must still be alive.
    class Leaving:
        def __init__(self, row, number):
            self.row, self.number = row, number

        def __index__(self):
            items.remove(self.row)
            del self.row["k"]
            raise TypeError("no index")

        def __float__(self):
            return self.number

    items = []
    for i in range(6):
        row = {"n": i}
        row["k"] = Leaving(row, 10.5 - i)
        items.append(row)
    rows = list(items)
    with pytest.raises(IndexError):
        multikeysort(items, ["k", "n"], inplace)
    # Each lookup takes out the row it read, so the fourth finds the list
    # too short.
    assert [d["n"] for d in items] == [1, 3, 5]
    assert ["k" in d for d in rows] == [False, True] * 3


def test_each_item_is_looked_up_once_per_column_in_row_then_column_order():
    log = []

    class Logging(dict):
        def __getitem__(self, key):
            log.append((dict.__getitem__(self, "id"), key))
            return dict.__getitem__(self, key)

    items = [Logging(id=i, a=i % 2, b=-i) for i in range(4)]
    log.clear()
    multikeysort(items, ["a", "b"])
    assert log == [(i, c) for i in range(4) for c in ("a", "b")]


def test_lookup_is_a_real_subscription():
    d = collections.defaultdict(int)
    plain = {"a": 5}
    result = multikeysort([plain, d], ["a"])
    assert result[0] is d and result[1] is plain and d == {"a": 0}


def test_mapping_proxies_are_looked_up_but_do_not_name_columns():
    p1 = types.MappingProxyType({"a": 2})
    p2 = types.MappingProxyType({"a": 1})
    assert [id(x) for x in multikeysort([p1, p2], ["a"])] == [id(p1), id(p2)]
    z = {"a": 0}
    assert [id(x) for x in multikeysort([p1, p2, z], ["a"])] == [id(z), id(p2), id(p1)]


def test_column_names_come_from_the_text_of_str_keys():
    # A key of a str subclass with its own hash and equality names its column
    # by its text; the lookup itself is an ordinary subscription.
    # The mapping proxy, not being a dict, names no column but is looked up.
    d = {KeyStr("a"): 1}
    other = {"b": 0}
    p = types.MappingProxyType({"a": -1})
    assert [id(x) for x in multikeysort([other, p, d], ["a"])] == [id(other), id(d), id(p)]
    assert [id(x) for x in multikeysort([other, p], ["a"])] == [id(other), id(p)]
    assert multikeysort([{"\ud800": 2}, {"\ud800": 1}], ["\ud800"]) == [{"\ud800": 2}, {"\ud800": 1}]


def test_columns_found_in_any_dict_among_many_absent_ones():
    # Every name is looked for among the keys of every dict: one that only
    # the last dict holds counts, names that no dict holds drop out however
    # many they are, and a name given twice stays twice.
    items = [{"a": i % 3, f"x{i}": i} for i in range(200)] + [{"é": -1, "a": 9}]
    columns = [f"missing{j}" for j in range(500)] + ["é", "-a", "x7", "é"]

    def none_first(value):
        return (value is not None, value or 0)

    expected = sorted(items, key=lambda d: (none_first(d.get("é")), -d["a"], none_first(d.get("x7"))))
    assert [id(d) for d in multikeysort(items, columns)] == [id(d) for d in expected]


def test_reference_counts_after_in_place_sort():
    objs = [{"k": i % 7, "s": str(i)} for i in range(50)]
    items = list(reversed(objs))
    before = [sys.getrefcount(o) for o in objs]
    assert multikeysort(items, ["k", "-s"], True) is None
    assert [sys.getrefcount(o) for o in objs] == before
    new = multikeysort(items, ["s"])
    assert [sys.getrefcount(o) for o in objs] == [b + 1 for b in before]
    del new


# ---------------------------------------------------------------------------
# Against a model of the ordering


def model_sort(items, columns):
    """The ordering, written plainly: None first; two ints exactly, an int and
    a float as doubles; texts by code point; stable."""

    def compare_values(a, b):
        if a is None or b is None:
            return (a is not None) - (b is not None)
        if isinstance(a, (int, float)) and not (type(a) is int and type(b) is int):
            a, b = float(a), float(b)
        return (a > b) - (a < b)

    def compare(x, y):
        for column in columns:
            desc = column.startswith("-")
            c = compare_values(x[column.lstrip("-")], y[column.lstrip("-")])
            if c:
                return -c if desc else c
        return 0

    return sorted(items, key=functools.cmp_to_key(compare))


# Within each column the values form a consistent order: ints of any 64-bit
# size alone, or ints that are exact doubles together with floats.
ints = st.one_of(st.none(), st.integers(-5, 5), st.integers(-(2**63), 2**63 - 1))
numbers = st.one_of(st.none(), st.integers(-5, 5), st.integers(-(2**53), 2**53),
                    st.floats(allow_nan=False), st.sampled_from([0.0, -0.0, 1.5]))
texts = st.one_of(st.none(), st.text(alphabet="ab\x00é€\U0001f600", max_size=12),
                  st.sampled_from(["aaaaaaaa", "aaaaaaaab", "aaaaaaaa\x00", "aaaaaaa"]))
COLUMN_LISTS = [["x"], ["-x"], ["y"], ["-y"], ["z"], ["-z"], ["x", "-y"], ["-y", "x"],
                ["z", "y"], ["-z", "-x"], ["y", "y", "-x"], ["-y", "x", "z", "-x", "y"]]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.fixed_dictionaries({"x": ints, "y": texts, "z": numbers}), max_size=300),
    st.sampled_from(COLUMN_LISTS),
    st.sampled_from([None, "sorted", "reversed", "chunks"]),
)
def test_agrees_with_the_model(rows, columns, shape):
    if shape == "sorted":
        rows = model_sort(rows, columns)
    elif shape == "reversed":
        rows = model_sort(rows, columns)[::-1]
    elif shape == "chunks":
        rows = [r for i in range(0, len(rows), 40) for r in model_sort(rows[i : i + 40], columns)]
    expected = model_sort(rows, columns)
    assert [id(r) for r in multikeysort(rows, columns)] == [id(r) for r in expected]
    copy = list(rows)
    multikeysort(copy, columns, True)
    assert [id(r) for r in copy] == [id(r) for r in expected]


@pytest.mark.parametrize("columns", [["k"], ["-k"], ["k", "-n"], ["-k", "n"], ["n", "-k"]])
@pytest.mark.parametrize(
    "make",
    [
        lambda i: (i * 7919) % 1000 - 500,
        lambda i: None if i % 10 == 0 else (i * 7919) % 100,
        lambda i: float((i * 7919) % 1000) / 7,
        lambda i: str((i * 7919) % 1000).rjust(12, "x"),
        lambda i: (i % 50,),
        lambda i: ((i * 7919) % 1000 - 500) * 18_000_000_000_000_000,  # a span beyond 2**63
        lambda i: math.nextafter(float((i * 7919) % 100), 1000.0) if i % 2 else float((i * 7919) % 100),
    ],
)
@pytest.mark.parametrize("presorted", [False, True], ids=["shuffled", "presorted"])
@pytest.mark.parametrize("inplace", [False, True], ids=["new", "in-place"])
def test_many_rows_agree_with_sorted(make, columns, presorted, inplace):
    # Each column of values here has a consistent order, so the result is
    # the one sorted() gives.  Input already in order takes a shorter way.
    items = [{"k": make(i), "n": i % 3} for i in range(3000)]
    if presorted:
        items = model_sort(items, columns)
    expected = [id(r) for r in model_sort(items, columns)]
    if inplace:
        assert multikeysort(items, columns, True) is None
        assert [id(r) for r in items] == expected
    else:
        assert [id(r) for r in multikeysort(items, columns)] == expected


@pytest.mark.parametrize(
    "values",
    [
        # Ints of the whole 64-bit span, with None, leave no key for None.
        [2**63 - 1, None, -(2**63), 0, None, -(2**63), 2**63 - 1, 1, -1],
        [-(2**63), None, 5, -(2**63)],
        [2**63 - 1, None, -5, 2**63 - 1],
        # Ints beyond 2**53 among floats are compared one by one (these tie
        # with no float).
        [2**60 + 3, 1.5, -(2**61) - 7, 2.5, None, 2**60 + 5],
        [0.0, -0.0, 0, None, -1, 1e300, -math.inf, math.inf, 5e-324, -5e-324],
    ],
)
@pytest.mark.parametrize("column", ["k", "-k"])
def test_number_edges_agree_with_the_model(values, column):
    items = [{"k": v, "n": i % 2} for i, v in enumerate(values * 40)]
    for columns in ([column], [column, "-n"], ["n", column]):
        expected = [id(r) for r in model_sort(items, columns)]
        assert [id(r) for r in multikeysort(items, columns)] == expected


def many_column_rows():
    # Forty columns: ints, floats, texts and None in turn, whose values give
    # the rows three groups that tie (the first and the last alike) in the
    # first 36; then tuples, which are compared one by one, and three more
    # columns with few ties.
    kinds = [lambda g: g % 2, lambda g: float(g % 2), lambda g: "ab"[g % 2] * 9,
             lambda g: None if g % 2 else 1]
    return [{**{f"c{j}": kinds[j % 4](i // 400) for j in range(36)},
             "c36": ((i * 7) % 5,), **{f"c{j}": (i * j) % 11 for j in range(37, 40)}}
            for i in range(1200)]


MANY_COLUMNS = [f"{'-' if j % 3 == 0 else ''}c{j}" for j in range(40)]


def test_many_columns_agree_with_the_model():
    items = many_column_rows()
    expected = [id(r) for r in model_sort(items, MANY_COLUMNS)]
    assert [id(r) for r in multikeysort(items, MANY_COLUMNS)] == expected


def smallest_thread_stack():
    """Sets the smallest thread stack size the interpreter takes from 32 KiB
    on (3.15 takes 52 KiB and more), in steps of 4 KiB; returns the one set
    before."""
    for size in range(32 * 1024, 128 * 1024, 4096):
        try:
            return threading.stack_size(size)
        except ValueError:
            continue
    raise AssertionError("no thread stack size below 128 KiB is taken")


def test_sorts_on_a_thread_with_a_small_stack():
    # A Python thread's stack may be as small as 32 KiB: the sort keeps its
    # tables in its scratch block, and its recursion is shallow.
    items = many_column_rows()
    expected = [id(r) for r in model_sort(items, MANY_COLUMNS)]
    results = []
    previous = smallest_thread_stack()
    try:
        thread = threading.Thread(target=lambda: results.append(multikeysort(items, MANY_COLUMNS)))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    assert [id(r) for r in results[0]] == expected


# ---------------------------------------------------------------------------
# Scratch memory
#
# A call's scratch is one block; from 2 MiB on it is a mapping of its own,
# aligned to 2 MiB and advised MADV_HUGEPAGE, and it is gone when the call
# returns.  A comparison of values the module cannot order runs Python code
# while the sort is under way, and looks at the process's mappings then.
# (The interpreter's own allocator may map, merge and advise mappings of its
# own meanwhile: the block is told by being new, aligned and whole huge
# pages of at least 4 MiB.)


def mappings():
    """(start, size in kB, advised MADV_HUGEPAGE) of each mapping of this
    process, from /proc/self/smaps ("hg" among the VmFlags)."""
    found = []
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            first, *rest = line.split()
            if first == "Size:":
                size = int(rest[0])
            elif first == "VmFlags:":
                found.append((start, size, "hg" in rest))
            elif not first.endswith(":"):  # a mapping's own line: "7f2a5c000000-7f2a5c600000 rw-p ..."
                start = int(first.split("-")[0], 16)
    return found


def huge_pages_can_be_advised():
    probe = mmap.mmap(-1, 4 << 20)
    try:
        probe.madvise(mmap.MADV_HUGEPAGE)
        return True
    except OSError:
        return False
    finally:
        probe.close()


class MappingProbe:
    """A value that notes the process's mappings whenever it is compared."""

    def __init__(self, seen):
        self.seen = seen

    def __lt__(self, other):
        self.seen.append(mappings())
        return False

    __gt__ = __lt__


@pytest.mark.skipif(not huge_pages_can_be_advised(), reason="this kernel has no huge pages to advise")
@pytest.mark.parametrize("inplace", [False, True])
def test_large_scratch_is_an_advised_mapping_given_back(inplace):
    # Rows 0 and 1 tie on 'a', which settles every other row; their tie goes
    # to 'p', whose values are compared by Python during the sort.
    seen = []
    items = [{"a": i, "p": MappingProbe(seen)} for i in range(100_000)]
    items[1]["a"] = 0
    expected = [id(d) for d in items]
    before = mappings()
    result = multikeysort(items, ["a", "p"], inplace)
    after = mappings()
    assert [id(d) for d in (items if inplace else result)] == expected
    assert seen  # x < y, then x > y

    def overlaps_before(start, size):
        return any(s < start + size * 1024 and start < s + z * 1024 for s, z, _ in before)

    huge = 2 << 20
    blocks = [(start, size) for start, size, advised in seen[0]
              if advised and start % huge == 0 and size % 2048 == 0 and size >= 4096
              and not overlaps_before(start, size)]
    assert len(blocks) == 1, blocks
    assert blocks[0] not in [(start, size) for start, size, _ in after]


# ---------------------------------------------------------------------------
# Hostile callers


def test_sorts_started_inside_a_sort_leave_it_whole():
    # A lookup, and the comparisons of values without a native order, each
    # run a whole other sort while this one is under way; neither may disturb
    # the other's rows.
    inner = [{"a": (i * 37) % 101, "b": i % 5} for i in range(300)]
    expected_inner = [id(r) for r in model_sort(inner, ["a", "-b"])]
    seen = []


def test_lookup_that_shrinks_the_list_raises_index_error_and_stores_nothing():
    items = []
    first = MutatingDict(a=1, action=lambda: items.pop())
    second, third = {"a": 2}, {"a": 3}
    items.extend([first, second, third])
    with pytest.raises(IndexError) as info:
        multikeysort(items, ["a"], True)
    past_the_end = interpreter_error(lambda: list_get_item([], 0))
    assert type(info.value) is type(past_the_end) and str(info.value) == str(past_the_end)
    assert [id(x) for x in items] == [id(first), id(second)]


@pytest.mark.parametrize("inplace", [False, True])
def test_lookup_that_grows_the_list_sorts_the_first_n(inplace):
    items = []
    extra = {"a": -1}
    items.extend([MutatingDict(a=3, action=lambda: items.append(extra)), {"a": 2}, {"a": 1}])
    result = multikeysort(items, ["a"], inplace)
    if inplace:
        assert result is None and [d["a"] for d in items] == [1, 2, 3, -1]
    else:
        assert [d["a"] for d in result] == [1, 2, 3] and len(items) == 4


def test_item_replaced_during_the_sort_is_placed_at_its_row():
    items = []
    stranger = {"a": 100}

    def swap():
        items[0] = stranger

    items.extend([{"a": 3, "c": Mutating(1, lambda: None)}, {"a": 1, "c": Mutating(2, swap)}])
    # Sorting by 'c' compares the two Mutating values through Python; the
    # first comparison replaces items[0].  Row 0 (c=1) still sorts first, and
    # the object now at position 0 takes its place.
    result = multikeysort(items, ["c"])
    assert result[0] is stranger and result[1]["a"] == 1


@pytest.mark.parametrize("inplace", [False, True])
def test_comparisons_that_shrink_the_list_are_an_internal_failure(capfd, inplace):
    panic = panic_exception_type()
    items = []
    shrink = lambda: len(items) > 5 and items.pop()  # noqa: E731
    items.extend({"k": Mutating(i % 5, shrink)} for i in range(10))
    before = list(items)
    with pytest.raises(panic) as info:
        multikeysort(items, ["k"], inplace)
    assert type(info.value) is panic
    text = str(info.value)
    past_the_end = interpreter_error(lambda: list_get_item([], 0))
    assert type(past_the_end) is IndexError
    assert text.endswith(
        f": PyErr {{ type: {type(past_the_end)}, value: {past_the_end!r}, traceback: None }}"
    )
    # The comparisons removed items from the end; the rest is as it was.
    assert 5 <= len(items) < 10 and [id(x) for x in items] == [id(x) for x in before[: len(items)]]
    assert text in capfd.readouterr().err


@pytest.mark.parametrize("inplace", [False, True])
def test_random_comparisons_give_a_permutation(inplace):
    items = [{"k": RandomOrder(i), "n": i} for i in range(1000)]
    before = list(items)
    result = multikeysort(items, ["k", "-n"], inplace)
    if inplace:
        assert result is None
        result = items
    assert len(result) == 1000
    assert sorted(id(x) for x in result) == sorted(id(x) for x in before)


def test_nan_everywhere_gives_a_permutation():
    items = [{"k": float("nan") if i % 3 else i % 17} for i in range(500)]
    result = multikeysort(items, ["k"])
    assert sorted(map(id, result)) == sorted(map(id, items))


@pytest.mark.parametrize("where", ["__lt__", "lookup", "__index__"])
def test_panic_exception_from_python_code_is_raised_again(where, capfd):
    panic = panic_exception_type()
    original = panic("boom")
    if where == "__lt__":
        items = [{"k": raising(original, "__lt__")}, {"k": raising(original, "__lt__")}]
    elif where == "lookup":
        def throw():
            raise original

        items = [{"k": 1}, MutatingDict(k=2, action=throw)]
    else:
        items = [{"k": 1}, {"k": raising(original, "__index__")}]
    before = list(items)
    with pytest.raises(panic) as info:
        multikeysort(items, ["k"], True)
    assert type(info.value) is panic and info.value is not original
    assert str(info.value) == "boom"
    assert [id(x) for x in items] == [id(x) for x in before]
    err = capfd.readouterr().err
    assert RESUMING in err and "Python stack trace below:" in err


def test_panic_exception_late_in_a_long_sort_leaves_the_list_unchanged(capfd):
    panic = panic_exception_type()

    class LateBoom:
        calls = 0

        def __init__(self, value):
            self.value = value

        def __lt__(self, other):
            LateBoom.calls += 1
            if LateBoom.calls == 5000:
                raise panic("late")
            return self.value < other.value

        def __gt__(self, other):
            return self.value > other.value

    items = [{"k": LateBoom((i * 7919) % 1000)} for i in range(1000)]
    before = list(items)
    with pytest.raises(panic) as info:
        multikeysort(items, ["k"], True)
    assert str(info.value) == "late" and LateBoom.calls == 5000
    assert [id(x) for x in items] == [id(x) for x in before]
    assert RESUMING in capfd.readouterr().err


def test_subclass_of_panic_exception_is_ordinary(capfd):
    class Sub(panic_exception_type()):
        pass

    items = [{"k": raising(Sub("x"), "__lt__"), "n": 0}, {"k": raising(Sub("x"), "__lt__"), "n": 1}]
    assert [d["n"] for d in multikeysort(items, ["k"])] == [0, 1]
    assert RESUMING not in capfd.readouterr().err


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, Boom, KeyError])
def test_exceptions_in_lookups_give_none(exc):
    class Raising(dict):
        def __getitem__(self, key):
            raise exc("lookup")

    odd = Raising(a=0)
    items = [{"a": 2}, odd, {"a": 1}]
    result = multikeysort(items, ["a"])
    assert [id(x) for x in result] == [id(odd), id(items[2]), id(items[0])]
