// Text transforms: vulgar fractions to decimals, and case conversion.
#include "text.h"

namespace kesp {
namespace {

constexpr std::string_view sanitize_vulgar_string_parameters[] = {"s"};
constexpr FunctionDescription sanitize_vulgar_string_description{
    "sanitize_vulgar_string", sanitize_vulgar_string_parameters, 0, 1, {}};

constexpr std::string_view uncamel_parameters[] = {"camel"};
constexpr FunctionDescription uncamel_description{"uncamel", uncamel_parameters, 0, 1, {}};

constexpr std::string_view underscore_to_camelcase_parameters[] = {"s"};
constexpr FunctionDescription underscore_to_camelcase_description{
    "underscore_to_camelcase", underscore_to_camelcase_parameters, 0, 1, {}};

}  // namespace

CallResult sanitize_vulgar_string_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                                       BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(
      extract_fastcall_arguments(sanitize_vulgar_string_description, args, nargs, kwnames, slots));
  return not_implemented("sanitize_vulgar_string");
}

CallResult uncamel_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs, BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(uncamel_description, args, nargs, kwnames, slots));
  return not_implemented("uncamel");
}

CallResult underscore_to_camelcase_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                                        BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(
      extract_fastcall_arguments(underscore_to_camelcase_description, args, nargs, kwnames, slots));
  return not_implemented("underscore_to_camelcase");
}

}  // namespace kesp
