// Range filter: a stepped line that follows the price only when the price
// leaves a band of half-width r around it.  With prev the stored value of
// the previous bar:
//     price above prev:  filt = x - r if prev < x - r, else prev   (may rise, never falls)
//     otherwise:         filt = x + r if prev > x + r, else prev   (may fall, never rises)
//     hi = r + filt,  lo = filt - r
// Seed: filt[0] = x[0] bit for bit; hi[0] = lo[0] = 0.0.
// NaN policy: a NaN range holds nz(prev) (NaN becomes 0.0) and leaves both
// bands NaN.  Every comparison with NaN is false, so a NaN price falls to the
// downward branch and holds prev, and a NaN prev (only ever from x[0]) is
// carried along until a NaN range resets it.  Afterwards each NaN filter
// bar takes all three values of the bar before it (the gap fill).
//
// The rule is filter_bar below, and every route runs it: the batch pass bar
// by bar, the glue's pass over arrays a rebound np handed out, and a caller
// that meets one bar at a time (filter_advance).  The vector clamp scan
// (clamp_scan.hpp) is the one route that cannot call it; it takes the runs
// of bars where it gives the same bits, and tests/native/lane_widths.cpp
// checks it against the rule.
#pragma once

#include <algorithm>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/swing/clamp_scan.hpp"

namespace ornivex::swing {

// NaN -> +0.0; anything else, -0.0 and infinities included, unchanged.
constexpr double nan_to_zero(double x) noexcept { return x != x ? 0.0 : x; }

// One bar i >= 1 of the filter, every read and write in the rule's order:
//     range_filt[i] = nz(range_filt[i - 1])
//     unless r[i] is NaN (the filter then holds that value):
//         prev = range_filt[i - 1];  filt from the two branches above;  range_filt[i] = filt
//     hi_band[i] = r[i] + filt;  lo_band[i] = range_filt[i] - r[i]
// `Bar` says where the values live: in registers (HeldBar) for the batch
// pass and a one-bar caller, or in the arrays themselves for arrays that
// may share memory, where each load must see the stores before it.  `nz` is
// nan_to_zero unless a native subclass brings its own.  Both branches are
// computed and one is picked, which compiles to selects (no branch on the
// price's direction to mispredict); a NaN range is rare and predictable.
template <class Bar, class Nz>
[[gnu::always_inline]] inline void filter_bar(Bar& bar, Nz&& nz) {
    bar.set_filt(nz(bar.prev()));
    if (const double r = bar.r(); r == r) {
        const double prev = bar.prev(), x = bar.x();
        const double raised = prev < x - r ? x - r : prev;
        const double lowered = prev > x + r ? x + r : prev;
        bar.set_filt(x > prev ? raised : lowered);
    }
    const double filt = bar.filt();
    bar.set_hi(bar.r() + filt);
    bar.set_lo(bar.filt() - bar.r());
}

// One bar's output, in the order of the result's columns.
struct FilterRow {
    double hi_band, lo_band, range_filt;
};

// A bar whose values are held in registers.
struct HeldBar {
    double previous, price, range;
    FilterRow row;

    double prev() const noexcept { return previous; }
    double x() const noexcept { return price; }
    double r() const noexcept { return range; }
    double filt() const noexcept { return row.range_filt; }
    void set_filt(double v) noexcept { row.range_filt = v; }
    void set_hi(double v) noexcept { row.hi_band = v; }
    void set_lo(double v) noexcept { row.lo_band = v; }
};

// The filter between bars: the stored value the next bar starts from, and
// the last row as the result shows it (after the gap fill).
struct FilterState {
    double prev;
    FilterRow shown;
};

// Bar 0: the price itself, both bands 0.0.
constexpr FilterState filter_start(double x0) noexcept { return {x0, {0.0, 0.0, x0}}; }

// The next bar: advances `state` and returns the bar's row as the result
// shows it.  A bar whose stored filter is NaN shows the row before it, which
// is what the forward gap fill over the finished series gives.
[[gnu::always_inline]] inline FilterRow filter_advance(FilterState& state, double x, double r) noexcept {
    HeldBar bar{state.prev, x, r, {}};
    filter_bar(bar, nan_to_zero);
    state.prev = bar.row.range_filt;
    if (bar.row.range_filt == bar.row.range_filt) state.shown = bar.row;
    return state.shown;
}

// The three output series of the batch pass.
struct FilterOutputs {
    StridedView<double> range_filt, hi_band, lo_band;

    void set(index_t i, const FilterRow& row) const noexcept {
        range_filt.set(i, row.range_filt);
        hi_band.set(i, row.hi_band);
        lo_band.set(i, row.lo_band);
    }
};

namespace range_filter_detail {

// Bars [start, end), one at a time.  The state and the views are copied in:
// the stores could alias them otherwise, and the filter would go through
// memory from bar to bar.
inline void filter_bars(StridedView<const double> x, StridedView<const double> r, const FilterOutputs& out,
                        index_t start, index_t end, FilterState& state) noexcept {
    FilterState held = state;
    const FilterOutputs to = out;
    for (index_t i = start; i < end; ++i) to.set(i, filter_advance(held, x[i], r[i]));
    state = held;
}

// Bars [start, n) of contiguous series, block by block.  While the filter is
// a number, a block's whole vectors go through the clamp scan, and the rest
// of the block bar by bar; a block the scan cannot take (a NaN or zero bound,
// a negative range) is done bar by bar.  Once a range with its sign bit set
// turns up the scan is given up for the rest: such ranges come in runs.
template <class V>
[[gnu::always_inline]] inline void filter_contiguous(StridedView<const double> x, StridedView<const double> r,
                                                     const FilterOutputs& out, index_t start,
                                                     FilterState state) noexcept {
    constexpr index_t block = 256;
    const index_t n = x.size;
    bool scanning = true;
    for (index_t first = start; first < n; first += block) {
        const index_t end = std::min(n, first + block);
        if (scanning && state.prev == state.prev) {
            const index_t scanned = (end - first) / lane_count<V> * lane_count<V>;
            bool irregular = false, signed_range = false;
            const double last = clamp_scan::filter_run<V>(
                x.data() + first, r.data() + first, out.range_filt.data() + first, out.hi_band.data() + first,
                out.lo_band.data() + first, scanned, state.prev, irregular, signed_range);
            if (!irregular) {
                if (scanned > 0) {
                    const index_t i = first + scanned - 1;
                    state = {last, {out.hi_band[i], out.lo_band[i], last}};
                }
                filter_bars(x, r, out, first + scanned, end, state);
                continue;
            }
            scanning = !signed_range;
        }
        filter_bars(x, r, out, first, end, state);
    }
}

// The contiguous route in vectors of the instruction set's register width,
// AVX-512 included: its eight lanes are one clamp on the chain per eight bars,
// and measured as fast as four lanes or a little faster (bench/swing_kernels.cpp).
struct FilterKernel {
    template <InstructionSet S>
    static void run(StridedView<const double> x, StridedView<const double> r, const FilterOutputs& out,
                    index_t start, FilterState state) noexcept {
        filter_contiguous<RegisterLanes<double, S>>(x, r, out, start, state);
    }
};

}  // namespace range_filter_detail

// n = x.size; r.size >= n.  Writes elements 0 .. n-1 of all three outputs
// (an empty series writes nothing); r[0] is never read.  The outputs must
// not overlap the inputs or each other.
inline void range_filter_pass(StridedView<const double> x, StridedView<const double> r,
                              const FilterOutputs& out) noexcept {
    using namespace range_filter_detail;
    const index_t n = x.size;
    if (n == 0) return;
    FilterState state = filter_start(x[0]);
    out.range_filt.copy_from(0, x, 0);  // every bit of a NaN, signalling ones included
    out.hi_band.set(0, 0.0);
    out.lo_band.set(0, 0.0);
    if (x.contiguous() && r.contiguous() && out.range_filt.contiguous() && out.hi_band.contiguous() &&
        out.lo_band.contiguous())
        return run_kernel<FilterKernel>(x, r, out, 1, state);
    filter_bars(x, r, out, 1, n, state);
}

// The same result laid out as the C-contiguous (3, n) block `rows` (row 0
// hi_band, row 1 lo_band, row 2 range_filt), whose transpose is the (n, 3)
// result; saves stacking three separate series afterwards.
inline void range_filter_rows(StridedView<const double> x, StridedView<const double> r, double* rows) noexcept {
    const index_t n = x.size;
    const auto row = [rows, n](index_t k) {
        return StridedView<double>{reinterpret_cast<char*>(rows + k * n), sizeof(double), n};
    };
    range_filter_pass(x, r, {row(2), row(0), row(1)});
}

// A bar whose values live in the arrays, each loaded where the rule reads it
// and stored where it writes it.
struct BarInArrays {
    StridedView<const double> xs, rs;
    const FilterOutputs& out;
    index_t i;

    double prev() const noexcept { return out.range_filt[i - 1]; }
    double x() const noexcept { return xs[i]; }
    double r() const noexcept { return rs[i]; }
    double filt() const noexcept { return out.range_filt[i]; }
    void set_filt(double v) const noexcept { out.range_filt.set(i, v); }
    void set_hi(double v) const noexcept { out.hi_band.set(i, v); }
    void set_lo(double v) const noexcept { out.lo_band.set(i, v); }
};

// The filter over arrays that may share memory with each other or with the
// inputs (as arrays from a rebound np may): the rule over the whole series,
// then the gap fill, every value kept in the arrays, so each array sees the
// others' stores as the written loop would.  `nz` may call back into Python
// (a native subclass's own); nothing else here does.
template <class Nz>
void range_filter_in_arrays(StridedView<const double> x, StridedView<const double> r, const FilterOutputs& out,
                            Nz&& nz) {
    const index_t n = x.size;
    if (n == 0) return;
    out.range_filt.copy_from(0, x, 0);
    for (index_t i = 1; i < n; ++i) {
        BarInArrays bar{x, r, out, i};
        filter_bar(bar, nz);
    }
    for (index_t i = 1; i < n; ++i) {
        if (out.range_filt[i] == out.range_filt[i]) continue;
        out.range_filt.copy_from(i, out.range_filt, i - 1);
        out.hi_band.copy_from(i, out.hi_band, i - 1);
        out.lo_band.copy_from(i, out.lo_band, i - 1);
    }
}

}  // namespace ornivex::swing
