"""A small timing harness: every benchmark in bench/ prints, in one run, the
time per call of the module's function next to the best pure-Python way of
doing the same job and the cheapest CPython operation that must be done
anyway, as ratios.

    from harness import Case, compare
    compare("parse, short text", [
        Case("_kesp.parse", lambda: parse("1,200m")),
        Case("pure Python", lambda: py_parse("1,200m")),
        Case("limit: int('1200')", lambda: int("1200")),
    ])
"""

import gc
import timeit
from dataclasses import dataclass
from typing import Callable


@dataclass
class Case:
    label: str
    call: Callable[[], object]


def seconds_per_call(calls, repeat=7, min_time=0.2):
    """The best time per call of each of `calls`.  The repeats take turns, one
    batch of each call in a round, so that a machine that speeds up or slows
    down during the run moves every call's time alike and not their ratios."""
    timers = [timeit.Timer(call) for call in calls]
    numbers = [max(1, int(timer.autorange()[0] * min_time / 0.2)) for timer in timers]
    best = [float("inf")] * len(calls)
    gc.collect()
    for _ in range(repeat):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def _unit(seconds):
    for scale, name in ((1e-9, "ns"), (1e-6, "us"), (1e-3, "ms")):
        if seconds < scale * 1000:
            return f"{seconds / scale:8.1f} {name}"
    return f"{seconds:8.2f} s "


def compare(title, cases, goals=()):
    """Times every case; the first is the module's.  Prints each time and its
    ratio to the first.  `goals` are (label, predicate on ratio, text) rows
    printed as met or missed; returns the dict of times."""
    times = dict(zip((case.label for case in cases), seconds_per_call([case.call for case in cases])))
    ours = times[cases[0].label]
    print(f"\n{title}")
    for case in cases:
        t = times[case.label]
        ratio = t / ours
        print(f"  {case.label:<48} {_unit(t)}   {ratio:6.2f}x the time of {cases[0].label}")
    for label, ok, text in goals:
        ratio = times[label] / ours
        print(f"  goal: {text}: {'met' if ok(ratio) else 'MISSED'} ({ratio:.2f})")
    return times
