// The width-specialised families: one member per stencil width W = 2, 4, ...,
// 20, so that every stencil loop and lane group has a compile-time size.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>

namespace quorvel {

template <std::size_t W>
using Width = std::integral_constant<std::size_t, W>;

inline bool has_evaluator(std::size_t columns) { return columns >= 2 && columns <= 20 && columns % 2 == 0; }

// f(Width<W>{}) for W = `columns`; nothing for a width outside the family.
template <class F>
auto visit_width(std::size_t columns, F&& f) -> std::optional<decltype(f(Width<2>{}))> {
    switch (columns) {
        case 2: return f(Width<2>{});
        case 4: return f(Width<4>{});
        case 6: return f(Width<6>{});
        case 8: return f(Width<8>{});
        case 10: return f(Width<10>{});
        case 12: return f(Width<12>{});
        case 14: return f(Width<14>{});
        case 16: return f(Width<16>{});
        case 18: return f(Width<18>{});
        case 20: return f(Width<20>{});
        default: return std::nullopt;
    }
}

}  // namespace quorvel
