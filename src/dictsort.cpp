// Multi-key sort of a list of dictionaries.
#include "dictsort.h"

namespace kesp {
namespace {

constexpr std::string_view multikeysort_parameters[] = {"items", "columns", "inplace"};
constexpr FunctionDescription multikeysort_description{
    "multikeysort", multikeysort_parameters, 0, 2, {}};

}  // namespace

CallResult multikeysort_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                             BorrowedRef kwnames) {
  BorrowedRef slots[3];
  KESP_TRY(extract_fastcall_arguments(multikeysort_description, args, nargs, kwnames, slots));
  return not_implemented("multikeysort");
}

}  // namespace kesp
