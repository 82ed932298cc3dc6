// 32-bit integer arithmetic that wraps like the host's unchecked int
// arithmetic, without signed overflow.
#pragma once

#include <stdint.h>

namespace heightmesh {

constexpr int32_t WrapAdd(int32_t a, int32_t b) { return static_cast<int32_t>(uint32_t(a) + uint32_t(b)); }
constexpr int32_t WrapSub(int32_t a, int32_t b) { return static_cast<int32_t>(uint32_t(a) - uint32_t(b)); }
constexpr int32_t WrapMul(int32_t a, int32_t b) { return static_cast<int32_t>(uint32_t(a) * uint32_t(b)); }

}  // namespace heightmesh
