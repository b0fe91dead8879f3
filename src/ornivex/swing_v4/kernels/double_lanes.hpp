// Consecutive doubles at any double-aligned address, free to alias plain
// doubles: a vector load or store wherever `lanes_at` is dereferenced.
// Arithmetic and comparisons act lane by lane with the rounding of a lone
// double.  Two lanes is what every x86-64 has, four needs AVX2 and eight
// AVX-512; kernels are instantiated per width and picked at run time.
#pragma once

#include <cstdint>
#include <type_traits>

namespace ornivex::swing {

using lanes2 = double __attribute__((vector_size(16), aligned(8), may_alias));
using lanes4 = double __attribute__((vector_size(32), aligned(8), may_alias));
using lanes8 = double __attribute__((vector_size(64), aligned(8), may_alias));

template <class Lanes>
inline constexpr int width = sizeof(Lanes) / sizeof(double);

// The integer vector of the same shape: comparison results and shuffle masks.
using lane_bits2 = std::int64_t __attribute__((vector_size(16)));
using lane_bits4 = std::int64_t __attribute__((vector_size(32)));
using lane_bits8 = std::int64_t __attribute__((vector_size(64)));
template <class Lanes>
using lane_bits = std::conditional_t<width<Lanes> == 2, lane_bits2,
                                     std::conditional_t<width<Lanes> == 4, lane_bits4, lane_bits8>>;

template <class Lanes>
[[gnu::always_inline]] inline const Lanes& lanes_at(const double* p) noexcept {
    return *reinterpret_cast<const Lanes*>(p);
}
template <class Lanes>
[[gnu::always_inline]] inline Lanes& lanes_at(double* p) noexcept {
    return *reinterpret_cast<Lanes*>(p);
}

}  // namespace ornivex::swing

#if defined(__GNUC__) && defined(__x86_64__)
#define ORNIVEX_SWING_X86_VARIANTS 1
#endif
