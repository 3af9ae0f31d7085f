// Number extraction: parse(s) keeps the ASCII digits, parentheses, minus signs
// and points of a text, drops everything else, and reads what is left as an
// int or a float, or gives None.
#include "numparse.h"

#include <fast_float/fast_float.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

namespace kesp {
namespace {

constexpr std::string_view parse_parameters[] = {"s"};
constexpr FunctionDescription parse_description{"parse", parse_parameters, 0, 1, {}};

constexpr std::array<bool, 256> kept_bytes = [] {
  std::array<bool, 256> table{};
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = true;
  for (char c : {'(', ')', '-', '.'}) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// The kept text: on the stack for ordinary inputs, on the heap for long ones.
class KeptText {
 public:
  explicit KeptText(std::size_t capacity)
      : heap_(capacity > sizeof local_ ? std::make_unique_for_overwrite<char[]>(capacity)
                                       : nullptr),
        data_(heap_ ? heap_.get() : local_) {}
  char* data() noexcept { return data_; }

 private:
  char local_[256];
  std::unique_ptr<char[]> heap_;
  char* data_;
};

// Whether a decimal text whose conversion fell outside the double range is
// huge rather than tiny: whether its leading significant digit stands at or
// above the units place.  The two limits are some 630 decades apart, so the
// decimal exponent alone decides.
bool magnitude_is_huge(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  std::int64_t integer_digits = 0;  // integer digits from the first nonzero one
  std::int64_t fraction_zeros = 0;  // zeros after the point before the first nonzero digit
  bool after_point = false, seen_nonzero = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    const char c = text[i];
    if (c == '.') {
      after_point = true;
      continue;
    }
    seen_nonzero = seen_nonzero || c != '0';
    if (!after_point && seen_nonzero) ++integer_digits;
    if (after_point && !seen_nonzero) ++fraction_zeros;
  }
  std::int64_t exponent = integer_digits > 0 ? integer_digits - 1 : -fraction_zeros - 1;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::int64_t written = 0;
    for (; i < text.size(); ++i)
      if (written < 1000000000) written = written * 10 + (text[i] - '0');
    exponent += negative ? -written : written;
  }
  return exponent >= 0;
}

struct ParsedNumber {
  enum class Kind { Int, Float, None } kind;
  std::int64_t int_value = 0;
  double float_value = 0.0;
};

constexpr ParsedNumber no_number{ParsedNumber::Kind::None};

ParsedNumber parse_int_then_float(std::string_view text) {
  std::int64_t value = 0;
  const char* last = text.data() + text.size();
  auto [end, error] = std::from_chars(text.data(), last, value, 10);
  if (error == std::errc() && end == last) return {ParsedNumber::Kind::Int, value};

  // Not a 64-bit integer: only a text whose nearest double is exactly ±2^63
  // still gives one, saturated.
  const std::optional<double> real = parse_f64(text);
  if (!real || !std::isfinite(*real)) return no_number;
  constexpr double two_63 = 9223372036854775808.0;
  if (std::fabs(*real) > two_63) return no_number;
  if (*real >= two_63) return {ParsedNumber::Kind::Int, std::numeric_limits<std::int64_t>::max()};
  if (*real <= -two_63) return {ParsedNumber::Kind::Int, std::numeric_limits<std::int64_t>::min()};
  return {ParsedNumber::Kind::Int, static_cast<std::int64_t>(*real)};
}

// Reads the kept text, which it may rewrite in place.  One outer pair of
// parentheses makes the number negative by putting a '-' before what lies
// between them: "(-1)" becomes "--1", which is no number.
ParsedNumber parse_number(char* text, std::size_t size, bool is_float) {
  if (size >= 2 && text[0] == '(' && text[size - 1] == ')') {
    if (size == 2) return no_number;
    text[0] = '-';
    --size;
  }
  const std::string_view view(text, size);
  if (!is_float) return parse_int_then_float(view);
  const std::optional<double> real = parse_f64(view);
  if (!real) return no_number;
  return {ParsedNumber::Kind::Float, 0, *real};
}

}  // namespace

std::optional<double> parse_f64(std::string_view text) {
  const char* first = text.data();
  const char* last = first + text.size();
  // fast_float reads what std::from_chars reads (the same digits, point,
  // exponent and words, correctly rounded, never looking at the locale), and
  // does so wherever the C++ library lacks a floating-point from_chars.  It
  // takes no '+'; a '+' before a '-' is still malformed.
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return std::nullopt;
  }
  double value = 0.0;
  auto [end, error] = fast_float::from_chars(first, last, value, fast_float::chars_format::general);
  if (end != last || error == std::errc::invalid_argument) return std::nullopt;
  if (error == std::errc()) return value;
  // Out of range: the answer comes from the text's magnitude and sign, not
  // from whatever the parser left in `value`.
  const bool negative = *first == '-';
  if (magnitude_is_huge(std::string_view(first, last - first)))
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  return negative ? -0.0 : 0.0;
}

CallResult parse_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs, BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(parse_description, args, nargs, kwnames, slots));
  Result<TextView> s = extract_str(slots[0].get());
  if (!s) return wrap_argument_error("s", s.take_error());
  const TextView input = s.value();

  // The commonest text is a plain run of digits that fits in 64 bits: it
  // reads as itself, with no filtering and no copy.
  if (input.size > 0 && input.size <= 18) {
    std::int64_t value = 0;
    Py_ssize_t i = 0;
    for (; i < input.size; ++i) {
      const unsigned digit = static_cast<unsigned char>(input.data[i]) - unsigned('0');
      if (digit > 9) break;
      value = value * 10 + digit;
    }
    if (i == input.size) return checked(PyLong_FromLongLong(value));
  }

  // Every kept character is ASCII, and no byte of a multi-byte UTF-8
  // sequence is, so filtering bytes filters code points.
  KeptText kept(std::size_t(input.size));
  char* out = kept.data();
  std::size_t size = 0;
  bool is_float = false;
  for (Py_ssize_t i = 0; i < input.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(input.data[i]);
    out[size] = char(c);
    size += kept_bytes[c];
    is_float |= c == '.';
  }
  if (size == 0) return new_none();

  const ParsedNumber number = parse_number(out, size, is_float);
  switch (number.kind) {
    case ParsedNumber::Kind::Int: return checked(PyLong_FromLongLong(number.int_value));
    case ParsedNumber::Kind::Float: return checked(PyFloat_FromDouble(number.float_value));
    case ParsedNumber::Kind::None: break;
  }
  return new_none();
}

}  // namespace kesp
