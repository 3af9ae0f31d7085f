// Ordering and sorting the rows of multikeysort.
//
// Each item's values, one SortValue per column, are compared value by value:
// None first, numbers as numbers, texts by code point, and every other pair
// through Python's own comparisons.  The rows are sorted by radix sorts on
// keys made from the values wherever a column's values allow it (ints,
// floats, texts, None), and otherwise by our own stable merge sort comparing
// the values.  Neither trusts the comparison to be a consistent order:
// whatever it answers, every row comes out exactly once.
#pragma once

#include "frame.h"

#include <cstdint>

namespace kesp {

// Takes the pending exception and drops it.  A PanicException raised by the
// caller's code is not dropped: take_error ends the call with it.
inline void discard_error() { (void)take_error(); }

enum class ValueKind : std::uint8_t { none, integer, real, text, object };

// One extracted value.  A text keeps a reference to its str and points into
// the UTF-8 form the str caches, which lives as long as the str does; an
// object keeps a reference to itself.
struct SortValue {
  union {
    std::int64_t integer;
    double real;
    const char* text;
  };
  std::uint64_t size_and_kind = 0;  // text size << 8 | kind
  OwnedRef held;

  SortValue() noexcept : integer(0) {}
  ValueKind kind() const noexcept { return ValueKind(size_and_kind & 0xff); }
  std::size_t text_size() const noexcept { return std::size_t(size_and_kind >> 8); }

  void set_integer(std::int64_t value) noexcept {
    integer = value;
    size_and_kind = std::uint64_t(ValueKind::integer);
  }
  void set_real(double value) noexcept {
    real = value;
    size_and_kind = std::uint64_t(ValueKind::real);
  }
  void set_text(OwnedRef str, const char* data, Py_ssize_t size) noexcept {
    text = data;
    size_and_kind = std::uint64_t(size) << 8 | std::uint64_t(ValueKind::text);
    held = std::move(str);
  }
  void set_object(OwnedRef object) noexcept {
    size_and_kind = std::uint64_t(ValueKind::object);
    held = std::move(object);
  }
};

// What the sort moves: a row's number and a 128-bit key, `high` made from its
// value in one column and `low` from the next column (or zero), whose order
// agrees with the values' order wherever two keys differ.  A 64-bit half is 0
// for None and has its top bit set otherwise, so a None sorts before every
// value; the other 63 bits follow the value.  A descending column's half is
// complemented, which reverses every outcome, the placing of None included.
struct SortEntry {
  std::uint64_t high;
  std::uint64_t low;
  std::size_t row;
};

// Sorts entries[0, n), whose `row` fields number rows of `values` (m values a
// row), by the rows; `buffer` is scratch of the same size.  Two columns at a
// time: columns j and j + 1 make the keys of every range whose rows agree on
// all earlier columns, and the range is sorted by those keys.  Then each run of equal keys whose
// values are known to be equal becomes a range for the next two columns.  A
// column without usable keys, or a run of equal prefixes whose values differ,
// is finished by the merge sort comparing the rows in full.  The result is
// the order of rows_less over all columns, and it is stable.
void sort_entries(SortEntry* entries, SortEntry* buffer, std::size_t n, const SortValue* values,
                  std::size_t m, const std::uint8_t* descending);

}  // namespace kesp
