// Multi-key sort of a list of dictionaries.
//
// multikeysort(items, columns, inplace) reads the column specification, keeps
// the columns that some dict has as a key, looks every item up once per column
// and turns each value into a SortValue, sorts the rows, and reads the items
// back from the list in the sorted order.
//
// The rows are sorted by radix sorts on keys made from the values wherever a
// column's values allow it (ints, floats, texts, None), and otherwise by our
// own stable merge sort comparing the values, through Python where the
// module cannot order them itself.  Neither trusts the comparison to be a
// consistent order: whatever it answers, every row comes out exactly once.
//
// Python code can run during the lookups and during the comparisons of values
// the module cannot order by itself; it may change the list.  So the list is
// read only by position with its size checked at every read, and written only
// at the very end, after every read succeeded.
#include "dictsort.h"

#include "hash_index.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace kesp {
namespace {

constexpr std::string_view multikeysort_parameters[] = {"items", "columns", "inplace"};
constexpr FunctionDescription multikeysort_description{
    "multikeysort", multikeysort_parameters, 0, 2, {}};

// Takes the pending exception and drops it.  A PanicException raised by the
// caller's code is not dropped: take_error ends the call with it.
void discard_error() { (void)take_error(); }

// ---------------------------------------------------------------------------
// Columns

struct SortColumn {
  std::string name;
  bool descending;
  OwnedRef key;  // the str looked up in every item, made once per call
  // The entry position at which the first dict holding the key keeps it, or
  // -1.  Dicts built the same way keep their keys at the same positions, so
  // the extraction peeks there to prefetch the value; only a hint.
  Py_ssize_t entry = -1;
};

// The UTF-8 text of a str (a subclass counts); nullopt, with the error
// dropped, for anything else or for a str holding a lone surrogate.
std::optional<std::string> usable_text(PyObject* object) {
  if (!PyUnicode_Check(object)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) {
    discard_error();
    return std::nullopt;
  }
  return std::string(data, std::size_t(size));
}

// The texts of a sequence that is not a list, read by iterating it.  Any
// element that is not a usable str, or any error, voids the whole
// specification.
std::vector<std::string> iterate_specification(PyObject* columns) {
  // A defined __len__ runs, as for any sequence; its answer is not needed.
  if (PySequence_Size(columns) < 0) discard_error();
  std::vector<std::string> texts;
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(columns));
  if (!iterator) {
    discard_error();
    return {};
  }
  while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    std::optional<std::string> text = usable_text(element.get());
    if (!text) return {};
    texts.push_back(std::move(*text));
  }
  if (PyErr_Occurred()) {
    discard_error();
    return {};
  }
  return texts;
}

std::vector<std::string> specification_texts(PyObject* columns) {
  if (PyUnicode_Check(columns)) {
    // A str is one column, never split; one with a lone surrogate is none.
    std::optional<std::string> text = usable_text(columns);
    if (!text) return {};
    return {std::move(*text)};
  }
  if (PyList_Check(columns)) {
    // Read from the list's storage; elements that are not usable str are
    // skipped.  No Python code runs here, but the size is read every time.
    std::vector<std::string> texts;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); ++i)
      if (std::optional<std::string> text = usable_text(PyList_GET_ITEM(columns, i)))
        texts.push_back(std::move(*text));
    return texts;
  }
  if (PySequence_Check(columns)) return iterate_specification(columns);
  return {};
}

std::vector<SortColumn> read_columns(PyObject* columns) {
  std::vector<SortColumn> result;
  for (std::string& text : specification_texts(columns)) {
    const bool descending = !text.empty() && text[0] == '-';
    if (descending) text.erase(0, 1);
    result.push_back(SortColumn{std::move(text), descending, {}});
  }
  return result;
}

// Whether two str objects (subclasses count) hold the same text.  Every str
// is stored in its narrowest kind, so equal texts have equal kinds and equal
// bytes.
bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     std::size_t(length) * PyUnicode_KIND(a)) == 0;
}

// The str hash of a str (a subclass counts): str's own, cached in the object;
// a subclass's __hash__ is not asked, so no Python code runs.
std::uint64_t text_hash(PyObject* str) { return std::uint64_t(PyUnicode_Type.tp_hash(str)); }

// Keeps the columns whose name is a str key of at least one dict among the
// items (a dict subclass counts; its stored entries are read, no method is
// called), and gives every kept column its lookup key.  The distinct names
// are put in a hash index, and every stored key is looked for there: one
// pass over the keys, which stops as soon as every name is found.  No Python
// code runs here.
//
// A column found under a key of exactly str is looked up with that very key
// object: its hash is already known, and dicts built from the same literal
// share it, which makes the lookups identity hits.
std::vector<SortColumn> keep_present_columns(std::vector<SortColumn> columns, PyObject* items) {
  struct Name {
    OwnedRef key;        // a str made from the name
    OwnedRef exact_key;  // the first exact str key found with this text
    Py_ssize_t entry = -1;
    bool found = false;
  };
  std::vector<Name> names;
  std::vector<std::size_t> name_of(columns.size());
  HashIndex index;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::string& text = columns[c].name;
    OwnedRef key = checked(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    const std::uint64_t hash = text_hash(key.get());
    std::size_t k =
        index.find(hash, [&](std::size_t k) { return same_text(names[k].key.get(), key.get()); });
    if (k == HashIndex::none) {
      names.push_back({std::move(key), {}, -1, false});
      k = index.add(hash);
    }
    name_of[c] = k;
  }

  std::size_t missing = names.size();
  for (Py_ssize_t i = 0; missing > 0 && i < PyList_GET_SIZE(items); ++i) {
    PyObject* item = PyList_GET_ITEM(items, i);
    if (!PyDict_Check(item)) continue;
    Py_ssize_t cursor = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (missing > 0 && PyDict_Next(item, &cursor, &key, &value)) {
      if (!PyUnicode_Check(key)) continue;
      const std::size_t k = index.find(
          text_hash(key), [&](std::size_t k) { return same_text(key, names[k].key.get()); });
      if (k == HashIndex::none || names[k].found) continue;
      Name& name = names[k];
      name.found = true;
      --missing;
      name.entry = cursor - 1;  // PyDict_Next left the cursor past it
      if (PyUnicode_CheckExact(key)) name.exact_key = OwnedRef::borrow(key);
    }
  }

  std::vector<SortColumn> kept;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const Name& name = names[name_of[c]];
    if (!name.found) continue;
    columns[c].key = name.exact_key ? name.exact_key.clone() : name.key.clone();
    columns[c].entry = name.entry;
    kept.push_back(std::move(columns[c]));
  }
  return kept;
}

// ---------------------------------------------------------------------------
// Values

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

bool has_index(PyTypeObject* type) { return type->tp_as_number && type->tp_as_number->nb_index; }
bool has_float(PyTypeObject* type) { return type->tp_as_number && type->tp_as_number->nb_float; }

bool set_text_if_usable(SortValue& out, OwnedRef& value) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (!data) {
    discard_error();  // a lone surrogate: the value stays an object
    return false;
  }
  out.set_text(std::move(value), data, size);
  return true;
}

// Turns a looked-up value into a SortValue: None; an int within 64 bits (or
// anything with __index__ that gives one); a float (or anything float() can
// read); a str; otherwise the object itself.  The shortcuts for the exact
// built-in types skip only conversions that would fail without running code.
void read_value(SortValue& out, OwnedRef value) {
  PyObject* v = value.get();
  if (!v || v == Py_None) return;
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(v, &overflow);
    if (!overflow) return out.set_integer(number);
    const double real = PyLong_AsDouble(v);
    if (real == -1.0 && PyErr_Occurred()) {
      discard_error();  // beyond the range of a double: compared by Python
      return out.set_object(std::move(value));
    }
    return out.set_real(real);
  }
  if (type == &PyFloat_Type) return out.set_real(PyFloat_AS_DOUBLE(v));
  if (type == &PyUnicode_Type) {
    if (!set_text_if_usable(out, value)) out.set_object(std::move(value));
    return;
  }
  if (type == &PyBool_Type) return out.set_integer(v == Py_True);

  if (PyLong_Check(v) || has_index(type)) {
    const long number = PyLong_AsLong(v);
    if (number != -1 || !PyErr_Occurred()) return out.set_integer(number);
    discard_error();
  }
  if (PyFloat_Check(v) || has_float(type) || has_index(type)) {
    const double real = PyFloat_AsDouble(v);
    if (real != -1.0 || !PyErr_Occurred()) return out.set_real(real);
    discard_error();
  }
  if (PyUnicode_Check(v) && set_text_if_usable(out, value)) return;
  out.set_object(std::move(value));
}

// item[key], or nothing when the lookup raised (the error is dropped).
OwnedRef look_up(PyObject* item, PyObject* key) {
  if (PyDict_CheckExact(item)) {
    // The same lookup a subscription makes, without making a KeyError for a
    // missing key (a plain dict has no __missing__).
    if (PyObject* value = PyDict_GetItemWithError(item, key)) return OwnedRef::borrow(value);
    if (PyErr_Occurred()) discard_error();
    return {};
  }
  OwnedRef value = OwnedRef::steal(PyObject_GetItem(item, key));
  if (!value) discard_error();
  return value;
}

// ---------------------------------------------------------------------------
// Ordering

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

// Sorts the entries by the rows, two columns at a time.  Columns j and j + 1
// make the keys of every range whose rows agree on all earlier columns, and
// the range is sorted by those keys.  Then each run of equal keys whose
// values are known to be equal becomes a range for the next two columns.  A
// column without usable keys, or a run of equal prefixes whose values differ,
// is finished by the merge sort comparing the rows in full.  The result is
// the order of rows_less over all columns, and it is stable.
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

// ---------------------------------------------------------------------------
// The body

constexpr const char read_back_failure[] =
    "an item could not be read back after the sort: an error value was met where a "
    "successful read was expected";

// The extraction's prefetches.  The items of a list that was sorted before
// are scattered in memory, and so are their values; reading item -> keys
// table -> value one after the other, each waiting for the last, costs more
// than the lookups themselves.  So each is asked for some rows ahead, each
// stage reading only what the stage before has brought in: the item
// 3 * `prefetch_distance` rows on, its keys table 2 * on, and the values
// `prefetch_distance` on.  Only hints, which run no Python code and change
// nothing; a position beyond the end is ignored.
constexpr std::size_t prefetch_distance = 8;

PyObject* item_at(PyObject* items, std::size_t pos) noexcept {
  if (Py_ssize_t(pos) >= PyList_GET_SIZE(items)) return nullptr;
  return PyList_GET_ITEM(items, Py_ssize_t(pos));
}

void prefetch_item(PyObject* items, std::size_t pos) noexcept {
  // For writing: the lookup takes a reference to it.
  if (PyObject* item = item_at(items, pos)) __builtin_prefetch(item, 1);
}

// The keys table's first lines: its header, indices and first entries, all
// that the lookups in a small dict read.  The values of a split table too.
void prefetch_keys(PyObject* items, std::size_t pos) noexcept {
  PyObject* item = item_at(items, pos);
  if (!item || !PyDict_Check(item)) return;
  const PyDictObject* dict = reinterpret_cast<const PyDictObject*>(item);
  // As an address, not a pointer: the table may be shorter than four lines.
  const std::uintptr_t keys = reinterpret_cast<std::uintptr_t>(dict->ma_keys);
  for (std::uintptr_t line = 0; line < 4; ++line)
    __builtin_prefetch(reinterpret_cast<const void*>(keys + 64 * line));
  if (dict->ma_values) __builtin_prefetch(dict->ma_values);
}

// Each column's value, read from the entry at the position where the first
// dict kept that column's key (PyDict_Next reads the stored entries, bounded
// by their count).  In a dict of another layout it is some other value of the
// same dict: a wasted prefetch, nothing more.
void prefetch_values(PyObject* items, std::size_t pos,
                     const std::vector<SortColumn>& columns) noexcept {
  PyObject* item = item_at(items, pos);
  if (!item || !PyDict_Check(item)) return;
  for (const SortColumn& column : columns) {
    Py_ssize_t cursor = column.entry;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (cursor >= 0 && PyDict_Next(item, &cursor, &key, &value))
      __builtin_prefetch(value, 1);  // for writing: the lookup takes a reference
  }
}

// The items are read back in sorted order, scattered in memory: each is
// asked for some reads ahead (for writing: the read takes a reference).
constexpr std::size_t read_back_distance = 16;

void prefetch_read_back(PyObject* items, const SortEntry* sorted, std::size_t n,
                        std::size_t k) noexcept {
  if (k + read_back_distance >= n) return;
  if (PyObject* item = item_at(items, sorted[k + read_back_distance].row))
    __builtin_prefetch(item, 1);
}

// A new list of the items in their present order, read from the storage.
OwnedRef copy_of(PyObject* items) {
  return checked(PyList_GetSlice(items, 0, PyList_GET_SIZE(items)));
}

// The item at `position`, read again after Python code may have run; the
// list having become shorter is an internal failure.
OwnedRef read_back(PyObject* items, Py_ssize_t position) {
  if (position < PyList_GET_SIZE(items)) return OwnedRef::borrow(PyList_GET_ITEM(items, position));
  PyObject* item = PyList_GetItem(items, position);
  if (item) return OwnedRef::borrow(item);
  internal_failure(std::string(read_back_failure) + ": " + fetch_error().text_form());
}

// The sort itself.  Returns the new list, or nothing when `inplace` is true.
Result<OwnedRef> multikeysort(PyObject* items, PyObject* columns_spec, bool inplace) {
  std::vector<SortColumn> columns;
  if (columns_spec != Py_None) columns = keep_present_columns(read_columns(columns_spec), items);
  if (columns.empty()) return inplace ? OwnedRef() : copy_of(items);

  const std::size_t n = std::size_t(PyList_GET_SIZE(items));
  const std::size_t m = columns.size();
  if (n > SIZE_MAX / sizeof(SortValue) / m) throw std::bad_alloc();

  // One lookup per item per column, row by row.
  std::vector<SortValue> values(n * m);
  for (std::size_t pos = 0; pos < n; ++pos) {
    prefetch_item(items, pos + 3 * prefetch_distance);
    prefetch_keys(items, pos + 2 * prefetch_distance);
    prefetch_values(items, pos + prefetch_distance, columns);
    PyObject* read = PyList_GetItem(items, Py_ssize_t(pos));
    if (!read) return fetch_error();  // the list became shorter
    OwnedRef item = OwnedRef::borrow(read);
    SortValue* row = values.data() + pos * m;
    for (std::size_t j = 0; j < m; ++j)
      read_value(row[j], look_up(item.get(), columns[j].key.get()));
  }

  std::vector<std::uint8_t> descending(m);
  for (std::size_t j = 0; j < m; ++j) descending[j] = columns[j].descending;
  // Scratch arrays, written before they are read.
  std::unique_ptr<SortEntry[]> rows(new SortEntry[n]), buffer(new SortEntry[n]);
  for (std::size_t pos = 0; pos < n; ++pos) rows[pos] = SortEntry{0, 0, pos};
  sort_entries(rows.get(), buffer.get(), n, values.data(), m, descending.data());
  const SortEntry* sorted = rows.get();

  if (!inplace) {
    // Read straight into the new list, which saves an array as large; a
    // failed read releases the list with the places it has not filled empty.
    OwnedRef result = checked(PyList_New(Py_ssize_t(n)));
    for (std::size_t k = 0; k < n; ++k) {
      prefetch_read_back(items, sorted, n, k);
      PyList_SET_ITEM(result.get(), Py_ssize_t(k),
                      read_back(items, Py_ssize_t(sorted[k].row)).release());
    }
    return result;
  }

  // Every read first; the list is written only once all of them succeeded.
  RefVec result;
  result.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    prefetch_read_back(items, sorted, n, k);
    result.push_back(read_back(items, Py_ssize_t(sorted[k].row)));
  }

  // Every position below n exists (no Python code ran since the reads), and
  // every object now there is also held by `result`, so replacing it runs
  // no finaliser.  The replaced references are given back after the stores.
  RefVec replaced;
  replaced.reserve(n);
  for (std::size_t pos = 0; pos < n && Py_ssize_t(pos) < PyList_GET_SIZE(items); ++pos) {
    replaced.push_back(OwnedRef::steal(PyList_GET_ITEM(items, Py_ssize_t(pos))));
    PyList_SET_ITEM(items, Py_ssize_t(pos), result[pos].release());
  }
  return OwnedRef();
}

// ---------------------------------------------------------------------------
// Arguments

PyObject* module_attribute_name() {
  static PyObject* name = nullptr;
  if (name) return name;
  PyObject* made = checked(PyUnicode_FromStringAndSize("__module__", 10)).release();
  PyUnicode_InternInPlace(&made);
  if (name) {
    OwnedRef::steal(made).reset();  // another thread stored one first
  } else {
    name = made;  // kept for the rest of the process
  }
  return name;
}

bool utf8_equals(PyObject* str, std::string_view expected) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) {
    discard_error();
    return false;
  }
  return std::string_view(data, std::size_t(size)) == expected;
}

// numpy's bool scalar types, told by their module and name (numpy itself is
// never imported): module "numpy", name "bool_" or, on newer numpy, "bool".
// Any error on the way answers no.
bool is_numpy_bool_type(PyTypeObject* type) {
  OwnedRef module =
      OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), module_attribute_name()));
  if (!module) {
    discard_error();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !utf8_equals(module.get(), "numpy")) return false;
  module.reset();
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  if (!name) {
    discard_error();
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!data) {
    discard_error();
    return false;
  }
  const std::string_view text(data, std::size_t(size));
  return text == "bool_" || text == "bool";
}

Result<bool> convert_inplace(BorrowedRef given) {
  PyObject* value = given.get();
  if (!value) return false;
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBool_Type) return value == Py_True;
  if (!is_numpy_bool_type(type))
    return wrap_argument_error("inplace", conversion_error_from_borrowed(value, "PyBool"));
  if (type->tp_as_number && type->tp_as_number->nb_bool) {
    const int truth = type->tp_as_number->nb_bool(value);
    if (truth == 0 || truth == 1) return truth == 1;
    return wrap_argument_error("inplace", fetch_error());
  }
  // What str() gives for the type, even when that is empty or holds lone
  // surrogates; only a str() that raises falls back to the type's own name.
  const std::string type_text = str_lossy(reinterpret_cast<PyObject*>(type))
                                    .value_or(std::string("<class '") + type->tp_name + "'>");
  return wrap_argument_error("inplace", PyErr::type_error("object of type '" + type_text +
                                                          "' does not define a '__bool__' "
                                                          "conversion"));
}

}  // namespace

CallResult multikeysort_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                             BorrowedRef kwnames) {
  BorrowedRef slots[3];
  KESP_TRY(extract_fastcall_arguments(multikeysort_description, args, nargs, kwnames, slots));
  PyObject* items = slots[0].get();
  if (!PyList_Check(items))
    return wrap_argument_error("items", conversion_error_from_borrowed(items, "PyList"));
  KESP_TRY_ASSIGN(const bool inplace, convert_inplace(slots[2]));
  KESP_TRY_ASSIGN(OwnedRef sorted, multikeysort(items, slots[1].get(), inplace));
  if (!sorted) return new_none();
  return sorted;
}

}  // namespace kesp
