// One batch of groups for each indicator: gather the groups' rows (in time
// order) into contiguous series, run the same kernels the single-series
// functions run on each group, and put every result on the group's own
// input rows.
//
//   halftrend: the average true range in float64 (stream/kernels/atr.hpp), or
//              the given tr, rounded to float32 with the prices; the fused
//              HalfTrend pass; the trend rebuilt from the signals (it starts
//              up and takes the side of the last signal).
//   swing:     range size then range filter over the closes; a group shorter
//              than the band needs has NaN ranges (the filter holds the first
//              close, the bands stay NaN).
//   atr:       true range and average true range in float64.
//
// The work objects hold views only; a thread's scratch series grow to the
// largest batch it meets.  Each may throw std::bad_alloc.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/grouped/groups.hpp"
#include "ornivex/stream/kernels/atr.hpp"
#include "ornivex/swing_v4/kernels/range_filter.hpp"
#include "ornivex/swing_v4/kernels/range_size.hpp"
#include "ornivex/trend_v4/halftrend/fused.hpp"

namespace ornivex::grouped {

// A contiguous view of the first n elements of a scratch series.
template <class T>
StridedView<T> first_n(std::vector<T>& series, index_t n) {
    if (static_cast<index_t>(series.size()) < n) series.resize(static_cast<std::size_t>(n));
    return {reinterpret_cast<char*>(series.data()), static_cast<index_t>(sizeof(T)), n};
}

// Elements from .. from + n - 1 of a view.
template <class T>
StridedView<T> part(StridedView<T> view, index_t from, index_t n) noexcept {
    return {view.base + from * view.stride, view.stride, n};
}

// source at the batch's rows, converted to T, into a contiguous scratch series.
template <class T, class U>
StridedView<T> gather(StridedView<const U> source, const Batch& batch, std::vector<T>& into) {
    const StridedView<T> out = first_n(into, batch.total());
    T* const data = out.data();
    const index_t* const rows = batch.rows;
    if (source.contiguous()) {
        const U* const values = source.data();
        for (index_t i = 0; i < batch.total(); ++i) data[i] = static_cast<T>(values[rows[i]]);
    } else {
        for (index_t i = 0; i < batch.total(); ++i) data[i] = static_cast<T>(source[rows[i]]);
    }
    return out;
}

// Contiguous series converted to T (float64 prices to float32, as HalfTrend takes them).
template <class T, class U>
StridedView<T> converted(StridedView<U> values, std::vector<T>& into) {
    const StridedView<T> out = first_n(into, values.size);
    const U* const data = values.data();
    T* const to = out.data();
    for (index_t i = 0; i < values.size; ++i) to[i] = static_cast<T>(data[i]);
    return out;
}

// The batch's results onto its rows.
template <class T>
void scatter(StridedView<T> values, const Batch& batch, StridedView<T> to) noexcept {
    const T* const data = values.data();
    const index_t* const rows = batch.rows;
    T* const out = to.data();  // a new contiguous column
    for (index_t i = 0; i < batch.total(); ++i) out[rows[i]] = data[i];
}

template <class T>
void fill(std::span<const index_t> rows, StridedView<T> to, T value) noexcept {
    for (const index_t row : rows) to.set(row, value);
}

// The time order of the groups' rows, when the table has times.
inline void put_in_time_order(const Batch& batch, StridedView<const std::int64_t> times) {
    if (times.size > 0)
        for (index_t j = 0; j < batch.size(); ++j) order_by_time(batch.group(j), times);
}

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// ---- halftrend ---------------------------------------------------------------

struct HalftrendColumns {
    trend::halftrend::Outputs native;  // halftrend, atrHigh, atrLow, arrowUp, arrowDown, buy, sell
    StridedView<std::int8_t> trend;
    StridedView<float> atr;
};

struct HalftrendWork {
    struct Scratch {
        std::vector<double> high, low, close, atr;
        std::vector<float> high32, low32, close32, tr32;
        std::vector<float> line[5];
        std::vector<std::int64_t> signals[2];
        std::vector<std::int8_t> trend;
    };

    StridedView<const double> high, low, close, tr;  // tr.size == 0: the average true range
    StridedView<const std::int64_t> times;           // size 0: rows in their own order
    index_t amplitude;
    double channel_deviation;
    std::int64_t atr_length;
    Promotion promotion;
    HalftrendColumns out;

    void operator()(const Batch& batch, Scratch& s) const {
        put_in_time_order(batch, times);
        const index_t n = batch.total();
        const StridedView<const float> tr32 = ranges(batch, s);
        const bool prices_gathered = tr.size == 0;  // the average true range took them in float64
        const trend::halftrend::Inputs in{
            prices_gathered ? converted(first_n(s.high, n), s.high32) : gather(high, batch, s.high32),
            prices_gathered ? converted(first_n(s.low, n), s.low32) : gather(low, batch, s.low32),
            prices_gathered ? converted(first_n(s.close, n), s.close32) : gather(close, batch, s.close32), tr32};
        const trend::halftrend::Outputs computed{first_n(s.line[0], n),     first_n(s.line[1], n),
                                                 first_n(s.line[2], n),     first_n(s.line[3], n),
                                                 first_n(s.line[4], n),     first_n(s.signals[0], n),
                                                 first_n(s.signals[1], n)};
        const StridedView<std::int8_t> trend = first_n(s.trend, n);
        for (index_t j = 0; j < batch.size(); ++j) {
            const index_t from = batch.begin(j), length = batch.length(j);
            if (length == 0) continue;
            const auto group = [&](auto view) { return part(view, from, length); };
            const trend::halftrend::Inputs group_in{group(in.high), group(in.low), group(in.close), group(in.tr)};
            const trend::halftrend::Outputs group_out{
                group(computed.halftrend), group(computed.atr_high), group(computed.atr_low),
                group(computed.arrow_up),  group(computed.arrow_down), group(computed.buy), group(computed.sell)};
            const auto scratch = trend::halftrend::FusedScratch::make(std::min(amplitude, length));
            if (promotion == Promotion::weak_float32)
                run_kernel<trend::halftrend::FusedKernel>(group_in, amplitude, channel_deviation, group_out,
                                                          *scratch);
            else
                trend::halftrend::fused_pass<Promotion::legacy_double>(group_in, amplitude, channel_deviation,
                                                                       group_out, *scratch);
            std::int8_t side = 0;  // up
            for (index_t i = from; i < from + length; ++i) {
                if (computed.sell[i] == 1)
                    side = 1;
                else if (computed.buy[i] == 1)
                    side = 0;
                trend.set(i, side);
            }
        }
        scatter(computed.halftrend, batch, out.native.halftrend);
        scatter(computed.atr_high, batch, out.native.atr_high);
        scatter(computed.atr_low, batch, out.native.atr_low);
        scatter(computed.arrow_up, batch, out.native.arrow_up);
        scatter(computed.arrow_down, batch, out.native.arrow_down);
        scatter(computed.buy, batch, out.native.buy);
        scatter(computed.sell, batch, out.native.sell);
        scatter(trend, batch, out.trend);
        scatter(first_n(s.tr32, n), batch, out.atr);
    }

    // HalfTrend's range input in float32: the given tr, or the average true range.
    StridedView<const float> ranges(const Batch& batch, Scratch& s) const {
        if (tr.size > 0) return gather(tr, batch, s.tr32);
        const index_t n = batch.total();
        const StridedView<const double> h = gather(high, batch, s.high), l = gather(low, batch, s.low),
                                        c = gather(close, batch, s.close);
        const StridedView<double> atr = first_n(s.atr, n);
        for (index_t j = 0; j < batch.size(); ++j) {
            const index_t from = batch.begin(j), length = batch.length(j);
            stream::AtrStream(atr_length).extend(part(h, from, length), part(l, from, length), part(c, from, length),
                                                 part(atr, from, length));
        }
        const StridedView<float> tr32 = first_n(s.tr32, n);
        for (index_t i = 0; i < n; ++i) tr32.set(i, static_cast<float>(atr[i]));
        return tr32;
    }

    void leave_out(std::span<const index_t> rows) const noexcept {
        for (const StridedView<float> column : {out.native.halftrend, out.native.atr_high, out.native.atr_low,
                                                out.native.arrow_up, out.native.arrow_down, out.atr})
            fill(rows, column, static_cast<float>(nan));
        fill<std::int64_t>(rows, out.native.buy, 0);
        fill<std::int64_t>(rows, out.native.sell, 0);
        fill<std::int8_t>(rows, out.trend, 0);
    }
};

// ---- swing -------------------------------------------------------------------

struct SwingWork {
    struct Scratch {
        std::vector<double> close, range, rows[3];
    };

    StridedView<const double> close;
    StridedView<const std::int64_t> times;
    std::int64_t period;  // at most INT32_MAX where a group is long enough for the band
    double multiplier;
    swing::FilterOutputs out;  // rangeFilter, rangeHigh, rangeLow

    void operator()(const Batch& batch, Scratch& s) const {
        put_in_time_order(batch, times);
        const index_t n = batch.total();
        const StridedView<const double> x = gather(close, batch, s.close);
        const StridedView<double> r = first_n(s.range, n);
        const swing::FilterOutputs computed{first_n(s.rows[0], n), first_n(s.rows[1], n), first_n(s.rows[2], n)};
        for (index_t j = 0; j < batch.size(); ++j) {
            const index_t from = batch.begin(j), length = batch.length(j);
            const StridedView<const double> group_x = part(x, from, length);
            const StridedView<double> group_r = part(r, from, length);
            // Shorter than the 3 * (period - 1) bars the band needs: NaN ranges.
            if (period - 1 > length / 3)
                for (index_t k = 0; k < length; ++k) group_r.set(k, nan);
            else
                swing::range_size_pass(group_x, static_cast<std::int32_t>(period), multiplier, group_r);
            swing::range_filter_pass(group_x, group_r,
                                     {part(computed.range_filt, from, length), part(computed.hi_band, from, length),
                                      part(computed.lo_band, from, length)});
        }
        scatter(computed.range_filt, batch, out.range_filt);
        scatter(computed.hi_band, batch, out.hi_band);
        scatter(computed.lo_band, batch, out.lo_band);
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

    void operator()(const Batch& batch, Scratch& s) const {
        put_in_time_order(batch, times);
        const index_t n = batch.total();
        const StridedView<const double> h = gather(high, batch, s.high), l = gather(low, batch, s.low),
                                        c = gather(close, batch, s.close);
        const StridedView<double> ranges = first_n(s.true_range, n), average = first_n(s.atr, n);
        for (index_t j = 0; j < batch.size(); ++j) {
            const index_t from = batch.begin(j), count = batch.length(j);
            stream::AtrStream(length).extend(part(h, from, count), part(l, from, count), part(c, from, count),
                                             part(average, from, count));
            double previous_close = nan;  // none before a group's first bar
            for (index_t i = from; i < from + count; ++i) {
                ranges.set(i, stream::true_range(h[i], l[i], previous_close));
                previous_close = c[i];
            }
        }
        scatter(ranges, batch, true_range);
        scatter(average, batch, atr);
    }

    void leave_out(std::span<const index_t> rows) const noexcept {
        fill(rows, true_range, nan);
        fill(rows, atr, nan);
    }
};

}  // namespace ornivex::grouped
