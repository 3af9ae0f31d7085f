#pragma once

#include "frame.h"

namespace kesp {

CallResult sanitize_vulgar_string_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                                       BorrowedRef kwnames);
CallResult uncamel_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                        BorrowedRef kwnames);
CallResult underscore_to_camelcase_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                                        BorrowedRef kwnames);

}  // namespace kesp
