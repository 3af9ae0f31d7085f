// Multi-key sort of a list of dictionaries.
//
// multikeysort(items, columns, inplace) reads the column specification, keeps
// the columns that some dict has as a key, looks every item up once per column
// and stores each value in the call's scratch block, sorts the rows, and reads
// the items back from the list in the sorted order.
//
// The stored values and the sort of the rows are in rowsort.h.
//
// Python code can run during the lookups and during the comparisons of values
// the module cannot order by itself; it may change the list.  So the list is
// read only by position with its size checked at every read, and written only
// at the very end, after every read succeeded.
#include "dictsort.h"

#include "hash_index.h"
#include "rowsort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace kesp {
namespace {

constexpr std::string_view multikeysort_parameters[] = {"items", "columns", "inplace"};
constexpr FunctionDescription multikeysort_description{
    "multikeysort", multikeysort_parameters, 0, 2, {}};

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

bool has_index(PyTypeObject* type) { return type->tp_as_number && type->tp_as_number->nb_index; }
bool has_float(PyTypeObject* type) { return type->tp_as_number && type->tp_as_number->nb_float; }

// Stores a str as a text where it has a UTF-8 form (an ASCII str is its own;
// another caches the one made here); false, with the error dropped, for one
// holding a lone surrogate, which stays with the caller.
bool store_text_if_usable(ColumnValues& column, std::size_t row, OwnedRef& str) {
  if (!PyUnicode_IS_ASCII(str.get())) {
    Py_ssize_t size = 0;
    if (!PyUnicode_AsUTF8AndSize(str.get(), &size)) {
      discard_error();
      return false;
    }
  }
  column.store_text(row, std::move(str));
  return true;
}

// Stores the looked-up value `v` of `row` (null when the lookup raised):
// None; an int within 64 bits (or anything with __index__ that gives one); a
// float (or anything float() can read); a str; otherwise the object itself.
// `v` is held by `owned`, or borrowed from a dict that only Python code could
// change: a reference is taken before anything that may run such code, and
// for every value the column keeps.  The shortcuts for the exact built-in
// types skip only conversions that would fail without running code.
void read_value(ColumnValues& column, std::size_t row, PyObject* v, OwnedRef owned) {
  if (!v || v == Py_None) return column.store_none(row);
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(v, &overflow);
    if (!overflow) return column.store_integer(row, number);
    const double real = PyLong_AsDouble(v);
    if (real != -1.0 || !PyErr_Occurred()) return column.store_real(row, real);
    discard_error();  // beyond the range of a double: compared by Python
    if (!owned) owned = OwnedRef::borrow(v);
    return column.store_object(row, std::move(owned));
  }
  if (type == &PyFloat_Type) return column.store_real(row, PyFloat_AS_DOUBLE(v));
  if (type == &PyBool_Type) return column.store_integer(row, v == Py_True);
  if (!owned) owned = OwnedRef::borrow(v);
  if (type == &PyUnicode_Type) {
    if (!store_text_if_usable(column, row, owned)) column.store_object(row, std::move(owned));
    return;
  }

  if (PyLong_Check(v) || has_index(type)) {
    const long number = PyLong_AsLong(v);
    if (number != -1 || !PyErr_Occurred()) return column.store_integer(row, number);
    discard_error();
  }
  if (PyFloat_Check(v) || has_float(type) || has_index(type)) {
    const double real = PyFloat_AsDouble(v);
    if (real != -1.0 || !PyErr_Occurred()) return column.store_real(row, real);
    discard_error();
  }
  if (PyUnicode_Check(v) && store_text_if_usable(column, row, owned)) return;
  column.store_object(row, std::move(owned));
}

// Looks item[key] up and stores the value, or None when the lookup raised
// (the error is dropped).
void look_up(ColumnValues& column, std::size_t row, PyObject* item, PyObject* key) {
  if (PyDict_CheckExact(item)) {
    // The same lookup a subscription makes, without making a KeyError for a
    // missing key (a plain dict has no __missing__).  The value is borrowed.
    PyObject* value = PyDict_GetItemWithError(item, key);
    if (!value && PyErr_Occurred()) discard_error();
    return read_value(column, row, value, OwnedRef());
  }
  OwnedRef value = OwnedRef::steal(PyObject_GetItem(item, key));
  if (!value) discard_error();
  PyObject* v = value.get();
  read_value(column, row, v, std::move(value));
}

// The references the columns hold, given back when the call ends: those of
// the values stored so far, row by row and in each row column by column.
class HeldValues {
 public:
  explicit HeldValues(std::vector<ColumnValues>& columns) noexcept : columns_(columns) {}
  HeldValues(const HeldValues&) = delete;
  HeldValues& operator=(const HeldValues&) = delete;
  ~HeldValues() {
    for (std::size_t j = 0; j < columns_.size(); ++j) {
      const ColumnValues& column = columns_[j];
      if (!column.holds_references()) continue;
      const std::size_t end = rows_ + (j < columns_in_row_ ? 1 : 0);
      for (std::size_t row = 0; row < end; ++row)
        if (column.kinds[row] == ValueKind::text || column.kinds[row] == ValueKind::object)
          OwnedRef::steal(reinterpret_cast<PyObject*>(std::uintptr_t(column.words[row]))).reset();
    }
  }

  void stored_value() noexcept { ++columns_in_row_; }
  void stored_row() noexcept {
    ++rows_;
    columns_in_row_ = 0;
  }

 private:
  std::vector<ColumnValues>& columns_;
  std::size_t rows_ = 0;            // rows whose every value is stored
  std::size_t columns_in_row_ = 0;  // values stored of the next row
};

// Sizes that overflow are allocations that fail.
std::size_t size_sum(std::size_t a, std::size_t b) {
  std::size_t sum;
  if (__builtin_add_overflow(a, b, &sum)) throw std::bad_alloc();
  return sum;
}
std::size_t size_product(std::size_t a, std::size_t b) {
  std::size_t product;
  if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
  return product;
}

// Where the parts of a call's scratch block go, in bytes from its start: the
// radix counts and the column frames, the entries and their buffer, every
// column's kinds, the words of the columns after the first, and last the
// room for the first column's words, which only a first column without exact
// keys touches (an untouched stretch of a mapping costs no fault).
struct ScratchLayout {
  std::size_t frames, entries, buffer, kinds, words, words0, size;

  ScratchLayout(std::size_t n, std::size_t m) {
    const std::size_t word = sizeof(std::uint64_t);
    frames = SortScratch::count_words * sizeof(std::size_t);
    entries = size_sum(frames, size_product(m, SortScratch::frame_words * sizeof(std::size_t)));
    buffer = size_sum(entries, size_product(n, sizeof(SortEntry)));
    kinds = size_sum(buffer, size_product(n, sizeof(SortEntry)));
    const std::size_t kind_bytes = size_product(n, m);
    words = size_sum(kinds, size_sum(kind_bytes, word - 1) & ~(word - 1));
    words0 = size_sum(words, size_product(size_product(n, m - 1), word));
    size = size_sum(words0, size_product(n, word));
  }
};

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
      __builtin_prefetch(value, 1);  // for writing: a value the column keeps gets a reference
  }
}

// A new list of the items in their present order, read from the storage.
OwnedRef copy_of(PyObject* items) {
  return checked(PyList_GetSlice(items, 0, PyList_GET_SIZE(items)));
}

// The list having become shorter than n by the end of the sort is an internal
// failure, reported with the error of reading the first position it lacks.
void check_read_back(PyObject* items, const SortEntry* sorted, std::size_t n) {
  const Py_ssize_t present = PyList_GET_SIZE(items);
  if (present >= Py_ssize_t(n)) return;
  for (std::size_t k = 0; k < n; ++k) {
    const Py_ssize_t position = Py_ssize_t(sorted[k].row);
    if (position < present) continue;
    (void)PyList_GetItem(items, position);  // fails: IndexError
    internal_failure(std::string(read_back_failure) + ": " + fetch_error().text_form());
  }
}

// The items at the sorted positions, in sorted order, into out[0, n), read from
// the list's storage without taking references; check_read_back has passed.
// The positions are scattered over the storage, so each is asked for some
// reads ahead.
constexpr std::size_t read_back_distance = 32;

void read_back(PyObject* items, const SortEntry* sorted, std::size_t n, PyObject** out) noexcept {
  PyObject* const* stored = reinterpret_cast<PyListObject*>(items)->ob_item;
  for (std::size_t k = 0; k < n; ++k) {
    if (k + read_back_distance < n) __builtin_prefetch(&stored[sorted[k + read_back_distance].row]);
    out[k] = stored[sorted[k].row];
  }
}

// The sort itself.  Returns the new list, or nothing when `inplace` is true.
Result<OwnedRef> multikeysort(PyObject* items, PyObject* columns_spec, bool inplace) {
  std::vector<SortColumn> columns;
  if (columns_spec != Py_None) columns = keep_present_columns(read_columns(columns_spec), items);
  if (columns.empty()) return inplace ? OwnedRef() : copy_of(items);

  const std::size_t n = std::size_t(PyList_GET_SIZE(items));
  const std::size_t m = columns.size();
  const ScratchLayout layout(n, m);
  ScratchBlock block(layout.size);
  std::byte* const scratch = block.data();
  auto* entries = reinterpret_cast<SortEntry*>(scratch + layout.entries);
  auto* buffer = reinterpret_cast<SortEntry*>(scratch + layout.buffer);
  auto* const kinds = reinterpret_cast<ValueKind*>(scratch + layout.kinds);
  auto* const words = reinterpret_cast<std::uint64_t*>(scratch + layout.words);

  // The first column's words are the entries' keys (see sort_rows).
  std::vector<ColumnValues> values(m);
  for (std::size_t j = 0; j < m; ++j) {
    values[j].words = j == 0
                          ? ColumnWords{&entries[0].key, sizeof(SortEntry) / sizeof(std::uint64_t)}
                          : ColumnWords{words + (j - 1) * n, 1};
    values[j].kinds = kinds + j * n;
    values[j].descending = columns[j].descending;
  }
  HeldValues held(values);

  // One lookup per item per column, row by row.
  for (std::size_t pos = 0; pos < n; ++pos) {
    prefetch_item(items, pos + 3 * prefetch_distance);
    prefetch_keys(items, pos + 2 * prefetch_distance);
    prefetch_values(items, pos + prefetch_distance, columns);
    PyObject* read = PyList_GetItem(items, Py_ssize_t(pos));
    if (!read) return fetch_error();  // the list became shorter
    OwnedRef item = OwnedRef::borrow(read);
    for (std::size_t j = 0; j < m; ++j) {
      look_up(values[j], pos, item.get(), columns[j].key.get());
      held.stored_value();
    }
    held.stored_row();
  }

  sort_rows(entries, buffer, n, values.data(), m,
            reinterpret_cast<std::uint64_t*>(scratch + layout.words0),
            {reinterpret_cast<std::size_t*>(scratch),
             reinterpret_cast<std::size_t*>(scratch + layout.frames)});

  // Nothing from here on runs Python code: the list holds at positions 0 to
  // n - 1 what it holds after the sort, and the sorted rows are a
  // permutation of those positions.
  if (!inplace) {
    // Read straight into the new list (made with every place empty, so that
    // a failed check releases nothing), and then take the references it
    // holds: one to each item at those positions, in the list's order, which
    // is the order of the items' memory far more often than the sorted one.
    OwnedRef result = checked(PyList_New(Py_ssize_t(n)));
    check_read_back(items, entries, n);
    read_back(items, entries, n, reinterpret_cast<PyListObject*>(result.get())->ob_item);
    for (std::size_t pos = 0; pos < n; ++pos) Py_INCREF(PyList_GET_ITEM(items, Py_ssize_t(pos)));
    return result;
  }

  // In place: every read first, into the buffer, and the list is written only
  // once all of them succeeded.  The list then gets back the very objects it
  // held, each as often as it held it, so no reference count changes and no
  // finaliser runs.
  check_read_back(items, entries, n);
  PyObject** const order = reinterpret_cast<PyObject**>(buffer);
  read_back(items, entries, n, order);
  for (std::size_t pos = 0; pos < n; ++pos) PyList_SET_ITEM(items, Py_ssize_t(pos), order[pos]);
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
