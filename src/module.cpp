// The module's face to the import machinery: the module definition, the method
// table of the nine functions, registration into __all__ and the init export.
#include <atomic>

#include "dictsort.h"
#include "docstrings.h"
#include "frame.h"
#include "iter.h"
#include "numparse.h"
#include "text.h"

namespace kesp {
namespace {

constexpr int flags = METH_FASTCALL | METH_KEYWORDS;

// The table stores every entry point as a PyCFunction; the flags tell the
// interpreter its real signature.  The detour through void(*)() is the
// sanctioned way to say so without a cast warning.
template <Body body>
PyCFunction entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_wrapper<body>));
}

// The function objects keep pointers into this table for the rest of the process.
PyMethodDef method_table[] = {
    {"parse", entry<parse_body>(), flags, doc::parse},
    {"multikeysort", entry<multikeysort_body>(), flags, doc::multikeysort},
    {"sanitize_vulgar_string", entry<sanitize_vulgar_string_body>(), flags,
     doc::sanitize_vulgar_string},
    {"uncamel", entry<uncamel_body>(), flags, doc::uncamel},
    {"underscore_to_camelcase", entry<underscore_to_camelcase_body>(), flags,
     doc::underscore_to_camelcase},
    {"collapse", entry<collapse_body>(), flags, doc::collapse},
    {"backfill", entry<backfill_body>(), flags, doc::backfill},
    {"backfill_iterdict", entry<backfill_iterdict_body>(), flags, doc::backfill_iterdict},
    {"same_order", entry<same_order_body>(), flags, doc::same_order},
};

struct ModuleDefinition {
  Status (*initializer)(PyObject* module);
  PyModuleDef definition;
  std::atomic<std::int64_t> interpreter_id;
  // The module made by the first successful import.  It owns that reference
  // for the rest of the process and is never cleared: a static OwnedRef would
  // release it after the interpreter has finalised.
  PyObject* module;
};

Status register_module_functions(PyObject* module);

ModuleDefinition module_definition = {
    register_module_functions,
    {
        PyModuleDef_HEAD_INIT,
        "_kesp",
        "Python module definition.",
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    },
    -1,
    nullptr,
};

Result<OwnedRef> new_module_function(PyObject* module, PyMethodDef* entry) {
  OwnedRef name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!name) return fetch_error();
  OwnedRef function = OwnedRef::steal(PyCMethod_New(entry, module, name.get(), nullptr));
  if (!function) return fetch_error();
  return function;
}

Status add_module_function(PyObject* module, OwnedRef function) {
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return fetch_error();

  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr error = fetch_error();
    if (!PyErr_GivenExceptionMatches(error.value(), PyExc_AttributeError)) return error;
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_error();
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr error = fetch_error();
    internal_failure("could not append __name__ to __all__: " + error.text_form());
  }
  all.reset();

  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fetch_error();
  return {};
}

Status register_module_functions(PyObject* module) {
  for (PyMethodDef& entry : method_table) {
    KESP_TRY_ASSIGN(OwnedRef function, new_module_function(module, &entry));
    KESP_TRY(add_module_function(module, std::move(function)));
  }
  return {};
}

Result<PyObject*> create_module(ModuleDefinition& def) {
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&def.definition, 1013));
  if (!module) return fetch_error();
  KESP_TRY(def.initializer(module.get()));
  // Registration runs Python code; a module stored meanwhile wins.
  if (!def.module) def.module = module.release();
  return def.module;
}

constexpr const char subinterpreter_message[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";

Result<OwnedRef> initialize() {
  note_main_thread_name();
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fetch_error();
  std::int64_t expected = -1;
  // The first interpreter to get here is recorded before any module exists,
  // so even an import that fails later binds the process to it.
  if (!module_definition.interpreter_id.compare_exchange_strong(expected, id) && expected != id)
    return PyErr::import_error(subinterpreter_message);
  if (module_definition.module) return OwnedRef::borrow(module_definition.module);
  KESP_TRY_ASSIGN(PyObject * module, create_module(module_definition));
  return OwnedRef::borrow(module);
}

}  // namespace
}  // namespace kesp

// PyMODINIT_FUNC gives the export C linkage and default visibility.
PyMODINIT_FUNC PyInit__kesp(void) {
  try {
    kesp::Result<kesp::OwnedRef> module = kesp::initialize();
    if (module) return module.take().release();
    module.take_error().restore();
    return nullptr;
  } catch (...) {
    return kesp::handle_failure();
  }
}
