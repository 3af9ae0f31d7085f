#pragma once

#include "frame.h"

namespace kesp {

CallResult multikeysort_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                             BorrowedRef kwnames);

}  // namespace kesp
