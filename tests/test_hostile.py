"""The shared hostile objects behave as their tests assume."""

import pytest

from hostile import BaseBoom, Boom, Mutating, panic_exception_type, raising


def test_panic_exception_class():
    cls = panic_exception_type()
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n")
    assert panic_exception_type() is cls  # made once


@pytest.mark.parametrize("exc", [Boom("x"), BaseBoom("x"), KeyboardInterrupt()])
def test_raising_object(exc):
    obj = raising(exc)
    with pytest.raises(type(exc)):
        obj < 1
    with pytest.raises(type(exc)):
        bool(obj)


def test_mutating_object_acts_once():
    seen = []
    m = Mutating(3, lambda: seen.append(1))
    assert m < 4 and m == 3 and not seen[1:]
