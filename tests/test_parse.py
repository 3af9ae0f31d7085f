"""parse(s): number extraction from text written for people."""

import math
import struct

import pytest
from hypothesis import given, strategies as st

import _kesp
from _kesp import parse


# Halfway between the largest double and 2**1024, and the exact decimal
# expansion of half the smallest subnormal (2**-1075).
DBL_MAX = (2**53 - 1) * 2.0**971
DBL_MAX_HALFWAY = (2**53 - 1) * 2**971 + 2**970
TINY_HALFWAY = "0." + str(5**1075).rjust(1075, "0")


def same(a, b):
    """Equal in type and value, telling -0.0 from 0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


@pytest.mark.parametrize(
    ("s", "expected"),
    [
        ('1,200m', 1200),
        ('100.0', 100.0),
        ('(1)', -1),
        ('$1,234.50', 1234.5),
        ('$(1,234.50)', -1234.5),
        ('USD -1,234', -1234),
        ('50%', 50),
        ('-12%', -12),
        ('1.5k', 1.5),
        ('12:30', 1230),
        ('10:30 AM', 1030),
        ('1/2', 12),
        ('8.5/10', 8.51),
        ('1,5', 15),
        ('1e5', 15),
        ('1.5e3', 1.53),
        ('1e-5', None),
        ('0x1F', 1),
        ('+5', 5),
        ('(+5)', -5),
        ('-5', -5),
        ('- 5', -5),
        ('( 5 )', -5),
        ('(5)%', -5),
        ('5-', None),
        ('1-2', None),
        ('2024-01-05', None),
        ('--5', None),
        ('-(5)', None),
        ('((5))', None),
        ('(5', None),
        ('5()', None),
        ('(-1)', None),
        ('(1.5)', -1.5),
        ('(.5)', -0.5),
        ('(5.)', -5.0),
        ('(-1.5)', None),
        ('(0)', 0),
        ('-0', 0),
        ('(0.0)', -0.0),
        ('.5', 0.5),
        ('5.', 5.0),
        ('12.30', 12.3),
        ('1.2.3', None),
        ('1.5-2', None),
        ('.', None),
        ('(.)', None),
        ('()', None),
        ('(', None),
        ('-', None),
        ('', None),
        ('  ', None),
        ('abc', None),
        ('inf', None),
        ('-inf', None),
        ('\u00bd', None),
        ('3 \u00bd', 3),
        ('\u0663', None),
        ('1\u0663', 1),
        ('\uff15', None),
        ('10\u00b2', 10),
        ('\u22125', 5),
        ('1\xa0000', 1000),
        ('007', 7),
        ('9223372036854775807', 9223372036854775807),
        ('9223372036854775808', 9223372036854775807),
        ('9223372036854776832', 9223372036854775807),
        ('9223372036854776833', None),
        ('-9223372036854775808', -9223372036854775808),
        ('-9223372036854775809', -9223372036854775808),
        ('-9223372036854776832', -9223372036854775808),
        ('-9223372036854776833', None),
        ('(9223372036854775808)', -9223372036854775808),
        ('99999999999999999999', None),
        ('9007199254740993.0', 9007199254740992.0),
        # long digit runs
        ("9" * 15, 999999999999999),
        ("9" * 18, 999999999999999999),
        ("0" * 30 + "1", 1),
        ("9" * 19, None),
        ("9" * 400, None),
        ("9" * 400 + ".0", math.inf),
        ("(" + "9" * 400 + ".)", -math.inf),
        ("0." + "0" * 400 + "1", 0.0),
        ("(0." + "0" * 400 + "1)", -0.0),
        ("-0." + "0" * 400 + "1", -0.0),
        ("-" + "9" * 400 + ".5", -math.inf),
        # subnormal results stay exact
        ("0." + "0" * 320 + "1", 1e-321),
        ("0." + "0" * 323 + "5", 5e-324),
        ("0." + "0" * 323 + "2", 0.0),
        # correct rounding however many digits decide it
        ("9007199254740993." + "0" * 400, 9007199254740992.0),
        ("9007199254740993." + "0" * 400 + "1", 9007199254740994.0),
        ("9007199254740995." + "0" * 400, 9007199254740996.0),
        (str(DBL_MAX_HALFWAY - 1) + ".9" + "9" * 300, DBL_MAX),
        (str(DBL_MAX_HALFWAY) + ".0", math.inf),
        ("(" + str(DBL_MAX_HALFWAY) + ".)", -math.inf),
        (TINY_HALFWAY, 0.0),
        (TINY_HALFWAY + "1", 5e-324),
        ("(" + TINY_HALFWAY + ")", -0.0),
        ("(" + TINY_HALFWAY + "1)", -5e-324),
        ("0." + "0" * 307 + "22250738585072011", 2.2250738585072011e-308),
    ],
)
def test_parse_table(s, expected):
    result = parse(s)
    assert same(result, expected), (s, result)


def test_none_is_the_singleton():
    assert parse("x") is None
    assert parse("") is None


def test_str_subclass_uses_stored_text():
    class S(str):
        def __str__(self):
            return "999"

    assert parse(S("1,200m")) == 1200


@pytest.mark.parametrize(
    ("arg", "message"),
    [
        (5, "argument 's': 'int' object cannot be converted to 'PyString'"),
        (b"1", "argument 's': 'bytes' object cannot be converted to 'PyString'"),
        (None, "argument 's': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_wrong_type(arg, message):
    with pytest.raises(TypeError) as info:
        parse(arg)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def test_lone_surrogate_passes_through_unwrapped():
    with pytest.raises(UnicodeEncodeError) as info:
        parse("1\ud800")
    assert not str(info.value).startswith("argument")


def test_keyword_argument():
    assert parse(s="(2)") == -2


def test_long_input_without_limit():
    assert parse("1," * 100000 + "5") is None  # far beyond 64 bits
    assert parse("0" * 100000 + "42") == 42
    assert parse("x" * 1_000_000 + "7") == 7


# The float reading must be correctly rounded whatever the number of digits;
# Python's own float() is.
digits = st.text(alphabet="0123456789", min_size=1, max_size=60)


@given(digits, digits, st.booleans())
def test_float_reading_is_correctly_rounded(whole, fraction, negative):
    text = whole + "." + fraction
    expected = float(text)
    got = parse("(" + text + ")" if negative else text)
    assert same(got, -expected if negative else expected)


@given(st.integers(min_value=-(2**63), max_value=2**63 - 1))
def test_every_64_bit_integer(value):
    assert same(parse(f"{value:,}"), value)


@given(st.integers(min_value=2**63, max_value=2**80))
def test_integers_beyond_64_bits(value):
    # Only a text whose nearest double is exactly 2**63 saturates.
    expected = 2**63 - 1 if float(value) == 2.0**63 else None
    assert parse(str(value)) == expected
    assert parse("-" + str(value + 1)) == (-(2**63) if float(value + 1) == 2.0**63 else None)


def test_reading_ignores_the_process_locale():
    import locale

    saved = locale.setlocale(locale.LC_ALL)
    try:
        # A locale counts by the decimal point it gives, not by setlocale's
        # success: musl accepts every name, and its locales keep the '.'.
        accepted = []
        for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"):
            try:
                locale.setlocale(locale.LC_ALL, name)
            except locale.Error:
                continue
            if locale.localeconv()["decimal_point"] == ",":
                break
            accepted.append(name)
        else:
            pytest.skip("no installed locale has a decimal comma (by localeconv())" + (
                f": the C library accepts {', '.join(accepted)}, with '.' as the decimal point"
                if accepted else ": none of them is installed"))
        assert same(parse("1.5"), 1.5) and same(parse("(12.25)"), -12.25)
        assert same(parse("9007199254740993.0"), 9007199254740992.0)
    finally:
        locale.setlocale(locale.LC_ALL, saved)


@given(st.text(alphabet="0123456789", min_size=1, max_size=25))
def test_plain_digit_runs(text):
    # Up to 18 digits take a shortcut; longer runs take the general reading.
    value = int(text)
    expected = value if value < 2**63 else (2**63 - 1 if float(value) == 2.0**63 else None)
    assert same(parse(text), expected)
