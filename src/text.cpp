// Text transforms: vulgar fractions to decimals, and case conversion.
//
// All three functions read the UTF-8 text the str object keeps.  Pure-ASCII
// strings take paths that need no Unicode table and write the result straight
// into a new str of its final length.
#include "text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "numparse.h"
#include "unicode_tables.h"

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

// ---------------------------------------------------------------------------
// UTF-8 and the Unicode tables

// The interpreter's UTF-8 is well formed, so decoding checks nothing.
inline char32_t decode_utf8(const unsigned char*& p) noexcept {
  const unsigned char b = *p;
  if (b < 0x80) {
    ++p;
    return b;
  }
  if (b < 0xE0) {
    const char32_t cp = (char32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
    p += 2;
    return cp;
  }
  if (b < 0xF0) {
    const char32_t cp = (char32_t(b & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    p += 3;
    return cp;
  }
  const char32_t cp = (char32_t(b & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                      (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
  p += 4;
  return cp;
}

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    const char bytes[] = {char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))};
    out.append(bytes, 2);
  } else if (cp < 0x10000) {
    const char bytes[] = {char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)),
                          char(0x80 | (cp & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {char(0xF0 | (cp >> 18)), char(0x80 | ((cp >> 12) & 0x3F)),
                          char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
    out.append(bytes, 4);
  }
}

template <std::size_t N>
bool in_ranges(const unicode::CodePointRange (&ranges)[N], char32_t cp) noexcept {
  const auto* it = std::lower_bound(
      std::begin(ranges), std::end(ranges), cp,
      [](const unicode::CodePointRange& range, char32_t c) { return range.last < c; });
  return it != std::end(ranges) && it->first <= cp;
}

// Character classes of the ASCII range, one bit each.
enum : std::uint8_t { ascii_upper = 1, ascii_lower = 2, ascii_digit = 4, ascii_space = 8 };

// Indexed by byte; bytes above 0x7F are in no class.
constexpr std::array<std::uint8_t, 256> ascii_classes = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] |= ascii_upper;
  for (int c = 'a'; c <= 'z'; ++c) table[c] |= ascii_lower;
  for (int c = '0'; c <= '9'; ++c) table[c] |= ascii_digit;
  for (int c : {'\t', '\n', '\v', '\f', '\r', ' '}) table[c] |= ascii_space;
  return table;
}();

inline bool ascii_has(unsigned char c, std::uint8_t cls) noexcept {
  return (ascii_classes[c] & cls) != 0;
}

inline bool is_uppercase(char32_t cp) noexcept {
  return cp < 0x80 ? (ascii_classes[cp] & ascii_upper) != 0
                   : in_ranges(unicode::uppercase_ranges, cp);
}
inline bool is_lowercase(char32_t cp) noexcept {
  return cp < 0x80 ? (ascii_classes[cp] & ascii_lower) != 0
                   : in_ranges(unicode::lowercase_ranges, cp);
}
// Decimal digits of the fraction matcher: General Category Nd as of 16.0.
inline bool is_decimal_digit(char32_t cp) noexcept {
  return cp < 0x80 ? (ascii_classes[cp] & ascii_digit) != 0
                   : in_ranges(unicode::decimal_digit_ranges, cp);
}
inline bool is_white_space(char32_t cp) noexcept {
  return cp < 0x80 ? (ascii_classes[cp] & ascii_space) != 0
                   : in_ranges(unicode::white_space_ranges, cp);
}

inline char ascii_to_lower(unsigned char c) noexcept {
  return char(ascii_has(c, ascii_upper) ? c + ('a' - 'A') : c);
}
inline char ascii_to_upper(unsigned char c) noexcept {
  return char(ascii_has(c, ascii_lower) ? c - ('a' - 'A') : c);
}

// Appends the full case mapping of `cp` from one of the generated tables
// (code points without an entry map to themselves).
template <std::size_t N, std::size_t M>
void append_mapped(std::string& out, const unicode::CaseMapping (&table)[N],
                   const char32_t (&expansions)[M], char32_t cp) {
  const auto* it =
      std::lower_bound(std::begin(table), std::end(table), cp,
                       [](const unicode::CaseMapping& m, char32_t c) { return m.from < c; });
  if (it == std::end(table) || it->from != cp) {
    append_utf8(out, cp);
    return;
  }
  const std::uint32_t length = it->to >> unicode::case_mapping_length_shift;
  const std::uint32_t payload = it->to & unicode::case_mapping_payload_mask;
  if (length == 1) {
    append_utf8(out, payload);
    return;
  }
  for (std::uint32_t i = 0; i < length; ++i) append_utf8(out, expansions[payload + i]);
}

void append_lowercase(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(ascii_to_lower(static_cast<unsigned char>(cp)));
    return;
  }
  append_mapped(out, unicode::lowercase_mappings, unicode::lowercase_mappings_expansions, cp);
}

void append_uppercase(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(ascii_to_upper(static_cast<unsigned char>(cp)));
    return;
  }
  append_mapped(out, unicode::uppercase_mappings, unicode::uppercase_mappings_expansions, cp);
}

CallResult str_from_utf8(const std::string& text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

// A new str with the same text as `s`, copied in the interpreter's own
// representation (no decoding), so a str subclass gives a plain str.
CallResult copy_str(PyObject* s) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
  OwnedRef copy = checked(PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(s)));
  if (length > 0)
    std::memcpy(PyUnicode_DATA(copy.get()), PyUnicode_DATA(s),
                std::size_t(length) * PyUnicode_KIND(s));
  return copy;
}

// ---------------------------------------------------------------------------
// Vulgar fractions

struct VulgarFraction {
  char32_t character;
  double value;
};

// The fifteen fractions that are replaced, in ascending code point order; each
// value is the double nearest the fraction.  The order lets the scanner find
// an entry from the last UTF-8 byte of its character.  Other fraction
// characters (U+2150..U+2152, U+2189) are left alone.
constexpr VulgarFraction vulgar_fraction_table[] = {
    {U'\u00BC', 1.0 / 4}, {U'\u00BD', 1.0 / 2}, {U'\u00BE', 3.0 / 4}, {U'\u2153', 1.0 / 3},
    {U'\u2154', 2.0 / 3}, {U'\u2155', 1.0 / 5}, {U'\u2156', 2.0 / 5}, {U'\u2157', 3.0 / 5},
    {U'\u2158', 4.0 / 5}, {U'\u2159', 1.0 / 6}, {U'\u215A', 5.0 / 6}, {U'\u215B', 1.0 / 8},
    {U'\u215C', 3.0 / 8}, {U'\u215D', 5.0 / 8}, {U'\u215E', 7.0 / 8},
};
constexpr bool fraction_table_is_two_runs = [] {
  for (std::size_t i = 0; i < 3; ++i)
    if (vulgar_fraction_table[i].character != 0xBC + i) return false;
  for (std::size_t i = 3; i < std::size(vulgar_fraction_table); ++i)
    if (vulgar_fraction_table[i].character != 0x2153 + (i - 3)) return false;
  return true;
}();
static_assert(fraction_table_is_two_runs);

// Largest text format_fraction_decimal writes: 309 integer digits, the point
// and six decimals.
constexpr std::size_t fraction_decimal_capacity = 320;

// Writes x rounded to six decimal places, without trailing zeros or point,
// into `buffer` (fraction_decimal_capacity bytes) and returns its length.
// Two rounding steps: x * 10^6 to the nearest integer (halves away from zero)
// and back, then the exact value of that double to six places (halves to
// even).  std::to_chars does not look at the locale.
std::size_t format_fraction_decimal(double x, char* buffer) {
  const double scaled = std::round(x * 1000000.0);
  const double y = scaled / 1000000.0;
  const auto [end, error] =
      std::to_chars(buffer, buffer + fraction_decimal_capacity, y, std::chars_format::fixed, 6);
  if (error != std::errc()) internal_failure("fraction decimal does not fit its buffer");
  std::size_t size = std::size_t(end - buffer);
  while (size > 0 && buffer[size - 1] == '0') --size;
  while (size > 0 && buffer[size - 1] == '.') --size;
  return size;
}

// The position of the first byte at or after `i` that is 0xC2 or 0xE2, the
// lead bytes of the fraction characters (U+00BC..U+00BE and U+2153..U+215E),
// or `n`.  The two differ only in bit 5, so setting that bit leaves one value
// to look for; eight bytes are tested at a time.
std::size_t find_fraction_lead(const unsigned char* s, std::size_t i, std::size_t n) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      const std::uint64_t x = (word | (0x20 * ones)) ^ (0xE2 * ones);
      // The lowest set bit marks the first zero byte exactly.
      const std::uint64_t zero = (x - ones) & ~x & highs;
      if (zero) return i + std::size_t(std::countr_zero(zero) >> 3);
    }
  }
  for (; i < n; ++i)
    if ((s[i] | 0x20) == 0xE2) return i;
  return n;
}

// One replacement: bytes [start, end) of the input become one decimal; the
// digits of the whole part are [start, digits_end).
struct FractionMatch {
  std::size_t start;
  std::size_t digits_end;
  std::size_t end;
  double value;
};

// Steps back over the code points before `p` that satisfy `test`, but never
// before `floor`; returns where the run starts.
template <class Test>
std::size_t run_before(const unsigned char* s, std::size_t floor, std::size_t p, Test test) {
  while (p > floor) {
    const unsigned char last = s[p - 1];
    if (last < 0x80) {
      if (!test(char32_t(last))) break;
      --p;
      continue;
    }
    std::size_t q = p - 1;
    while ((s[q] & 0xC0) == 0x80) --q;  // well-formed UTF-8: stops at a lead byte
    const unsigned char* cursor = s + q;
    if (!test(decode_utf8(cursor))) break;
    p = q;
  }
  return p;
}

// Every fraction character and the run of decimal digits and then whitespace
// right in front of it, left to right.  A match ends at its fraction
// character, which is neither a digit nor whitespace, so the runs before the
// next one never reach into it.
void find_fractions(const unsigned char* s, std::size_t n, std::vector<FractionMatch>& matches) {
  std::size_t floor = 0;  // end of the previous match
  std::size_t i = find_fraction_lead(s, 0, n);
  while (i < n) {
    std::size_t index = 0, length = 0;
    if (s[i] == 0xC2) {
      if (i + 1 < n && s[i + 1] >= 0xBC && s[i + 1] <= 0xBE) index = s[i + 1] - 0xBC, length = 2;
    } else if (i + 2 < n && s[i + 1] == 0x85 && s[i + 2] >= 0x93 && s[i + 2] <= 0x9E) {
      index = 3 + (s[i + 2] - 0x93), length = 3;
    }
    if (length == 0) {
      i = find_fraction_lead(s, i + 1, n);
      continue;
    }
    const std::size_t space_start = run_before(s, floor, i, is_white_space);
    const std::size_t start = run_before(s, floor, space_start, is_decimal_digit);
    matches.push_back({start, space_start, i + length, vulgar_fraction_table[index].value});
    floor = i + length;
    i = find_fraction_lead(s, floor, n);
  }
}

// Appends the decimal that replaces one match.
void append_replacement(std::string& out, const unsigned char* s, const FractionMatch& match) {
  char buffer[fraction_decimal_capacity];
  if (match.digits_end > match.start) {
    // Digits other than ASCII ones make the conversion fail; they count as 0.
    const std::string_view digits(reinterpret_cast<const char*>(s) + match.start,
                                  match.digits_end - match.start);
    const double whole = parse_f64(digits).value_or(0.0);
    out.append(buffer, format_fraction_decimal(whole + match.value, buffer));
    return;
  }
  // A bare fraction after other text is set off from it by one blank.
  if (match.start > 0) out.push_back(' ');
  out.append(buffer, format_fraction_decimal(match.value, buffer));
}

// ---------------------------------------------------------------------------
// Case conversion

// Whether uncamel writes "_" before an uppercase character, from the
// characters around it.
inline bool starts_word(bool prev_lower, bool prev_digit, bool prev_upper,
                        bool next_lower) noexcept {
  return prev_lower || prev_digit || (prev_upper && next_lower);
}

CallResult uncamel_ascii(const unsigned char* s, std::size_t n) {
  auto is_upper = [&](std::size_t k) { return unsigned(s[k] - 'A') < 26u; };
  // For an uppercase s[k], k >= 1: whether a word starts there.
  auto boundary = [&](std::size_t k) {
    const std::uint8_t prev = ascii_classes[s[k - 1]];
    const bool next_lower = k + 1 < n && (ascii_classes[s[k + 1]] & ascii_lower) != 0;
    return starts_word((prev & ascii_lower) != 0, (prev & ascii_digit) != 0,
                       (prev & ascii_upper) != 0, next_lower);
  };
  std::size_t underscores = 0;
  for (std::size_t k = 1; k < n; ++k)
    if (is_upper(k)) underscores += boundary(k);
  OwnedRef result = checked(PyUnicode_New(Py_ssize_t(n + underscores), 127));
  if (n == 0) return result;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
  *out++ = Py_UCS1(ascii_to_lower(s[0]));
  for (std::size_t k = 1; k < n; ++k) {
    if (!is_upper(k)) {
      *out++ = s[k];
      continue;
    }
    if (boundary(k)) *out++ = '_';
    *out++ = Py_UCS1(s[k] + ('a' - 'A'));
  }
  return result;
}

CallResult uncamel_unicode(const unsigned char* s, std::size_t n) {
  std::string out;
  out.reserve(n + 10);
  const unsigned char* const end = s + n;
  // A window of three code points slides over the input: prev, cur, next.
  const unsigned char* cur_begin = s;
  const unsigned char* p = s;
  char32_t cur = decode_utf8(p);
  const unsigned char* next_begin = p;
  bool cur_upper = is_uppercase(cur);
  if (cur_upper)
    append_lowercase(out, cur);
  else
    out.append(reinterpret_cast<const char*>(cur_begin), std::size_t(p - cur_begin));
  bool prev_lower = false, prev_digit = false, prev_upper = false;
  while (next_begin < end) {
    prev_lower = is_lowercase(cur);
    prev_digit = cur >= '0' && cur <= '9';
    prev_upper = cur_upper;
    cur_begin = next_begin;
    cur = decode_utf8(p);
    next_begin = p;
    cur_upper = is_uppercase(cur);
    if (!cur_upper) {
      out.append(reinterpret_cast<const char*>(cur_begin), std::size_t(next_begin - cur_begin));
      continue;
    }
    bool next_lower = false;
    if (next_begin < end) {
      const unsigned char* q = next_begin;
      next_lower = is_lowercase(decode_utf8(q));
    }
    if (starts_word(prev_lower, prev_digit, prev_upper, next_lower)) out.push_back('_');
    append_lowercase(out, cur);
  }
  return str_from_utf8(out);
}

CallResult underscore_to_camelcase_ascii(const unsigned char* s, std::size_t n) {
  const std::size_t underscores = std::size_t(std::count(s, s + n, '_'));
  OwnedRef result = checked(PyUnicode_New(Py_ssize_t(n - underscores), 127));
  if (n == underscores) return result;
  Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
  Py_UCS1* const first = out;
  bool after_underscore = false;
  for (std::size_t k = 0; k < n; ++k) {
    const unsigned char c = s[k];
    if (c == '_') {
      after_underscore = true;
      continue;
    }
    *out = Py_UCS1(after_underscore && out != first ? ascii_to_upper(c) : ascii_to_lower(c));
    ++out;
    after_underscore = false;
  }
  return result;
}

CallResult underscore_to_camelcase_unicode(const unsigned char* s, std::size_t n) {
  std::string out;
  out.reserve(n);
  const unsigned char* const end = s + n;
  bool after_underscore = false;
  for (const unsigned char* p = s; p < end;) {
    const char32_t ch = decode_utf8(p);
    if (ch == '_') {
      after_underscore = true;
      continue;
    }
    if (after_underscore && !out.empty())
      append_uppercase(out, ch);
    else
      append_lowercase(out, ch);
    after_underscore = false;
  }
  return str_from_utf8(out);
}

}  // namespace

CallResult sanitize_vulgar_string_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                                       BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(
      extract_fastcall_arguments(sanitize_vulgar_string_description, args, nargs, kwnames, slots));
  PyObject* const object = slots[0].get();
  Result<TextView> text = extract_str(object);
  if (!text) return wrap_argument_error("s", text.take_error());
  // No fraction character is ASCII.
  if (PyUnicode_IS_ASCII(object)) return copy_str(object);

  const auto* s = reinterpret_cast<const unsigned char*>(text.value().data);
  const std::size_t n = std::size_t(text.value().size);
  std::vector<FractionMatch> matches;
  find_fractions(s, n, matches);
  if (matches.empty()) return copy_str(object);

  // A replacement is at most eight bytes longer than its match (a blank and
  // "0.333333" for a three-byte fraction), so this is the final capacity.
  std::string out;
  out.reserve(n + 8 * matches.size());
  std::size_t copied = 0;
  for (const FractionMatch& match : matches) {
    out.append(reinterpret_cast<const char*>(s) + copied, match.start - copied);
    append_replacement(out, s, match);
    copied = match.end;
  }
  out.append(reinterpret_cast<const char*>(s) + copied, n - copied);
  return str_from_utf8(out);
}

CallResult uncamel_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs, BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(extract_fastcall_arguments(uncamel_description, args, nargs, kwnames, slots));
  PyObject* const object = slots[0].get();
  Result<TextView> text = extract_str(object);
  if (!text) return wrap_argument_error("camel", text.take_error());
  const auto* s = reinterpret_cast<const unsigned char*>(text.value().data);
  const std::size_t n = std::size_t(text.value().size);
  if (PyUnicode_IS_ASCII(object) || n == 0) return uncamel_ascii(s, n);
  return uncamel_unicode(s, n);
}

CallResult underscore_to_camelcase_body(BorrowedRef, PyObject* const* args, Py_ssize_t nargs,
                                        BorrowedRef kwnames) {
  BorrowedRef slots[1];
  KESP_TRY(
      extract_fastcall_arguments(underscore_to_camelcase_description, args, nargs, kwnames, slots));
  PyObject* const object = slots[0].get();
  Result<TextView> text = extract_str(object);
  if (!text) return wrap_argument_error("s", text.take_error());
  const auto* s = reinterpret_cast<const unsigned char*>(text.value().data);
  const std::size_t n = std::size_t(text.value().size);
  if (PyUnicode_IS_ASCII(object)) return underscore_to_camelcase_ascii(s, n);
  return underscore_to_camelcase_unicode(s, n);
}

}  // namespace kesp
