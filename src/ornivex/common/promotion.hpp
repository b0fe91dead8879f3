// Which arithmetic NumPy uses for "Python float (op) float32 scalar".
//   weak_float32:  NumPy >= 2 (and NumPy 1.x with weak promotion): the Python
//                  float is rounded to float32 and the operation is float32.
//   legacy_double: NumPy 1.x legacy rules: both operands widened to double,
//                  the operation is double, only the store rounds to float32.
#pragma once

namespace ornivex {

enum class Promotion { weak_float32, legacy_double };

}  // namespace ornivex
