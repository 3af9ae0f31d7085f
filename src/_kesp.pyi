# Types of the _kesp extension module, installed next to it.  The parameter
# names and defaults are those of the functions' __text_signature__; every
# parameter may be passed by keyword except collapse's.  CI checks this file
# against the built module with mypy's stubtest.

from typing import Any, Literal, TypeVar, overload

__all__ = [
    "parse",
    "multikeysort",
    "sanitize_vulgar_string",
    "uncamel",
    "underscore_to_camelcase",
    "collapse",
    "backfill",
    "backfill_iterdict",
    "same_order",
]

_T = TypeVar("_T")
_V = TypeVar("_V")

def parse(s: str) -> int | float | None: ...

# `columns` may be any object: a str is one column, a list or other sequence
# of str is several (a leading '-' sorts that column in descending order), and
# anything else sorts by nothing.  `inplace` is a bool or one of numpy's bools.
# The result is a new list, or None after sorting `items` in place.
@overload
def multikeysort(items: list[_T], columns: object, inplace: Literal[False] = False) -> list[_T]: ...
@overload
def multikeysort(items: list[_T], columns: object, inplace: Literal[True]) -> None: ...
@overload
def multikeysort(items: list[_T], columns: object, inplace: bool = False) -> list[_T] | None: ...
def sanitize_vulgar_string(s: str) -> str: ...
def uncamel(camel: str) -> str: ...
def underscore_to_camelcase(s: str) -> str: ...

# The leaves of any lists and tuples among the arguments, in order.
def collapse(*args: object) -> list[Any]: ...

# A new list, or `values` itself when it holds nothing but None.
def backfill(values: list[_T]) -> list[_T]: ...

# New dicts with exact str keys, holding the caller's values.
def backfill_iterdict(iterdict: list[dict[str, _V]]) -> list[dict[str, _V]]: ...
def same_order(ref_list: list[Any], comp: list[Any]) -> bool: ...
