// The comparisons of values and the sorts of rows for multikeysort: see
// rowsort.h.
#include "rowsort.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace kesp {
namespace {

// ---------------------------------------------------------------------------
// Comparing values

enum class Order { less = -1, equal = 0, greater = 1 };

// One rich comparison and its truth test: true, false, or nullopt when either
// raised (the error is dropped).
std::optional<bool> python_test(PyObject* x, PyObject* y, int op) {
  Result<OwnedRef> result = rich_compare(x, OwnedRef::borrow(y), op);
  if (!result) return std::nullopt;
  const int truth = PyObject_IsTrue(result.value().get());
  if (truth < 0) {
    discard_error();  // before the result object goes
    return std::nullopt;
  }
  return truth == 1;
}

// x < y, then x > y; anything that is neither, or raised, is equal.
Order python_order(PyObject* x, PyObject* y) {
  const std::optional<bool> less = python_test(x, y, Py_LT);
  if (!less) return Order::equal;
  if (*less) return Order::less;
  return python_test(x, y, Py_GT).value_or(false) ? Order::greater : Order::equal;
}

// One stored value: its kind and its word.
struct Value {
  ValueKind kind;
  std::uint64_t word;

  std::int64_t integer() const noexcept { return std::int64_t(word); }
  double real() const noexcept { return __builtin_bit_cast(double, word); }
  PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(std::uintptr_t(word)); }
  double number() const noexcept { return kind == ValueKind::real ? real() : double(integer()); }
};

Value value_at(const ColumnValues& column, std::size_t row) noexcept {
  return {column.kinds[row], column.words[row]};
}

// A Python object standing for a value: the object itself, or a new int,
// float or str made from the stored number or text.  A text's own str is not
// used: a str subclass would answer with its own methods.
PyObject* python_operand(const Value& value, OwnedRef& made) {
  switch (value.kind) {
    case ValueKind::integer: made = checked(PyLong_FromLongLong(value.integer())); break;
    case ValueKind::real: made = checked(PyFloat_FromDouble(value.real())); break;
    case ValueKind::text: {
      const std::string_view text = stored_utf8(value.object());
      made = checked(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
      break;
    }
    case ValueKind::object: return value.object();
    case ValueKind::none: return nullptr;  // never: None is settled before
  }
  return made.get();
}

Order compare_doubles(double a, double b) noexcept {
  if (a < b) return Order::less;
  if (a > b) return Order::greater;
  return Order::equal;  // equal, or a NaN on either side
}

// Two texts by their UTF-8 bytes, which is code point order.
Order compare_texts(PyObject* a, PyObject* b) noexcept {
  if (a == b) return Order::equal;
  const std::string_view x = stored_utf8(a), y = stored_utf8(b);
  const int c = std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
  if (c != 0) return c < 0 ? Order::less : Order::greater;
  if (x.size() != y.size()) return x.size() < y.size() ? Order::less : Order::greater;
  return Order::equal;
}

// None before everything; numbers as numbers (an int as the nearest double
// against a float); texts by code point; every other pair by Python.
Order compare_values(const Value& a, const Value& b) {
  const ValueKind ka = a.kind, kb = b.kind;
  if (ka == ValueKind::integer && kb == ValueKind::integer)
    return a.integer() < b.integer()   ? Order::less
           : a.integer() > b.integer() ? Order::greater
                                       : Order::equal;
  if (ka == ValueKind::none) return kb == ValueKind::none ? Order::equal : Order::less;
  if (kb == ValueKind::none) return Order::greater;
  const bool a_number = ka == ValueKind::integer || ka == ValueKind::real;
  const bool b_number = kb == ValueKind::integer || kb == ValueKind::real;
  if (a_number && b_number) return compare_doubles(a.number(), b.number());
  if (ka == ValueKind::text && kb == ValueKind::text) return compare_texts(a.object(), b.object());
  // Declared in this order so that y's object goes before x's.
  OwnedRef x_made, y_made;
  PyObject* x = python_operand(a, x_made);
  PyObject* y = python_operand(b, y_made);
  return python_order(x, y);
}

bool is_exact(KeyForm form) noexcept {
  return form == KeyForm::exact_integer || form == KeyForm::exact_double;
}

// The is-less test of rows a and b from column `first` on: the first column
// whose values differ decides; a descending column reverses its outcome.  An
// exact column compares its keys, which already hold the direction.  (The
// first column of an exact form is never read here: its keys are in the
// entries, and its runs of equal keys are ties.)
bool rows_less(const ColumnValues* columns, std::size_t m, std::size_t first, std::size_t a,
               std::size_t b) {
  for (std::size_t j = first; j < m; ++j) {
    const ColumnValues& column = columns[j];
    if (is_exact(column.form)) {
      const std::uint64_t x = column.words[a], y = column.words[b];
      if (x != y) return x < y;
      continue;
    }
    const Order order = compare_values(value_at(column, a), value_at(column, b));
    if (order != Order::equal) return (order == Order::less) != column.descending;
  }
  return false;
}

// Entries by their rows in full, from column `first` on.
struct RowLess {
  const ColumnValues* columns;
  std::size_t m;
  std::size_t first;

  bool operator()(const SortEntry& a, const SortEntry& b) const {
    return rows_less(columns, m, first, a.row, b.row);
  }
};

// ---------------------------------------------------------------------------
// Keys

// The key form a column allows.  Ints and None: their offsets from the
// smallest int, None below them all, when the span leaves room for None.
// Numbers without NaN whose ints are all within 2^53, so that each is a
// double exactly (an int meets a float as a double): the doubles' order.
// Texts and None: text prefixes.  Anything else (objects, mixed kinds, NaN,
// large ints among floats) is compared in full.
KeyForm choose_key_form(const ColumnValues& column) noexcept {
  constexpr std::int64_t exact_limit = std::int64_t(1) << 53;
  const bool integers = column.saw(ValueKind::integer), reals = column.saw(ValueKind::real);
  const bool texts = column.saw(ValueKind::text);
  if (column.saw(ValueKind::object)) return KeyForm::none;
  if (texts) return integers || reals ? KeyForm::none : KeyForm::text_prefix;
  if (reals) {
    const bool exact_doubles =
        !integers || (column.smallest >= -exact_limit && column.largest <= exact_limit);
    return exact_doubles && !column.nan ? KeyForm::exact_double : KeyForm::none;
  }
  if (!integers || !column.saw(ValueKind::none)) return KeyForm::exact_integer;
  const std::uint64_t span = std::uint64_t(column.largest) - std::uint64_t(column.smallest);
  return span < UINT64_MAX ? KeyForm::exact_integer : KeyForm::none;
}

std::uint64_t double_order(double value) noexcept {
  if (value == 0.0) value = 0.0;  // -0.0 and 0.0 are equal
  const std::uint64_t bits = __builtin_bit_cast(std::uint64_t, value);
  return bits >> 63 ? ~bits : bits | std::uint64_t(1) << 63;
}

// The exact key of a value in a column of form exact_integer (`base` is the
// smallest int less one where a None must go below them, else the smallest)
// or exact_double, the direction applied.  No double but a NaN has the order
// 0, and there are no NaNs here, so 0 is free for None.
std::uint64_t exact_key(const Value& value, KeyForm form, std::uint64_t base,
                        std::uint64_t direction) noexcept {
  std::uint64_t key = 0;
  if (value.kind != ValueKind::none)
    key = form == KeyForm::exact_integer ? value.word - base : double_order(value.number());
  return key ^ direction;
}

// The first eight bytes of a text, read as a big-endian number (short texts
// padded with zero bytes).  The text ends with a NUL byte, so byte i is read
// at min(i, size), which past the end is that NUL.  No branch on the size:
// lengths vary from row to row, and a mispredicted branch per key (as in a
// copy of variable size) cost more than the rest of making the key.
std::uint64_t text_order(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < 8; ++i) word = word << 8 | bytes[std::min(i, text.size())];
  return word;
}

// A text column's key: 0 for None, the top bit and the first 63 bits of the
// text otherwise, so that None sorts before every text.
std::uint64_t text_key(const Value& value, std::uint64_t direction) noexcept {
  std::uint64_t key = 0;
  if (value.kind == ValueKind::text)
    key = std::uint64_t(1) << 63 | text_order(stored_utf8(value.object())) >> 1;
  return key ^ direction;
}

// Whether `column` holds equal values in every row of a[0, n).  Used on runs
// of equal text keys, whose values are texts or None, so that equality here
// is transitive and calls no Python code.
bool values_all_equal(const SortEntry* a, std::size_t n, const ColumnValues& column) {
  const Value first = value_at(column, a[0].row);
  for (std::size_t i = 1; i < n; ++i)
    if (compare_values(first, value_at(column, a[i].row)) != Order::equal) return false;
  return true;
}

// ---------------------------------------------------------------------------
// The sort
//
// A stable natural merge sort.  It finds the runs already in the input (a
// strictly descending run is reversed), lengthens short runs to
// `minimum_run` with binary insertion, then merges neighbouring runs pass by
// pass, from one array into the other.
//
// It takes whatever the comparison answers: every index is bounded by the
// loops themselves, not by the answers, so an inconsistent comparison gives
// some order but never a lost or doubled row.  And a comparison that throws
// leaves the array being read from a complete permutation of the rows: a merge
// only reads its source, and an insertion makes all its comparisons before it
// moves anything.  Sorted input costs n - 1 comparisons.

constexpr std::size_t minimum_run = 32;

template <class T, class Less>
std::size_t find_run(T* a, std::size_t lo, std::size_t hi, const Less& less) {
  std::size_t end = lo + 1;
  if (end == hi) return end;
  if (less(a[end], a[lo])) {
    while (end + 1 < hi && less(a[end + 1], a[end])) ++end;
    ++end;
    std::reverse(a + lo, a + end);
  } else {
    while (end + 1 < hi && !less(a[end + 1], a[end])) ++end;
    ++end;
  }
  return end;
}

// Sorts a[lo, hi) where a[lo, sorted) is already in order.
template <class T, class Less>
void binary_insertion(T* a, std::size_t lo, std::size_t sorted, std::size_t hi, const Less& less) {
  for (std::size_t i = sorted; i < hi; ++i) {
    const T x = a[i];
    std::size_t left = lo, right = i;
    while (left < right) {  // the first place whose element is greater than x
      const std::size_t mid = left + (right - left) / 2;
      if (less(x, a[mid]))
        right = mid;
      else
        left = mid + 1;
    }
    std::memmove(a + left + 1, a + left, (i - left) * sizeof(T));
    a[left] = x;
  }
}

template <class T, class Less>
void merge(const T* src, T* dst, std::size_t lo, std::size_t mid, std::size_t hi,
           const Less& less) {
  std::size_t i = lo, j = mid, out = lo;
  // Runs already in order need no merge: one comparison.
  if (!less(src[mid], src[mid - 1])) {
    std::memcpy(dst + lo, src + lo, (hi - lo) * sizeof(T));
    return;
  }
  while (i < mid && j < hi) dst[out++] = less(src[j], src[i]) ? src[j++] : src[i++];
  std::memcpy(dst + out, src + i, (mid - i) * sizeof(T));
  out += mid - i;
  std::memcpy(dst + out, src + j, (hi - j) * sizeof(T));
}

// Sorts `rows`; `buffer` is scratch of the same size.  Returns the array that
// holds the result (one of the two).
template <class T, class Less>
T* merge_sort(T* rows, T* buffer, std::size_t n, const Less& less) {
  if (n < 2) return rows;
  if (n <= minimum_run) {
    binary_insertion(rows, 0, find_run(rows, 0, n, less), n, less);
    return rows;
  }
  std::vector<std::size_t> bounds{0};
  for (std::size_t lo = 0; lo < n;) {
    std::size_t end = find_run(rows, lo, n, less);
    if (end - lo < minimum_run && end < n) {
      const std::size_t target = std::min(n, lo + minimum_run);
      binary_insertion(rows, lo, end, target, less);
      end = target;
    }
    bounds.push_back(end);
    lo = end;
  }
  T* src = rows;
  T* dst = buffer;
  while (bounds.size() > 2) {
    std::vector<std::size_t> merged{0};
    std::size_t r = 0;
    for (; r + 2 < bounds.size(); r += 2) {
      merge(src, dst, bounds[r], bounds[r + 1], bounds[r + 2], less);
      merged.push_back(bounds[r + 2]);
    }
    if (r + 1 < bounds.size()) {  // an odd run left over
      std::memcpy(dst + bounds[r], src + bounds[r], (bounds[r + 1] - bounds[r]) * sizeof(T));
      merged.push_back(bounds[r + 1]);
    }
    bounds = std::move(merged);
    std::swap(src, dst);
  }
  return src;
}

// Sorts a[0, n) into `a`, with the merge sort.
template <class Less>
void merge_sort_in_place(SortEntry* a, SortEntry* buffer, std::size_t n, const Less& less) {
  SortEntry* sorted = merge_sort(a, buffer, n, less);
  if (sorted != a) std::memcpy(a, sorted, n * sizeof(SortEntry));
}

// A straight insertion sort of a small a[0, n) by the keys alone, which
// cannot fail, so shifting while comparing is safe; stable.
void insertion_sort_by_key(SortEntry* a, std::size_t n) noexcept {
  for (std::size_t i = 1; i < n; ++i) {
    const SortEntry x = a[i];
    std::size_t k = i;
    for (; k > 0 && x.key < a[k - 1].key; --k) a[k] = a[k - 1];
    a[k] = x;
  }
}

// The radix sorts read a key as 8 byte digits, digit 7 the top byte.
constexpr int digit_count = 8;

std::size_t digit_of(const SortEntry& e, int d) noexcept {
  return std::size_t(e.key >> (8 * d) & 0xff);
}

// What one pass over the keys of a[0, n) tells: the bits in which some two
// keys differ, and whether the keys are already in order, as they are for a
// list sorted before (then a radix sort, being stable, would leave them as
// they are, and is skipped).
struct KeySurvey {
  std::uint64_t differ;
  bool in_order;
};

KeySurvey survey_keys(const SortEntry* a, std::size_t n) noexcept {
  std::uint64_t all = ~std::uint64_t(0), any = 0;
  bool in_order = true;
  for (std::size_t i = 0; i < n; ++i) {
    all &= a[i].key;
    any |= a[i].key;
    in_order &= i == 0 || a[i - 1].key <= a[i].key;
  }
  return {all ^ any, in_order};
}

// The highest digit in which some two keys differ, or -1 when none does.
int top_digit(std::uint64_t differ) noexcept {
  return differ ? (63 - __builtin_clzll(differ)) / 8 : -1;
}

// A stable most-significant-digit radix sort of a[0, n), whose digits above
// `digit` are all equal.  Each digit spreads the entries into buckets in
// their order (through the buffer and back), and each bucket goes on with the
// next digit; a small bucket is finished by insertion on the keys.  Texts and
// doubles, whose leading bytes spread widely, need few digits this way.
constexpr std::size_t small_bucket = 32;

// `counts` holds 2 * 257 words for each digit, so that the recursion (at
// most eight deep) keeps its tables off the stack.
void msd_radix_sort(SortEntry* a, SortEntry* buffer, std::size_t n, int digit,
                    std::size_t* counts) noexcept {
  for (;; --digit) {
    if (n < 2 || digit < 0) return;  // equal keys keep their order
    if (n <= small_bucket) return insertion_sort_by_key(a, n);
    std::size_t* start = counts + std::size_t(digit) * 514;  // 257 bucket starts
    std::size_t* next = start + 257;                         // and fill positions
    std::fill(next, next + 256, std::size_t(0));
    for (std::size_t i = 0; i < n; ++i) ++next[digit_of(a[i], digit)];
    if (next[digit_of(a[0], digit)] == n) continue;  // one bucket: the next digit
    start[0] = 0;
    for (std::size_t b = 0; b < 256; ++b) start[b + 1] = start[b] + next[b];
    std::copy(start, start + 256, next);
    for (std::size_t i = 0; i < n; ++i) buffer[next[digit_of(a[i], digit)]++] = a[i];
    std::memcpy(a, buffer, n * sizeof(SortEntry));
    for (std::size_t b = 0; b < 256; ++b) {
      const std::size_t size = start[b + 1] - start[b];
      if (size > 1) msd_radix_sort(a + start[b], buffer + start[b], size, digit - 1, counts);
    }
    return;
  }
}

// A stable LSD radix sort of a[0, n), one digit at a time from the least
// significant, over the digits in which some keys differ (`differ`, from
// survey_keys).  Ints, whose offsets leave the high bytes alike, need few
// passes this way.  `counts` holds 256 words per digit.  Returns the array
// that holds the result: `a`, or `buffer` after an odd number of passes.
SortEntry* lsd_radix_sort(SortEntry* a, SortEntry* buffer, std::size_t n, std::uint64_t differ,
                          std::size_t* counts) noexcept {
  int digits[digit_count];
  int passes = 0;
  for (int d = 0; d < digit_count; ++d)
    if (differ >> (8 * d) & 0xff) digits[passes++] = d;
  std::fill(counts, counts + std::size_t(passes) * 256, std::size_t(0));
  for (std::size_t i = 0; i < n; ++i)
    for (int p = 0; p < passes; ++p) ++counts[std::size_t(p) * 256 + digit_of(a[i], digits[p])];
  SortEntry* src = a;
  SortEntry* dst = buffer;
  for (int p = 0; p < passes; ++p) {
    std::size_t* count = counts + std::size_t(p) * 256;
    std::size_t offset = 0;
    for (std::size_t b = 0; b < 256; ++b) offset += std::exchange(count[b], offset);
    const int d = digits[p];
    for (std::size_t i = 0; i < n; ++i) dst[count[digit_of(src[i], d)]++] = src[i];
    std::swap(src, dst);
  }
  return src;
}

constexpr std::size_t lsd_threshold = 256;

// A range of entries whose rows agree on the columns before `column`, sorted
// by that column's keys, whose runs of equal keys are being walked from
// `next` on.
struct Frame {
  std::size_t lo, hi, next, column;
};
static_assert(sizeof(Frame) == SortScratch::frame_words * sizeof(std::size_t));

// Makes the first column's entries and every exact column's keys.
void prepare_columns(SortEntry* entries, std::size_t n, ColumnValues* columns, std::size_t m,
                     std::uint64_t* words0) noexcept {
  for (std::size_t j = 0; j < m; ++j) {
    ColumnValues& column = columns[j];
    column.form = choose_key_form(column);
    if (!is_exact(column.form)) continue;
    const bool offset_for_none = column.saw(ValueKind::none) && column.saw(ValueKind::integer);
    const std::uint64_t base = std::uint64_t(column.smallest) - (offset_for_none ? 1 : 0);
    const std::uint64_t direction = column.descending ? ~std::uint64_t(0) : 0;
    if (j == 0) {
      for (std::size_t row = 0; row < n; ++row)
        entries[row] = {exact_key(value_at(column, row), column.form, base, direction), row};
      column.words = {};  // the keys now move with the entries
    } else {
      for (std::size_t row = 0; row < n; ++row)
        column.words[row] = exact_key(value_at(column, row), column.form, base, direction);
    }
  }
  ColumnValues& first = columns[0];
  if (is_exact(first.form)) return;
  // The values are needed by row: out of the entries, which the sort moves.
  for (std::size_t row = 0; row < n; ++row) {
    words0[row] = entries[row].key;
    entries[row].row = row;
  }
  first.words = {words0, 1};
}

}  // namespace

void sort_rows(SortEntry*& entries, SortEntry*& buffer, std::size_t n, ColumnValues* columns,
               std::size_t m, std::uint64_t* words0, SortScratch scratch) {
  prepare_columns(entries, n, columns, m, words0);
  Frame* const stack = reinterpret_cast<Frame*>(scratch.frames);
  std::size_t depth = 0;
  std::size_t* const lsd_counts = scratch.counts;
  std::size_t* const msd_counts = scratch.counts + std::size_t(digit_count) * 256;

  // Sorts entries[lo, hi), whose rows agree on the columns before j, by
  // column j; its runs of equal keys are then walked, unless they are ties.
  auto begin = [&](std::size_t lo, std::size_t hi, std::size_t j) {
    const ColumnValues& column = columns[j];
    SortEntry* a = entries + lo;
    const std::size_t size = hi - lo;
    if (column.form == KeyForm::none)
      return merge_sort_in_place(a, buffer + lo, size, RowLess{columns, m, j});
    const std::uint64_t direction = column.descending ? ~std::uint64_t(0) : 0;
    if (column.form == KeyForm::text_prefix) {
      for (std::size_t i = 0; i < size; ++i)
        a[i].key = text_key(value_at(column, a[i].row), direction);
    } else if (j > 0) {
      for (std::size_t i = 0; i < size; ++i) a[i].key = column.words[a[i].row];
    }
    const KeySurvey survey = survey_keys(a, size);
    if (!survey.in_order) {
      if (column.form == KeyForm::exact_integer && size >= lsd_threshold) {
        const SortEntry* sorted = lsd_radix_sort(a, buffer + lo, size, survey.differ, lsd_counts);
        // Sorted into the buffer: before any frame refers to the entries,
        // the whole range trades places with it; later a part is copied back.
        if (sorted != a && depth == 0)
          std::swap(entries, buffer);
        else if (sorted != a)
          std::memcpy(a, sorted, size * sizeof(SortEntry));
      } else
        msd_radix_sort(a, buffer + lo, size, top_digit(survey.differ), msd_counts);
    }
    if (column.form != KeyForm::text_prefix && j + 1 == m) return;
    stack[depth++] = {lo, hi, lo, j};
  };

  if (n < 2) return;
  begin(0, n, 0);
  while (depth > 0) {
    Frame& frame = stack[depth - 1];
    if (frame.next >= frame.hi) {
      --depth;
      continue;
    }
    const std::size_t lo = frame.next, j = frame.column;
    std::size_t hi = lo + 1;
    while (hi < frame.hi && entries[hi].key == entries[lo].key) ++hi;
    frame.next = hi;
    if (hi - lo < 2) continue;
    // A run of equal text keys whose texts differ is sorted in full; one of
    // equal values goes on with the next column.
    if (columns[j].form == KeyForm::text_prefix &&
        !values_all_equal(entries + lo, hi - lo, columns[j]))
      merge_sort_in_place(entries + lo, buffer + lo, hi - lo, RowLess{columns, m, j});
    else if (j + 1 < m)
      begin(lo, hi, j + 1);  // pushes above `frame`, which stays where it is
  }
}

}  // namespace kesp
