// The binding frame: error values and their raising, the failure handling of
// the trampoline, argument matching and the shared object helpers.
#include "frame.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kesp {
namespace {

// An error that is already a Python exception but has to leave through the
// C++ unwinding path (a MemoryError met where an object had to be made).
struct RaisedError {
  PyErr error;
};

PyObject* g_panic_type = nullptr;

constexpr const char panic_doc[] =
    "\n"
    "Raised when the native code of this module fails while it is called from Python.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception,\n"
    "so that it is not caught by an ordinary 'except Exception' clause and typically\n"
    "propagates all the way up the stack, making the interpreter exit.\n";

// The UTF-8 text of a str object.  Lone surrogates, which have no UTF-8 form,
// are written through "surrogatepass" and read back with every ill-formed byte
// replaced by U+FFFD.
std::string utf8_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, size);
  PyErr_Clear();
  OwnedRef bytes = checked(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  OwnedRef fixed = checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* data = PyUnicode_AsUTF8AndSize(fixed.get(), &size);
  if (!data) api_failure_panic();
  return std::string(data, size);
}

[[noreturn]] void resume_panic(OwnedRef exception);

// "<unprintable T object>" for an object whose str() or repr() raised; the
// exception from the failed call is reported as unraisable.  The str() or
// repr() may be the caller's code: a PanicException it raised is resumed, as
// wherever an error is fetched, rather than swallowed.  (Only the stored class
// is looked at: making it here, as take_error would, could recurse when making
// it fails and the text of that failure cannot be written either.)
std::string unprintable(PyObject* object) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised && g_panic_type && Py_TYPE(raised) == reinterpret_cast<PyTypeObject*>(g_panic_type))
    resume_panic(OwnedRef::steal(raised));
  PyErr_SetRaisedException(raised);
  PyErr_WriteUnraisable(object);
  OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* data = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (!data) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + std::string(data, size) + " object>";
}

std::string repr_or_unprintable(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Repr(object));
  if (!text) return unprintable(object);
  return utf8_lossy(text.get());
}

std::string str_or_unprintable(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(object));
  if (!text) return unprintable(object);
  return utf8_lossy(text.get());
}

// The conversion message.  A type name that cannot be read is written as
// "<failed to extract type name>", except when memory ran out while reading
// it: then nothing is returned and the MemoryError stays pending, so that the
// call fails with it instead of a TypeError naming no type.
std::optional<std::string> conversion_message(PyObject* type, const char* target) {
  std::string name;
  OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  Py_ssize_t size = 0;
  const char* data = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
  if (data) {
    name.assign(data, size);
  } else if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return std::nullopt;
  } else {
    PyErr_Clear();
    name = "<failed to extract type name>";
  }
  return "'" + name + "' object cannot be converted to '" + target + "'";
}

std::string short_file_name(const char* path) {
  std::string_view p(path);
  if (auto at = p.rfind("src/"); at != std::string_view::npos) p.remove_prefix(at);
  return std::string(p);
}

// The name of the main thread when the module was first imported on it, read
// with prctl, which needs no /proc (a chroot may not have it).
char g_main_thread_name[16] = "";

// A thread nobody named carries the name of the thread that started it, in
// practice the main thread's (the kernel keeps at most 15 bytes of it); saying
// so is more useful than repeating the program's name.  The main thread's
// name as recorded at import and as it is now (where /proc says) both count.
bool is_inherited_name(const char* name) {
  if (g_main_thread_name[0] != '\0' && std::strcmp(name, g_main_thread_name) == 0) return true;
  char process[16] = "";
  std::FILE* comm = std::fopen("/proc/self/comm", "r");
  if (!comm) return false;
  const bool read = std::fgets(process, sizeof process, comm) != nullptr;
  std::fclose(comm);
  if (!read) return false;
  process[std::strcspn(process, "\n")] = '\0';
  return std::strcmp(name, process) == 0;
}

void write_failure_report(const std::string& text, const std::source_location& where) {
  char name[64] = "<unnamed>";
  if (getpid() == gettid()) {
    std::snprintf(name, sizeof name, "main");
  } else if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0' ||
             is_inherited_name(name)) {
    std::snprintf(name, sizeof name, "<unnamed>");
  }
  std::fprintf(stderr,
               "_kesp: internal failure in thread '%s' at %s:%u:%u:\n%s\n"
               "_kesp: it is raised as pyo3_runtime.PanicException; for a native backtrace, "
               "run the program under gdb with 'catch throw'.\n",
               name, short_file_name(where.file_name()).c_str(), unsigned(where.line()),
               unsigned(where.column()), text.c_str());
  std::fflush(stderr);
}

// A PanicException raised by the caller's code was fetched: report it and fail
// again with its text, without an ordinary failure report.
[[noreturn]] void resume_panic(OwnedRef exception) {
  std::string message;
  if (OwnedRef text = OwnedRef::steal(PyObject_Str(exception.get()))) {
    message = utf8_lossy(text.get());
  } else {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  std::fputs(
      "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
      "Python stack trace below:\n",
      stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  throw InternalFailure{std::move(message)};
}

void raise_panic(const std::string& text) {
  PyObject* type = panic_exception_type();
  OwnedRef value = OwnedRef::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
  if (!value) return;  // the MemoryError stays pending
  PyErr_SetObject(type, value.get());
}

void format_list(std::string& out, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i == names.size() - 1 ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

std::string full_name(const FunctionDescription& d) { return std::string(d.func_name) + "()"; }

PyErr too_many_positional(const FunctionDescription& d, Py_ssize_t nargs) {
  const auto p = std::to_string(d.positional_parameter_names.size());
  std::string text = full_name(d) + " takes ";
  if (d.required_positional_parameters == Py_ssize_t(d.positional_parameter_names.size()))
    text += p;
  else
    text += "from " + std::to_string(d.required_positional_parameters) + " to " + p;
  text += " positional arguments but " + std::to_string(nargs) + " were given";
  return PyErr::type_error(std::move(text));
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal failures

void note_main_thread_name() noexcept {
  // Once only: later imports run while other threads may write a report.
  if (g_main_thread_name[0] != '\0' || getpid() != gettid()) return;
  char name[16] = "";
  if (prctl(PR_GET_NAME, name) == 0) std::memcpy(g_main_thread_name, name, sizeof name);
  g_main_thread_name[sizeof g_main_thread_name - 1] = '\0';
}

void internal_failure(std::string text, std::source_location where) {
  write_failure_report(text, where);
  throw InternalFailure{std::move(text)};
}

void api_failure_panic(std::source_location where) {
  // Running out of memory is an ordinary, recoverable condition for the
  // caller: pass the MemoryError on instead of turning it into a failure.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw RaisedError{PyErr::normalized(OwnedRef::steal(PyErr_GetRaisedException()))};
  }
  PyErr_Print();
  internal_failure("Python API call failed", where);
}

PyObject* panic_exception_type() {
  if (g_panic_type) return g_panic_type;
  PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                             PyExc_BaseException, nullptr);
  if (!made) {
    // Taken directly: fetch_error would come back here.
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) internal_failure("Failed to initialize new exception type.");
    PyErr error = PyErr::normalized(OwnedRef::steal(raised));
    internal_failure("Failed to initialize new exception type.: " + error.text_form());
  }
  if (g_panic_type) {
    // Another creation finished while this one ran Python code.
    release_reference(made);
  } else {
    g_panic_type = made;
  }
  return g_panic_type;
}

PyObject* handle_failure() noexcept {
  try {
    try {
      throw;
    } catch (const InternalFailure& failure) {
      raise_panic(failure.text);
    } catch (RaisedError& raised) {
      std::move(raised.error).restore();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      raise_panic("the native code of _kesp failed without saying why");
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Error values

void PyErr::normalize() {
  if (kind_ == Kind::normalized) return;
  PyObject* type = PyExc_TypeError;
  std::optional<std::string> conversion_text;
  std::string_view message = static_text_ ? std::string_view(static_text_) : owned_text_;
  bool out_of_memory = false;
  switch (kind_) {
    case Kind::system_error_message: type = PyExc_SystemError; break;
    case Kind::type_error_message:
    case Kind::type_error_owned_message: break;
    case Kind::import_error_message: type = PyExc_ImportError; break;
    case Kind::conversion_error:
      conversion_text = conversion_message(object_.get(), static_text_);
      out_of_memory = !conversion_text;
      if (conversion_text) message = *conversion_text;
      break;
    case Kind::panic_exception_message:
    case Kind::panic_exception_owned_message: type = panic_exception_type(); break;
    case Kind::normalized: break;
  }
  OwnedRef value = out_of_memory ? OwnedRef()
                                 : OwnedRef::steal(PyUnicode_FromStringAndSize(
                                       message.data(), Py_ssize_t(message.size())));
  // Without a value the interpreter's MemoryError is what gets raised.
  if (value) PyErr_SetObject(type, value.get());
  value.reset();
  PyObject* raised = PyErr_GetRaisedException();
  kind_ = Kind::normalized;
  static_text_ = nullptr;
  owned_text_.clear();
  object_ = OwnedRef::steal(raised);
}

PyObject* PyErr::value() {
  normalize();
  return object_.get();
}

void PyErr::restore() && {
  normalize();
  PyErr_SetRaisedException(object_.release());
}

std::string PyErr::text_form() {
  PyObject* exception = value();
  std::string out = "PyErr { type: ";
  out += repr_or_unprintable(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  out += ", value: ";
  out += repr_or_unprintable(exception);
  out += ", traceback: ";
  OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(exception));
  if (traceback) {
    out += "Some(" + repr_or_unprintable(traceback.get()) + ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

std::optional<PyErr> take_error() {
  PyObject* raised = PyErr_GetRaisedException();
  if (!raised) return std::nullopt;
  OwnedRef exception = OwnedRef::steal(raised);
  if (Py_TYPE(raised) == reinterpret_cast<PyTypeObject*>(panic_exception_type()))
    resume_panic(std::move(exception));
  return PyErr::normalized(std::move(exception));
}

PyErr fetch_error() {
  if (auto error = take_error()) return std::move(*error);
  return PyErr::system_error("attempted to fetch exception but none was set");
}

PyErr conversion_error_from_borrowed(PyObject* object, const char* target) {
  return PyErr::conversion(
      {target, OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)))});
}

PyErr conversion_error_from_owned(OwnedRef object, const char* target) {
  PyErr error = conversion_error_from_borrowed(object.get(), target);
  object.reset();
  return error;
}

PyErr wrap_argument_error(std::string_view name, PyErr error) {
  PyObject* incoming = error.value();
  if (Py_TYPE(incoming) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
  std::string text = "argument '";
  text += name;
  text += "': ";
  text += str_or_unprintable(incoming);
  PyErr wrapped = PyErr::type_error(std::move(text));
  // The new error keeps the incoming one's cause (none for a conversion
  // error), which also marks its context as suppressed.
  PyException_SetCause(wrapped.value(), PyException_GetCause(incoming));
  return wrapped;
}

std::optional<std::string> str_lossy(PyObject* object) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(object));
  if (!text) {
    // str() may be the caller's code (a str subclass); a PanicException it
    // raised is resumed, never discarded.
    (void)take_error();
    return std::nullopt;
  }
  return utf8_lossy(text.get());
}

// ---------------------------------------------------------------------------
// Argument matching

Status match_fastcall_arguments(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, BorrowedRef kwnames,
                                std::span<BorrowedRef> slots) {
  const auto positional = Py_ssize_t(description.positional_parameter_names.size());
  if (!args) nargs = 0;
  const Py_ssize_t given = nargs < positional ? nargs : positional;
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];
  if (nargs > positional) return too_many_positional(description, nargs);

  if (kwnames) KESP_TRY(match_keyword_arguments(description, kwnames, args + nargs, slots));

  const Py_ssize_t required = description.required_positional_parameters;
  if (nargs < required) {
    std::string_view missing[8];
    std::size_t count = 0;
    for (Py_ssize_t i = nargs; i < required; ++i)
      if (!slots[i] && count < std::size(missing))
        missing[count++] = description.positional_parameter_names[i];
    if (count > 0) {
      std::string text = full_name(description) + " missing " + std::to_string(count) +
                         " required positional " + (count == 1 ? "argument" : "arguments") + ": ";
      format_list(text, std::span(missing, count));
      return PyErr::type_error(std::move(text));
    }
  }
  return {};
}

Status match_keyword_arguments(const FunctionDescription& description, BorrowedRef kwnames,
                               PyObject* const* values, std::span<BorrowedRef> slots) {
  const auto positional = description.positional_parameter_names.size();
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames.get(), k);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &size);
    std::size_t slot = SIZE_MAX;
    if (!data) {
      PyErr_Clear();  // a name with lone surrogates matches no parameter
    } else {
      const std::string_view text(data, size);
      const auto& keyword_only = description.keyword_only_parameters;
      for (std::size_t i = 0; i < keyword_only.size() && slot == SIZE_MAX; ++i)
        if (keyword_only[i].name == text) slot = positional + i;
      for (std::size_t i = 0; i < positional && slot == SIZE_MAX; ++i)
        if (description.positional_parameter_names[i] == text) slot = i;
    }
    if (slot == SIZE_MAX) {
      // The name may be a str subclass whose str() is the caller's code.
      std::string text = full_name(description) + " got an unexpected keyword argument '" +
                         str_or_unprintable(name) + "'";
      return PyErr::type_error(std::move(text));
    }
    if (slots[slot]) {
      return PyErr::type_error(full_name(description) + " got multiple values for argument '" +
                               std::string(data, size) + "'");
    }
    slots[slot] = values[k];
  }
  return {};
}

Result<OwnedRef> extract_varargs(const FunctionDescription& description, PyObject* const* args,
                                 Py_ssize_t nargs, BorrowedRef kwnames) {
  OwnedRef tuple = checked(PyTuple_New(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  if (kwnames) KESP_TRY(match_keyword_arguments(description, kwnames, args + nargs, {}));
  return tuple;
}

Result<TextView> extract_str_slow(PyObject* object) {
  if (!PyUnicode_Check(object)) return conversion_error_from_borrowed(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) return fetch_error();
  return TextView{data, size};
}

Result<std::string> extract_string(PyObject* object) {
  KESP_TRY_ASSIGN(TextView text, extract_str(object));
  return std::string(text.data, std::size_t(text.size));
}

// ---------------------------------------------------------------------------
// Object helpers

Result<OwnedRef> rich_compare(PyObject* a, OwnedRef b, int op) {
  OwnedRef result = OwnedRef::steal(PyObject_RichCompare(a, b.get(), op));
  b.reset();
  if (!result) return fetch_error();
  return result;
}

Status list_append(PyObject* list, OwnedRef item) {
  if (PyList_Append(list, item.get()) < 0) return fetch_error();
  return {};
}

Status dict_set_item(PyObject* dict, OwnedRef key, OwnedRef value) {
  if (PyDict_SetItem(dict, key.get(), value.get()) < 0) return fetch_error();
  return {};
}

OwnedRef list_from_vec(RefVec&& items) {
  OwnedRef list = checked(PyList_New(Py_ssize_t(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), items[i].release());
  items.clear();
  return list;
}

// ---------------------------------------------------------------------------
// Scratch memory

ScratchBlock::ScratchBlock(std::size_t size) {
  if (size < huge_page_size) {
    data_ = static_cast<std::byte*>(::operator new(size));
    return;
  }
  // Whole huge pages, and one more to cut an aligned stretch out of.
  if (size > SIZE_MAX - 2 * huge_page_size) throw std::bad_alloc();
  const std::size_t length = (size + huge_page_size - 1) & ~(huge_page_size - 1);
  void* mapped = mmap(nullptr, length + huge_page_size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + huge_page_size - 1) & ~(huge_page_size - 1);
  const std::size_t head = aligned - start;
  if (head) munmap(mapped, head);
  if (const std::size_t tail = huge_page_size - head)
    munmap(reinterpret_cast<void*>(aligned + length), tail);
  data_ = reinterpret_cast<std::byte*>(aligned);
  mapped_ = length;
  // Refused where transparent huge pages are off or not built in: the
  // mapping then simply has ordinary pages.
  (void)madvise(data_, length, MADV_HUGEPAGE);
}

ScratchBlock::~ScratchBlock() {
  if (mapped_)
    munmap(data_, mapped_);
  else
    ::operator delete(data_);
}

}  // namespace kesp
