// Ordering and sorting the rows of multikeysort.
//
// Each item's values, one per column, are compared value by value: None
// first, numbers as numbers, texts by code point, and every other pair
// through Python's own comparisons.  The values are kept column by column in
// the call's scratch block, as a kind and a word each.  A column of numbers
// and None whose order a 64-bit key can hold exactly is turned into those
// keys, and nothing else of it is kept; a column of texts and None is sorted
// by the keys of its texts' first bytes and then, where those are equal, by
// the texts; any other column by our own stable merge sort comparing the
// values.  None of this trusts the comparison to be a consistent order:
// whatever it answers, every row comes out exactly once.
#pragma once

#include "frame.h"

#include <cstdint>

namespace kesp {

// Takes the pending exception and drops it.  A PanicException raised by the
// caller's code is not dropped: take_error ends the call with it.
inline void discard_error() { (void)take_error(); }

enum class ValueKind : std::uint8_t { none, integer, real, text, object };

// How a column's rows are put in order.  exact_integer and exact_double: the
// column's words are its keys, whose order is the values' order and whose
// equality is theirs (None included).  text_prefix: a key from a text's first
// bytes orders unequal keys; equal keys say nothing.  none: the values are
// compared in full.
enum class KeyForm : std::uint8_t { exact_integer, exact_double, text_prefix, none };

// What the sort moves: a row's number and the key of one of its values.
struct SortEntry {
  std::uint64_t key;
  std::size_t row;
};

// The words of one column, by row.  Strided, so that the first column's words
// can be the keys of the entries themselves while the values are read (entry
// `row` then belongs to row `row`).
struct ColumnWords {
  std::uint64_t* base = nullptr;
  std::size_t stride = 1;
  std::uint64_t& operator[](std::size_t row) const noexcept { return base[row * stride]; }
};

// One column's values, as the extraction stores them: per row a kind and a
// word, the word being an int's bits, a double's bits, or for a text or an
// object the reference (PyObject*) the column holds to it; nothing for None.
// A text's UTF-8 form is the one its str keeps (see stored_utf8).  The
// extraction also notes what it saw, from which the key form is chosen.
struct ColumnValues {
  ColumnWords words;
  ValueKind* kinds = nullptr;
  bool descending = false;
  KeyForm form = KeyForm::none;  // chosen by sort_rows
  std::uint8_t seen = 0;         // a bit for each kind stored
  bool nan = false;
  std::int64_t smallest = INT64_MAX, largest = INT64_MIN;  // of the ints

  bool saw(ValueKind kind) const noexcept { return seen >> unsigned(kind) & 1; }
  bool holds_references() const noexcept { return saw(ValueKind::text) || saw(ValueKind::object); }

  void store_none(std::size_t row) noexcept { store(row, ValueKind::none, 0); }
  void store_integer(std::size_t row, std::int64_t value) noexcept {
    smallest = value < smallest ? value : smallest;
    largest = value > largest ? value : largest;
    store(row, ValueKind::integer, std::uint64_t(value));
  }
  void store_real(std::size_t row, double value) noexcept {
    nan |= value != value;
    store(row, ValueKind::real, __builtin_bit_cast(std::uint64_t, value));
  }
  // Takes over the reference.
  void store_text(std::size_t row, OwnedRef str) noexcept {
    store(row, ValueKind::text, reinterpret_cast<std::uintptr_t>(str.release()));
  }
  void store_object(std::size_t row, OwnedRef object) noexcept {
    store(row, ValueKind::object, reinterpret_cast<std::uintptr_t>(object.release()));
  }

 private:
  void store(std::size_t row, ValueKind kind, std::uint64_t word) noexcept {
    seen |= std::uint8_t(1u << unsigned(kind));
    kinds[row] = kind;
    words[row] = word;
  }
};

// The UTF-8 text of a str the extraction stored as a text: an ASCII str's own
// data, or the UTF-8 form the str caches (made when it was stored).  Either
// ends with a NUL byte.  Reads the object's storage only.
inline std::string_view stored_utf8(PyObject* str) noexcept {
  if (PyUnicode_IS_ASCII(str))
    return {static_cast<const char*>(PyUnicode_DATA(str)), std::size_t(PyUnicode_GET_LENGTH(str))};
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  return {data, std::size_t(size)};
}

// What sort_rows needs besides the rows: scratch words for the radix sorts'
// counts, and a stack of one frame per column.
struct SortScratch {
  static constexpr std::size_t count_words = 8 * 256 + 8 * 514;
  static constexpr std::size_t frame_words = 4;
  std::size_t* counts;  // count_words
  std::size_t* frames;  // frame_words per column
};

// Sorts the n rows whose values `columns` (m of them) hold by rows_less over
// all columns, stably, into the array `entries` points at on return; `buffer`
// is scratch of n entries, and the two may have traded places on return.  On
// entry the first column's words are the keys of `entries`, as the extraction
// stored them (columns[0].words strides over them).  `words0` is room for n
// words, where they go when the first column needs its values during the
// sort.
//
// First the key form of every column is chosen, and the words of an exact
// column become its keys.  Then the rows are sorted by the first column's
// keys, each run of equal keys whose values are equal by the next column's
// keys, and so on, one column deeper at a time; a run whose values may differ,
// or a column without keys, is finished by the merge sort comparing the rows
// in full from that column on.
void sort_rows(SortEntry*& entries, SortEntry*& buffer, std::size_t n, ColumnValues* columns,
               std::size_t m, std::uint64_t* words0, SortScratch scratch);

}  // namespace kesp
