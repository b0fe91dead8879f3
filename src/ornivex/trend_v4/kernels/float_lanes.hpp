// Small GCC vectors of floats.  Arithmetic and comparisons act lane by lane
// with exactly the rounding of a lone float (IEEE, no contraction), so a lane
// can carry one series' recursion bit for bit; selects on them compile to
// masks, never to branches.
#pragma once

namespace ornivex::trend {

using f32x2 = float __attribute__((vector_size(8)));
using f32x4 = float __attribute__((vector_size(16)));
using f64x2 = double __attribute__((vector_size(16)));

}  // namespace ornivex::trend
