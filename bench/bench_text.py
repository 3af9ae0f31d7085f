"""uncamel, underscore_to_camelcase and sanitize_vulgar_string against
inflection, the best pure-Python ways of doing the same jobs, and the CPython
operation each result costs at the least."""

import math
import re

import inflection
from harness import Case, compare

from _kesp import sanitize_vulgar_string, uncamel, underscore_to_camelcase

# ---------------------------------------------------------------------------
# Case conversion

_word_boundary = re.compile(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])")


def py_uncamel(s):
    """ASCII only: one regex for the word boundaries, then lower()."""
    return _word_boundary.sub("_", s).lower()


def py_underscore_to_camelcase(s):
    """ASCII only: split on '_', drop empty parts, capitalise all but the first."""
    parts = [p for p in s.split("_") if p]
    if not parts:
        return ""
    return parts[0].lower() + "".join(p.capitalize() for p in parts[1:])


CAMEL = ["getHTTPResponseCode", "parseXMLDocumentFromRemoteURLWithRetry2"]
SNAKE = ["http_response_code", "parse_xml_document_from_remote_url_retry"]
WORDS = "the quick brown fox jumps over the lazy dog and keeps running far away".split()


def one_kilobyte(join_word):
    text, i = [], 0
    while sum(map(len, text)) < 1024:
        text.append(join_word(WORDS[i % len(WORDS)], i))
        i += 1
    return " ".join(text)[:1024]


CAMEL_TEXT = one_kilobyte(lambda w, i: w.capitalize() + "Of" + WORDS[(i + 3) % len(WORDS)])
SNAKE_TEXT = one_kilobyte(lambda w, i: w + "_of_" + WORDS[(i + 3) % len(WORDS)])

for text in CAMEL + [CAMEL_TEXT]:
    assert uncamel(text) == py_uncamel(text), text
    label = f"{len(text)} characters" if len(text) > 100 else repr(text)
    compare(
        f"uncamel({label})",
        [
            Case("_kesp.uncamel", lambda: uncamel(text)),
            Case("inflection.underscore", lambda: inflection.underscore(text)),
            Case("pure Python: one re.sub, then lower()", lambda: py_uncamel(text)),
            Case("limit: str.lower()", lambda: text.lower()),
        ],
        goals=[
            ("inflection.underscore", lambda r: r >= 20, "at least 20x faster than inflection"),
        ]
        + ([("limit: str.lower()", lambda r: r >= 0.5, "within 2x of str.lower()")]
           if len(text) <= 40 else []),
    )

for text in SNAKE + [SNAKE_TEXT]:
    assert underscore_to_camelcase(text) == py_underscore_to_camelcase(text), text
    label = f"{len(text)} characters" if len(text) > 100 else repr(text)
    compare(
        f"underscore_to_camelcase({label})",
        [
            Case("_kesp.underscore_to_camelcase", lambda: underscore_to_camelcase(text)),
            Case("inflection.camelize(s, False)", lambda: inflection.camelize(text, False)),
            Case("pure Python: split, capitalize, join", lambda: py_underscore_to_camelcase(text)),
            Case("limit: str.lower()", lambda: text.lower()),
        ],
        goals=[
            ("inflection.camelize(s, False)", lambda r: r >= 20,
             "at least 20x faster than inflection"),
        ]
        + ([("limit: str.lower()", lambda r: r >= 0.5, "within 2x of str.lower()")]
           if len(text) <= 40 else []),
    )

# ---------------------------------------------------------------------------
# Vulgar fractions

FRACTIONS = {
    "¼": 1 / 4, "½": 1 / 2, "¾": 3 / 4, "⅓": 1 / 3, "⅔": 2 / 3, "⅕": 1 / 5, "⅖": 2 / 5,
    "⅗": 3 / 5, "⅘": 4 / 5, "⅙": 1 / 6, "⅚": 5 / 6, "⅛": 1 / 8, "⅜": 3 / 8, "⅝": 5 / 8,
    "⅞": 7 / 8,
}
_fraction = re.compile(r"(\d*)\s*([" + "".join(FRACTIONS) + "])")


def _decimal(x):
    p = x * 1000000.0
    if math.isinf(p):
        return "inf"
    r = math.floor(p)
    if p - r >= 0.5:
        r += 1
    return f"{r / 1000000.0:.6f}".rstrip("0").rstrip(".")


def _replace(match):
    whole = match.group(1)
    value = FRACTIONS[match.group(2)]
    if whole:
        return _decimal((float(whole) if whole.isascii() else 0.0) + value)
    return (" " if match.start() else "") + _decimal(value)


def py_sanitize(s):
    """No fraction is ASCII; otherwise one re.sub with a replacement function."""
    if s.isascii():
        return s
    return _fraction.sub(_replace, s)


def line(fill, fractions):
    base = "Whisk 2½ cups of flour into ¾ cup of warm milk; " if fractions else (
        "Whisk 2 cups of flour into one cup of warm milk; ")
    text = base
    while len(text) < 200:
        text += fill
    return text[:200]


LINES = [
    ("200 characters, two fractions", line("then fold in the butter and rest. ", True)),
    ("200 characters, no fraction, ASCII", line("then fold in the butter and rest. ", False)),
    ("200 characters, no fraction, not ASCII", line("then fold in the crème fraîche. ", False)),
]

for title, text in LINES:
    assert sanitize_vulgar_string(text) == py_sanitize(text), title
    fractions = any(c in FRACTIONS for c in text)
    compare(
        f"sanitize_vulgar_string, {title}",
        [
            Case("_kesp.sanitize_vulgar_string", lambda: sanitize_vulgar_string(text)),
            Case("pure Python: isascii(), then re.sub", lambda: py_sanitize(text)),
            Case("limit: s[:-1] (a str copy)", lambda: text[:-1]),
        ],
        goals=[("pure Python: isascii(), then re.sub", lambda r: r >= 5,
                "at least 5x faster than pure Python")]
        if fractions
        else [("limit: s[:-1] (a str copy)", lambda r: r >= 0.5, "within 2x of a str copy")],
    )
