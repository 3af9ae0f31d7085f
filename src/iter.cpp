// List utilities: flattening, back-fill of lists and records, order test.
#include "iter.h"

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

}  // namespace

CallResult collapse_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                         BorrowedRef kwnames) {
  KESP_TRY_ASSIGN(OwnedRef args_tuple, extract_varargs(collapse_description, args, nargs, kwnames));
  return not_implemented("collapse");
}

CallResult backfill_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                         BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(backfill_description, args, nargs, kwnames, slots));
  return not_implemented("backfill");
}

CallResult backfill_iterdict_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                                  BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(backfill_iterdict_description, args, nargs, kwnames, slots));
  return not_implemented("backfill_iterdict");
}

CallResult same_order_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                           BorrowedRef kwnames) {
  BorrowedRef slots[2];
  KESP_TRY(extract_fastcall_arguments(same_order_description, args, nargs, kwnames, slots));
  return not_implemented("same_order");
}

}  // namespace kesp
