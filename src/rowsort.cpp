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

// A Python object standing for a value: the object itself, or a new int,
// float or str made from the stored number or text.
PyObject* python_operand(const SortValue& value, OwnedRef& made) {
  switch (value.kind()) {
    case ValueKind::integer: made = checked(PyLong_FromLongLong(value.integer)); break;
    case ValueKind::real: made = checked(PyFloat_FromDouble(value.real)); break;
    case ValueKind::text:
      made = checked(PyUnicode_FromStringAndSize(value.text, Py_ssize_t(value.text_size())));
      break;
    case ValueKind::object:
    case ValueKind::none: return value.held.get();
  }
  return made.get();
}

Order compare_doubles(double a, double b) noexcept {
  if (a < b) return Order::less;
  if (a > b) return Order::greater;
  return Order::equal;  // equal, or a NaN on either side
}

Order compare_texts(const SortValue& a, const SortValue& b) noexcept {
  const std::size_t a_size = a.text_size(), b_size = b.text_size();
  const int c = std::memcmp(a.text, b.text, std::min(a_size, b_size));
  if (c != 0) return c < 0 ? Order::less : Order::greater;
  if (a_size != b_size) return a_size < b_size ? Order::less : Order::greater;
  return Order::equal;
}

// None before everything; numbers as numbers (an int as the nearest double
// against a float); texts by code point; every other pair by Python.
Order compare_values(const SortValue& a, const SortValue& b) {
  const ValueKind ka = a.kind(), kb = b.kind();
  if (ka == ValueKind::integer && kb == ValueKind::integer)
    return a.integer < b.integer   ? Order::less
           : a.integer > b.integer ? Order::greater
                                   : Order::equal;
  if (ka == ValueKind::none) return kb == ValueKind::none ? Order::equal : Order::less;
  if (kb == ValueKind::none) return Order::greater;
  const bool a_number = ka == ValueKind::integer || ka == ValueKind::real;
  const bool b_number = kb == ValueKind::integer || kb == ValueKind::real;
  if (a_number && b_number)
    return compare_doubles(ka == ValueKind::real ? a.real : double(a.integer),
                           kb == ValueKind::real ? b.real : double(b.integer));
  if (ka == ValueKind::text && kb == ValueKind::text) return compare_texts(a, b);
  // Declared in this order so that y's object goes before x's.
  OwnedRef x_made, y_made;
  PyObject* x = python_operand(a, x_made);
  PyObject* y = python_operand(b, y_made);
  return python_order(x, y);
}

// The is-less test of the rows from column `first` on: the first column whose
// values differ decides; a descending column reverses its outcome.
bool rows_less(const SortValue* a, const SortValue* b, const std::uint8_t* descending,
               std::size_t first, std::size_t width) {
  for (std::size_t j = first; j < width; ++j) {
    const Order order = compare_values(a[j], b[j]);
    if (order != Order::equal) return (order == Order::less) != bool(descending[j]);
  }
  return false;
}

constexpr std::uint64_t present_bit = std::uint64_t(1) << 63;

// The order of the keys.
struct KeyLess {
  bool operator()(const SortEntry& a, const SortEntry& b) const noexcept {
    return a.high < b.high || (a.high == b.high && a.low < b.low);
  }
};

// How a column's values become key halves.  Exact: equal halves, equal
// values (ints whose span fits in 63 bits, as offsets from the smallest).
// Prefix: the leading bits of a double's order or of a text's first eight
// bytes; equal halves say nothing.  None: the column is compared in full.
struct KeyForm {
  enum Kind { exact_integer, integer_prefix, double_prefix, text_prefix, none } kind = none;
  std::int64_t smallest = 0;
};

std::uint64_t double_order(double value) noexcept {
  if (value == 0.0) value = 0.0;  // -0.0 and 0.0 are equal
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits & present_bit ? ~bits : bits | present_bit;
}

// The first eight bytes, read as a big-endian number (short texts padded
// with zero bytes).  The UTF-8 form of a str always has a NUL byte after the
// text, so byte i is read at min(i, size), which past the end is that NUL.
// No branch on the size: lengths vary from row to row, and a mispredicted
// branch per key (as in a copy of variable size) cost more than the rest of
// making the key.
std::uint64_t text_order(const SortValue& value) noexcept {
  const std::size_t size = value.text_size();
  const auto* text = reinterpret_cast<const unsigned char*>(value.text);
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < 8; ++i) word = word << 8 | text[std::min(i, size)];
  return word;
}

// The key form that column j allows.  Only None and Int: exact when the span
// of the ints fits, otherwise a prefix of their order.  Numbers without NaN,
// every Int within 2^53 so that it is a double exactly (an Int meets a Float
// as a double): a prefix of the double order.  Only None and Str: a text
// prefix.  Anything else (objects, mixed kinds, NaN, big Ints among Floats)
// is compared in full.
KeyForm choose_key_form(const SortValue* values, std::size_t n, std::size_t m, std::size_t j) {
  constexpr std::int64_t exact_limit = std::int64_t(1) << 53;
  bool integers = false, reals = false, texts = false;
  std::int64_t smallest = INT64_MAX, largest = INT64_MIN;
  for (std::size_t pos = 0; pos < n; ++pos) {
    const SortValue& value = values[pos * m + j];
    switch (value.kind()) {
      case ValueKind::none: break;
      case ValueKind::integer:
        integers = true;
        smallest = std::min(smallest, value.integer);
        largest = std::max(largest, value.integer);
        break;
      case ValueKind::real:
        if (value.real != value.real) return {};
        reals = true;
        break;
      case ValueKind::text: texts = true; break;
      case ValueKind::object: return {};
    }
  }
  if (texts) return integers || reals ? KeyForm{} : KeyForm{KeyForm::text_prefix};
  if (reals) {
    const bool exact_doubles = !integers || (smallest >= -exact_limit && largest <= exact_limit);
    return exact_doubles ? KeyForm{KeyForm::double_prefix} : KeyForm{};
  }
  if (!integers || std::uint64_t(largest) - std::uint64_t(smallest) < present_bit)
    return {KeyForm::exact_integer, integers ? smallest : 0};
  return {KeyForm::integer_prefix};
}

std::uint64_t key_half(const SortValue& value, const KeyForm& form, bool descending) noexcept {
  std::uint64_t half = 0;
  switch (value.kind()) {
    case ValueKind::integer:
      if (form.kind == KeyForm::exact_integer)
        half = present_bit | (std::uint64_t(value.integer) - std::uint64_t(form.smallest));
      else if (form.kind == KeyForm::integer_prefix)
        half = present_bit | (std::uint64_t(value.integer) ^ present_bit) >> 1;
      else
        half = present_bit | double_order(double(value.integer)) >> 1;
      break;
    case ValueKind::real: half = present_bit | double_order(value.real) >> 1; break;
    case ValueKind::text: half = present_bit | text_order(value) >> 1; break;
    case ValueKind::none:
    case ValueKind::object: break;
  }
  return descending ? ~half : half;
}

// Entries by their rows in full, from column `first` on.
struct RowLess {
  const SortValue* values;
  std::size_t width;               // the number of columns
  const std::uint8_t* descending;  // one flag per column
  std::size_t first;

  bool operator()(const SortEntry& a, const SortEntry& b) const {
    return rows_less(values + a.row * width, values + b.row * width, descending, first, width);
  }
};

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
  const KeyLess less;
  for (std::size_t i = 1; i < n; ++i) {
    const SortEntry x = a[i];
    std::size_t k = i;
    for (; k > 0 && less(x, a[k - 1]); --k) a[k] = a[k - 1];
    a[k] = x;
  }
}

// The radix sorts read a key as 16 byte digits, digit 15 the top byte of
// `high`, digit 0 the bottom byte of `low`.  Their order is KeyLess.
constexpr int digit_count = 16;

std::size_t digit_of(const SortEntry& e, int d) noexcept {
  return std::size_t((d >= 8 ? e.high >> (8 * (d - 8)) : e.low >> (8 * d)) & 0xff);
}

// The highest digit on which two entries differ, or -1 when none does.
int top_digit(const SortEntry* entries, std::size_t n) {
  std::uint64_t all_high = ~std::uint64_t(0), any_high = 0;
  std::uint64_t all_low = ~std::uint64_t(0), any_low = 0;
  for (std::size_t i = 0; i < n; ++i) {
    all_high &= entries[i].high;
    any_high |= entries[i].high;
    all_low &= entries[i].low;
    any_low |= entries[i].low;
  }
  if (const std::uint64_t differ = all_high ^ any_high)
    return 8 + (63 - __builtin_clzll(differ)) / 8;
  if (const std::uint64_t differ = all_low ^ any_low) return (63 - __builtin_clzll(differ)) / 8;
  return -1;
}

// A stable most-significant-digit radix sort of a[0, n), whose digits above
// `digit` are all equal.  Each digit spreads the entries into buckets in
// their order (through the buffer and back), and each bucket goes on with the
// next digit; a small bucket is finished by the merge sort on the keys.
// Texts, whose leading bytes spread widely, need few digits this way.
constexpr std::size_t small_bucket = 32;

// `counts` holds 2 * 257 words for each digit, so that the recursion keeps
// its tables off the stack.
void msd_radix_sort(SortEntry* a, SortEntry* buffer, std::size_t n, int digit,
                    std::size_t* counts) {
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
// significant; a digit on which all entries agree costs no pass.  Numbers,
// whose high bytes are mostly alike, need few passes this way.
void lsd_radix_sort(SortEntry* a, SortEntry* buffer, std::size_t n, bool two_halves) {
  if (n < 2) return;
  const int lowest = two_halves ? 0 : 8;  // with one half, every low digit is 0
  std::vector<std::size_t> counts(std::size_t(digit_count) * 256, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (int d = 0; d < 8; ++d) ++counts[std::size_t(d + 8) * 256 + (a[i].high >> (8 * d) & 0xff)];
    if (two_halves)
      for (int d = 0; d < 8; ++d) ++counts[std::size_t(d) * 256 + (a[i].low >> (8 * d) & 0xff)];
  }
  SortEntry* src = a;
  SortEntry* dst = buffer;
  for (int d = lowest; d < digit_count; ++d) {
    std::size_t* count = counts.data() + std::size_t(d) * 256;
    if (count[digit_of(src[0], d)] == n) continue;  // every entry has this digit
    std::size_t offset = 0;
    for (std::size_t b = 0; b < 256; ++b) offset += std::exchange(count[b], offset);
    for (std::size_t i = 0; i < n; ++i) dst[count[digit_of(src[i], d)]++] = src[i];
    std::swap(src, dst);
  }
  if (src != a) std::memcpy(a, src, n * sizeof(SortEntry));
}

// Whether column j holds equal values in every row of a[0, n).  Used on runs
// of equal prefix keys, whose values are numbers that are exact doubles or
// texts, so that equality here is transitive and calls no Python code.
bool values_all_equal(const SortEntry* a, std::size_t n, const SortValue* values, std::size_t m,
                      std::size_t j) {
  const SortValue& first = values[a[0].row * m + j];
  for (std::size_t i = 1; i < n; ++i) {
    const SortValue& other = values[a[i].row * m + j];
    if (other.kind() == ValueKind::text && first.kind() == ValueKind::text &&
        other.text == first.text)
      continue;  // the same str object
    if (compare_values(first, other) != Order::equal) return false;
  }
  return true;
}

struct Range {
  std::size_t lo, hi;
};

// Whether the keys of a[0, n) are already in order, as they are for a list
// sorted before: then a radix sort, being stable, would leave them as they
// are, and is skipped.  Costs a comparison or two on other input.
bool keys_in_order(const SortEntry* a, std::size_t n) noexcept {
  const KeyLess less;
  for (std::size_t i = 1; i < n; ++i)
    if (less(a[i], a[i - 1])) return false;
  return true;
}

constexpr std::size_t lsd_threshold = 256;

}  // namespace

void sort_entries(SortEntry* entries, SortEntry* buffer, std::size_t n, const SortValue* values,
                  std::size_t m, const std::uint8_t* descending) {
  std::vector<Range> ranges{{0, n}}, next;
  std::vector<std::size_t> radix_counts(std::size_t(digit_count) * 514);
  // Finishes a run of entries whose key half for `column` is the same: if
  // their values there may differ, by the rows in full from that column;
  // otherwise by the columns after it, in the next round of keys
  // (`next_round`) or in full.
  auto finish_run = [&](std::size_t lo, std::size_t hi, std::size_t column, const KeyForm& form,
                        bool next_round) {
    if (hi - lo < 2) return;
    if (form.kind != KeyForm::exact_integer &&
        !values_all_equal(entries + lo, hi - lo, values, m, column)) {
      merge_sort_in_place(entries + lo, buffer + lo, hi - lo,
                          RowLess{values, m, descending, column});
    } else if (column + 1 < m) {
      if (next_round)
        next.push_back({lo, hi});
      else
        merge_sort_in_place(entries + lo, buffer + lo, hi - lo,
                            RowLess{values, m, descending, column + 1});
    }
  };
  for (std::size_t j = 0; j < m && !ranges.empty(); j += 2) {
    const KeyForm form = choose_key_form(values, n, m, j);
    if (form.kind == KeyForm::none) {
      for (const Range range : ranges)
        merge_sort_in_place(entries + range.lo, buffer + range.lo, range.hi - range.lo,
                            RowLess{values, m, descending, j});
      return;
    }
    const KeyForm second = j + 1 < m ? choose_key_form(values, n, m, j + 1) : KeyForm{};
    const bool two = second.kind != KeyForm::none;
    next.clear();
    for (const Range range : ranges) {
      SortEntry* a = entries + range.lo;
      const std::size_t size = range.hi - range.lo;
      for (std::size_t i = 0; i < size; ++i) {
        const SortValue* row = values + a[i].row * m;
        a[i].high = key_half(row[j], form, descending[j]);
        a[i].low = two ? key_half(row[j + 1], second, descending[j + 1]) : 0;
      }
      if (!keys_in_order(a, size)) {
        if (form.kind == KeyForm::exact_integer && size >= lsd_threshold)
          lsd_radix_sort(a, buffer + range.lo, size, two);
        else
          msd_radix_sort(a, buffer + range.lo, size, top_digit(a, size), radix_counts.data());
      }
      // Runs of equal keys: settled, finished in full, or on to the next columns.
      for (std::size_t lo = range.lo; lo < range.hi;) {
        std::size_t hi = lo + 1;
        while (hi < range.hi && entries[hi].high == entries[lo].high) ++hi;
        if (!two) {
          finish_run(lo, hi, j, form, false);
        } else if (hi - lo > 1) {
          if (form.kind != KeyForm::exact_integer &&
              !values_all_equal(entries + lo, hi - lo, values, m, j)) {
            merge_sort_in_place(entries + lo, buffer + lo, hi - lo,
                                RowLess{values, m, descending, j});
          } else {
            for (std::size_t sub = lo; sub < hi;) {
              std::size_t end = sub + 1;
              while (end < hi && entries[end].low == entries[sub].low) ++end;
              finish_run(sub, end, j + 1, second, true);
              sub = end;
            }
          }
        }
        lo = hi;
      }
    }
    std::swap(ranges, next);
  }
}

}  // namespace kesp
