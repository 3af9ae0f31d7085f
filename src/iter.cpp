// List utilities: flattening, back-fill of lists and records, order test.
#include "iter.h"

#include "hash_index.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kesp {
namespace {

constexpr FunctionDescription collapse_description{"collapse", {}, 0, 0, {}};

constexpr std::string_view backfill_parameters[] = {"values"};
constexpr FunctionDescription backfill_description{"backfill", backfill_parameters, 0, 1, {}};

constexpr std::string_view backfill_iterdict_parameters[] = {"iterdict"};
constexpr FunctionDescription backfill_iterdict_description{
    "backfill_iterdict", backfill_iterdict_parameters, 0, 1, {}};

constexpr std::string_view same_order_parameters[] = {"ref_list", "comp"};
constexpr FunctionDescription same_order_description{"same_order", same_order_parameters, 0, 2, {}};

// "argument 'name': 'T' object cannot be converted to 'PyList'"
PyErr not_a_list(std::string_view name, PyObject* object) {
  return wrap_argument_error(name, conversion_error_from_borrowed(object, "PyList"));
}

PyErr index_out_of_range() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  return fetch_error();
}

// ---------------------------------------------------------------------------
// collapse

bool is_container(PyObject* object) { return PyList_Check(object) || PyTuple_Check(object); }

// A list or tuple being walked, and the position of its next item.  The walk
// runs no Python code, so the stored size and item array stay valid, and every
// container on the path is kept alive by the one that holds it (the first by
// the argument tuple).
struct OpenContainer {
  PyObject* container;
  PyObject* const* items;
  Py_ssize_t size;
  Py_ssize_t next;
};

// The containers from the argument tuple down to the one being walked.  A
// container met again on its own path contains itself and has no finite
// flattening.  The first few levels are searched by a scan, which is all that
// flat and shallow inputs ever pay; deeper levels are also kept in a hash set,
// so that deep nesting stays linear.
class WalkPath {
 public:
  bool empty() const noexcept { return open_.empty(); }
  OpenContainer& top() noexcept { return open_.back(); }

  bool contains(PyObject* container) const {
    const std::size_t scanned = std::min(open_.size(), scanned_levels);
    for (std::size_t i = 0; i < scanned; ++i)
      if (open_[i].container == container) return true;
    return open_.size() > scanned_levels && deep_.contains(container);
  }

  template <bool track>
  void open(PyObject* container) {
    if (track && open_.size() >= scanned_levels) deep_.insert(container);
    open_.push_back({container, PySequence_Fast_ITEMS(container), Py_SIZE(container), 0});
  }

  template <bool track>
  void close() {
    if (track && open_.size() > scanned_levels) deep_.erase(open_.back().container);
    open_.pop_back();
  }

 private:
  static constexpr std::size_t scanned_levels = 24;
  std::vector<OpenContainer> open_;
  std::unordered_set<PyObject*> deep_;
};

// Walks the leaves under `root` depth first and left to right, calling
// `on_leaf` for each, with an explicit path instead of recursion, so that any
// depth is walked.  With `find_cycles`, returns false as soon as a container
// is met inside itself.  The walk runs no Python code.
template <bool find_cycles, class OnLeaf>
bool walk_leaves(PyObject* root, WalkPath& path, OnLeaf on_leaf) {
  path.open<find_cycles>(root);
  while (!path.empty()) {
    OpenContainer& top = path.top();
    PyObject* const* items = top.items;
    Py_ssize_t next = top.next;
    PyObject* inner = nullptr;
    while (next < top.size) {
      PyObject* item = items[next++];
      if (is_container(item)) {
        inner = item;
        break;
      }
      on_leaf(item);
    }
    top.next = next;
    if (!inner) {
      path.close<find_cycles>();
    } else if (Py_SIZE(inner) != 0) {
      // A container met again on its own path is held by a slot above its
      // first place on the path and by one below it, so a container with a
      // single reference needs no search.
      if (find_cycles && Py_REFCNT(inner) > 1 && path.contains(inner)) return false;
      path.open<find_cycles>(inner);
    }
  }
  return true;
}

PyErr contains_itself() {
  PyErr_SetString(PyExc_ValueError,
                  "collapse() cannot flatten a list or tuple that contains itself");
  return fetch_error();
}

// ---------------------------------------------------------------------------
// same_order

// r == v for the pairs whose comparison the interpreter makes in C without
// running Python code: two exact str, or two exact int that fit a machine
// word.  The answer is the one their own comparison gives; -1 means the pair
// has to go through the rich comparison.
int plain_equal(PyObject* r, PyObject* v) {
  if (PyUnicode_CheckExact(r)) {
    if (!PyUnicode_CheckExact(v)) return -1;
    if (r == v) return 1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(r);
    const int kind = PyUnicode_KIND(r);
    return length == PyUnicode_GET_LENGTH(v) && kind == PyUnicode_KIND(v) &&
           std::memcmp(PyUnicode_DATA(r), PyUnicode_DATA(v), std::size_t(length) * kind) == 0;
  }
  if (PyLong_CheckExact(r) && PyLong_CheckExact(v)) {
    auto* a = reinterpret_cast<PyLongObject*>(r);
    auto* b = reinterpret_cast<PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(a) && PyUnstable_Long_IsCompact(b))
      return PyUnstable_Long_CompactValue(a) == PyUnstable_Long_CompactValue(b);
  }
  return -1;
}

// r == v through the rich comparison and the truth of its result; both may
// run Python code.  v is held while it is compared, since that code may take
// it out of its list.
Result<bool> rich_equal(PyObject* r, PyObject* v) {
  KESP_TRY_ASSIGN(OwnedRef equal, rich_compare(r, OwnedRef::borrow(v), Py_EQ));
  if (equal.get() == Py_True) return true;
  if (equal.get() == Py_False) return false;
  const int truth = PyObject_IsTrue(equal.get());
  if (truth < 0) return fetch_error();
  return truth != 0;
}

// The first position of `comp`, among the first n, whose element equals r;
// -1 when there is none.
Result<Py_ssize_t> first_position(PyObject* r, PyObject* comp, Py_ssize_t n) {
  for (Py_ssize_t j = 0; j < n; ++j) {
    if (j >= PyList_GET_SIZE(comp)) return index_out_of_range();
    PyObject* v = PyList_GET_ITEM(comp, j);
    int equal = plain_equal(r, v);
    if (equal < 0) {
      KESP_TRY_ASSIGN(equal, rich_equal(r, v));
    }
    if (equal) return j;
  }
  return Py_ssize_t(-1);
}

// ---------------------------------------------------------------------------
// backfill_iterdict

// What the call knows about one key text: the most recent value met for it,
// and how many None values it met before that value existed.
struct KeyState {
  std::string text;
  OwnedRef exact_key;  // an exact str of the text, for keys of a str subclass
  OwnedRef latest;     // empty until the key's first value that is not None
  std::uint64_t pending = 0;
};

// The states of the key texts met so far, found by text through a hash index
// on the str hash, which depends on the text alone (for a str subclass too,
// since its own __hash__ is never called).
//
// Rows read from one CSV or JSON reader, or made from one literal, hold the
// very same key objects in the same order, row after row.  So the exact str
// met at each entry position of the last row is remembered with its state,
// and a key that is that very object costs one pointer comparison: the
// remembered reference keeps the object, and so its text, alive.
class KeyTable {
 public:
  // The state of `key`, met at entry `position` of its row, when the key is
  // the one the last row held at that position; `none` otherwise.
  std::size_t find_cached(PyObject* key, std::size_t position) const noexcept {
    if (position < by_position_.size() && by_position_[position].key.get() == key)
      return by_position_[position].state;
    return HashIndex::none;
  }

  KeyState& operator[](std::size_t k) noexcept { return states_[k]; }

  // The state of `key`'s text, made if the text is new; an exact str key,
  // met at entry `position` of its row, is remembered for the next row.
  Result<std::size_t> find(PyObject* key, std::size_t position) {
    KESP_TRY_ASSIGN(const TextView text, extract_str(key));
    const std::string_view wanted = text.view();
    // str's own hash, cached in the object; a subclass's __hash__ is not asked.
    const std::uint64_t hash = std::uint64_t(PyUnicode_Type.tp_hash(key));
    std::size_t found = index_.find(hash, [&](std::size_t k) { return states_[k].text == wanted; });
    if (found == HashIndex::none) {
      states_.push_back({std::string(wanted), {}, {}, 0});
      found = index_.add(hash);
    }
    if (PyUnicode_CheckExact(key)) {
      if (position >= by_position_.size()) by_position_.resize(position + 1);
      // Giving back an exact str runs no Python code.
      by_position_[position] = {OwnedRef::borrow(key), found};
    }
    return found;
  }

 private:
  struct Seen {
    OwnedRef key;
    std::size_t state;
  };

  std::vector<KeyState> states_;
  HashIndex index_;
  std::vector<Seen> by_position_;
};

// Inlined: the filling of a row calls it for most None values.
[[gnu::always_inline]] inline Status set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) [[unlikely]]
    return fetch_error();
  return {};
}

// Stops the call if the row changed while it is walked.  No Python code runs
// during the walk, so this is a guard against what cannot happen.
void check_walk(PyObject* row, Py_ssize_t size, Py_ssize_t yielded) {
  if (PyDict_GET_SIZE(row) != size) internal_failure("dictionary changed size during iteration");
  if (yielded > size) internal_failure("dictionary keys changed during iteration");
}

// Makes the output dicts of the rows, one at a time, while the key table
// follows every key's latest value and count of None values.
//
// A row that is an exact dict whose keys are all exact str gets a copy of
// itself as its output dict, which is much cheaper than building a dict key
// by key: the copy holds exactly the keys the output needs, in the same
// order, and only its None values need work.  Which rows those are is known
// only at the end of the walk, so the walk of an exact dict writes nothing
// into the output: it notes, for each None, the value to put there or that
// the entry goes (a patch), and the copy is made and patched after the walk.
// A key of a str subclass met on the way means building instead: the
// entries walked so far go into a new dict, patched as noted, and the rest of
// the row is written as it is walked.  A dict subclass is always built.
//
// The copy is made only of rows whose keys are all exact str because the
// dict's own probing compares keys whose stored hashes agree: between exact
// str that is a comparison of texts, but a str subclass's __eq__ is Python
// code, which may lie, raise or change the row.  Building never asks the
// caller's keys anything: every key it writes is an exact str.
class RowFiller {
 public:
  explicit RowFiller(PyObject* result) : result_(result) {}

  // The output dict of the row at `filled`; the output dicts of the rows
  // before it are items 0 to filled-1 of the result.  No Python code runs
  // here: no method of a key is called (a key's text and str hash are read
  // from the object), every key written into a dict is an exact str, every
  // dict written into holds only exact str keys, and every value replaced or
  // given back is held by a row too (and, should it not be, is given back
  // only once the row is done), so the row cannot change under the walk.
  [[gnu::always_inline]] CallResult fill(PyObject* row, Py_ssize_t filled) {
    const Py_ssize_t size = PyDict_GET_SIZE(row);
    bool copying = PyDict_CheckExact(row);
    OwnedRef out;
    if (!copying) out = checked(PyDict_New());
    patches_.clear();
    Py_ssize_t position = 0, yielded = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
      check_walk(row, size, yielded);
      if (!PyDict_Next(row, &position, &key, &value)) break;
      std::size_t found = keys_.find_cached(key, std::size_t(yielded));
      if (found == HashIndex::none) {
        KESP_TRY_ASSIGN(found, keys_.find(key, std::size_t(yielded)));
      }
      const Py_ssize_t entry = yielded++;
      KeyState& state = keys_[found];

      // An exact str key is stored as it is; any other gets an exact str of
      // its text.
      PyObject* out_key = key;
      if (!PyUnicode_CheckExact(key)) [[unlikely]] {
        if (copying) {
          KESP_TRY_ASSIGN(out, patched_entries(row, entry));
          copying = false;
        }
        if (!state.exact_key)
          state.exact_key = checked(
              PyUnicode_FromStringAndSize(state.text.data(), Py_ssize_t(state.text.size())));
        out_key = state.exact_key.get();
      }

      if (value == Py_None) {
        if (state.latest) {
          if (copying) {
            patches_.push_back({key, state.latest.get()});
          } else {
            KESP_TRY(set_item(out.get(), out_key, state.latest.get()));
          }
        } else {
          ++state.pending;
          // The output has no value for the key yet: a copy loses the entry.
          if (copying) patches_.push_back({key, nullptr});
        }
        continue;
      }

      OwnedRef previous = std::exchange(state.latest, OwnedRef::borrow(value));
      if (previous && Py_REFCNT(previous.get()) == 1) retired_.push_back(std::move(previous));
      if (state.pending != 0) {
        // The first value of a key that met None before: it goes into the
        // first output dicts, one for each None counted.  A count can exceed
        // the rows done only when one row holds two keys of the same text.
        const std::uint64_t count = std::exchange(state.pending, 0);
        const Py_ssize_t targets = count < std::uint64_t(filled) ? Py_ssize_t(count) : filled;
        for (Py_ssize_t k = 0; k < targets; ++k)
          KESP_TRY(set_item(PyList_GET_ITEM(result_, k), out_key, value));
      }
      if (!copying) KESP_TRY(set_item(out.get(), out_key, value));
    }
    if (copying) {
      // Every key is an exact str, each of its own text: the copy and the
      // patches compare texts only, and release only references the row
      // holds too.
      out = checked(PyDict_Copy(row));
      for (const Patch& patch : patches_) {
        if (patch.value) {
          KESP_TRY(set_item(out.get(), patch.key, patch.value));
        } else if (PyDict_DelItem(out.get(), patch.key) < 0) {
          return fetch_error();
        }
      }
    }
    retired_.clear();
    return out;
  }

 private:
  // What a copy of the row needs at one entry: the latest value in place of
  // its None, or (no value) the entry removed.  Key and value are borrowed:
  // the row holds the key, and the key's state (or the row it came from)
  // the value.
  struct Patch {
    PyObject* key;
    PyObject* value;
  };

  // A new dict of the row's first `count` entries, whose keys are exact str,
  // with the patches noted for them applied: what building them would have
  // made.
  Result<OwnedRef> patched_entries(PyObject* row, Py_ssize_t count) {
    OwnedRef kept = checked(PyDict_New());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    auto patch = patches_.begin();
    for (Py_ssize_t k = 0; k < count && PyDict_Next(row, &position, &key, &value); ++k) {
      if (patch != patches_.end() && patch->key == key) {
        value = patch++->value;
        if (!value) continue;
      }
      KESP_TRY(set_item(kept.get(), key, value));
    }
    patches_.clear();
    return kept;
  }

  PyObject* result_;
  KeyTable keys_;
  RefVec retired_;
  std::vector<Patch> patches_;
};

}  // namespace

CallResult collapse_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                         BorrowedRef kwnames) {
  KESP_TRY_ASSIGN(OwnedRef args_tuple, extract_varargs(collapse_description, args, nargs, kwnames));
  PyObject* roots = args_tuple.get();

  // The result is made before the walk, at the length of a flat input
  // (every argument's own items), and filled in place; when deeper leaves
  // outgrow it, it is replaced by one twice as long.  Making a list runs no
  // Python code (it at most schedules a garbage collection for later), and
  // the walk gives no reference back, so the containers stay as they are.
  // The first length is kept within the largest argument's own storage or
  // a few million slots, so that one container passed many times, or many
  // empty ones, do not ask for room that no leaf will take.
  constexpr Py_ssize_t bounded_room = Py_ssize_t(1) << 22;
  Py_ssize_t room = 0, largest = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(roots); ++i) {
    PyObject* item = PyTuple_GET_ITEM(roots, i);
    const Py_ssize_t items = is_container(item) ? Py_SIZE(item) : 1;
    largest = std::max(largest, items);
    room = std::min(room + items, bounded_room);
  }
  room = std::max(room, largest);
  OwnedRef result = checked(PyList_New(room));
  PyObject** slots = reinterpret_cast<PyListObject*>(result.get())->ob_item;
  Py_ssize_t filled = 0;
  auto grow = [&] {
    const Py_ssize_t larger = std::max<Py_ssize_t>(16, room * 2);
    OwnedRef next = checked(PyList_New(larger));
    PyObject** moved = reinterpret_cast<PyListObject*>(next.get())->ob_item;
    for (Py_ssize_t i = 0; i < filled; ++i) moved[i] = std::exchange(slots[i], nullptr);
    result = std::move(next);
    slots = moved;
    room = larger;
  };
  WalkPath path;
  // The empty slots of a list being given back are skipped, so a list left
  // partly filled is released like any other.
  if (!walk_leaves<true>(roots, path, [&](PyObject* leaf) {
        if (filled == room) grow();
        slots[filled++] = Py_NewRef(leaf);
      }))
    return contains_itself();
  if (filled < room && PyList_SetSlice(result.get(), filled, room, nullptr) < 0)
    return fetch_error();
  return result;
}

CallResult backfill_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                         BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(backfill_description, args, nargs, kwnames, slots));
  PyObject* values = slots[0].get();
  if (!PyList_Check(values)) return not_a_list("values", values);

  const Py_ssize_t n = PyList_GET_SIZE(values);
  if (n == 0) return checked(PyList_New(0));
  Py_ssize_t first = 0;
  while (first < n && PyList_GET_ITEM(values, first) == Py_None) ++first;
  if (first == n) return OwnedRef::borrow(values);

  // Nothing here runs Python code, so `values` keeps its size and items.
  OwnedRef result = checked(PyList_New(n));
  PyObject* fill = PyList_GET_ITEM(values, first);
  for (Py_ssize_t j = 0; j < n; ++j) {
    PyObject* item = PyList_GET_ITEM(values, j);
    if (item == Py_None) {
      item = fill;
    } else {
      fill = item;
    }
    PyList_SET_ITEM(result.get(), j, Py_NewRef(item));
  }
  return result;
}

CallResult backfill_iterdict_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                                  BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(backfill_iterdict_description, args, nargs, kwnames, slots));
  PyObject* rows = slots[0].get();
  if (!PyList_Check(rows)) return not_a_list("iterdict", rows);

  const Py_ssize_t n = PyList_GET_SIZE(rows);
  if (n == 0) return checked(PyList_New(0));

  // One output dict per row, put in place as each row is finished; the slots
  // after it stay empty until then and are never looked at.
  OwnedRef result = checked(PyList_New(n));
  RowFiller filler(result.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* borrowed_row = PyList_GetItem(rows, i);
    if (!borrowed_row) return fetch_error();
    OwnedRef row = OwnedRef::borrow(borrowed_row);
    if (!PyDict_Check(row.get())) return conversion_error_from_borrowed(row.get(), "PyDict");
    KESP_TRY_ASSIGN(OwnedRef out, filler.fill(row.get(), i));
    PyList_SET_ITEM(result.get(), i, out.release());
  }
  return result;
}

CallResult same_order_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                           BorrowedRef kwnames) {
  BorrowedRef slots[2];
  KESP_TRY(extract_fastcall_arguments(same_order_description, args, nargs, kwnames, slots));
  PyObject* ref_list = slots[0].get();
  PyObject* comp = slots[1].get();
  if (!PyList_Check(ref_list)) return not_a_list("ref_list", ref_list);
  if (!PyList_Check(comp)) return not_a_list("comp", comp);

  const Py_ssize_t m = PyList_GET_SIZE(ref_list);
  const Py_ssize_t n = PyList_GET_SIZE(comp);
  if (n < m) return new_bool(false);

  // Every reference element is looked for, even after the order is known to
  // be broken, so that the comparisons made do not depend on it.  Only the
  // previous first position is needed to judge the order.
  bool ordered = true;
  Py_ssize_t previous = 0;
  for (Py_ssize_t i = 0; i < m; ++i) {
    // The comparisons run Python code, which may shrink either list.
    if (i >= PyList_GET_SIZE(ref_list)) return index_out_of_range();
    OwnedRef wanted = OwnedRef::borrow(PyList_GET_ITEM(ref_list, i));
    KESP_TRY_ASSIGN(const Py_ssize_t found, first_position(wanted.get(), comp, n));
    if (found < 0) return new_bool(false);
    if (found < previous) ordered = false;
    previous = found;
  }
  return new_bool(ordered);
}

}  // namespace kesp
