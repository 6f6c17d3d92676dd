// The instruction set of a translation unit built once per evaluator variant
// (the variant list in src/core/meson.build): QUORVEL_ARCH names it (generic,
// neon, avx2 or avx512), QUORVEL_ARCH_LANES its lane count, and the compiler
// flags enable it.  Its entry points live in namespace quorvel::QUORVEL_ARCH.
#pragma once

#include "lanes.hpp"

#ifndef QUORVEL_ARCH
#error "QUORVEL_ARCH names the instruction set of this translation unit"
#endif

namespace quorvel::QUORVEL_ARCH {

// The variant's lane type; a variant whose flags do not enable it fails to
// compile here rather than run fewer lanes.
using V = LaneType<QUORVEL_ARCH_LANES>::type;

}  // namespace quorvel::QUORVEL_ARCH
