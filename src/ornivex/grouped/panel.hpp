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
// Taken for windows of up to panel_window bars, whose extremes are folded
// from the window's own bars here (the scan of window_extremes.hpp keeps its
// cost flat in the window, which per-lane folds do not), and when no symbol's
// times fall (such rows are sorted group by group).
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

namespace panel_detail {

using Floats = Lanes<float, panel_lanes>;
using Doubles = Lanes<double, panel_lanes>;
using HalfDoubles = Lanes<double, panel_lanes / 2>;
using Mask = LaneMask<Floats>;

// `lanes` elements from `row` (fewer than a vector at the panel's right
// edge), the other lanes `pad`; and back.
template <class V, class T>
[[gnu::always_inline]] inline V load_lanes(StridedView<const T> column, index_t row, index_t lanes,
                                           lane_type<V> pad) noexcept {
    if (lanes == lane_count<V> && column.contiguous()) return load<V>(column.data() + row);
    V v = splat<V>(pad);
    for (index_t q = 0; q < lanes; ++q) v[q] = column[row + q];
    return v;
}

template <class V, class T>
[[gnu::always_inline]] inline void store_lanes(StridedView<T> column, index_t row, index_t lanes, V v) noexcept {
    if (lanes == lane_count<V> && column.contiguous()) return store(column.data() + row, v);
    for (index_t q = 0; q < lanes; ++q) column.set(row + q, v[q]);
}

[[gnu::always_inline]] inline HalfDoubles half_of(Doubles v, int half) noexcept {
    return half == 0 ? __builtin_shufflevector(v, v, 0, 1, 2, 3) : __builtin_shufflevector(v, v, 4, 5, 6, 7);
}

[[gnu::always_inline]] inline Doubles joined(HalfDoubles low, HalfDoubles high) noexcept {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}

template <class T>
[[gnu::always_inline]] inline Lanes<T, panel_lanes> as_ones(Mask mask) noexcept {
    using Ones = Lanes<T, panel_lanes>;
    return __builtin_convertvector(mask & 1, Ones);
}

// A lane block's series after its last bar.  Aligned by hand: a vector type
// wider than the baseline's registers is only 16-byte aligned where the
// baseline code allocates it, while the AVX2 build stores it whole.
struct alignas(64) Block {
    trend::TripleEmaStages<Floats> highs, lows;
    trend::halftrend::TrendLanes<Floats> trend;
    Floats line, high, low, high_price, low_price;
    // The average true range's, four lanes to a half: GCC builds its selects
    // on an OR of comparisons of eight doubles one lane at a time.
    HalfDoubles count[2], average[2], previous_close[2];
};

// Symbols from .. to - 1 of a panel of `symbols` symbols, over every bar;
// `blocks` holds (to - from) / panel_lanes blocks, rounded up.
template <Promotion P>
void panel_pass(const HalftrendWork& w, index_t symbols, index_t from, index_t to, Block* blocks) noexcept {
    namespace ht = trend::halftrend;
    using ht::extremes_detail::Highest, ht::extremes_detail::Lowest;
    const index_t bars = w.out.signal.size / symbols, block_count = (to - from + panel_lanes - 1) / panel_lanes;
    const trend::EwmaFactors<P, Floats> smoothing(trend::ema2_alpha(ht::smoothing_length(w.amplitude)));
    const ht::ChannelWidths widths(w.channel_deviation);
    const HalfDoubles cap = splat<HalfDoubles>(static_cast<double>(w.atr_length));
    const Floats no_arrows = splat<Floats>(no_arrow);
    Mask not_finite{};
    for (index_t t = 0; t < bars; ++t) {
        const index_t window = std::min(w.amplitude, t + 1);
        for (index_t b = 0; b < block_count; ++b) {
            Block& s = blocks[b];
            const index_t symbol = from + b * panel_lanes, lanes = std::min(panel_lanes, to - symbol);
            const index_t row = t * symbols + symbol;
            const auto prices_at = [&](StridedView<const double> column, index_t bars_back) {
                return narrow<Floats>(load_lanes<Doubles>(column, row - bars_back * symbols, lanes, 1.0));
            };
            const Doubles high64 = load_lanes<Doubles>(w.high, row, lanes, 1.0),
                          low64 = load_lanes<Doubles>(w.low, row, lanes, 1.0),
                          close64 = load_lanes<Doubles>(w.close, row, lanes, 1.0);
            const Floats high = narrow<Floats>(high64), low = narrow<Floats>(low64), close = narrow<Floats>(close64);
            not_finite |= reinterpret_cast<Mask>(high - high) | reinterpret_cast<Mask>(low - low) |
                          reinterpret_cast<Mask>(close - close);

            // The window's extremes, its bars oldest first (the later one kept on a tie).
            Floats high_price = high, low_price = low;
            if (window > 1) {
                Floats highest = s.high, lowest = s.low;
                if (window > 2) {
                    highest = prices_at(w.high, window - 1);
                    lowest = prices_at(w.low, window - 1);
                    for (index_t k = window - 2; k >= 2; --k) {
                        highest = Highest::pick(highest, prices_at(w.high, k));
                        lowest = Lowest::pick(lowest, prices_at(w.low, k));
                    }
                    highest = Highest::pick(highest, s.high);
                    lowest = Lowest::pick(lowest, s.low);
                }
                high_price = Highest::pick(highest, high);
                low_price = Lowest::pick(lowest, low);
            }

            Floats range;  // HalfTrend's: the given tr or the average true range, in float32
            if (w.tr.size > 0) {
                range = narrow<Floats>(load_lanes<Doubles>(w.tr, row, lanes, 1.0));
            } else {
                for (int half = 0; half < 2; ++half) {
                    if (t == 0) {
                        s.count[half] = splat<HalfDoubles>(0.0);
                        s.average[half] = s.previous_close[half] = splat<HalfDoubles>(nan);
                    }
                    atr::atr_step(cap, half_of(high64, half), half_of(low64, half), half_of(close64, half),
                                  s.count[half], s.average[half], s.previous_close[half]);
                }
                range = narrow<Floats>(joined(s.average[0], s.average[1]));
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
            s.high_price = high_price;
            s.low_price = low_price;

            // The bar as a table shows it (work.hpp's present_signals and dress_rows).
            const Floats atr2 = ht::ChannelWidths::half(range), dev = widths.band(atr2);
            const Mask buy = down_before & ~down, sell = down & ~down_before;
            const ht::Outputs& out = w.out.native;
            store_lanes(out.halftrend, row, lanes, s.line);
            store_lanes(out.atr_high, row, lanes, ht::channel_high(s.line, dev));
            store_lanes(out.atr_low, row, lanes, ht::channel_low(s.line, dev));
            store_lanes(out.arrow_up, row, lanes, buy ? ht::arrow_up_at(s.line, atr2) : no_arrows);
            store_lanes(out.arrow_down, row, lanes, sell ? ht::arrow_down_at(s.line, atr2) : no_arrows);
            store_lanes(out.buy, row, lanes, as_ones<std::int64_t>(buy));
            store_lanes(out.sell, row, lanes, as_ones<std::int64_t>(sell));
            store_lanes(w.out.trend, row, lanes, as_ones<std::int8_t>(down));
            store_lanes(w.out.atr, row, lanes, range);
            store_lanes(w.out.signal, row, lanes, as_ones<std::int8_t>(buy) - as_ones<std::int8_t>(sell));
        }
    }
    w.bad.note(any_lane(not_finite));
}

template <Promotion P>
struct PanelKernel {
    // Eight float lanes: one AVX2 register; AVX-512 would only halve its use.
    static constexpr InstructionSet widest = InstructionSet::avx2;

    template <InstructionSet>
    static void run(const HalftrendWork& w, index_t symbols, index_t from, index_t to, Block* blocks) noexcept {
        panel_pass<P>(w, symbols, from, to, blocks);
    }
};

// Whether every symbol's times rise or stay (rows `symbols` apart are one
// symbol's neighbouring bars); a missing time is noted as a bad row.
inline bool times_never_fall(StridedView<const std::int64_t> times, index_t symbols, index_t threads,
                             const BadRowsSeen& bad) {
    const Stretches stretch(times.size, threads);
    std::atomic<bool> falls{false};
    run_tasks<NoState>(stretch.count(), threads, [&](index_t p, NoState&) {
        bool fell = false, missing = false;
        for (index_t i = stretch.begin(p), end = stretch.end(p); i < end; ++i) {
            missing |= times[i] == missing_time;
            fell |= i >= symbols && times[i] < times[i - symbols];
        }
        bad.note(missing);
        if (fell) falls.store(true, std::memory_order_relaxed);
    });
    return !falls.load();
}

}  // namespace panel_detail

// Computes a panel of `symbols` symbols side by side, unless its window is
// too long, it has too few symbols to fill the lanes or a symbol's times
// fall: then returns false, having written nothing.  Throws std::bad_alloc.
inline bool try_panel(const HalftrendWork& w, index_t symbols, index_t threads) {
    using namespace panel_detail;
    if (symbols < panel_lanes || w.amplitude > panel_window) return false;
    if (w.times.size > 0 && !times_never_fall(w.times, symbols, threads, w.bad)) return false;
    // Threads take symbols in whole cache lines of the narrowest results (int8).
    constexpr index_t line = 64;
    const index_t parts = std::clamp<index_t>(std::min(usable_threads(threads), (symbols + line - 1) / line), 1,
                                              symbols);
    const index_t share = (symbols + parts - 1) / parts, step = (share + line - 1) / line * line;
    run_tasks<std::vector<Block>>(parts, threads, [&](index_t p, std::vector<Block>& blocks) {
        const index_t from = std::min(symbols, p * step), to = std::min(symbols, from + step);
        if (from == to) return;
        blocks.resize(static_cast<std::size_t>((to - from + panel_lanes - 1) / panel_lanes));
        if (w.promotion == Promotion::weak_float32)
            run_kernel<PanelKernel<Promotion::weak_float32>>(w, symbols, from, to, blocks.data());
        else
            run_kernel<PanelKernel<Promotion::legacy_double>>(w, symbols, from, to, blocks.data());
    });
    return true;
}

// Other work has no panel route.
template <class Work>
bool try_panel(const Work&, index_t, index_t) {
    return false;
}

}  // namespace ornivex::grouped
