#pragma once

#include "frame.h"

namespace kesp {

CallResult collapse_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                         BorrowedRef kwnames);
CallResult backfill_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                         BorrowedRef kwnames);
CallResult backfill_iterdict_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                                  BorrowedRef kwnames);
CallResult same_order_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                           BorrowedRef kwnames);

}  // namespace kesp
