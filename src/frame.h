// The binding frame: references, error values, the trampoline every call goes
// through, argument matching with the interpreter's own wording, and the small
// object helpers the function bodies share.
//
// Rules the rest of the module relies on:
//   * A Python error travels as a value (PyErr inside a Result) back to the
//     trampoline, which is the only place that raises it.
//   * An internal failure (a broken invariant, an object constructor returning
//     NULL) is a C++ exception.  Only the trampoline and the init export catch
//     it; on the way there every OwnedRef gives its reference back.
//   * OwnedRef is the only thing that releases a reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#if PY_VERSION_HEX < 0x030C0000
#error "_kesp needs CPython 3.12 or later"
#endif

namespace kesp {

// Gives back one strong reference.  Everything that drops a reference ends here.
inline void release_reference(PyObject* object) noexcept { Py_DECREF(object); }

// One strong reference to a Python object, or nothing.  Move-only.
class OwnedRef {
 public:
  constexpr OwnedRef() noexcept = default;
  // Takes over a reference the caller owns (a C-API "new reference").
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Takes a new reference to an object someone else keeps alive.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    // Store first, release after: the release can run arbitrary Python code
    // that may look at this very slot.
    PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
    if (old) release_reference(old);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() {
    if (ptr_) release_reference(ptr_);
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference over to the caller (a result, a stealing C-API call).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept {
    if (PyObject* old = std::exchange(ptr_, nullptr)) release_reference(old);
  }
  OwnedRef clone() const noexcept { return borrow(ptr_); }

 private:
  explicit OwnedRef(PyObject* object) noexcept : ptr_(object) {}
  PyObject* ptr_ = nullptr;
};

// A pointer to an object whose reference belongs to someone else for as long
// as it is used (the module, the call's arguments).  Never released.
class BorrowedRef {
 public:
  constexpr BorrowedRef(PyObject* object = nullptr) noexcept : ptr_(object) {}
  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  OwnedRef to_owned() const noexcept { return OwnedRef::borrow(ptr_); }

 private:
  PyObject* ptr_;
};

// ---------------------------------------------------------------------------
// Internal failures

// The C++ exception that carries an internal failure to the trampoline.
struct InternalFailure {
  std::string text;
};

// Records the main thread's name when called on the main thread (at import), so
// that the failure report can tell a thread that inherited that name without
// reading /proc.
void note_main_thread_name() noexcept;

// Writes the failure report to standard error and throws InternalFailure.
[[noreturn]] void internal_failure(std::string text,
                                   std::source_location where = std::source_location::current());

// For a C-API call that had to make an object and returned NULL: prints the
// pending Python error and fails with "Python API call failed".  When the
// pending error is a MemoryError it is raised from the call as it is instead.
[[noreturn]] void api_failure_panic(std::source_location where = std::source_location::current());

// The class pyo3_runtime.PanicException, made on first need.
PyObject* panic_exception_type();

// ---------------------------------------------------------------------------
// Error values

// The data of a failed type test: the target name and the source's type.
struct ConversionError {
  const char* target;
  OwnedRef source_type;
};

// A Python exception waiting to be raised: lazy (class plus the data its value
// is built from when it is raised) or normalised (the exception object).
// Dropping one raises nothing.
class PyErr {
 public:
  enum class Kind : std::uint8_t {
    system_error_message,
    type_error_message,
    type_error_owned_message,
    import_error_message,
    conversion_error,
    panic_exception_message,
    panic_exception_owned_message,
    normalized,
  };

  static PyErr system_error(const char* text) { return PyErr(Kind::system_error_message, text); }
  static PyErr type_error(const char* text) { return PyErr(Kind::type_error_message, text); }
  static PyErr type_error(std::string text) {
    return PyErr(Kind::type_error_owned_message, std::move(text));
  }
  static PyErr import_error(const char* text) { return PyErr(Kind::import_error_message, text); }
  static PyErr panic(const char* text) { return PyErr(Kind::panic_exception_message, text); }
  static PyErr panic(std::string text) {
    return PyErr(Kind::panic_exception_owned_message, std::move(text));
  }
  static PyErr conversion(ConversionError error) {
    PyErr e(Kind::conversion_error, error.target);
    e.object_ = std::move(error.source_type);
    return e;
  }
  // Takes over an exception object, as PyErr_GetRaisedException gives it.
  static PyErr normalized(OwnedRef exception) {
    PyErr e(Kind::normalized, nullptr);
    e.object_ = std::move(exception);
    return e;
  }

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;

  Kind kind() const noexcept { return kind_; }
  // The exception object, made now if the error is still lazy (borrowed).
  PyObject* value();
  // Raises the error as the current Python exception.
  void restore() &&;
  // "PyErr { type: ..., value: ..., traceback: ... }"
  std::string text_form();

 private:
  PyErr(Kind kind, const char* text) noexcept : kind_(kind), static_text_(text) {}
  PyErr(Kind kind, std::string text) noexcept : kind_(kind), owned_text_(std::move(text)) {}
  void normalize();

  Kind kind_;
  const char* static_text_ = nullptr;
  std::string owned_text_;
  OwnedRef object_;  // the source type of a conversion error, or the exception
};

// Either a value or the error that stands in for it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}
  Result(PyErr error) : value_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return value_.index() == 0; }
  T& value() noexcept { return *std::get_if<0>(&value_); }
  T take() noexcept { return std::move(*std::get_if<0>(&value_)); }
  PyErr& error() noexcept { return *std::get_if<1>(&value_); }
  PyErr take_error() noexcept { return std::move(*std::get_if<1>(&value_)); }

 private:
  std::variant<T, PyErr> value_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(PyErr error) : error_(std::move(error)) {}
  explicit operator bool() const noexcept { return !error_.has_value(); }
  PyErr& error() noexcept { return *error_; }
  PyErr take_error() noexcept { return std::move(*error_); }

 private:
  std::optional<PyErr> error_;
};

using CallResult = Result<OwnedRef>;
using Status = Result<void>;

#define KESP_CONCAT_(a, b) a##b
#define KESP_CONCAT(a, b) KESP_CONCAT_(a, b)
// Returns the error of a failed Result from the enclosing function.
#define KESP_TRY(expr)                                                                           \
  do {                                                                                           \
    if (auto kesp_try_result_ = (expr); !kesp_try_result_) return kesp_try_result_.take_error(); \
  } while (0)
// Declares `decl` from the value of a Result, or returns its error.
#define KESP_TRY_ASSIGN(decl, expr)                                                            \
  auto KESP_CONCAT(kesp_try_, __LINE__) = (expr);                                              \
  if (!KESP_CONCAT(kesp_try_, __LINE__)) return KESP_CONCAT(kesp_try_, __LINE__).take_error(); \
  decl = KESP_CONCAT(kesp_try_, __LINE__).take()

// Takes the pending Python exception, if any.  An exception of exactly
// pyo3_runtime.PanicException is not returned: it is printed and the call
// fails again with a new one carrying its text.
std::optional<PyErr> take_error();
// As take_error, but says "attempted to fetch exception but none was set"
// (SystemError) when nothing was pending.
PyErr fetch_error();

PyErr conversion_error_from_borrowed(PyObject* object, const char* target);
PyErr conversion_error_from_owned(OwnedRef object, const char* target);
// An exact TypeError from converting parameter `name` becomes
// "argument 'name': ..."; any other error passes through.
PyErr wrap_argument_error(std::string_view name, PyErr error);

// str(object) as UTF-8, with lone surrogates shown as U+FFFD per byte;
// nullopt (and the error discarded) when str() raises.
std::optional<std::string> str_lossy(PyObject* object);

// ---------------------------------------------------------------------------
// Calls and arguments

using Body = CallResult (*)(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                            BorrowedRef kwnames);

PyObject* handle_failure() noexcept;

// Runs a body and turns its outcome into the interpreter's convention.
inline PyObject* trampoline(Body body, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  try {
    CallResult result = body(module, args, nargs, kwnames);
    if (result) return result.take().release();
    result.take_error().restore();
    return nullptr;
  } catch (...) {
    return handle_failure();
  }
}

template <Body body>
PyObject* fastcall_wrapper(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return trampoline(body, module, args, nargs, kwnames);
}

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

struct FunctionDescription {
  std::string_view func_name;
  std::span<const std::string_view> positional_parameter_names;
  Py_ssize_t positional_only_parameters;
  Py_ssize_t required_positional_parameters;
  std::span<const KeywordOnlyParameter> keyword_only_parameters;
};

// Matches a call against a description.  `slots` has one entry per declared
// parameter, null on entry; on success every given parameter's slot holds its
// (borrowed) value.
Status match_fastcall_arguments(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, BorrowedRef kwnames,
                                std::span<BorrowedRef> slots);
// The common call, positional values only and as many as the function takes,
// is matched inline; everything else goes through the full matching above.
inline Status extract_fastcall_arguments(const FunctionDescription& description,
                                         PyObject* const* args, Py_ssize_t nargs,
                                         BorrowedRef kwnames, std::span<BorrowedRef> slots) {
  if (!kwnames && args && nargs >= description.required_positional_parameters &&
      nargs <= Py_ssize_t(description.positional_parameter_names.size())) {
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    return {};
  }
  return match_fastcall_arguments(description, args, nargs, kwnames, slots);
}
Status match_keyword_arguments(const FunctionDescription& description, BorrowedRef kwnames,
                               PyObject* const* values, std::span<BorrowedRef> slots);
// The varargs form: every positional value goes into a new tuple; any keyword
// is unexpected.
Result<OwnedRef> extract_varargs(const FunctionDescription& description, PyObject* const* args,
                                 Py_ssize_t nargs, BorrowedRef kwnames);

// The UTF-8 text a str object keeps; valid while the object lives.
struct TextView {
  const char* data;
  Py_ssize_t size;
  std::string_view view() const noexcept { return {data, static_cast<std::size_t>(size)}; }
};

Result<TextView> extract_str_slow(PyObject* object);
// A compact ASCII str is its own UTF-8; only other strings need the call.
inline Result<TextView> extract_str(PyObject* object) {
  if (PyUnicode_Check(object) && PyUnicode_IS_COMPACT_ASCII(object))
    return TextView{static_cast<const char*>(PyUnicode_DATA(object)), PyUnicode_GET_LENGTH(object)};
  return extract_str_slow(object);
}
Result<std::string> extract_string(PyObject* object);

// ---------------------------------------------------------------------------
// Object helpers

using RefVec = std::vector<OwnedRef>;

// PyObject_RichCompare; `b`'s reference is handed over and released after.
Result<OwnedRef> rich_compare(PyObject* a, OwnedRef b, int op);
// PyList_Append; the item's reference is handed over (the list keeps its own).
Status list_append(PyObject* list, OwnedRef item);
// PyDict_SetItem; both references are handed over.
Status dict_set_item(PyObject* dict, OwnedRef key, OwnedRef value);
// A new list of exactly the vector's length holding its references, in order.
OwnedRef list_from_vec(RefVec&& items);

// A new object from a constructor that must not return NULL.
inline OwnedRef checked(PyObject* made,
                        std::source_location where = std::source_location::current()) {
  if (!made) api_failure_panic(where);
  return OwnedRef::steal(made);
}

inline OwnedRef new_none() noexcept { return OwnedRef::borrow(Py_None); }
inline OwnedRef new_bool(bool value) noexcept {
  return OwnedRef::borrow(value ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------
// Scratch memory

// One block of scratch memory for a call, given back when it goes.  A block
// of at least `huge_page_size` bytes is a mapping of its own, aligned to 2 MiB
// and advised MADV_HUGEPAGE, so that it faults in a huge page at a time rather
// than 4 KiB at a time (where the kernel refuses the advice it is ordinary
// memory); a smaller one comes from operator new.  A block that cannot be had
// throws std::bad_alloc, which the trampoline raises as MemoryError.  Its
// bytes start out undefined.
class ScratchBlock {
 public:
  static constexpr std::size_t huge_page_size = std::size_t(2) << 20;

  explicit ScratchBlock(std::size_t size);
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  ~ScratchBlock();

  std::byte* data() const noexcept { return data_; }

 private:
  std::byte* data_ = nullptr;
  std::size_t mapped_ = 0;  // the length of the mapping; 0 for operator new's block
};

}  // namespace kesp
