"""Objects that misbehave on purpose, shared by the tests of every function.

The functions call back into Python (comparisons, truth tests, lookups,
__index__, __float__); these objects raise from those calls, answer at
random, or change the very list or dict the call is reading.
"""

import random
import re
import sys

import _kesp


class Boom(Exception):
    """An ordinary exception raised by a hostile method."""


class BaseBoom(BaseException):
    """A BaseException subclass, which error handling must not swallow either."""


def panic_exception_type():
    """The class pyo3_runtime.PanicException.

    The module makes it the first time it looks at a pending exception, so one
    failed call is enough to bring it into being.
    """
    try:
        _kesp.parse("\ud800")
    except UnicodeEncodeError:
        pass
    for cls in BaseException.__subclasses__():
        if cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException":
            return cls
    raise AssertionError("pyo3_runtime.PanicException was not created")


# What the module writes straight to file descriptor 2 (not through
# sys.stderr): the report of an internal failure, and the two lines before the
# traceback of a PanicException from the caller's code that it raises again.
# A test that provokes either reads it with the capfd fixture.
FAILURE_REPORT = re.compile(
    r"_kesp: internal failure in thread '([^'\n]+)' at (src/\w+\.cpp):(\d+):(\d+):\n(.*)\n"
    r"_kesp: .*backtrace.*\n"
)
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
RESUMING_LINES = RESUMING + "\nPython stack trace below:\n"


SPECIAL_METHODS = ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__bool__",
                   "__index__", "__float__", "__getitem__", "__hash__", "__len__")


def raising(exc, *methods, base=object):
    """An instance whose given special methods (all of them by default) raise
    `exc`, an exception instance or a zero-argument callable making one."""
    make = exc if callable(exc) and not isinstance(exc, BaseException) else (lambda: exc)

    def method(self, *args):
        # A shared exception instance would collect one traceback entry per
        # raise, which the leak hunter would rightly count.
        raise make().with_traceback(None)

    names = methods or SPECIAL_METHODS
    namespace = {name: method for name in names}
    if "__hash__" not in names:
        namespace["__hash__"] = object.__hash__
    return type("Raising", (base,), namespace)()


class RandomOrder:
    """Compares at random: not a strict weak ordering, not even consistent."""

    rng = random.Random(1234)

    def __init__(self, value=0):
        self.value = value

    def _coin(self, other):
        return self.rng.random() < 0.5

    __lt__ = __gt__ = __le__ = __ge__ = __eq__ = __ne__ = _coin
    __hash__ = object.__hash__

    def __bool__(self):
        return self.rng.random() < 0.5

    def __index__(self):
        return self.rng.choice((0, -1, 1, 2**63 - 1, -(2**63), 2**64, -(2**70)))

    def __float__(self):
        return self.rng.choice((0.0, -0.0, 1.5, float("inf"), float("-inf"), float("nan")))

    def __repr__(self):
        return f"RandomOrder({self.value})"


class Mutating:
    """Runs `action` (for example `lst.clear`) the first `times` times one of
    its comparisons, its truth test or its lookups is called, then answers
    like `value` would."""

    def __init__(self, value, action, times=1):
        self.value = value
        self.action = action
        self.times = times

    def _act(self):
        if self.times > 0:
            self.times -= 1
            self.action()

    def _compare(op):
        def method(self, other):
            self._act()
            other = other.value if isinstance(other, Mutating) else other
            return getattr(self.value, op)(other)

        return method

    __eq__ = _compare("__eq__")
    __ne__ = _compare("__ne__")
    __lt__ = _compare("__lt__")
    __le__ = _compare("__le__")
    __gt__ = _compare("__gt__")
    __ge__ = _compare("__ge__")
    del _compare
    __hash__ = object.__hash__

    def __bool__(self):
        self._act()
        return bool(self.value)

    def __repr__(self):
        return f"Mutating({self.value!r})"


class MutatingDict(dict):
    """A dict whose item lookup runs `action` first (for list or dict changes
    during a walk)."""

    def __init__(self, *args, action=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.action = action

    def __getitem__(self, key):
        if self.action:
            action, self.action = self.action, None
            action()
        return super().__getitem__(key)


def panicking(*methods):
    """An instance whose given special methods raise exactly
    pyo3_runtime.PanicException (a fresh one each time)."""
    cls = panic_exception_type()
    return raising(lambda: cls("raised by the caller's code"), *methods)


class Actions:
    """Changes to a list or dict that a hostile method can run while a call
    is reading the container: `shrink`, `grow`, `clear` and `replace`."""

    def __init__(self, container):
        self.container = container

    def shrink(self):
        c = self.container
        if isinstance(c, dict):
            for key in list(c)[len(c) // 2 :]:
                del c[key]
        else:
            del c[len(c) // 2 :]

    def grow(self):
        c = self.container
        if isinstance(c, dict):
            c.update((f"grown{i}", i * 1000) for i in range(len(c), 2 * len(c) + 8))
        else:
            c.extend(list(c) + [object() for _ in range(8)])

    def clear(self):
        self.container.clear()

    def replace(self):
        c = self.container
        for key in list(c) if isinstance(c, dict) else range(len(c)):
            c[key] = f"replaced {key}"


def references(*objects):
    """The reference counts of the objects, to compare before and after a
    call: a call must give back every reference it took to its arguments."""
    return [sys.getrefcount(o) for o in objects]


def shape(obj):
    """What a call must leave unchanged in an argument: the identity of every
    item of every list, tuple and dict reachable from it, in order."""
    if isinstance(obj, (list, tuple)):
        return (type(obj), id(obj), [shape(item) for item in obj])
    if isinstance(obj, dict):
        return (type(obj), id(obj), [(id(k), shape(v)) for k, v in obj.items()])
    return id(obj)


class OnRelease:
    """Runs `action` from its finalizer, when its last reference is given back.
    `truth` is what its truth test answers."""

    def __init__(self, action, truth=False):
        self.action = action
        self.truth = truth

    def __bool__(self):
        return self.truth

    def __del__(self):
        self.action()
