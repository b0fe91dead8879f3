// The classes of ornivex.stream, each bound into the module namespace by exec.
#pragma once

#include <Python.h>

namespace ornivex::stream {

bool define_averages(PyObject* module_dict);  // Ewma, Ema2, Tema3
bool define_atr(PyObject* module_dict);       // Atr
bool define_halftrend(PyObject* module_dict); // HalfTrend
bool define_swing(PyObject* module_dict);     // Swing

}  // namespace ornivex::stream
