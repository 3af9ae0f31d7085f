// Number extraction: parse(s), and the decimal-to-double conversion it shares
// with the text transforms.
#pragma once

#include <optional>
#include <string_view>

#include "frame.h"

namespace kesp {

CallResult parse_body(BorrowedRef module, PyObject* const* args, Py_ssize_t nargs,
                      BorrowedRef kwnames);

// The double nearest to a decimal text (ties to even), matched as a whole:
// an optional sign, digits with at most one point, an optional exponent, or
// inf/infinity/nan in any case.  A value beyond the double range gives
// ±infinity, one too small gives a zero of the text's sign.  Independent of
// the process locale.
std::optional<double> parse_f64(std::string_view text);

}  // namespace kesp
