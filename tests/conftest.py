import gc
import os
import sys

import pytest

import _kesp
from hostile import RESUMING


def pytest_report_header(config):
    lines = [f"_kesp: {_kesp.__file__}"]
    if config.getoption("leaks"):
        warmups, rounds = _leak_rounds(config)
        lines.append(f"leak hunt: {warmups} warm-up and {rounds} counted rounds per test")
    return lines


@pytest.fixture(scope="session", autouse=True)
def _module_is_the_build_under_test():
    # tools/check says which build it means; a stale module elsewhere on the
    # path would make every result meaningless.
    expected = os.environ.get("KESP_EXPECT_BUILD")
    if expected:
        assert os.path.dirname(os.path.realpath(_kesp.__file__)) == os.path.realpath(expected)


# ---------------------------------------------------------------------------
# Reports on file descriptor 2
#
# The module writes the report of an internal failure and the lines of a
# resumed panic straight to file descriptor 2.  A test that provokes them
# reads them with the capfd fixture and asserts on them.  One that leaves such
# lines to the run's own capture fails: the report went unchecked, and under
# --capture=sys (the leak and sanitizer runs) the same lines would go to the
# terminal, once per round of the leak hunter.  (Under --capture=sys the run
# does not capture file descriptor 2, so only the other runs can see this.)

FD2_LINES = ("_kesp: internal failure in thread ", RESUMING)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.passed:
        return
    stray = [line for line in report.capstderr.splitlines() if any(m in line for m in FD2_LINES)]
    if stray:
        report.outcome = "failed"
        report.longrepr = (
            f"the test wrote {stray[0]!r} to file descriptor 2 and did not read it "
            f"(read and check it with the capfd fixture)"
        )


# ---------------------------------------------------------------------------
# Leak hunting (--leaks, on a debug interpreter)
#
# Each test body runs WARMUPS + ROUNDS times in a row with the same fixture
# values.  After every run the garbage is collected and the internal caches
# are cleared, then the interpreter's total reference count and its count of
# allocated memory blocks are read.  A test leaks when either count grew in
# every one of the last ROUNDS runs: a single positive delta is noise (a
# cache filled, a free list emptied), growth in every round is not.  This is
# the rule of CPython's own -R leak hunter.
#
# Objects that are immortal (None, True, small ints, interned strings) have
# no visible count, so a test meant to catch a leak must hand the functions
# objects it made itself.  A test whose body cannot run twice with the same
# fixture values says so with @pytest.mark.no_leak_check("why").


def pytest_addoption(parser):
    parser.addoption(
        "--leaks",
        nargs="?",
        const="3:3",
        default=None,
        metavar="WARMUPS:ROUNDS",
        help="repeat each test body and fail it when references or memory blocks grow in every "
        "counted round (needs a debug interpreter; default 3:3)",
    )


def _leak_rounds(config):
    text = config.getoption("leaks")
    try:
        warmups, rounds = (int(part) for part in text.split(":"))
    except ValueError:
        raise pytest.UsageError(f"--leaks wants WARMUPS:ROUNDS, not {text!r}") from None
    if warmups < 1 or rounds < 1:
        raise pytest.UsageError("--leaks wants at least one warm-up and one counted round")
    return warmups, rounds


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_leak_check(reason): the test body cannot be repeated by --leaks"
    )
    config.addinivalue_line("markers", "numpy: the test imports numpy (not under --leaks)")
    if not config.getoption("leaks"):
        return
    _leak_rounds(config)
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--leaks needs a debug interpreter (sys.gettotalrefcount)")
    try:
        from hypothesis import settings
    except ImportError:
        return
    # Every round must draw the same examples, or the rounds are not alike;
    # the example database would grow from round to round as well.
    settings.register_profile(
        "leaks", derandomize=True, database=None, max_examples=25, deadline=None
    )
    settings.load_profile("leaks")


def _clear_caches():
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear()
    gc.collect()


def pytest_collection_modifyitems(config, items):
    # numpy's extension modules are built for the release interpreter: their
    # reference counting bypasses the debug interpreter's total, and once
    # numpy is imported hypothesis reseeds numpy's random state around every
    # example, so every later test would seem to leak.  The leak hunt leaves
    # numpy out; the other runs test with it.
    if not config.getoption("leaks"):
        return
    skip = pytest.mark.skip(reason="numpy unbalances the debug interpreter's reference total")
    for item in items:
        if item.get_closest_marker("numpy"):
            item.add_marker(skip)


def leak_faults(run, warmups, rounds):
    """Runs `run()` warmups + rounds times, collecting the garbage and clearing
    the caches after each; says how the reference or memory-block count grew
    when it grew in every counted round (empty when it did not)."""
    ref_deltas = [0] * rounds
    block_deltas = [0] * rounds
    refs_before = blocks_before = 0
    for i in range(warmups + rounds):
        run()
        _clear_caches()
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        if i >= warmups:
            ref_deltas[i - warmups] = refs_after - refs_before
            block_deltas[i - warmups] = blocks_after - blocks_before
        refs_before, blocks_before = refs_after, blocks_after

    faults = []
    if all(delta > 0 for delta in ref_deltas):
        faults.append(f"references grew by {ref_deltas}")
    if all(delta > 0 for delta in block_deltas):
        faults.append(f"memory blocks grew by {block_deltas}")
    return faults


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    config = pyfuncitem.config
    if not config.getoption("leaks") or pyfuncitem.get_closest_marker("no_leak_check"):
        return None
    warmups, rounds = _leak_rounds(config)
    function = pyfuncitem.obj
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    # Each round reads only what it wrote itself to a capture fixture.
    captures = [
        pyfuncitem.funcargs[name]
        for name in ("capfd", "capfdbinary", "capsys", "capsysbinary")
        if name in pyfuncitem.funcargs
    ]
    rounds_run = 0

    def run():
        nonlocal rounds_run
        if rounds_run > 0:
            for capture in captures:
                capture.readouterr()
        rounds_run += 1
        function(**arguments)

    faults = leak_faults(run, warmups, rounds)
    if faults:
        pytest.fail(f"leak: {' and '.join(faults)} in the last {rounds} rounds", pytrace=False)
    return True
