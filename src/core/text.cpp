#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

#include "unicode_tables.hpp"

namespace quorvel::text {
namespace {

// Decodes one code point of well-formed UTF-8 (Python hands us nothing else).
char32_t decode(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    if (i + extra >= s.size()) extra = static_cast<int>(s.size() - i - 1);
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
    i += extra + 1;
    return cp;
}

std::string fixed(double value, int precision) {
    char buffer[400];
    const auto res = std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::fixed, precision);
    return std::string(buffer, res.ptr);
}

}  // namespace

bool is_printable(char32_t cp) {
    // Ranges of non-printable code points, sorted and disjoint.
    const auto* end = NON_PRINTABLE_RANGES + NON_PRINTABLE_RANGE_COUNT;
    const auto* it = std::upper_bound(NON_PRINTABLE_RANGES, end, cp,
                                      [](char32_t c, const CodePointRange& r) { return c < r.first; });
    return it == NON_PRINTABLE_RANGES || cp > (it - 1)->last;
}

std::string quoted(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t begin = i;
        const char32_t cp = decode(utf8, i);
        switch (cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (is_printable(cp)) {
                    out.append(utf8.substr(begin, i - begin));
                } else {
                    char hex[8];
                    const auto res = std::to_chars(std::begin(hex), std::end(hex),
                                                   static_cast<std::uint32_t>(cp), 16);
                    out += "\\u{";
                    out.append(hex, res.ptr);
                    out += '}';
                }
        }
    }
    out += '"';
    return out;
}

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The shortest digits that read back as the value, d.ddd x 10^e, written
    // out without the exponent.  (Fixed notation straight from to_chars
    // would spell out every binary digit of large values: 1e23 as
    // 99999999999999991611392.)
    char buffer[32];
    const auto res = std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(res.ptr - buffer));
    std::string out;
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e))
        if (c != '.') digits += c;
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '+') exponent.remove_prefix(1);
    int power = 0;
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), power);
    // Digits before the decimal point: power + 1, which may be zero or less.
    const long point = static_cast<long>(power) + 1;
    const auto count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

std::string one_decimal(double value) {
    if (std::isnan(value)) return "NaN";
    return fixed(value, 1);
}

}  // namespace quorvel::text
