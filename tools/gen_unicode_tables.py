#!/usr/bin/env python3
"""Writes src/unicode_tables.h and src/unicode_tables.cpp from the Unicode
Character Database.

    python3 tools/gen_unicode_tables.py [--ucd DIR] [--out DIR]

DIR for --ucd defaults to third_party/ucd/17.0.0 of the checkout and must
hold UnicodeData.txt, SpecialCasing.txt, DerivedCoreProperties.txt,
PropList.txt and DerivedAge.txt of Unicode 17.0.  --out defaults to src/.

The tables:
  * decimal digits: General Category Nd, limited to the code points that were
    assigned by Unicode 16.0 (the fraction matcher's digit class);
  * White_Space (the fraction matcher's whitespace class);
  * the Uppercase and Lowercase properties;
  * the full lowercase and uppercase mappings without context: the simple
    mappings of UnicodeData.txt, replaced by the unconditional entries of
    SpecialCasing.txt.

Python's own unicodedata is not used: it follows whatever Unicode version the
interpreter was built with.
"""

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_UCD = os.path.join(ROOT, "third_party", "ucd", "17.0.0")

# The digit class stops at this Unicode version.
DIGIT_AGE_LIMIT = (16, 0)
EXPECTED_DIGITS = 760
EXPECTED_DIGIT_RUNS = 71
EXPECTED_WHITE_SPACE = 25


def data_lines(path):
    """The fields of each data line of a UCD file, comments stripped."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_points(field):
    """'0041..005A' or '0041' as a range of code points."""
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def read_property(path, name):
    found = set()
    for fields in data_lines(path):
        if fields[1] == name:
            found.update(code_points(fields[0]))
    return found


def read_ages(path):
    ages = {}
    for fields in data_lines(path):
        major, minor = fields[1].split(".")
        for cp in code_points(fields[0]):
            ages[cp] = (int(major), int(minor))
    return ages


def read_unicode_data(path):
    """The Nd code points and the simple lower and upper mappings."""
    digits = set()
    lower, upper = {}, {}
    for fields in data_lines(path):
        cp = int(fields[0], 16)
        if fields[2] == "Nd":
            if fields[1].endswith(", First>"):
                sys.exit(f"unexpected Nd range at {cp:04X}")
            digits.add(cp)
        if fields[12]:
            upper[cp] = (int(fields[12], 16),)
        if fields[13]:
            lower[cp] = (int(fields[13], 16),)
    return digits, lower, upper


def apply_special_casing(path, lower, upper):
    """Replaces mappings by the SpecialCasing.txt entries without condition."""
    for fields in data_lines(path):
        # code; lower; title; upper; [conditions;] -- the split leaves an
        # empty last field after the final ';'.
        conditions = fields[4] if len(fields) > 5 else ""
        if conditions:
            continue
        cp = int(fields[0], 16)
        lower[cp] = tuple(int(x, 16) for x in fields[1].split())
        upper[cp] = tuple(int(x, 16) for x in fields[3].split())


def runs(points):
    """Sorted code points as (first, last) runs of consecutive values."""
    result = []
    for cp in sorted(points):
        if result and result[-1][1] == cp - 1:
            result[-1][1] = cp
        else:
            result.append([cp, cp])
    return [tuple(r) for r in result]


def build(ucd):
    path = lambda name: os.path.join(ucd, name)
    nd, lower, upper = read_unicode_data(path("UnicodeData.txt"))
    apply_special_casing(path("SpecialCasing.txt"), lower, upper)
    ages = read_ages(path("DerivedAge.txt"))
    digits = {cp for cp in nd if ages[cp] <= DIGIT_AGE_LIMIT}
    digit_runs = runs(digits)
    if len(digits) != EXPECTED_DIGITS or len(digit_runs) != EXPECTED_DIGIT_RUNS:
        sys.exit(
            f"decimal digits as of 16.0: {len(digits)} code points in {len(digit_runs)} runs, "
            f"expected {EXPECTED_DIGITS} in {EXPECTED_DIGIT_RUNS}"
        )
    white_space = read_property(path("PropList.txt"), "White_Space")
    if len(white_space) != EXPECTED_WHITE_SPACE:
        sys.exit(f"White_Space: {len(white_space)} code points, expected {EXPECTED_WHITE_SPACE}")
    uppercase = read_property(path("DerivedCoreProperties.txt"), "Uppercase")
    lowercase = read_property(path("DerivedCoreProperties.txt"), "Lowercase")
    if (digits | white_space) & set(range(0x80)) != set(b"0123456789 \t\n\v\f\r"):
        sys.exit("ASCII digits and whitespace are not what the fast paths assume")
    if {cp for cp in uppercase if cp < 0x80} != set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ") or {
        cp for cp in lowercase if cp < 0x80
    } != set(b"abcdefghijklmnopqrstuvwxyz"):
        sys.exit("ASCII case properties are not what the fast paths assume")
    # Only mappings that change something need an entry.
    lower = {cp: m for cp, m in lower.items() if m != (cp,)}
    upper = {cp: m for cp, m in upper.items() if m != (cp,)}
    return {
        "digit_runs": digit_runs,
        "white_space_runs": runs(white_space),
        "uppercase_runs": runs(uppercase),
        "lowercase_runs": runs(lowercase),
        "lower": lower,
        "upper": upper,
    }


HEADER = """\
// Generated by tools/gen_unicode_tables.py from the Unicode Character Database
// 17.0; do not edit.  Regenerate with: python3 tools/gen_unicode_tables.py
#pragma once
// clang-format off

#include <cstddef>
#include <cstdint>

namespace kesp::unicode {

// A run of consecutive code points, first and last included.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// The full case mapping of one code point.  `to` holds the length (1 to 3) in
// bits 24 and up; below them the mapped code point itself when the length is
// 1, otherwise the index of the first code point in the expansion array.
struct CaseMapping {
  char32_t from;
  std::uint32_t to;
};

inline constexpr unsigned case_mapping_length_shift = 24;
inline constexpr std::uint32_t case_mapping_payload_mask = (1u << case_mapping_length_shift) - 1;

"""


def rows(items, per_row):
    """Array initialiser items, a few to a line."""
    return ",\n".join(
        "    " + ", ".join(items[i:i + per_row]) for i in range(0, len(items), per_row)
    )


def c_runs(name, comment, items):
    body = rows([f"{{0x{a:04X}, 0x{b:04X}}}" for a, b in items], 5)
    decl = f"// {comment}\ninline constexpr std::size_t {name}_count = {len(items)};\n" \
           f"extern const CodePointRange {name}[{name}_count];\n\n"
    defn = f"const CodePointRange {name}[{name}_count] = {{\n{body},\n}};\n\n"
    return decl, defn


def c_mappings(name, comment, mapping):
    entries, pool = [], []
    for cp in sorted(mapping):
        target = mapping[cp]
        if len(target) == 1:
            payload = target[0]
        else:
            payload = len(pool)
            pool.extend(target)
        entries.append((cp, (len(target) << 24) | payload))
    body = rows([f"{{0x{cp:04X}, 0x{to:08X}}}" for cp, to in entries], 4)
    pool_body = rows([f"0x{cp:04X}" for cp in pool], 8)
    decl = (
        f"// {comment}\n"
        f"inline constexpr std::size_t {name}_count = {len(entries)};\n"
        f"extern const CaseMapping {name}[{name}_count];\n"
        f"inline constexpr std::size_t {name}_expansion_count = {len(pool)};\n"
        f"extern const char32_t {name}_expansions[{name}_expansion_count];\n\n"
    )
    defn = (
        f"const CaseMapping {name}[{name}_count] = {{\n{body},\n}};\n\n"
        f"const char32_t {name}_expansions[{name}_expansion_count] = {{\n{pool_body},\n}};\n\n"
    )
    return decl, defn


def render(tables):
    parts = [
        c_runs("decimal_digit_ranges",
               "General Category Nd as of Unicode 16.0 (assigned by 16.0).",
               tables["digit_runs"]),
        c_runs("white_space_ranges", "The White_Space property.", tables["white_space_runs"]),
        c_runs("uppercase_ranges", "The Uppercase property.", tables["uppercase_runs"]),
        c_runs("lowercase_ranges", "The Lowercase property.", tables["lowercase_runs"]),
        c_mappings("lowercase_mappings",
                   "Full lowercase mappings without context, sorted by code point; "
                   "code points that map to themselves are left out.",
                   tables["lower"]),
        c_mappings("uppercase_mappings",
                   "Full uppercase mappings without context, sorted by code point; "
                   "code points that map to themselves are left out.",
                   tables["upper"]),
    ]
    header = (HEADER + "".join(d for d, _ in parts)
              + "}  // namespace kesp::unicode\n// clang-format on\n")
    source = (
        "// Generated by tools/gen_unicode_tables.py from the Unicode Character Database\n"
        "// 17.0; do not edit.  Regenerate with: python3 tools/gen_unicode_tables.py\n"
        '#include "unicode_tables.h"\n\n// clang-format off\nnamespace kesp::unicode {\n\n'
        + "".join(d for _, d in parts)
        + "}  // namespace kesp::unicode\n// clang-format on\n"
    )
    return header, source


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ucd", default=DEFAULT_UCD, help="folder of the UCD 17.0 files")
    parser.add_argument("--out", default=os.path.join(ROOT, "src"), help="output folder")
    args = parser.parse_args()
    header, source = render(build(args.ucd))
    for name, text in (("unicode_tables.h", header), ("unicode_tables.cpp", source)):
        with open(os.path.join(args.out, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)


if __name__ == "__main__":
    main()
