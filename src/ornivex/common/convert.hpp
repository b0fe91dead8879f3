// Conversion of numeric arguments to machine numbers.
//   double: an exact float is read directly; anything else goes through the
//           interpreter's float conversion (int, __float__, __index__).
//   int32 / long: ints (bool included) by value, range-checked; any other
//           object through its __int__ (so floats truncate toward zero);
//           objects without __int__ raise "an integer is required".
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace ornivex {

std::optional<double> to_double(PyObject* obj);
std::optional<int32_t> to_int32(PyObject* obj);
std::optional<long> to_long(PyObject* obj);

}  // namespace ornivex
