// HalfTrend over a panel (groups.hpp: every symbol once per bar, in the same
// order each bar, as a complete table in time order lists them), bar by bar
// with the symbols side by side, one a lane.  The table's rows are read and
// written in the order they lie: nothing is gathered by symbol or put back,
// and a bar of eight symbols is a few vector operations.  Each lane goes
// through the steps its symbol alone goes through (atr.hpp's average true
// range, tema3.hpp's smoothing, rules.hpp's trend and line, the window
// extremes' tie rule), so the results are the bits of the group by group
// route (work.hpp).
//
// A table in time order that is not a panel (bars missing, symbols in
// another order each bar) goes the same way: each lane goes down its own
// symbol's rows, listed bar by bar (groups.hpp's bar_rows), whole vectors
// where a block's rows lie side by side and lane by lane elsewhere.
//
// Taken for windows of up to panel_window bars, whose extremes are folded
// from the last bars each lane block keeps (the scan of window_extremes.hpp
// keeps its cost flat in the window, which per-lane folds do not), and when
// no symbol's times fall (such rows are sorted group by group).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/lanes.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/grouped/groups.hpp"
#include "ornivex/grouped/work.hpp"
#include "ornivex/kernels/atr/atr.hpp"
#include "ornivex/kernels/averages/tema3.hpp"
#include "ornivex/kernels/halftrend/rules.hpp"
#include "ornivex/kernels/halftrend/window_extremes.hpp"

namespace ornivex::grouped {

inline constexpr index_t panel_window = 16;
inline constexpr index_t panel_lanes = 8;

inline constexpr index_t prefetch_bars = 2;  // see SideBySide::prefetch

namespace panel_detail {

using Floats = Lanes<float, panel_lanes>;
using Mask = LaneMask<Floats>;
using HalfFloats = Lanes<float, panel_lanes / 2>;
using HalfDoubles = Lanes<double, panel_lanes / 2>;

// A lane block's doubles, in two halves of four: GCC keeps a vector wider
// than the registers in memory, and each use then waits on its stores.
struct Doubles {
    HalfDoubles half[2];
};

// `lanes` elements from `row` (fewer than a block at the panel's right edge),
// the other lanes `pad`; and back.
inline Doubles load_lanes(StridedView<const double> column, index_t row, index_t lanes, double pad) noexcept {
    if (lanes == panel_lanes && column.contiguous())
        return {load<HalfDoubles>(column.data() + row), load<HalfDoubles>(column.data() + row + panel_lanes / 2)};
    Doubles v{splat<HalfDoubles>(pad), splat<HalfDoubles>(pad)};
    for (index_t q = 0; q < lanes; ++q) v.half[q / 4][q % 4] = column[row + q];
    return v;
}

template <class V, class T>
[[gnu::always_inline]] inline void store_lanes(StridedView<T> column, index_t row, index_t lanes, V v) noexcept {
    if (lanes == lane_count<V> && column.contiguous()) return store(column.data() + row, v);
    for (index_t q = 0; q < lanes; ++q) column.set(row + q, v[q]);
}

// Each lane rounded to float32.
[[gnu::always_inline]] inline Floats narrowed(const Doubles& v) noexcept {
    const HalfFloats low = narrow<HalfFloats>(v.half[0]), high = narrow<HalfFloats>(v.half[1]);
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}

// 1 where the mask holds, 0 elsewhere, as int64s: in halves of four, as
// Doubles are kept.
struct Ones {
    Lanes<std::int64_t, panel_lanes / 2> half[2];

    [[gnu::always_inline]] explicit Ones(Mask mask) noexcept {
        using Half = Lanes<std::int64_t, panel_lanes / 2>;
        const Mask ones = mask & 1;
        half[0] = __builtin_convertvector(__builtin_shufflevector(ones, ones, 0, 1, 2, 3), Half);
        half[1] = __builtin_convertvector(__builtin_shufflevector(ones, ones, 4, 5, 6, 7), Half);
    }
    std::int64_t operator[](index_t q) const noexcept { return half[q / 4][q % 4]; }
};

// Each int32 lane's low byte (the value itself for -1, 0 and 1): a byte
// shuffle, where a conversion to int8 lanes is built one lane at a time.
[[gnu::always_inline]] inline Lanes<std::int8_t, panel_lanes> low_bytes(Mask lanes) noexcept {
    const auto bytes = reinterpret_cast<Lanes<std::int8_t, 4 * panel_lanes>>(lanes);
    return __builtin_shufflevector(bytes, bytes, 0, 4, 8, 12, 16, 20, 24, 28);
}

// Where a lane block's symbols have their bar: in a complete panel, side by
// side in one row stretch (symbol s's bar t is row t * symbols + s).
struct SideBySide {
    index_t row, lanes, symbols;

    Doubles load(StridedView<const double> column, double pad) const noexcept {
        return load_lanes(column, row, lanes, pad);
    }
    template <class V, class T>
    [[gnu::always_inline]] void store(StridedView<T> column, V v) const noexcept {
        store_lanes(column, row, lanes, v);
    }
    [[gnu::always_inline]] void store(StridedView<std::int64_t> column, Ones v) const noexcept {
        if (lanes == panel_lanes && column.contiguous()) {
            ornivex::store(column.data() + row, v.half[0]);
            ornivex::store(column.data() + row + panel_lanes / 2, v.half[1]);
            return;
        }
        for (index_t q = 0; q < lanes; ++q) column.set(row + q, v[q]);
    }
    // A thread's share of a bar ends a jump away from where its share of
    // the next bar begins, and the hardware's prefetch meets each such
    // stretch late: the inputs are asked for this many bars ahead.
    void prefetch(StridedView<const double> column) const noexcept {
        if (column.contiguous() && column.size > 0) __builtin_prefetch(column.data() + row + prefetch_bars * symbols);
    }
};

// A lane block of groups at bar t, their rows in BarRows: lane q's bar t is
// the t-th row of its group.  Lanes past their group's last bar (or past the
// last group) are neither read nor written.  The rows are copied out: a
// store through a column could change the list, as far as the compiler
// knows, and it would read it again for every lane of every column.
struct Listed {
    index_t row[panel_lanes];  // -1: past the group's last bar
    bool full;                 // every lane has a row
    bool side_by_side;         // and each the one after the lane's before

    Listed(const BarRows& of, index_t block, index_t t) noexcept {
        const index_t* const rows = of.rows.get() + t * of.width + block * panel_lanes;
        const index_t* const length = of.length.data() + block * panel_lanes;
        full = true;
        for (index_t q = 0; q < panel_lanes; ++q) {
            row[q] = t < length[q] ? rows[q] : -1;
            full &= t < length[q];
        }
        side_by_side = full;
        for (index_t q = 1; q < panel_lanes; ++q) side_by_side &= row[q] == row[0] + q;
    }

    Doubles load(StridedView<const double> column, double pad) const noexcept {
        if (side_by_side) return load_lanes(column, row[0], panel_lanes, pad);
        if (full)  // four loads to a half, put together whole
            return {HalfDoubles{column[row[0]], column[row[1]], column[row[2]], column[row[3]]},
                    HalfDoubles{column[row[4]], column[row[5]], column[row[6]], column[row[7]]}};
        Doubles v{splat<HalfDoubles>(pad), splat<HalfDoubles>(pad)};
        for (index_t q = 0; q < panel_lanes; ++q)
            if (row[q] >= 0) v.half[q / 4][q % 4] = column[row[q]];
        return v;
    }
    template <class V, class T>
    [[gnu::always_inline]] void store(StridedView<T> column, V v) const noexcept {
        if (side_by_side) return SideBySide{row[0], panel_lanes, 0}.store(column, v);
        if (full)
            for (index_t q = 0; q < panel_lanes; ++q) column.set(row[q], v[q]);
        else
            for (index_t q = 0; q < panel_lanes; ++q)
                if (row[q] >= 0) column.set(row[q], v[q]);
    }
    void prefetch(StridedView<const double>) const noexcept {}
};

// A complete panel's lane blocks.
struct PanelPlaces {
    index_t symbols, bars;

    index_t bars_of(index_t) const noexcept { return bars; }
    SideBySide at(index_t block, index_t t) const noexcept {
        const index_t symbol = block * panel_lanes;
        return {t * symbols + symbol, std::min(panel_lanes, symbols - symbol), symbols};
    }
};

// Groups' lane blocks, eight neighbouring groups each, their rows in BarRows.
struct ListedPlaces {
    const BarRows& rows;
    index_t bars;  // the longest group's

    index_t bars_of(index_t block) const noexcept { return rows.block_bars[block]; }
    Listed at(index_t block, index_t t) const noexcept { return {rows, block, t}; }
};

// A lane block's series after its last bar.  Aligned by hand: a vector type
// wider than the baseline's registers is only 16-byte aligned where the
// baseline code allocates it, while the AVX2 build stores it whole.
struct alignas(64) Block {
    trend::TripleEmaStages<Floats> highs, lows;
    trend::halftrend::TrendLanes<Floats> trend;
    Floats line, high, low, high_price, low_price;
    // The average true range's, four lanes to a half (as Doubles; and GCC
    // builds a select on an OR of comparisons of eight doubles one lane at a time).
    HalfDoubles count[2], average[2], previous_close[2];
};

// A lane block's last bars' float32 highs and lows, bar t at t %
// panel_window: a window longer than two bars is folded from these,
// wherever its rows lie.  Kept apart from Block, which a window of two bars
// (the usual) then walks through more tightly.
struct alignas(64) RecentBars {
    Floats high[panel_window], low[panel_window];
};

// Lane blocks first .. last - 1 of `places`, bar by bar; `blocks` holds
// their state, and `recent` their last bars (for an amplitude over 2).
template <Promotion P, class Places>
void lane_pass(const HalftrendWork& w, const Places& places, index_t first, index_t last, Block* blocks,
               RecentBars* recent) noexcept {
    namespace ht = trend::halftrend;
    using ht::extremes_detail::Highest, ht::extremes_detail::Lowest;
    const index_t bars = places.bars;
    const trend::EwmaFactors<P, Floats> smoothing(trend::ema2_alpha(ht::smoothing_length(w.amplitude)));
    const ht::ChannelWidths widths(w.channel_deviation);
    const HalfDoubles cap = splat<HalfDoubles>(static_cast<double>(w.atr_length));
    const Floats no_arrows = splat<Floats>(no_arrow);
    // The views as locals: the stores through them could otherwise change
    // them, as far as the compiler knows, and it would read them again each bar.
    const StridedView<const double> high_column = w.high, low_column = w.low, close_column = w.close, tr = w.tr;
    const ht::Outputs out = w.out.native;
    const StridedView<std::int8_t> trend_column = w.out.trend, signal_column = w.out.signal;
    const StridedView<float> atr_column = w.out.atr;
    const index_t amplitude = w.amplitude;
    Mask not_finite{};
    for (index_t t = 0; t < bars; ++t) {
        const index_t window = std::min(amplitude, t + 1);
        for (index_t b = first; b < last; ++b) {
            if (t >= places.bars_of(b)) continue;
            Block& s = blocks[b - first];
            RecentBars* const kept = amplitude > 2 ? &recent[b - first] : nullptr;
            const auto at = places.at(b, t);
            if (t + prefetch_bars < bars)
                for (const StridedView<const double>& column : {high_column, low_column, close_column, tr})
                    at.prefetch(column);
            const Doubles high64 = at.load(high_column, 1.0), low64 = at.load(low_column, 1.0),
                          close64 = at.load(close_column, 1.0);
            const Floats high = narrowed(high64), low = narrowed(low64), close = narrowed(close64);
            not_finite |= reinterpret_cast<Mask>(high - high) | reinterpret_cast<Mask>(low - low) |
                          reinterpret_cast<Mask>(close - close);

            // The window's extremes, its bars oldest first (the later one kept on a tie).
            Floats high_price = high, low_price = low;
            if (window > 1) {
                Floats highest = s.high, lowest = s.low;
                if (window > 2) {
                    highest = kept->high[(t - window + 1) % panel_window];
                    lowest = kept->low[(t - window + 1) % panel_window];
                    for (index_t k = window - 2; k >= 2; --k) {
                        highest = Highest::pick(highest, kept->high[(t - k) % panel_window]);
                        lowest = Lowest::pick(lowest, kept->low[(t - k) % panel_window]);
                    }
                    highest = Highest::pick(highest, s.high);
                    lowest = Lowest::pick(lowest, s.low);
                }
                high_price = Highest::pick(highest, high);
                low_price = Lowest::pick(lowest, low);
            }

            Floats range;  // HalfTrend's: the given tr or the average true range, in float32
            if (tr.size > 0) {
                range = narrowed(at.load(tr, 1.0));
            } else {
                for (int half = 0; half < 2; ++half) {
                    if (t == 0) {
                        s.count[half] = splat<HalfDoubles>(0.0);
                        s.average[half] = s.previous_close[half] = splat<HalfDoubles>(nan);
                    }
                    atr::atr_step(cap, high64.half[half], low64.half[half], close64.half[half], s.count[half],
                                  s.average[half], s.previous_close[half]);
                }
                range = narrowed({s.average[0], s.average[1]});
            }

            Mask down_before{}, down{};
            if (t == 0) {
                s.highs.seed(high);
                s.lows.seed(low);
                s.trend = ht::first_trend_lanes(high, low);
                s.line = low;
            } else {
                s.highs.advance(smoothing, high);
                s.lows.advance(smoothing, low);
                const ht::TrendBarOf<Floats> before{s.high, s.low, Floats{}, s.high_price, s.low_price, Floats{},
                                                    Floats{}};
                const ht::TrendBarOf<Floats> bar{high,      low,       close, high_price,
                                                 low_price, s.highs.value(), s.lows.value()};
                const ht::TrendLanes<Floats> next = ht::next_trend_lanes(s.trend, before, bar);
                down_before = s.trend.down;
                down = next.down;
                s.line = ht::next_line_lanes(s.line, down_before, down, s.trend.max_low_price, s.trend.min_high_price);
                s.trend = next;
            }
            s.high = high;
            s.low = low;
            if (kept) {  // a window of two bars is this bar's and the last
                kept->high[t % panel_window] = high;
                kept->low[t % panel_window] = low;
            }
            s.high_price = high_price;
            s.low_price = low_price;

            // The bar as a table shows it (work.hpp's present_signals and dress_rows).
            const Floats atr2 = ht::ChannelWidths::half(range), dev = widths.band(atr2);
            const Mask buy = down_before & ~down, sell = down & ~down_before;
            at.store(out.halftrend, s.line);
            at.store(out.atr_high, ht::channel_high(s.line, dev));
            at.store(out.atr_low, ht::channel_low(s.line, dev));
            at.store(out.arrow_up, buy ? ht::arrow_up_at(s.line, atr2) : no_arrows);
            at.store(out.arrow_down, sell ? ht::arrow_down_at(s.line, atr2) : no_arrows);
            at.store(out.buy, Ones(buy));
            at.store(out.sell, Ones(sell));
            at.store(trend_column, low_bytes(down & 1));
            at.store(atr_column, range);
            at.store(signal_column, low_bytes((buy & 1) - (sell & 1)));
        }
    }
    w.bad.note(any_lane(not_finite));
}

template <Promotion P>
struct LaneKernel {
    // Eight float lanes: one AVX2 register; AVX-512 would only halve its use.
    static constexpr InstructionSet widest = InstructionSet::avx2;

    template <InstructionSet, class Places>
    static void run(const HalftrendWork& w, const Places& places, index_t first, index_t last,
                    Block* blocks, RecentBars* recent) noexcept {
        lane_pass<P>(w, places, first, last, blocks, recent);
    }
};

// The lane blocks shared out evenly over the threads: in a panel, a seam
// between two shares is at most a cache line of a column per bar.
template <class Places>
void run_lanes(const HalftrendWork& w, const Places& places, index_t block_count, index_t threads) {
    const index_t parts = std::min(usable_threads(threads), block_count);
    struct State {
        std::vector<Block> blocks;
        std::vector<RecentBars> recent;
    };
    run_tasks<State>(parts, threads, [&](index_t p, State& state) {
        const index_t first = p * block_count / parts, last = (p + 1) * block_count / parts;
        state.blocks.resize(static_cast<std::size_t>(last - first));
        state.recent.resize(w.amplitude > 2 ? state.blocks.size() : 0);
        if (w.promotion == Promotion::weak_float32)
            run_kernel<LaneKernel<Promotion::weak_float32>>(w, places, first, last, state.blocks.data(),
                                                            state.recent.data());
        else
            run_kernel<LaneKernel<Promotion::legacy_double>>(w, places, first, last, state.blocks.data(),
                                                             state.recent.data());
    });
}

}  // namespace panel_detail

// Computes a panel of `symbols` symbols side by side, unless its window is
// too long, it has too few symbols to fill the lanes or a symbol's times
// fall: then returns false, having written nothing.  Throws std::bad_alloc.
inline bool try_panel(const HalftrendWork& w, index_t symbols, index_t threads) {
    using namespace panel_detail;
    if (symbols < panel_lanes || w.amplitude > panel_window) return false;
    if (w.times.size > 0) {
        // Rows `symbols` apart are one symbol's neighbouring bars.
        const TimeSteps steps = time_steps(w.times, symbols, threads);
        if (steps.fall) return false;
        w.bad.note(steps.missing);
    }
    const index_t block_count = (symbols + panel_lanes - 1) / panel_lanes;
    run_lanes(w, PanelPlaces{symbols, w.out.signal.size / symbols}, block_count, threads);
    return true;
}

// Computes the groups of `codes` eight side by side, as a panel's, each lane
// going down its own group's rows (in row order: the table has no times, or
// they were found in order): the table's columns are read and written where
// they lie, nothing gathered by group or put back.  The rows left out (code
// -1) are listed in `bars`.  Returns false, having written nothing, when the
// window is too long, there are too few groups to fill the lanes, times must
// order the rows, or bar_rows declines.  Throws std::bad_alloc.
inline bool try_listed(const HalftrendWork& w, StridedView<const std::int64_t> codes, index_t count,
                       index_t threads, BarRows& bars) {
    using namespace panel_detail;
    if (count < panel_lanes || w.amplitude > panel_window || w.times.size > 0) return false;
    if (!bar_rows(codes, count, panel_lanes, threads, bars)) return false;
    run_lanes(w, ListedPlaces{bars, bars.longest}, bars.width / panel_lanes, threads);
    return true;
}

// Other work has no panel route.
template <class Work>
bool try_panel(const Work&, index_t, index_t) {
    return false;
}
template <class Work>
bool try_listed(const Work&, StridedView<const std::int64_t>, index_t, index_t, BarRows&) {
    return false;
}

}  // namespace ornivex::grouped
