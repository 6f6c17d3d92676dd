// Code points that Python's str.isprintable() rejects, as sorted, disjoint,
// inclusive ranges (written at build time by tools/generate_tables.py from the
// Unicode database of the Python the module is built for).
#pragma once

#include <cstddef>

namespace quorvel::text {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

extern const CodePointRange NON_PRINTABLE_RANGES[];
extern const std::size_t NON_PRINTABLE_RANGE_COUNT;

}  // namespace quorvel::text
