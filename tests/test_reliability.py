"""Every function under hostile conditions: callers' objects that raise or
misbehave, other threads changing the lists being read, and allocations that
fail.  Nothing may crash, leak or read out of bounds; each call ends in the
outcome its function allows.

The thread and allocation-failure cases are tables with one entry per call
worth trying.
"""

import contextlib
import functools
import gc
import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
from dataclasses import dataclass
from typing import Callable

import pytest

import _kesp
from hostile import (
    FAILURE_REPORT,
    Actions,
    BaseBoom,
    Boom,
    Mutating,
    RandomOrder,
    panic_exception_type,
    panicking,
    raising,
    references,
    shape,
)

_testcapi = pytest.importorskip("_testcapi")


def call_outcome(call):
    """The outcome of `call()`: its value, or the exception's type and args."""
    try:
        return ("value", call())
    except BaseException as e:
        return ("raised", type(e), e.args)


# ---------------------------------------------------------------------------
# Allocation failure
#
# With _testcapi.set_nomemory(start, stop) the interpreter's allocations
# numbered start to stop - 1 (stop 0: all from start on) fail.  The sweep
# moves start over the allocations of one call: each call must give the
# outcome it gives with enough memory, or MemoryError, and nothing else.  The
# debug run's leak hunter repeats the sweep and so checks that the failed
# calls leak nothing.  The module's own C++ allocations (operator new) are
# swept the same way further down.


@dataclass
class Call:
    id: str
    make: Callable  # fresh arguments: () -> (function, args, kwargs)

    def __call__(self):
        function, args, kwargs = self.make()
        return function(*args, **kwargs)


def call(id, function, *args, **kwargs):
    # Arguments are rebuilt for every call: a call may change them (an
    # in-place sort) and repeated calls must not share made objects.
    def make():
        return function, _fresh(args), _fresh(kwargs)

    return Call(id, make)


def _fresh(value):
    if isinstance(value, str) and type(value) is not str:
        return type(value)(value)
    if isinstance(value, list):
        return [_fresh(v) for v in value]
    if isinstance(value, tuple):
        return tuple(_fresh(v) for v in value)
    if isinstance(value, dict):
        return {_fresh(k): _fresh(v) for k, v in value.items()}
    if isinstance(value, str):
        return "".join(list(value)) if len(value) > 1 else value
    return value


class Key(str):
    """A dict key of a str subclass."""


def _cycle():
    # A list that holds itself, two levels down.
    root = [1, [2, (3,)]]
    root[1].append(root)
    return root


RECORDS = [{"a": 2, "b": "x", "c": 1.5}, {"a": 1, "b": "y", "c": None}, {"a": 2, "b": "w", "c": 0.5}]

NOMEMORY_CALLS = [
    call("parse-int", _kesp.parse, "1,200m"),
    call("parse-float", _kesp.parse, "$(1,234.50)"),
    call("parse-big-int", _kesp.parse, "-9223372036854775809"),
    call("parse-long-text", _kesp.parse, "x" * 1000 + "(12.5)"),
    call("parse-non-ascii", _kesp.parse, "\u00bd 3\u00be"),
    call("parse-none", _kesp.parse, "abc"),
    call("parse-keyword", _kesp.parse, s="77"),
    call("parse-wrong-type", _kesp.parse, 5),
    call("parse-surrogate", _kesp.parse, "1\ud800"),
    call("parse-missing", _kesp.parse),
    call("parse-unexpected-keyword", _kesp.parse, q="1"),
    call("parse-surrogate-keyword", _kesp.parse, **{"s\udcff": "1"}),
    call("parse-twice", _kesp.parse, "1", s="2"),
    call("multikeysort", _kesp.multikeysort, RECORDS, ["-b", "a"]),
    call("multikeysort-inplace", _kesp.multikeysort, RECORDS, ["a", "-c"], True),
    call("multikeysort-wrong-type", _kesp.multikeysort, (1, 2), ["a"]),
    call(
        "multikeysort-non-ascii",
        _kesp.multikeysort,
        [{"\u043a\u043b\u044e\u0447": "\u0431\u0443\u043a\u0432\u0430", "\u00e9t\u00e9": 1000},
         {"\u043a\u043b\u044e\u0447": "\u00e4\U0001d49c", "\u00e9t\u00e9": 2000}],
        ["-\u043a\u043b\u044e\u0447", "\u00e9t\u00e9"],
    ),
    call("sanitize_vulgar_string", _kesp.sanitize_vulgar_string, "Foo 4\u00be 1 \u215b - 94\u215b"),
    call(
        "sanitize_vulgar_string-non-ascii",
        _kesp.sanitize_vulgar_string,
        "\u00c7a fait 4\u00be tasses, \U0001d7d8 \u00bd ou \u215e \u2014 d\u00e9j\u00e0 \u0663\u00bc",
    ),
    call("sanitize_vulgar_string-no-fraction", _kesp.sanitize_vulgar_string, "na\u00efve caf\u00e9"),
    call("uncamel", _kesp.uncamel, "getHTTPResponseCode"),
    call(
        "uncamel-non-ascii",
        _kesp.uncamel,
        "get\u00c4pfel\u00dcberSTRA\u00dfE\u00c7a\u0130stanbul\u03a3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2\U0001d400"
        + "x\u0130" * 12,  # more words than the first guess of the length allows
    ),
    call("uncamel-wrong-type", _kesp.uncamel, 5.5),
    call("underscore_to_camelcase", _kesp.underscore_to_camelcase, "_foo_bar_baz"),
    call(
        "underscore_to_camelcase-non-ascii",
        _kesp.underscore_to_camelcase,
        "_stra\u00dfe_\u01c6emal_\ufb01sh_\u0149_\u00e9t\u00e9_\U00010428" + "_\u0390" * 8,
    ),
    call("collapse", _kesp.collapse, [["a", ["b", ("c", "d")]], -2, -1, [0, 1]], (7, [8])),
    Call("collapse-cycle", lambda: (_kesp.collapse, ([0, _cycle()], (5,)), {})),
    call("backfill", _kesp.backfill, [None, None, 1000, 2000, None, 4000]),
    call("backfill-wrong-type", _kesp.backfill, (None, 1)),
    call(
        "backfill_iterdict",
        _kesp.backfill_iterdict,
        [{"a": 1000, "b": None}, {"a": 4000, "b": 2000}, {"a": None, "b": None}],
    ),
    call(
        "backfill_iterdict-str-subclass-keys",
        _kesp.backfill_iterdict,
        [{Key("first column name"): None, Key("b"): 1000, "plain key, long enough": None},
         {Key("first column name"): 2000, Key("b"): None, "plain key, long enough": 3000}],
    ),
    call(
        "backfill_iterdict-non-ascii-keys",
        _kesp.backfill_iterdict,
        [{"\u043a\u043b\u044e\u0447 \u043d\u043e\u043c\u0435\u0440 \u043e\u0434\u0438\u043d": None,
          Key("cl\u00e9"): 1000, "\U0001d49c": None},
         {"\u043a\u043b\u044e\u0447 \u043d\u043e\u043c\u0435\u0440 \u043e\u0434\u0438\u043d": 2000,
          Key("cl\u00e9"): None, "\U0001d49c": 3000}]
        + [{f"k\u00e9y {i}": i * 1000 for i in range(12)}],
    ),
    call("same_order", _kesp.same_order, ["x", "y", "z"], ["x", "a", "b", "y", "d", "z"]),
    call("same_order-false", _kesp.same_order, ["x", "y", "z"], ["x", "z", "y"]),
    call("same_order-wrong-type", _kesp.same_order, ["x"], ("x",)),
]

MEMORY = ("raised", MemoryError)


def under_failing(call, arm, disarm):
    """The outcome of `call` with allocations failing from arm() to disarm(),
    and what disarm() returned."""
    # Only the call itself runs with failing allocations: the interpreter's
    # own handling of a failed allocation is not what is under test.  Nor is
    # the garbage collector's: a collection that fell into the window would
    # run the callbacks of gc.callbacks (hypothesis keeps one) with
    # allocations failing, and the interpreter reports a callback that fails
    # as unraisable, which the run treats as an error.
    function, args, kwargs = call.make()
    box = [None]
    collecting = gc.isenabled()
    gc.disable()
    arm()
    try:
        box[0] = function(*args, **kwargs)
    except MemoryError:
        box[0] = MEMORY
    except BaseException as e:  # judged below, with memory back
        box[0] = e
    finally:
        disarmed = disarm()
        if collecting:
            gc.enable()
    outcome = box[0]
    if outcome is MEMORY:
        return MEMORY, disarmed
    if isinstance(outcome, BaseException):
        return ("raised", type(outcome), outcome.args), disarmed
    return ("value", outcome), disarmed


def under_nomemory(call, start, stop):
    arm = functools.partial(_testcapi.set_nomemory, start, stop)
    return under_failing(call, arm, _testcapi.remove_mem_hooks)[0]


def same_outcome(a, b):
    return type(a) is type(b) and repr(a) == repr(b)


def test_no_collection_runs_while_allocations_fail():
    # With the threshold at 1 every new container would start a collection;
    # none may start, nor run the callbacks, between arming and disarming.
    window = [False]
    phases_in_window = []

    def callback(phase, info):
        if window[0]:
            phases_in_window.append(phase)

    def arm():
        window[0] = True

    def disarm():
        window[0] = False

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        collapse = call("collapse", _kesp.collapse, [[[i], (i,)] for i in range(50)])
        outcome, _ = under_failing(collapse, arm, disarm)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert outcome[0] == "value" and len(outcome[1]) == 100
    assert phases_in_window == []
    assert gc.isenabled()


@pytest.mark.parametrize("nomemory_call", NOMEMORY_CALLS, ids=lambda c: c.id)
def test_allocation_failure_sweep(nomemory_call):
    expected = call_outcome(nomemory_call)
    panic_exception_type()  # made once per process, not inside the sweep
    # One failing allocation at each position, then every allocation from a
    # position on; the second ends once the call gets through.
    for start in range(400):
        outcome = under_nomemory(nomemory_call, start, start + 1)
        assert outcome == MEMORY or same_outcome(outcome, expected), (start, outcome, expected)
    passes = 0
    for start in range(400):
        outcome = under_nomemory(nomemory_call, start, 0)
        assert outcome == MEMORY or same_outcome(outcome, expected), (start, outcome, expected)
        passes = passes + 1 if outcome != MEMORY else 0
        if passes == 3:
            break
    else:
        pytest.fail("the call never got through with allocations failing from some point on")


# The module's C++ allocations go through operator new, which never fails
# under set_nomemory.  libkesp_failing_new.so (tests/failing_new.cpp, built
# by tools/check next to the module) replaces every form of operator new and
# makes chosen calls of it fail; it works only when preloaded, so the sweep
# runs in a child interpreter started with it in LD_PRELOAD.  For each call
# of the table the child counts the operator new calls the call makes, fails
# each of them alone, then every one from each position on, and reports each
# outcome that is neither the call's outcome with enough memory nor
# MemoryError.  The parent's leak hunter cannot see into the child, so on the
# debug interpreter the child repeats each call's sweep and judges the
# reference and memory-block totals by the leak hunter's own rule.

FAILING_NEW_SWEEP = textwrap.dedent(
    """
    import ctypes, functools, json, sys

    import test_reliability as tests
    from hostile import panic_exception_type

    library = ctypes.CDLL(sys.argv[1])
    library.kesp_failing_new_arm.argtypes = [ctypes.c_long, ctypes.c_long]
    library.kesp_failing_new_disarm.restype = ctypes.c_long
    NEVER = 1 << 40

    def under_failing_new(call, start, stop):
        arm = functools.partial(library.kesp_failing_new_arm, start, stop)
        return tests.under_failing(call, arm, library.kesp_failing_new_disarm)

    def sweep(call, report):
        problems = report.setdefault("problems", [])

        def judge(where, outcome):
            problem = (where, repr(outcome), repr(expected))
            if not tests.same_outcome(outcome, expected) and problem not in problems:
                problems.append(problem)

        expected = tests.call_outcome(call)
        outcome, report["news"] = under_failing_new(call, NEVER, 0)
        judge((None, None), outcome)
        count = report["news"]
        positions = [(start, start + 1) for start in range(count)]
        positions += [(start, 0) for start in range(count + 1)]
        for start, stop in positions:
            outcome, _ = under_failing_new(call, start, stop)
            if outcome != tests.MEMORY:
                judge((start, stop), outcome)

    panic_exception_type()  # made once per process, not inside a sweep
    for call in tests.NOMEMORY_CALLS:
        print(json.dumps({"id": call.id, "started": True}), flush=True)
        report = {"id": call.id}
        if hasattr(sys, "gettotalrefcount"):
            from conftest import leak_faults
            report["leaks"] = leak_faults(lambda: sweep(call, report), 3, 3)
        else:
            sweep(call, report)
        print(json.dumps(report), flush=True)
    """
)


def failing_library():
    """The path of libkesp_failing_new.so, and the environment of a child
    interpreter that preloads it and finds the tests' modules."""
    build = os.environ.get("KESP_EXPECT_BUILD")
    if not build:
        pytest.skip("needs the build of tools/check (KESP_EXPECT_BUILD)")
    library = os.path.join(build, "libkesp_failing_new.so")
    assert os.path.exists(library), "tools/check builds it with -DKESP_TEST_SUPPORT=ON"
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([tests_dir, env.get("PYTHONPATH", "")])
    # First in the lookup order, before a sanitizer runtime, whose operator
    # new and mmap it forwards to; the runtime then is not the first library
    # loaded, which it would otherwise refuse.
    env["LD_PRELOAD"] = " ".join([library, env.get("LD_PRELOAD", "")]).strip()
    if "libasan" in env["LD_PRELOAD"]:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return library, env


@pytest.fixture(scope="module")
def failing_new_sweep(tmp_path_factory):
    """The child's report for each call id, and the child's end."""
    library, env = failing_library()
    script = tmp_path_factory.mktemp("failing_new") / "sweep.py"
    script.write_text(FAILING_NEW_SWEEP)
    run = subprocess.run([sys.executable, str(script), library], capture_output=True, text=True,
                         env=env, timeout=600)
    reports = {}
    for line in run.stdout.splitlines():
        report = json.loads(line)
        reports.setdefault(report["id"], {}).update(report)
    return reports, run


@pytest.mark.no_leak_check("the child interpreter runs its own leak hunt")
@pytest.mark.parametrize("nomemory_call", NOMEMORY_CALLS, ids=lambda c: c.id)
def test_operator_new_failure_sweep(nomemory_call, failing_new_sweep):
    reports, run = failing_new_sweep
    report = reports.get(nomemory_call.id, {})
    when = "while sweeping this call" if report else "before this call"
    assert "problems" in report, f"the child ended with status {run.returncode} {when}\n{run.stderr}"
    problems = []
    for (start, stop), outcome, expected in report["problems"]:
        failing = ("no call" if start is None else f"call {start}" if stop else
                   f"calls {start} to the last")
        problems.append(f"{failing} of operator new failing: {outcome}, not MemoryError or {expected}")
    assert not problems, "\n".join(problems)
    assert not report.get("leaks"), f"leak: {' and '.join(report['leaks'])} in the child's sweeps"


@pytest.mark.no_leak_check("reads the child interpreter's reports")
def test_operator_new_failure_sweep_reaches_every_function(failing_new_sweep):
    # The preloaded operator new is the one the module calls: every function
    # makes C++ allocations in some call of the table, and a sweep whose
    # count stayed 0 everywhere would have tried nothing.
    reports, run = failing_new_sweep
    assert run.returncode == 0, run.stderr
    reached = {call.make()[0].__name__ for call in NOMEMORY_CALLS
               if reports[call.id]["news"] > 0}
    assert reached == set(_kesp.__all__)


# A call's scratch of 2 MiB or more is a mapping of its own (mmap), advised
# MADV_HUGEPAGE.  In a child interpreter that preloads the same library, each
# mmap call a large sort makes fails in turn, then all of them: the outcome is
# the sort's own or MemoryError, and a failed sort in place leaves the list as
# it was.  The sort's result stays the same where madvise refuses huge pages,
# and where the process has them switched off (PR_SET_THP_DISABLE).

MAPPING_CHILD = textwrap.dedent(
    """
    import ctypes, json, sys

    from _kesp import multikeysort

    library = ctypes.CDLL(sys.argv[1])
    library.kesp_failing_mmap_arm.argtypes = [ctypes.c_long, ctypes.c_long]
    library.kesp_failing_mmap_disarm.restype = ctypes.c_long
    NEVER = 1 << 40

    if sys.argv[2] == "thp-off":
        PR_SET_THP_DISABLE = 41
        assert ctypes.CDLL(None, use_errno=True).prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0
    elif sys.argv[2] == "advice-refused":
        library.kesp_refuse_huge_pages(1)

    rows = [{"a": (i * 7919) % 60_013, "b": str(i % 997), "c": i % 3 or None} for i in range(60_000)]
    CASES = [  # columns, in place, the same order by sorted()
        (["a"], False, lambda r: r["a"]),
        (["-c", "b", "a"], False, lambda r: (-(r["c"] or -1), r["b"], r["a"])),
        (["b", "-a"], True, lambda r: (r["b"], -r["a"])),
    ]

    def run(columns, inplace, start, stop):
        items = list(rows)
        library.kesp_failing_mmap_arm(start, stop)
        try:
            result = multikeysort(items, columns, inplace)
            outcome = [id(r) for r in (items if inplace else result)]
        except MemoryError:
            outcome = "MemoryError"
            if inplace and [id(r) for r in items] != [id(r) for r in rows]:
                outcome = "MemoryError, and the list changed"
        finally:
            calls = library.kesp_failing_mmap_disarm()
        return outcome, calls

    report = []
    for columns, inplace, key in CASES:
        expected, calls = run(columns, inplace, NEVER, 0)
        case = {"columns": columns, "inplace": inplace, "calls": calls, "problems": []}
        if expected != [id(r) for r in sorted(rows, key=key)]:
            case["problems"].append("the sort with every mapping granted is wrong")
        if sys.argv[2] == "fail":
            for start in range(calls):
                outcome, _ = run(columns, inplace, start, start + 1)
                if outcome != expected and outcome != "MemoryError":
                    case["problems"].append(f"mmap call {start} failing: "
                                            f"{outcome if isinstance(outcome, str) else 'a wrong order'}")
            outcome, _ = run(columns, inplace, 0, 0)
            if outcome != "MemoryError":
                case["problems"].append(f"every mmap call failing: {outcome if isinstance(outcome, str) else 'no MemoryError'}")
        report.append(case)
    leaks = []
    if sys.argv[2] == "fail" and hasattr(sys, "gettotalrefcount"):
        from conftest import leak_faults
        leaks = leak_faults(lambda: [run(columns, inplace, 0, 0) for columns, inplace, _ in CASES], 3, 3)
    print(json.dumps({"cases": report, "leaks": leaks}))
    """
)


@pytest.mark.no_leak_check("the child interpreter does the calls")
@pytest.mark.parametrize("mode", ["fail", "advice-refused", "thp-off"])
def test_large_scratch_mapping_failing_refused_or_without_huge_pages(mode, tmp_path):
    library, env = failing_library()
    script = tmp_path / "mapping.py"
    script.write_text(MAPPING_CHILD)
    run = subprocess.run([sys.executable, str(script), library, mode], capture_output=True,
                         text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    for case in report["cases"]:
        assert case["calls"] >= 1, f"{case['columns']}: the sort mapped nothing"
        assert not case["problems"], case
    assert not report["leaks"], f"leak: {' and '.join(report['leaks'])} in the child's failed sorts"


# ---------------------------------------------------------------------------
# Threads
#
# Several threads call a function on shared lists while others change those
# lists.  A switch interval of a microsecond lets the interpreter change
# threads inside every piece of Python code a call runs (comparisons, truth
# tests), so the changes land in the middle of calls.  Each thread stops
# after a fixed time; the test asserts no crash, no unexpected exception and
# results of the shape the function allows.


class Slow:
    """An orderable value whose comparisons are Python code (so the
    interpreter may switch threads inside them)."""

    def __init__(self, value):
        self.value = value

    def _v(self, other):
        return other.value if isinstance(other, Slow) else other

    def __lt__(self, other):
        return self.value < self._v(other)

    def __gt__(self, other):
        return self.value > self._v(other)

    def __eq__(self, other):
        return self.value == self._v(other)

    __hash__ = object.__hash__


def _dicts(rng, n):
    return [{"a": Slow(rng.randrange(10)), "b": rng.randrange(5), "c": f"t{i}"} for i in range(n)]


def _mutate_list(rng, lst, make):
    op = rng.randrange(4)
    if op == 0 and lst:
        del lst[rng.randrange(len(lst)):]
    elif op == 1:
        lst.extend(make(rng, rng.randrange(1, 8)))
    elif op == 2 and lst:
        lst[rng.randrange(len(lst))] = make(rng, 1)[0]
    else:
        lst[:] = make(rng, rng.randrange(0, 30))


@dataclass
class ThreadCase:
    id: str
    make: Callable  # (rng) -> shared state, a dict
    call: Callable  # (shared) -> result
    mutate: Callable  # (rng, shared) -> None
    check: Callable  # (result, shared) -> None (asserts)
    allowed: tuple = ()  # exception types the function may raise


def _check_list_of(kinds):
    def check(result, shared):
        assert type(result) is list
        assert all(isinstance(item, kinds) for item in result), result

    return check


def _panic_or_nothing():
    return (panic_exception_type(),)


THREAD_CASES = [
    ThreadCase(
        "parse",
        make=lambda rng: {"texts": [f"({i},{i}00.5)" for i in range(40)]},
        call=lambda sh: [_kesp.parse(t) for t in list(sh["texts"])],
        mutate=lambda rng, sh: _mutate_list(
            rng, sh["texts"], lambda r, n: [f"{r.randrange(10**6)}.{r.randrange(99)}" for _ in range(n)]
        ),
        check=lambda result, sh: all(type(x) is float for x in result) or pytest.fail(repr(result)),
    ),
    ThreadCase(
        "multikeysort",
        make=lambda rng: {"items": _dicts(rng, 30)},
        call=lambda sh: _kesp.multikeysort(sh["items"], ["a", "-b"]),
        mutate=lambda rng, sh: _mutate_list(rng, sh["items"], _dicts),
        check=_check_list_of(dict),
        # a list shortened during the extraction or the sort
        allowed=(IndexError, "panic"),
    ),
    ThreadCase(
        "multikeysort-inplace",
        make=lambda rng: {"items": _dicts(rng, 30)},
        call=lambda sh: _kesp.multikeysort(sh["items"], ["-a", "c"], True),
        mutate=lambda rng, sh: _mutate_list(rng, sh["items"], _dicts),
        check=lambda result, sh: result is None or pytest.fail(repr(result)),
        allowed=(IndexError, "panic"),
    ),
    ThreadCase(
        "same_order",
        make=lambda rng: {"ref": [Slow(i) for i in range(10)], "comp": [Slow(i) for i in range(30)]},
        call=lambda sh: _kesp.same_order(sh["ref"], sh["comp"]),
        mutate=lambda rng, sh: _mutate_list(
            rng, sh[rng.choice(["ref", "comp"])], lambda r, n: [Slow(r.randrange(30)) for _ in range(n)]
        ),
        check=lambda result, sh: type(result) is bool or pytest.fail(repr(result)),
        allowed=(IndexError,),
    ),
    ThreadCase(
        "backfill",
        make=lambda rng: {"values": [None if i % 3 else Slow(i) for i in range(40)]},
        call=lambda sh: _kesp.backfill(sh["values"]),
        mutate=lambda rng, sh: _mutate_list(
            rng, sh["values"], lambda r, n: [r.choice([None, Slow(r.randrange(9))]) for _ in range(n)]
        ),
        check=_check_list_of((Slow, type(None))),
    ),
    ThreadCase(
        "backfill_iterdict",
        make=lambda rng: {"rows": [{"a": None, "b": i} for i in range(30)]},
        call=lambda sh: _kesp.backfill_iterdict(sh["rows"]),
        mutate=lambda rng, sh: _mutate_list(
            rng, sh["rows"], lambda r, n: [{"a": r.choice([None, 1]), "b": None} for _ in range(n)]
        ),
        check=_check_list_of(dict),
    ),
    ThreadCase(
        "collapse",
        make=lambda rng: {"nested": [[i, (i, [i])] for i in range(20)]},
        call=lambda sh: _kesp.collapse(sh["nested"], tuple(sh["nested"])),
        mutate=lambda rng, sh: _mutate_list(
            rng, sh["nested"], lambda r, n: [[r.randrange(9), ([r.randrange(9)],)] for _ in range(n)]
        ),
        check=_check_list_of(int),
    ),
    ThreadCase(
        "text",
        make=lambda rng: {"texts": [f"someCamel{i}_case \u00bd" for i in range(20)]},
        call=lambda sh: [
            (_kesp.uncamel(t), _kesp.underscore_to_camelcase(t), _kesp.sanitize_vulgar_string(t))
            for t in list(sh["texts"])
        ],
        mutate=lambda rng, sh: _mutate_list(
            rng, sh["texts"], lambda r, n: [f"x{r.randrange(99)}Y_z \u00be" for _ in range(n)]
        ),
        check=lambda result, sh: all(type(s) is str for triple in result for s in triple)
        or pytest.fail(repr(result)),
    ),
]

CALLERS, MUTATORS, SECONDS = 4, 2, 0.4


@pytest.mark.parametrize("case", THREAD_CASES, ids=lambda c: c.id)
def test_threads_share_and_mutate(case, capfd):
    shared = case.make(random.Random(7))
    call_outcome(lambda: case.call(shared))
    panic = panic_exception_type()
    allowed = tuple(panic if kind == "panic" else kind for kind in case.allowed)
    capfd.readouterr()
    barrier = threading.Barrier(CALLERS + MUTATORS)
    failures = []
    panics = []  # the texts of the internal failures the callers met
    calls = [0]
    deadline = [0.0]

    def caller():
        barrier.wait()
        while time.monotonic() < deadline[0]:
            try:
                result = case.call(shared)
            except allowed as e:
                if type(e) is panic:
                    panics.append(str(e))
                continue
            except BaseException as e:  # reported by the main thread
                failures.append(e)
                return
            try:
                case.check(result, shared)
            except BaseException as e:
                failures.append(e)
                return
            calls[0] += 1

    def mutator(seed):
        rng = random.Random(seed)
        barrier.wait()
        while time.monotonic() < deadline[0]:
            try:
                case.mutate(rng, shared)
            except (IndexError, ValueError):
                pass  # the other mutator changed the list between two steps

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        deadline[0] = time.monotonic() + SECONDS
        threads = [threading.Thread(target=caller) for _ in range(CALLERS)]
        threads += [threading.Thread(target=mutator, args=(seed,)) for seed in range(MUTATORS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        assert not any(t.is_alive() for t in threads), "a thread did not finish"
    finally:
        sys.setswitchinterval(old_interval)
    if failures:
        raise failures[0]
    assert calls[0] > 0
    # Each internal failure was reported once on file descriptor 2, with its
    # text and the name of its thread (an OS name of at most 15 bytes from
    # Python 3.14 on, none before).
    reports = FAILURE_REPORT.findall(capfd.readouterr().err)
    assert sorted(text for *_, text in reports) == sorted(panics)
    names = {"<unnamed>"} | {t.name.encode()[:15].decode() for t in threads}
    assert {thread for thread, *_ in reports} <= names


# ---------------------------------------------------------------------------
# Hostile arguments to parse and the frame


class HostileStr(str):
    """A str whose every Python-level method raises: parse reads the text the
    object stores and never calls into it."""


for _name in ("__str__", "__repr__", "__eq__", "__hash__", "__len__", "__iter__",
              "__getitem__", "__index__", "__float__", "__bool__", "__format__"):
    setattr(HostileStr, _name, lambda self, *args, _n=_name: (_ for _ in ()).throw(BaseBoom(_n)))
del _name


@pytest.mark.parametrize(
    ("text", "expected"), [("1,200m", 1200), ("$(1,234.50)", -1234.5), ("abc", None), ("", None)]
)
def test_parse_never_calls_into_a_str_subclass(text, expected):
    s = HostileStr(text)
    before = references(s)
    assert _kesp.parse(s) == expected
    assert _kesp.parse(s=s) == expected
    assert references(s) == before
    assert str.__str__(s) == text


@pytest.mark.parametrize(
    "argument",
    [
        raising(Boom("x")),
        raising(BaseBoom("x")),
        panicking(),
        RandomOrder(3),
        Mutating(5, lambda: None),
        [Mutating(1, lambda: None)],
    ],
    ids=["raising", "base-raising", "panicking", "random", "mutating", "list"],
)
def test_parse_rejects_any_other_object_without_calling_it(argument):
    before = references(argument)
    layout = shape(argument)
    with pytest.raises(TypeError) as info:
        _kesp.parse(argument)
    assert type(info.value) is TypeError
    name = type(argument).__qualname__
    assert str(info.value) == f"argument 's': '{name}' object cannot be converted to 'PyString'"
    assert references(argument) == before
    assert shape(argument) == layout


def test_conversion_message_for_an_unencodable_type_name():
    cls = type("Plain", (), {})
    cls.__qualname__ = "Bad\ud800Name"
    with pytest.raises(TypeError) as info:
        _kesp.parse(cls())
    assert str(info.value) == (
        "argument 's': '<failed to extract type name>' object cannot be converted to 'PyString'"
    )
    assert _kesp.parse("5") == 5  # nothing was left pending


class Keyword(str):
    """A keyword name of a str subclass: the interpreter passes it as it is."""

    def __str__(self):
        raise self.error.with_traceback(None)


@contextlib.contextmanager
def unraisable_reports():
    """The (exception type, object) of every report to sys.unraisablehook
    made in the block.  (Installed by hand: pytest's own hook would turn a
    report into a warning, which filterwarnings makes an error.)"""
    reports = []
    saved = sys.unraisablehook
    sys.unraisablehook = lambda u: reports.append((u.exc_type, u.object))
    try:
        yield reports
    finally:
        sys.unraisablehook = saved


UNPRINTABLE_KEYWORD = "<unprintable Keyword object>"

# (call with the keyword name, expected message or value, whether the
# message shows the name as str() gives it)
KEYWORD_NAME_CALLS = [
    (lambda k: _kesp.parse(**{k("bad"): "12"}),
     f"parse() got an unexpected keyword argument '{UNPRINTABLE_KEYWORD}'", True),
    (lambda k: _kesp.collapse(1, **{k("args"): 2}),
     f"collapse() got an unexpected keyword argument '{UNPRINTABLE_KEYWORD}'", True),
    (lambda k: _kesp.same_order(comp=[1], **{k("comp2"): 2}),
     f"same_order() got an unexpected keyword argument '{UNPRINTABLE_KEYWORD}'", True),
    # a name that matches a parameter is shown as the parameter's name
    (lambda k: _kesp.parse("1", **{k("s"): "2"}), "parse() got multiple values for argument 's'",
     False),
    (lambda k: _kesp.multikeysort(**{k("columns"): ["a"]}),
     "multikeysort() missing 1 required positional argument: 'items'", False),
    (lambda k: _kesp.parse(**{k("s"): "12"}), 12, False),
]


@pytest.mark.parametrize("error", [Boom("k"), BaseBoom("k"), KeyboardInterrupt()],
                         ids=["exception", "base-exception", "keyboard-interrupt"])
@pytest.mark.parametrize(("call", "expected", "shows_str"), KEYWORD_NAME_CALLS,
                         ids=["unexpected", "unexpected-varargs", "unexpected-after-match",
                              "multiple-values", "missing", "matched"])
def test_keyword_name_whose_str_raises(call, expected, shows_str, error):
    # The name reads as an object whose str() raised does in any message of
    # the module; the exception is reported as unraisable, never dropped.
    Keyword.error = error
    names = []

    def make(text):
        names.append(Keyword(text))
        return names[-1]

    with unraisable_reports() as reports:
        outcome = call_outcome(lambda: call(make))
    if isinstance(expected, str):
        assert outcome == ("raised", TypeError, (expected,))
    else:
        assert outcome == ("value", expected)
    assert reports == ([(type(error), names[-1])] if shows_str else [])
    assert _kesp.parse("5") == 5  # nothing was left pending


@pytest.mark.parametrize(
    "call",
    [lambda k: _kesp.parse(**{k("bad"): "12"}), lambda k: _kesp.collapse(**{k("x"): 1})],
    ids=["parse", "collapse"],
)
def test_panic_from_a_keyword_names_str_is_not_swallowed(call, capfd):
    cls = panic_exception_type()

    class PanickingKeyword(str):
        def __str__(self):
            raise cls("from __str__")

    with unraisable_reports() as reports, pytest.raises(cls) as info:
        call(PanickingKeyword)
    assert type(info.value) is cls
    assert info.value.args == ("from __str__",)
    assert reports == []
    assert "PyO3 is resuming a panic" in capfd.readouterr().err


# Callers' code that raises inside calls of the other functions.  Every
# exception is passed on as it is, except that an exception of exactly
# pyo3_runtime.PanicException comes back as a new one with its text, and
# multikeysort's comparisons count a raising pair as equal.  The arguments
# are left as they were, holding the same objects with the same counts.

PANIC = "panic"  # stands for pyo3_runtime.PanicException("raised by the caller's code")


def _rows(*values):
    return [{"a": v, "n": i} for i, v in enumerate(values)]


HOSTILE_CALLS = [
    ("same_order-raising", lambda: (_kesp.same_order, [raising(Boom("cmp"))], [1, 2]), Boom),
    ("same_order-base-raising", lambda: (_kesp.same_order, [1], [raising(BaseBoom("cmp"))]), BaseBoom),
    ("same_order-panicking", lambda: (_kesp.same_order, [panicking()], [1, 2]), PANIC),
    ("multikeysort-panicking", lambda: (_kesp.multikeysort, _rows(panicking(), panicking()), ["a"]),
     PANIC),
    ("multikeysort-raising", lambda: (_kesp.multikeysort, _rows(raising(Boom("x")), 1, "s"), ["a"]),
     list),
    ("multikeysort-random", lambda: (_kesp.multikeysort, _rows(*map(RandomOrder, range(40))), ["-a"]),
     list),
]


@pytest.mark.parametrize(("make", "expected"), [c[1:] for c in HOSTILE_CALLS],
                         ids=[c[0] for c in HOSTILE_CALLS])
def test_callers_code_raising_inside_calls(make, expected, capfd):
    function, *args = make()
    call_outcome(lambda: function(*make()[1:]))
    capfd.readouterr()
    layout = shape(args)
    before = references(*args)
    if expected is list:
        result = function(*args)
        # every row exactly once, whatever the comparisons answered
        assert sorted(map(id, result)) == sorted(map(id, args[0]))
    else:
        cls = panic_exception_type() if expected is PANIC else expected
        with pytest.raises(cls) as info:
            function(*args)
        assert type(info.value) is cls
        if expected is PANIC:
            assert info.value.args == ("raised by the caller's code",)
            assert "PyO3 is resuming a panic" in capfd.readouterr().err
    assert shape(args) == layout
    assert references(*args) == before


# ---------------------------------------------------------------------------
# The two soundness runs can fail
#
# Each run proves something only while its machinery works; these tests
# show, on every run, that a leak fails the leak hunter and that an
# out-of-bounds read stops the sanitized interpreter.

LEAKY_TESTS = textwrap.dedent(
    """
    KEPT = []

    def test_keeps_an_object_per_round():
        KEPT.append(object())

    def test_keeps_nothing():
        made = [object() for _ in range(10)]
        assert len(made) == 10
    """
)


@pytest.mark.no_leak_check("runs its own leak hunt")
@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_leak_hunter_reports_a_leak(tmp_path):
    (tmp_path / "test_leaky.py").write_text(LEAKY_TESTS)
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([tests_dir, os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "conftest", "--leaks", "-q", "-p", "no:cacheprovider",
         "test_leaky.py"],
        cwd=tmp_path, capture_output=True, text=True, env=env, timeout=120,
    )
    assert run.returncode == 1, run.stdout + run.stderr
    assert (
        "FAILED test_leaky.py::test_keeps_an_object_per_round - Failed: leak: references grew by "
        "[1, 1, 1] and memory blocks grew by [1, 1, 1] in the last 3 rounds"
    ) in run.stdout
    assert "1 failed, 1 passed" in run.stdout


@pytest.mark.no_leak_check("runs a fresh interpreter")
@pytest.mark.skipif("libasan" not in os.environ.get("LD_PRELOAD", ""), reason="needs the ASan run")
def test_sanitizer_stops_an_out_of_bounds_read():
    source = "import ctypes; b = ctypes.create_string_buffer(8); ctypes.string_at(ctypes.addressof(b), 64)"
    run = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert run.returncode != 0
    assert "ERROR: AddressSanitizer: heap-buffer-overflow" in run.stderr
