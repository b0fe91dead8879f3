// Small vectors of floats and doubles: Lanes<T, N> is N lanes of T (a GCC
// vector).  Arithmetic and comparisons act lane by lane with exactly the
// rounding of a lone T (IEEE, no contraction), so a lane can carry one
// series' recursion bit for bit, and a comparison gives a mask (all ones in
// a lane where it holds) whose selects `mask ? a : b` compile to blends,
// never to branches.  A plain float or double counts as one lane, so a
// kernel written over V serves one series or several side by side.
#pragma once

#include <concepts>
#include <cstring>
#include <type_traits>

namespace ornivex {

template <class T, int N>
struct VectorOf {
    typedef T type __attribute__((vector_size(N * sizeof(T))));
};

template <class T, int N>
using Lanes = typename VectorOf<T, N>::type;

using f32x2 = Lanes<float, 2>;
using f32x4 = Lanes<float, 4>;
using f64x2 = Lanes<double, 2>;
using f64x4 = Lanes<double, 4>;
using f64x8 = Lanes<double, 8>;

template <class V>
struct LaneTraits {  // a scalar: one lane
    using lane = V;
    static constexpr int count = 1;
};
template <class V>
    requires requires(V v) { v[0]; }
struct LaneTraits<V> {
    using lane = std::remove_cvref_t<decltype(std::declval<V>()[0])>;
    static constexpr int count = sizeof(V) / sizeof(lane);
};

template <class V>
using lane_type = typename LaneTraits<V>::lane;
template <class V>
inline constexpr int lane_count = LaneTraits<V>::count;

// The comparison result of two V: integer lanes of V's width.
template <class V>
using LaneMask = decltype(std::declval<V>() < std::declval<V>());

// Every lane x, bit for bit (adding x to a zero vector would turn -0.0 into +0.0).
template <class V>
[[gnu::always_inline]] inline V splat(lane_type<V> x) noexcept {
    if constexpr (lane_count<V> == 1 && std::same_as<V, lane_type<V>>) {
        return x;
    } else {
        V v;
        for (int k = 0; k < lane_count<V>; ++k) v[k] = x;
        return v;
    }
}

// Every lane the value of lane `Lane` of v, bit for bit.
template <int Lane, class V>
[[gnu::always_inline]] inline V broadcast_lane(V v) noexcept {
    LaneMask<V> pick;
    for (int k = 0; k < lane_count<V>; ++k) pick[k] = Lane;
    return __builtin_shuffle(v, pick);
}

// Lane k takes lane k - Shift of v, or that of `fill` where there is none.
template <int Shift, class V>
[[gnu::always_inline]] inline V shift_up(V v, V fill) noexcept {
    constexpr int n = lane_count<V>;
    LaneMask<V> pick;
    for (int k = 0; k < n; ++k) pick[k] = k < Shift ? n + k : k - Shift;
    return __builtin_shuffle(v, fill, pick);
}

// True when any lane of a comparison held.
template <class M>
[[gnu::always_inline]] inline bool any_lane(M mask) noexcept {
    bool any = false;
    for (int k = 0; k < lane_count<M>; ++k) any |= mask[k] != 0;
    return any;
}

// lane_count<V> consecutive values at any address of a lane_type<V>, as one
// vector (an unaligned vector load or store).
template <class V>
[[gnu::always_inline]] inline V load(const lane_type<V>* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store(lane_type<V>* p, V v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// Each lane converted exactly to double, and back with one rounding each.
template <class V>
using Widened = std::conditional_t<lane_count<V> == 1, double, Lanes<double, lane_count<V>>>;
template <class V>
[[gnu::always_inline]] inline Widened<V> widen(V v) noexcept {
    if constexpr (lane_count<V> == 1)
        return static_cast<double>(v);
    else
        return __builtin_convertvector(v, Widened<V>);
}
template <class V>
[[gnu::always_inline]] inline V narrow(Widened<V> w) noexcept {
    if constexpr (lane_count<V> == 1)
        return static_cast<V>(w);
    else
        return __builtin_convertvector(w, V);
}

}  // namespace ornivex
