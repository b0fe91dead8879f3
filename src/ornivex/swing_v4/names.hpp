// The names swing_v4 interns beside the shared ones: the class, its methods
// and parameters, the pickling protocol, and the NumPy attributes only the
// swing routes look up.
#pragma once

#include "ornivex/common/names.hpp"

#define ORNIVEX_SWING_NAMES(X)                                                                     \
    X(QuorvelSwing) X(__pyx_unpickle_QuorvelSwing) X(__name__) X(__dict__) X(__new__)            \
    X(__pyx_vtable__) X(update) X(__getstate__) X(__reduce_ex__) X(__reduce__) X(__setstate__)   \
    X(__reduce_velmar__) X(__setstate_velmar__) X(__pyx_type) X(__pyx_checksum) X(__pyx_state)   \
    X(float64) X(ones) X(dot) X(vstack) X(nan) X(T)                                              \
    X(arr) X(range_period) X(range_multiplier) X(x) X(r) X(swing_period) X(swing_multiplier)     \
    X(range_size) X(range_filter) X(quorvel_swing)

namespace ornivex::swing {

ORNIVEX_NAME_TABLE(SwingNames, ORNIVEX_SWING_NAMES)

SwingNames& swing_names();

}  // namespace ornivex::swing
