// The width-specialised families: one member per stencil width W = 2, 4, ...,
// 20, so that every stencil loop and lane group has a compile-time size.
#pragma once

#include <cstddef>
#include <type_traits>

#include "result.hpp"
#include "text.hpp"

namespace quorvel {

// Calls f(std::integral_constant<std::size_t, W>{}) for W = `columns`.
template <class F>
auto with_width(std::size_t columns, F&& f) -> Result<decltype(f(std::integral_constant<std::size_t, 2>{}))> {
    switch (columns) {
        case 2: return f(std::integral_constant<std::size_t, 2>{});
        case 4: return f(std::integral_constant<std::size_t, 4>{});
        case 6: return f(std::integral_constant<std::size_t, 6>{});
        case 8: return f(std::integral_constant<std::size_t, 8>{});
        case 10: return f(std::integral_constant<std::size_t, 10>{});
        case 12: return f(std::integral_constant<std::size_t, 12>{});
        case 14: return f(std::integral_constant<std::size_t, 14>{});
        case 16: return f(std::integral_constant<std::size_t, 16>{});
        case 18: return f(std::integral_constant<std::size_t, 18>{});
        case 20: return f(std::integral_constant<std::size_t, 20>{});
        default: return value_error(text::format("no evaluator for a kernel with {} columns", columns));
    }
}

}  // namespace quorvel
