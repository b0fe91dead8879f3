// One batch of groups for each indicator: take the groups' rows (in time
// order) as contiguous series, in place or gathered, run the same kernels the
// single-series functions run on each group, and put every result on the
// group's own input rows.  On the way each notes a row the caller should have
// left out (BadRowsSeen), so that no pass over the table is spent on looking
// for them beforehand.
//
//   halftrend: the average true range in float64 (kernels/atr/atr.hpp), or
//              the given tr, rounded to float32 with the prices; the fused
//              HalfTrend pass; the trend rebuilt from the signals
//              (kernels/halftrend/trend.hpp); the arrows as a table shows
//              them (NaN on a bar without one, not the kernel's 0) and the
//              signal (+1 buy, -1 sell, 0).
//   swing:     range size then range filter over the closes; a group shorter
//              than the band needs has NaN ranges (the filter holds the first
//              close, the bands stay NaN).
//   atr:       true range and average true range in float64.
//
// The work objects hold views only; a thread's scratch series grow to the
// largest batch it meets.  Each may throw std::bad_alloc.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/grouped/groups.hpp"
#include "ornivex/kernels/atr/atr.hpp"
#include "ornivex/kernels/atr/side_by_side.hpp"
#include "ornivex/kernels/halftrend/continuation.hpp"
#include "ornivex/kernels/halftrend/fused.hpp"
#include "ornivex/kernels/halftrend/trend.hpp"
#include "ornivex/kernels/swing/continuation.hpp"
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"

namespace ornivex::grouped {

// A contiguous view of the first n elements of a scratch series.
template <class T>
StridedView<T> first_n(std::vector<T>& series, index_t n) {
    if (static_cast<index_t>(series.size()) < n) series.resize(static_cast<std::size_t>(n));
    return {reinterpret_cast<char*>(series.data()), static_cast<index_t>(sizeof(T)), n};
}

// Where a batch's rows lie in the table: one ascending run of rows from
// `first` (a table sorted by symbol and time), read and written in place;
// otherwise scattered, gathered into scratch series and the results put back
// row by row.
//
// Scattered rows are copied a few dozen bars of every group at a time: in a
// table ordered by time the batch's neighbouring groups share cache lines,
// which are then used whole while they are in the cache.
class Placement {
public:
    explicit Placement(const Batch& batch) noexcept : batch_(batch), rows_(batch.rows), n_(batch.total()) {
        if (!rows_) {  // a run of rows by definition
            first_ = batch.bounds[0];
            return;
        }
        for (index_t k = 1; k < n_ && first_ >= 0; ++k)
            if (rows_[k] != rows_[0] + k) first_ = -1;
        if (first_ >= 0 && n_ > 0) first_ = rows_[0];
    }

    bool in_place() const noexcept { return first_ >= 0; }
    index_t first_row() const noexcept { return first_; }  // in place
    index_t size() const noexcept { return n_; }

    // The batch's values of a table column, converted to T: the column itself
    // when in place and of type T, else a scratch series.
    template <class T, class U>
    StridedView<const T> read(StridedView<const U> column, std::vector<T>& scratch) const {
        if constexpr (std::is_same_v<T, U>)
            if (in_place()) return part(column, first_, n_);
        const StridedView<T> out = first_n(scratch, n_);
        T* const to = out.data();
        if (in_place()) {
            const StridedView<const U> from = part(column, first_, n_);
            for (index_t i = 0; i < n_; ++i) to[i] = static_cast<T>(from[i]);
        } else if (column.contiguous()) {
            const auto values = column.base;
            const index_t* const rows = rows_;
            by_tiles([=](index_t i) { to[i] = static_cast<T>(load_unaligned<U>(values, rows[i])); });
        } else {
            by_tiles([&](index_t i) { to[i] = static_cast<T>(column[rows_[i]]); });
        }
        return out;
    }

    // Where the batch's results of a result column go first: the column
    // itself when in place, else a scratch series that put_back copies out.
    template <class T>
    StridedView<T> write(StridedView<T> column, std::vector<T>& scratch) const {
        return in_place() ? part(column, first_, n_) : first_n(scratch, n_);
    }

    // Copies each (written, result column) pair's values to their rows,
    // unless in place.  Result columns are new and contiguous.
    template <class... T>
    void put_back(std::pair<StridedView<T>, StridedView<T>>... columns) const noexcept {
        if (in_place()) return;
        const index_t* const rows = rows_;
        by_tiles([&](index_t i) { ((columns.second.data()[rows[i]] = columns.first.data()[i]), ...); });
    }

private:
    static constexpr index_t tile = 64;

    // copy(i) for every i of the batch, `tile` bars of each group in turn.
    template <class Copy>
    void by_tiles(Copy&& copy) const noexcept {
        index_t longest = 0;
        for (index_t j = 0; j < batch_.size(); ++j) longest = std::max(longest, batch_.length(j));
        for (index_t from = 0; from < longest; from += tile)
            for (index_t j = 0; j < batch_.size(); ++j) {
                const index_t begin = batch_.begin(j), end = begin + std::min(batch_.length(j), from + tile);
                for (index_t i = begin + from; i < end; ++i) copy(i);
            }
    }

    const Batch& batch_;
    const index_t* rows_;
    index_t n_;
    index_t first_ = 0;  // -1: scattered
};

// A batch's one group (read and written in place) `stretch_bars` bars at a
// time: take(placement, bars, first) for each stretch in order, `first` on
// the first.
template <class Take>
void for_each_stretch(const Batch& batch, index_t stretch_bars, Take&& take) {
    const index_t n = batch.length(0);
    for (index_t start = 0; start < n; start += stretch_bars) {
        const index_t bars = std::min(stretch_bars, n - start);
        const index_t bounds[2] = {batch.bounds[0] + start, batch.bounds[0] + start + bars};
        const Batch stretch{batch.rows ? batch.rows + start : nullptr, bounds};
        take(Placement(stretch), bars, start == 0);
    }
}

template <class T>
void fill(std::span<const index_t> rows, StridedView<T> to, T value) noexcept {
    for (const index_t row : rows) to.set(row, value);
}

// Whether the threads have met a row the caller should have left out: a
// missing time, or a price that is NaN or infinite.  The caller then finds
// and names the first such row itself.
class BadRowsSeen {
public:
    void note(bool bad) const noexcept {
        if (bad) seen_.store(true, std::memory_order_relaxed);
    }
    bool seen() const noexcept { return seen_.load(); }

private:
    mutable std::atomic<bool> seen_{false};
};

// Bits set by values that are NaN or infinite: x - x is +0.0, no bit set, for
// every other value.  An OR of bits, unlike a chain of comparisons, is built
// as whole vectors.
template <class T>
using FloatBits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;

template <class T>
[[gnu::always_inline]] inline FloatBits<T> not_finite_bits(T value) noexcept {
    return std::bit_cast<FloatBits<T>>(static_cast<T>(value - value));
}

// Whether every value is a number, neither NaN nor infinite.
template <class T>
bool all_finite(StridedView<const T> values) noexcept {
    FloatBits<T> seen = 0;
    if (values.contiguous())
        for (index_t i = 0; i < values.size; ++i) seen |= not_finite_bits(load_unaligned<T>(values.base, i));
    else
        for (index_t i = 0; i < values.size; ++i) seen |= not_finite_bits(values[i]);
    return seen == 0;
}

// The time order of the groups' rows, when the table has times.
inline void put_in_time_order(const Batch& batch, StridedView<const std::int64_t> times, const BadRowsSeen& bad) {
    if (times.size > 0)
        for (index_t j = 0; j < batch.size(); ++j) bad.note(!order_by_time(batch.group(j), times));
}

inline void average_true_ranges(const Batch& batch, std::int64_t length, StridedView<const double> high,
                                StridedView<const double> low, StridedView<const double> close,
                                StridedView<double> out) noexcept {
    run_kernel<atr::SideBySideAtr>(batch, length, high, low, close, out);
}

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// ---- halftrend ---------------------------------------------------------------

struct HalftrendColumns {
    trend::halftrend::Outputs native;  // halftrend, atrHigh, atrLow, arrowUp, arrowDown, buy, sell
    StridedView<std::int8_t> trend;
    StridedView<float> atr;
    StridedView<std::int8_t> signal;
};

// One group's signals as a table shows them, in one pass over its bars: the
// arrows only where they fired (NaN elsewhere), the signal (+1 on a buy, -1
// on a sell, 0 otherwise) and the trend rebuilt from the signals (as
// kernels/halftrend/trend.hpp rebuilds it: up until a sell, a sell where
// both fire).
inline constexpr float no_arrow = std::numeric_limits<float>::quiet_NaN();

// `side` is the trend before the first bar (0, up, at a series' start);
// returns the trend after the last.
inline std::int8_t present_signals(const trend::halftrend::Outputs& lines, StridedView<std::int8_t> trend,
                                   StridedView<std::int8_t> signal, std::int8_t side = 0) noexcept {
    for (index_t i = 0; i < signal.size; ++i) {
        const bool up = lines.buy[i] == 1, down = lines.sell[i] == 1;
        if (!up) lines.arrow_up.set(i, no_arrow);
        if (!down) lines.arrow_down.set(i, no_arrow);
        side = down ? 1 : up ? 0 : side;
        trend.set(i, side);
        signal.set(i, static_cast<std::int8_t>(up - down));
    }
    return side;
}

// Whether some batch put only its lines, ranges, trends and signals back on
// scattered rows, leaving the rest of their outputs to dress_rows.
class DressLater {
public:
    void note() const noexcept { needed_.store(true, std::memory_order_relaxed); }
    bool needed() const noexcept { return needed_.load(); }

private:
    mutable std::atomic<bool> needed_{false};
};

struct HalftrendWork {
    struct Scratch {
        std::vector<double> high, low, close, atr;
        std::vector<float> high32, low32, close32, tr32;
        std::vector<float> line[6];  // halftrend, atrHigh, atrLow, arrowUp, arrowDown, atr
        std::vector<std::int64_t> signals[2];
        std::vector<std::int8_t> trend, signal;
        std::unique_ptr<trend::halftrend::FusedScratch> fused;  // made again only for a longer window
        index_t fused_window = 0;
        std::unique_ptr<trend::halftrend::ChunkScratch> chunk;  // a long group's, made with its first stretch

        trend::halftrend::FusedScratch& fused_for(index_t window) {
            if (window > fused_window) {
                fused = trend::halftrend::FusedScratch::make(window);
                fused_window = window;
            }
            return *fused;
        }
    };

    StridedView<const double> high, low, close, tr;  // tr.size == 0: the average true range
    StridedView<const std::int64_t> times;           // size 0: rows in their own order
    index_t amplitude;
    double channel_deviation;
    std::int64_t atr_length;
    Promotion promotion;
    HalftrendColumns out;
    const BadRowsSeen& bad;
    const DressLater& dress_later;

    // A group longer than this, read and written in place (one long series,
    // or a table sorted by symbol), is taken this many bars at a time with
    // its state carried: its scratch (float32 prices, the float64 average
    // true range) then stays small and in the cache, where a whole long
    // series' scratch is fresh memory, faulted in again on every call.  Not
    // with a window as long as a stretch: the carried state holds a window's
    // bars, and the group whole needs no more window than it has bars.
    static constexpr index_t stretch_bars = index_t{1} << 16;

    void operator()(const Batch& batch, Scratch& s) const {
        put_in_time_order(batch, times, bad);
        const Placement at(batch);
        if (at.in_place() && batch.size() == 1 && batch.length(0) > stretch_bars && amplitude < stretch_bars) {
            if (promotion == Promotion::weak_float32)
                in_stretches<Promotion::weak_float32>(batch, s);
            else
                in_stretches<Promotion::legacy_double>(batch, s);
            return;
        }
        const HalftrendColumns computed{
            {at.write(out.native.halftrend, s.line[0]), at.write(out.native.atr_high, s.line[1]),
             at.write(out.native.atr_low, s.line[2]), at.write(out.native.arrow_up, s.line[3]),
             at.write(out.native.arrow_down, s.line[4]), at.write(out.native.buy, s.signals[0]),
             at.write(out.native.sell, s.signals[1])},
            at.write(out.trend, s.trend),
            at.write(out.atr, s.line[5]),
            at.write(out.signal, s.signal)};
        const trend::halftrend::Inputs in =
            inputs(at, computed.atr, s, [&](auto high, auto low, auto close, StridedView<double> averages) {
                average_true_ranges(batch, atr_length, high, low, close, averages);
            });
        const trend::halftrend::Outputs& lines = computed.native;
        for (index_t j = 0; j < batch.size(); ++j) {
            const index_t from = batch.begin(j), length = batch.length(j);
            if (length == 0) continue;
            const auto group = [&](auto view) { return part(view, from, length); };
            const trend::halftrend::Inputs group_in{group(in.high), group(in.low), group(in.close), group(in.tr)};
            const trend::halftrend::Outputs group_out{
                group(lines.halftrend), group(lines.atr_high),   group(lines.atr_low), group(lines.arrow_up),
                group(lines.arrow_down), group(lines.buy), group(lines.sell)};
            trend::halftrend::FusedScratch& scratch = s.fused_for(std::min(amplitude, length));
            if (promotion == Promotion::weak_float32)
                run_kernel<trend::halftrend::FusedKernel>(group_in, amplitude, channel_deviation, group_out,
                                                          scratch);
            else
                trend::halftrend::fused_pass<Promotion::legacy_double>(group_in, amplitude, channel_deviation,
                                                                       group_out, scratch);
            present_signals(group_out, group(computed.trend), group(computed.signal));
        }
        // Scattered rows get back only what the rest follows from, a bar at a
        // time: every scattered row costs a cache line per column, while
        // dress_rows writes the rest down the columns in order.
        if (at.in_place()) return;
        const auto pair = [](auto written, auto column) { return std::pair{written, column}; };
        at.put_back(pair(lines.halftrend, out.native.halftrend), pair(computed.atr, out.atr));
        at.put_back(pair(computed.trend, out.trend), pair(computed.signal, out.signal));
        dress_later.note();
    }

    // Every row's channel, arrows and buy and sell from its line, range and
    // signal, with the operations the fused pass dresses a bar with (the
    // same bits); rows left out (NaN line and range, signal 0) come out as
    // leave_out writes them.
    void dress_rows(index_t threads) const {
        const index_t n = out.signal.size;
        const Stretches stretch(n, threads);
        const trend::halftrend::ChannelWidths widths(channel_deviation);
        run_tasks<NoState>(stretch.count(), threads, [&](index_t p, NoState&) {
            const float* const line = out.native.halftrend.data();
            const float* const range = out.atr.data();
            const std::int8_t* const signal = out.signal.data();
            float *const high = out.native.atr_high.data(), *const low = out.native.atr_low.data(),
                         *const up = out.native.arrow_up.data(), *const down = out.native.arrow_down.data();
            std::int64_t *const buy = out.native.buy.data(), *const sell = out.native.sell.data();
            for (index_t i = stretch.begin(p), end = stretch.end(p); i < end; ++i) {
                const float atr2 = trend::halftrend::ChannelWidths::half(range[i]), dev = widths.band(atr2);
                high[i] = trend::halftrend::channel_high(line[i], dev);
                low[i] = trend::halftrend::channel_low(line[i], dev);
                up[i] = signal[i] > 0 ? trend::halftrend::arrow_up_at(line[i], atr2) : no_arrow;
                down[i] = signal[i] < 0 ? trend::halftrend::arrow_down_at(line[i], atr2) : no_arrow;
                buy[i] = signal[i] > 0;
                sell[i] = signal[i] < 0;
            }
        });
    }

    // The group's bars a stretch at a time, each stretch continuing the
    // series where the one before left it (the same bits as the whole series).
    template <Promotion P>
    void in_stretches(const Batch& batch, Scratch& s) const {
        const trend::halftrend::HalfTrendParams<P> params(amplitude, channel_deviation);
        trend::halftrend::HalfTrendState state(amplitude);
        atr::AtrStream average(atr_length);
        std::int8_t side = 0;
        if (!s.chunk) s.chunk = std::make_unique<trend::halftrend::ChunkScratch>(amplitude);
        for_each_stretch(batch, stretch_bars, [&](const Placement& at, index_t bars, bool) {
            const auto rows = [&](auto column) { return part(column, at.first_row(), bars); };
            const trend::halftrend::Inputs in =
                inputs(at, rows(out.atr), s, [&](auto high, auto low, auto close, StridedView<double> averages) {
                    average.extend(high, low, close, averages);
                });
            const trend::halftrend::Outputs lines{rows(out.native.halftrend), rows(out.native.atr_high),
                                                  rows(out.native.atr_low),   rows(out.native.arrow_up),
                                                  rows(out.native.arrow_down), rows(out.native.buy),
                                                  rows(out.native.sell)};
            const trend::halftrend::ChunkOutputs to{lines.halftrend.data(), lines.atr_high.data(),
                                                    lines.atr_low.data(),   lines.arrow_up.data(),
                                                    lines.arrow_down.data(), lines.buy.data(),
                                                    lines.sell.data()};
            run_kernel<trend::halftrend::ContinueKernel>(state, params, in, to, *s.chunk);
            side = present_signals(lines, rows(out.trend), rows(out.signal), side);
        });
    }

    // HalfTrend's float32 inputs; its range input (the given tr, or the
    // average true range from the float64 prices, by averages(high, low,
    // close, out)) is also the "atr" result, written to `atr`.
    template <class Averages>
    trend::halftrend::Inputs inputs(const Placement& at, StridedView<float> atr, Scratch& s,
                                    Averages&& averages) const {
        const index_t n = at.size();
        // Rounded to float32, noting a NaN or infinite price on the way.
        const auto to_float = [n, this](StridedView<const double> values, std::vector<float>& into) {
            const StridedView<float> out = first_n(into, n);
            float* const to = out.data();
            std::uint64_t seen = 0;
            if (values.contiguous())
                for (index_t i = 0; i < n; ++i) {
                    const double value = load_unaligned<double>(values.base, i);
                    to[i] = static_cast<float>(value);
                    seen |= not_finite_bits(value);
                }
            else
                for (index_t i = 0; i < n; ++i) {
                    to[i] = static_cast<float>(values[i]);
                    seen |= not_finite_bits(values[i]);
                }
            bad.note(seen != 0);
            return StridedView<const float>(out);
        };
        if (tr.size > 0) {
            const StridedView<const float> ranges = at.read(tr, s.tr32);
            for (index_t i = 0; i < n; ++i) atr.set(i, ranges[i]);
            const trend::halftrend::Inputs in{at.read(high, s.high32), at.read(low, s.low32),
                                              at.read(close, s.close32), ranges};
            // A NaN or infinite price stays one in float32 (a float64 too large for float32 is
            // noted too; the caller, finding no bad row, keeps the results).
            bad.note(!all_finite(in.high) || !all_finite(in.low) || !all_finite(in.close));
            return in;
        }
        const StridedView<const double> h = at.read(high, s.high), l = at.read(low, s.low),
                                        c = at.read(close, s.close);
        const StridedView<double> average = first_n(s.atr, n);
        averages(h, l, c, average);
        for (index_t i = 0; i < n; ++i) atr.set(i, static_cast<float>(average[i]));
        return {to_float(h, s.high32), to_float(l, s.low32), to_float(c, s.close32), atr};
    }

    void leave_out(std::span<const index_t> rows) const noexcept {
        for (const StridedView<float> column : {out.native.halftrend, out.native.atr_high, out.native.atr_low,
                                                out.native.arrow_up, out.native.arrow_down, out.atr})
            fill(rows, column, static_cast<float>(nan));
        fill<std::int64_t>(rows, out.native.buy, 0);
        fill<std::int64_t>(rows, out.native.sell, 0);
        fill<std::int8_t>(rows, out.trend, 0);
        fill<std::int8_t>(rows, out.signal, 0);
    }
};

// ---- swing -------------------------------------------------------------------

struct SwingWork {
    struct Scratch {
        std::vector<double> close, range, rows[3];
        std::vector<double> windows;  // a long group's windows, a block at a time
    };

    StridedView<const double> close;
    StridedView<const std::int64_t> times;
    std::int64_t period;  // at most INT32_MAX where a group is long enough for the band
    double multiplier;
    swing::FilterOutputs out;  // rangeFilter, rangeHigh, rangeLow
    const BadRowsSeen& bad;

    // A group longer than this, read and written in place, is taken this
    // many bars at a time with its windows and filter carried, as
    // HalftrendWork takes one: its ranges then stay small and in the cache.
    // Only where the band's 3(p - 1) bars fit in a stretch: the carry holds
    // that many values, where the whole group needs no more than its bars.
    static constexpr index_t stretch_bars = HalftrendWork::stretch_bars;

    void operator()(const Batch& batch, Scratch& s) const {
        put_in_time_order(batch, times, bad);
        const Placement at(batch);
        if (at.in_place() && batch.size() == 1 && batch.length(0) > stretch_bars &&
            swing::has_range_sizes(stretch_bars, period))
            return in_stretches(batch, s);
        const StridedView<const double> x = at.read(close, s.close);
        bad.note(!all_finite(x));
        const StridedView<double> r = first_n(s.range, at.size());
        const swing::FilterOutputs computed{at.write(out.range_filt, s.rows[0]), at.write(out.hi_band, s.rows[1]),
                                            at.write(out.lo_band, s.rows[2])};
        for (index_t j = 0; j < batch.size(); ++j) {
            const index_t from = batch.begin(j), length = batch.length(j);
            const StridedView<const double> group_x = part(x, from, length);
            const StridedView<double> group_r = part(r, from, length);
            // Shorter than the 3 * (period - 1) bars the band needs: NaN ranges.
            if (!swing::has_range_sizes(length, period))
                for (index_t k = 0; k < length; ++k) group_r.set(k, nan);
            else
                swing::range_size_pass(group_x, static_cast<std::int32_t>(period), multiplier, group_r);
            swing::range_filter_pass(group_x, group_r,
                                     {part(computed.range_filt, from, length), part(computed.hi_band, from, length),
                                      part(computed.lo_band, from, length)});
        }
        at.put_back(std::pair{computed.range_filt, out.range_filt}, std::pair{computed.hi_band, out.hi_band},
                    std::pair{computed.lo_band, out.lo_band});
    }

    // The group's bars a stretch at a time, each continuing the series where
    // the one before left it (the same bits as the whole group).
    void in_stretches(const Batch& batch, Scratch& s) const {
        swing::RangeSizeCarry sizes(period, multiplier);
        swing::FilterState filter{};
        for_each_stretch(batch, stretch_bars, [&](const Placement& at, index_t bars, bool first) {
            const StridedView<const double> x = at.read(close, s.close);
            bad.note(!all_finite(x));
            const StridedView<double> ranges = first_n(s.range, bars);
            sizes.extend(x, ranges, s.windows);
            const auto rows = [&](StridedView<double> column) { return part(column, at.first_row(), bars); };
            const swing::FilterOutputs to{rows(out.range_filt), rows(out.hi_band), rows(out.lo_band)};
            if (first) {
                swing::range_filter_pass(x, ranges, to);
                filter = swing::filter_after(to, bars - 1);
            } else {
                filter = swing::range_filter_continue(x, ranges, to, filter);
            }
        });
    }

    void leave_out(std::span<const index_t> rows) const noexcept {
        for (const StridedView<double> column : {out.range_filt, out.hi_band, out.lo_band}) fill(rows, column, nan);
    }
};

// ---- atr ---------------------------------------------------------------------

struct AtrWork {
    struct Scratch {
        std::vector<double> high, low, close, true_range, atr;
    };

    StridedView<const double> high, low, close;
    StridedView<const std::int64_t> times;
    std::int64_t length;
    StridedView<double> true_range, atr;
    const BadRowsSeen& bad;

    void operator()(const Batch& batch, Scratch& s) const {
        put_in_time_order(batch, times, bad);
        const Placement at(batch);
        const StridedView<const double> h = at.read(high, s.high), l = at.read(low, s.low),
                                        c = at.read(close, s.close);
        bad.note(!all_finite(h) || !all_finite(l) || !all_finite(c));
        const StridedView<double> ranges = at.write(true_range, s.true_range), average = at.write(atr, s.atr);
        average_true_ranges(batch, length, h, l, c, average);
        for (index_t j = 0; j < batch.size(); ++j) {
            const auto group = [&](auto view) { return part(view, batch.begin(j), batch.length(j)); };
            atr::true_ranges(group(h), group(l), group(c), group(ranges));
        }
        at.put_back(std::pair{ranges, true_range}, std::pair{average, atr});
    }

    void leave_out(std::span<const index_t> rows) const noexcept {
        fill(rows, true_range, nan);
        fill(rows, atr, nan);
    }
};

}  // namespace ornivex::grouped
