// Code points that Python's str.isprintable() rejects, as sorted, disjoint,
// inclusive ranges (written by tools/generate_tables.py from the Unicode
// database of the Python that ran it).
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
