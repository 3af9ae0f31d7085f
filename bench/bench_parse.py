"""parse(s) against the best pure-Python way of doing the same job."""

import re

from harness import Case, compare

from _kesp import parse

_drop = re.compile(r"[^0-9().\-]")


def py_parse(s):
    """Keep the allowed characters, then int() or float()."""
    kept = _drop.sub("", s)
    if not kept:
        return None
    if kept[0] == "(" and kept[-1] == ")":
        kept = "-" + kept[1:-1]
    try:
        return float(kept) if "." in kept else int(kept)
    except ValueError:
        return None


for text in ["1200", "1,200m", "$(1,234.50)", "USD -1,234,567.25 per share, restated"]:
    assert parse(text) == py_parse(text), text
    compare(
        f"parse({text!r})",
        [
            Case("_kesp.parse", lambda: parse(text)),
            Case("pure Python: re.sub, then int/float", lambda: py_parse(text)),
            Case("limit: int('1200')", lambda: int("1200")),
        ],
        goals=[
            ("pure Python: re.sub, then int/float", lambda r: r >= 5, "at least 5x faster than pure Python"),
        ]
        + ([("limit: int('1200')", lambda r: r >= 1 / 1.5, "within 1.5x of int('1200') (short text)")]
           if len(text) <= 12 else []),
    )
