// Message texts: the one place that decides how names and numbers are shown.
//
// Every error message is a fixed pattern with "{}" placeholders filled in
// order.  Integers are written in plain decimal, floats in the shortest
// decimal that reads back as the same double and never with an exponent
// (11, -0.5, 0.0000001, inf, -inf, NaN), kernel and condition names through
// `quoted`.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace quorvel::text {

// The name between double quotes, with \" \\ \t \r \n \0 escaped and every
// other non-printable character (as Python's str.isprintable judges it)
// written as \u{hex}: "zz", "a\"b", "\u{85}".
std::string quoted(std::string_view utf8);

// The shortest decimal digits that read back as the value, written without an
// exponent (zeros fill up to the decimal point): 11, -0.5, 0.0000001,
// 100000000000000000000000 for 1e23, inf, -inf; NaN for every NaN.
std::string number(double value);

// Exactly one digit after the decimal point, rounded half to even from the
// exact binary value (as printf("%.1f") does).
std::string one_decimal(double value);

// True when Python's str.isprintable() holds for the single code point.
bool is_printable(char32_t code_point);

namespace detail {
inline std::string piece(std::string_view s) { return std::string(s); }
inline std::string piece(const char* s) { return std::string(s); }
inline std::string piece(double v) { return number(v); }
template <std::integral I>
std::string piece(I v) { return std::to_string(v); }
}  // namespace detail

// Fills the "{}" placeholders of `pattern` in order.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
    const std::string pieces[] = {std::string(), detail::piece(args)...};
    std::string out;
    std::size_t next = 1;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
            next < sizeof...(Args) + 1) {
            out += pieces[next++];
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

}  // namespace quorvel::text
