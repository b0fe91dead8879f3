// The names trend_v4 interns beside the shared ones: its functions,
// parameters and result keys, and the NumPy attributes its stepwise routes
// look up.
#pragma once

#include "ornivex/common/names.hpp"

#define ORNIVEX_TREND_NAMES(X)                                                                  \
    X(ewma) X(ema2) X(tema3) X(halftrend)                                                                  \
    X(empty_like) X(float32) X(int32) X(int_) X(max) X(where) X(roll)                           \
    X(atrHigh) X(atrLow) X(arrowUp) X(arrowDown) X(buy) X(sell)                                 \
    X(series) X(alpha) X(source) X(length) X(high) X(low) X(close) X(tr) X(amplitude)           \
    X(channel_deviation)

namespace ornivex::trend {

ORNIVEX_NAME_TABLE(TrendNames, ORNIVEX_TREND_NAMES)

TrendNames& trend_names();

}  // namespace ornivex::trend
