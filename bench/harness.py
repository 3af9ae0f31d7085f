"""A small timing harness: every benchmark in bench/ prints, in one run, the
time per call of the module's function next to the best pure-Python way of
doing the same job and the cheapest CPython operation that must be done
anyway, as ratios, and next to each time the minor page faults per call
(first touches of fresh memory, which can cost more than the work itself).

    from harness import Case, compare
    compare("parse, short text", [
        Case("_kesp.parse", lambda: parse("1,200m")),
        Case("pure Python", lambda: py_parse("1,200m")),
        Case("limit: int('1200')", lambda: int("1200")),
    ])
"""

import gc
import resource
import timeit
from dataclasses import dataclass
from typing import Callable


@dataclass
class Case:
    label: str
    call: Callable[[], object]


def _faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def seconds_per_call(calls, repeat=7, min_time=0.2):
    """The best time per call of each of `calls`, and its minor page faults
    per call over every timed batch.  The repeats take turns, one batch of
    each call in a round, so that a machine that speeds up or slows down
    during the run moves every call's time alike and not their ratios."""
    timers = [timeit.Timer(call) for call in calls]
    numbers = [max(1, int(timer.autorange()[0] * min_time / 0.2)) for timer in timers]
    best = [float("inf")] * len(calls)
    faults = [0] * len(calls)
    gc.collect()
    for _ in range(repeat):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            before = _faults()
            best[i] = min(best[i], timer.timeit(number) / number)
            faults[i] += _faults() - before
    return best, [f / (repeat * number) for f, number in zip(faults, numbers)]


def _unit(seconds):
    for scale, name in ((1e-9, "ns"), (1e-6, "us"), (1e-3, "ms")):
        if seconds < scale * 1000:
            return f"{seconds / scale:8.1f} {name}"
    return f"{seconds:8.2f} s "


def compare(title, cases, goals=(), fault_goals=()):
    """Times every case; the first is the module's.  Prints each time, its
    faults per call and its ratio to the first.  `goals` are (label,
    predicate on ratio, text) rows printed as met or missed; `fault_goals`
    are (label, factor) rows, met when the first case faults at most factor
    times as often as that one.  Returns the dict of times."""
    best, faults = seconds_per_call([case.call for case in cases])
    times = dict(zip((case.label for case in cases), best))
    ours = times[cases[0].label]
    print(f"\n{title}")
    for case, f in zip(cases, faults):
        t = times[case.label]
        ratio = t / ours
        print(f"  {case.label:<48} {_unit(t)} {f:9.1f} faults   "
              f"{ratio:6.2f}x the time of {cases[0].label}")
    for label, ok, text in goals:
        ratio = times[label] / ours
        print(f"  goal: {text}: {'met' if ok(ratio) else 'MISSED'} ({ratio:.2f})")
    faults_of = dict(zip((case.label for case in cases), faults))
    for label, factor in fault_goals:
        ok = faults[0] <= factor * faults_of[label]
        print(f"  goal: at most {factor}x the faults per call of {label}: "
              f"{'met' if ok else 'MISSED'} ({faults[0]:.1f} vs {faults_of[label]:.1f})")
    return times
