"""sanitize_vulgar_string(s), uncamel(camel) and underscore_to_camelcase(s).

The Unicode classes and case mappings these follow are fixed versions of the
Unicode Character Database (Nd as of 16.0, White_Space, case properties and
mappings of 17.0).  Python's own str methods and unicodedata follow the
interpreter's Unicode version and apply the final-sigma rule, so beyond ASCII
the references here are read from the UCD files themselves, which the
checkout carries in third_party/ucd/17.0.0.
"""

import math
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from _kesp import sanitize_vulgar_string, uncamel, underscore_to_camelcase

from hostile import Boom

ROOT = Path(__file__).resolve().parent.parent
UCD = ROOT / "third_party" / "ucd" / "17.0.0"
UCD_FILES = ["UnicodeData.txt", "SpecialCasing.txt", "DerivedCoreProperties.txt", "PropList.txt",
             "DerivedAge.txt"]

FRACTIONS = {
    "¼": 1 / 4, "½": 1 / 2, "¾": 3 / 4, "⅓": 1 / 3, "⅔": 2 / 3, "⅕": 1 / 5, "⅖": 2 / 5,
    "⅗": 3 / 5, "⅘": 4 / 5, "⅙": 1 / 6, "⅚": 5 / 6, "⅛": 1 / 8, "⅜": 3 / 8, "⅝": 5 / 8,
    "⅞": 7 / 8,
}


def decimal_text(x):
    """x rounded to six places as the replacement writes it: x * 10^6 rounded
    half away from zero, divided back, then the exact double to six places
    (Python's formatting is exact and breaks ties to even), zeros and point
    stripped."""
    p = x * 1000000.0
    if math.isinf(p):
        return "inf"
    r = math.floor(p)
    if p - r >= 0.5:
        r += 1
    return f"{r / 1000000.0:.6f}".rstrip("0").rstrip(".")


# ---------------------------------------------------------------------------
# Arguments


FUNCTIONS = [
    (sanitize_vulgar_string, "sanitize_vulgar_string", "s"),
    (uncamel, "uncamel", "camel"),
    (underscore_to_camelcase, "underscore_to_camelcase", "s"),
]


@pytest.mark.parametrize(("function", "name", "parameter"), FUNCTIONS)
def test_argument_errors(function, name, parameter):
    cases = [
        ((), {}, f"{name}() missing 1 required positional argument: '{parameter}'"),
        (("a", "b"), {}, f"{name}() takes 1 positional arguments but 2 were given"),
        (("a",), {parameter: "b"}, f"{name}() got multiple values for argument '{parameter}'"),
        ((), {"text": "a"}, f"{name}() got an unexpected keyword argument 'text'"),
        ((5,), {}, f"argument '{parameter}': 'int' object cannot be converted to 'PyString'"),
        ((b"a",), {}, f"argument '{parameter}': 'bytes' object cannot be converted to 'PyString'"),
        ((None,), {}, f"argument '{parameter}': 'NoneType' object cannot be converted to 'PyString'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(BaseException) as info:
            function(*args, **kwargs)
        assert type(info.value) is TypeError
        assert str(info.value) == message


@pytest.mark.parametrize(("function", "name", "parameter"), FUNCTIONS)
def test_keyword_argument(function, name, parameter):
    assert function(**{parameter: "Ab"}) == function("Ab")


@pytest.mark.parametrize(("function", "name", "parameter"), FUNCTIONS)
@pytest.mark.parametrize("text", ["\ud800", "A½_b\udfff", "½\ud83d"])
def test_lone_surrogate_raises_unicode_encode_error(function, name, parameter, text):
    with pytest.raises(BaseException) as info:
        function(text)
    assert type(info.value) is UnicodeEncodeError
    assert "argument" not in str(info.value)


class LoudStr(str):
    def __str__(self):
        raise Boom("__str__ must not be called")


@pytest.mark.parametrize(
    ("function", "text", "expected"),
    [
        (sanitize_vulgar_string, "4¾ cups", "4.75 cups"),
        (sanitize_vulgar_string, "plain", "plain"),
        (sanitize_vulgar_string, "café", "café"),
        (uncamel, "CamelCase", "camel_case"),
        (uncamel, "ÀÉe", "à_ée"),
        (underscore_to_camelcase, "foo_bar", "fooBar"),
        (underscore_to_camelcase, "a_ß", "aSS"),
    ],
)
def test_str_subclass_gives_plain_str(function, text, expected):
    result = function(LoudStr(text))
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize("text", ["abc", "café ¹", "日本語", "emoji 😀", "⅐ ⅑ ⅒ ↉", "1/2"])
def test_text_without_fraction_is_a_new_equal_str(text):
    result = sanitize_vulgar_string(text)
    assert result == text
    assert type(result) is str
    assert result is not text


# ---------------------------------------------------------------------------
# sanitize_vulgar_string


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("Foo-Bar+Baz: 17s 4¾ 1 ⅛ 20 93¾ - 94⅛", "Foo-Bar+Baz: 17s 4.75 1.125 20 93.75 - 94.125"),
        ("⅓ cup", "0.333333 cup"),
        # whitespace and blanks
        ("a½", "a 0.5"),
        ("x ½", "x 0.5"),
        ("x  ½", "x 0.5"),
        ("x\n½", "x 0.5"),
        ("(½)", "( 0.5)"),
        ("\t½", "0.5"),
        (" ½ cup", "0.5 cup"),
        ("1 ⅛", "1.125"),
        ("3\n½", "3.5"),
        (" 1½", " 1.5"),
        ("½ ", "0.5 "),
        ("4¾", "4.75"),
        ("a  ½", "a 0.5"),
        ("12\u00a0⅓", "12.333333"),
        ("12\u3000\u2028 \u0085⅓", "12.333333"),
        ("1\x1c½", "1\x1c 0.5"),
        ("1\u200b½", "1\u200b 0.5"),
        # several fractions
        ("½½", "0.5 0.5"),
        ("⅛⅜⅝⅞", "0.125 0.375 0.625 0.875"),
        ("1½2⅓", "1.52.333333"),
        ("½1½", "0.51.5"),
        ("½ ½", "0.5 0.5"),
        ("1½ 2½", "1.5 2.5"),
        # only the digits directly in front count
        ("1 2 ½", "1 2.5"),
        ("-1½", "-1.5"),
        ("1.5½", "1.5.5"),
        ("1,5½", "1,5.5"),
        ("a1½", "a1.5"),
        # characters that are not decimal digits, and ones that are
        ("²½", "² 0.5"),
        ("①½", "① 0.5"),
        ("Ⅻ½", "Ⅻ 0.5"),
        ("٣½", "0.5"),
        ("a١٢⅜", "a0.375"),
        ("１½", "0.5"),
        ("1٣½", "0.5"),
        ("\U0001e5f1½", "0.5"),  # Ol Onal digit, new in 16.0
        ("\U0001fbf9½", "0.5"),  # segmented digit nine
        ("\U00011de0½", "\U00011de0 0.5"),  # Tolong Siki digit, new in 17.0
        ("x\U00011de9 ½", "x\U00011de9 0.5"),
        # values
        ("2⅔", "2.666667"),
        ("⅚", "0.833333"),
        ("⅙", "0.166667"),
        ("0½", "0.5"),
        ("000¼", "0.25"),
        ("99999999999999999½", "99999999999999984"),
        ("9" * 400 + "½", "inf"),
        ("x " + "9" * 400 + " ½ y", "x inf y"),
        # unchanged
        ("1/2", "1/2"),
        ("⅐", "⅐"),
        ("abc", "abc"),
        ("", ""),
        ("1\u215f2", "1\u215f2"),
        ("⅐½", "⅐ 0.5"),
    ],
)
def test_sanitize_vulgar_string(text, expected):
    assert sanitize_vulgar_string(text) == expected


@pytest.mark.parametrize("fraction", list(FRACTIONS))
def test_every_fraction_alone_and_with_whole(fraction):
    value = FRACTIONS[fraction]
    assert sanitize_vulgar_string(fraction) == decimal_text(value)
    assert sanitize_vulgar_string("at " + fraction) == "at " + decimal_text(value)
    assert sanitize_vulgar_string("17" + fraction) == decimal_text(17 + value)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("1⅓", "1.333333"),
        ("17⅚", "17.833333"),
        ("93¾", "93.75"),
        ("94⅛", "94.125"),
        ("⅕⅖⅗⅘", "0.2 0.4 0.6 0.8"),
        # x * 10^6 is exactly halfway and goes away from zero
        ("3000000000⅔", "3000000000.666667"),
        # the double itself is halfway at six places and goes to even
        ("17592186044416⅗", "17592186044416.601562"),
        ("8589934592⅓", "8589934592.333334"),
        ("100000000000000000000½", "100000000000000000000"),
        ("100000000000000000⅛", "99999999999999984"),
        ("1" + "0" * 23 + "½", "99999999999999991611392"),
    ],
)
def test_decimal_rounding(text, expected):
    assert sanitize_vulgar_string(text) == expected


def test_largest_values():
    huge = 1.797693134862316e302
    assert struct.pack(">d", huge).hex() == "7eb0c6f7a0b5ed8d"
    below = math.nextafter(huge, 0.0)
    # Integer texts of exactly these doubles; the ½ does not change them.
    assert sanitize_vulgar_string(f"{int(huge)}½") == "inf"
    finite = sanitize_vulgar_string(f"{int(below)}½")
    assert finite.isdigit() and len(finite) == 303
    assert finite == decimal_text(below)
    text = sanitize_vulgar_string("1" + "0" * 302 + "⅛")
    assert len(text) == 303 and text == decimal_text(1e302)


# The model of the replacement for texts drawn from a small alphabet whose
# digit and whitespace classes are spelled out here.
MODEL_DIGITS = "0123456789\u0660\u0669\uff11\U0001e5f1\U0001d7ce"
MODEL_SPACES = " \t\n\u0085\u00a0\u2028\u3000"
MODEL_PATTERN = re.compile(
    f"([{MODEL_DIGITS}]*)[{re.escape(MODEL_SPACES)}]*([{''.join(FRACTIONS)}])"
)


def model_sanitize(text):
    def replace(match):
        whole, fraction = match.group(1), match.group(2)
        value = FRACTIONS[fraction]
        if whole:
            w = float(whole) if whole.isascii() else 0.0
            return decimal_text(w + value)
        return (" " if match.start() > 0 else "") + decimal_text(value)

    return MODEL_PATTERN.sub(replace, text)


@given(st.text(alphabet=MODEL_DIGITS + MODEL_SPACES + "ab-.²⅐\x1c" + "".join(FRACTIONS)))
def test_sanitize_matches_model(text):
    assert sanitize_vulgar_string(text) == model_sanitize(text)


# Texts made only of fractions, digits and whitespace, where every run the
# matcher reads backwards reaches the start of the text or a previous match.
@given(st.text(alphabet=MODEL_DIGITS + MODEL_SPACES + "".join(FRACTIONS), min_size=1))
def test_sanitize_runs_only_matches_model(text):
    assert sanitize_vulgar_string(text) == model_sanitize(text)


# ---------------------------------------------------------------------------
# uncamel


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("CamelCase", "camel_case"),
        ("CamelCamelCase", "camel_camel_case"),
        ("getHTTPResponseCode", "get_http_response_code"),
        ("XMLParser", "xml_parser"),
        ("MyURLParser", "my_url_parser"),
        ("ABC", "abc"),
        ("AB", "ab"),
        ("ABc", "a_bc"),
        ("aB", "a_b"),
        ("getX", "get_x"),
        ("version2Update", "version2_update"),
        ("A1B", "a1_b"),
        ("ipV6Addr", "ip_v6_addr"),
        ("a٣B", "a٣b"),
        ("Camel_Case", "camel_case"),
        ("_A", "_a"),
        ("a Bc", "a bc"),
        ("A", "a"),
        ("", ""),
        ("caféBar", "café_bar"),
        ("ÀÉe", "à_ée"),
        ("ÀB", "àb"),
        ("ßA", "ß_a"),
        ("aİb", "a_i\u0307b"),
        ("İ", "i\u0307"),
        ("ΑΣ", "ασ"),
        ("aΣ", "a_σ"),
        ("ǅA", "ǅa"),
        ("aǅ", "aǅ"),
        ("ⅠⅡ", "ⅰⅱ"),
        ("aⅠ", "a_ⅰ"),
        ("ªB", "ª_b"),  # ª has the Lowercase property
        ("ÀÉé", "à_éé"),
        ("x\U00010400y", "x_\U00010428y"),  # Deseret, four UTF-8 bytes
        ("AB1", "ab1"),
        ("1A", "1_a"),
    ],
)
def test_uncamel(text, expected):
    assert uncamel(text) == expected


# ---------------------------------------------------------------------------
# underscore_to_camelcase


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("foo_bar_baz", "fooBarBaz"),
        ("FOO_BAR", "fooBar"),
        ("_foo_bar", "fooBar"),
        ("foo__bar", "fooBar"),
        ("foo_", "foo"),
        ("_", ""),
        ("__", ""),
        ("", ""),
        ("_Foo", "foo"),
        ("fooBar", "foobar"),
        ("foo_1bar", "foo1bar"),
        ("a_ b", "a b"),
        ("ÄÖ_ÜX", "äöÜx"),
        ("a_ß", "aSS"),
        ("x_ﬃ", "xFFI"),
        ("x_ŉ", "x\u02bcN"),
        ("x_ǅ", "xǄ"),
        ("ǅ", "ǆ"),
        ("İ", "i\u0307"),
        ("a_İ", "aİ"),
        ("_ß", "ß"),
        ("ΑΣ_σ", "ασΣ"),
        ("x_\U00010428", "x\U00010400"),
    ],
)
def test_underscore_to_camelcase(text, expected):
    assert underscore_to_camelcase(text) == expected


# ASCII text takes its own path; one uncased non-ASCII character at the end
# sends the same text down the general one without changing its result.
ascii_text = st.text(alphabet=st.characters(min_codepoint=0, max_codepoint=127))


@given(ascii_text)
def test_ascii_and_general_paths_agree(text):
    assert uncamel(text + "一") == uncamel(text) + "一"
    assert underscore_to_camelcase(text + "一") == underscore_to_camelcase(text) + "一"
    assert sanitize_vulgar_string(text + "一") == text + "一"
    assert sanitize_vulgar_string(text) == text


@given(ascii_text)
def test_ascii_case_conversion_model(text):
    # The rules spelled out for ASCII, where Python's own tests are exact.
    out = []
    for k, c in enumerate(text):
        if k > 0 and c.isupper():
            prev, nxt = text[k - 1], text[k + 1] if k + 1 < len(text) else ""
            if prev.islower() or prev.isdigit() or (prev.isupper() and nxt.islower()):
                out.append("_")
        out.append(c.lower() if c.isupper() else c)
    assert uncamel(text) == "".join(out)

    out, after = [], False
    for c in text:
        if c == "_":
            after = True
            continue
        out.append(c.upper() if after and out else c.lower())
        after = False
    assert underscore_to_camelcase(text) == "".join(out)


# ---------------------------------------------------------------------------
# Against the Unicode Character Database


def ucd_lines(name):
    with open(UCD / name, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def ucd_set(name, prop):
    found = set()
    for fields in ucd_lines(name):
        if fields[1] == prop:
            first, _, last = fields[0].partition("..")
            found.update(range(int(first, 16), int(last or first, 16) + 1))
    return found


@pytest.fixture(scope="module")
def ucd_dir():
    # The data is part of the checkout: without it these checks fail rather
    # than pass unseen.
    missing = [name for name in UCD_FILES if not (UCD / name).is_file()]
    if missing:
        pytest.fail(f"Unicode data missing from {UCD}: {', '.join(missing)}")
    return UCD


@pytest.fixture(scope="module")
def ucd(ucd_dir):
    ages = {}
    for fields in ucd_lines("DerivedAge.txt"):
        first, _, last = fields[0].partition("..")
        age = tuple(map(int, fields[1].split(".")))
        for cp in range(int(first, 16), int(last or first, 16) + 1):
            ages[cp] = age
    nd, lower, upper = set(), {}, {}
    for fields in ucd_lines("UnicodeData.txt"):
        cp = int(fields[0], 16)
        if fields[2] == "Nd" and ages[cp] <= (16, 0):
            nd.add(cp)
        if fields[12]:
            upper[cp] = chr(int(fields[12], 16))
        if fields[13]:
            lower[cp] = chr(int(fields[13], 16))
    for fields in ucd_lines("SpecialCasing.txt"):
        if len(fields) > 5 and fields[4]:
            continue  # conditional: language or context
        cp = int(fields[0], 16)
        lower[cp] = "".join(chr(int(x, 16)) for x in fields[1].split())
        upper[cp] = "".join(chr(int(x, 16)) for x in fields[3].split())
    return {
        "digits": nd,
        "space": ucd_set("PropList.txt", "White_Space"),
        "upper": ucd_set("DerivedCoreProperties.txt", "Uppercase"),
        "lowercase": ucd_set("DerivedCoreProperties.txt", "Lowercase"),
        "lower": lower,
        "upper_map": upper,
    }


ALL_CHARACTERS = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]


def first_difference(function, pieces, expected_pieces):
    for (cp, piece), want in zip(pieces, expected_pieces):
        got = function(piece)
        if got != want:
            return f"U+{cp:04X}: {got!r} != {want!r}"
    return "no single piece differs"


def test_digit_and_space_classes(ucd):
    digits, space = ucd["digits"], ucd["space"]
    assert len(digits) == 760 and 0x11DE0 not in digits
    assert len(space) == 25
    pieces, expected = [], []
    for cp in ALL_CHARACTERS:
        c = chr(cp)
        if c in FRACTIONS:
            continue
        pieces.append((cp, f"x{c}½"))
        if "0" <= c <= "9":
            expected.append(f"x{c}.5")
        elif cp in digits:
            expected.append("x0.5")
        elif cp in space:
            expected.append("x 0.5")
        else:
            expected.append(f"x{c} 0.5")
    got = sanitize_vulgar_string("".join(p for _, p in pieces))
    if got != "".join(expected):
        pytest.fail(first_difference(sanitize_vulgar_string, pieces, expected))


def test_case_properties(ucd):
    upper, lowercase, lower = ucd["upper"], ucd["lowercase"], ucd["lower"]
    pieces, expected = [], []
    for cp in ALL_CHARACTERS:
        c = chr(cp)
        as_written = lower.get(cp, c) if cp in upper else c
        # after a lowercase letter; before a capital; after two capitals
        pieces.append(
            (cp, f" a{c} {c}B AB{c}")
        )
        expected.append(
            (" a_" if cp in upper else " a") + as_written
            + " " + as_written + ("_b" if cp in lowercase or "0" <= c <= "9" else "b")
            + " a" + ("_b" if cp in lowercase else "b") + as_written
        )
    got = uncamel("".join(p for _, p in pieces))
    if got != "".join(expected):
        pytest.fail(first_difference(uncamel, pieces, expected))


def test_case_mappings(ucd):
    lower, upper = ucd["lower"], ucd["upper_map"]
    pieces, expected = [], []
    for cp in ALL_CHARACTERS:
        c = chr(cp)
        if c == "_":
            continue
        pieces.append((cp, f"a_{c}{c}"))
        expected.append("a" + upper.get(cp, c) + lower.get(cp, c))
    got = underscore_to_camelcase("".join(p for _, p in pieces))
    if got != "".join(expected):
        pytest.fail(first_difference(underscore_to_camelcase, pieces, expected))


def test_committed_tables_are_generated(ucd_dir, tmp_path):
    # The generator's own default data folder is the one checked above.
    subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_unicode_tables.py"), "--out", str(tmp_path)],
        check=True,
    )
    for name in ("unicode_tables.h", "unicode_tables.cpp"):
        # Compared as bytes: filecmp keeps a cache that grows with every new path.
        assert (tmp_path / name).read_bytes() == (ROOT / "src" / name).read_bytes(), name
