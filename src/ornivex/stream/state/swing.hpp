// The swing range filter one bar at a time, equal to
// QuorvelSwing().quorvel_swing(series, period, multiplier) over the whole
// series wherever that has a result.
//
//   d      = |x - previous x|   (0.0 on bar 0)
//   first  = mean of the last p d's                (from bar p - 1)
//   second = mean of the last 2p - 1 firsts        (from bar 3p - 3)
//   range  = second * multiplier, NaN before bar 3p - 3
//   row    = filter_start(x) on bar 0, then filter_advance(filter, x, range)
//
// Each mean is summed exactly as the batch sums that window (mean_of_window
// for one bar, window_mean for a chunk), so the split into bars and chunks
// never shows.  A series too short for the windows has no batch result; here
// its ranges are NaN, so the bands are NaN and the filter holds.
//
// Kept between bars: the bar count, the previous price, the filter, and the
// last p - 1 d's and 2p - 2 firsts (fewer until that many exist): what the
// next bar's windows need besides its own values.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/swing/continuation.hpp"
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"

namespace ornivex::stream {

using swing::FilterRow;
using swing::FilterState;
using swing::History;

// The `kept` values before a window's newest one, then `next`: the window one
// bar on, read oldest first, without storing the new value.
struct WindowWithNext {
    const double* kept_values;
    index_t kept;
    double next;

    double operator[](index_t k) const noexcept { return k < kept ? kept_values[k] : next; }
};

class SwingStream {
public:
    SwingStream(index_t period, double multiplier) noexcept
        : sizes_(period, multiplier) {}

    index_t period() const noexcept { return sizes_.period; }
    double multiplier() const noexcept { return sizes_.multiplier; }
    std::int64_t bars() const noexcept { return sizes_.bars; }
    double previous() const noexcept { return sizes_.previous; }
    const FilterState& filter() const noexcept { return filter_; }
    const History& diffs() const noexcept { return sizes_.diffs; }
    const History& firsts() const noexcept { return sizes_.firsts; }
    // Lengths as diffs() and firsts() have them after `bars` bars.
    index_t diffs_after(std::int64_t bars) const noexcept { return swing::diffs_kept_after(bars, period()); }
    index_t firsts_after(std::int64_t bars) const noexcept { return swing::firsts_kept_after(bars, period()); }
    void restore(std::int64_t bars, double previous, const FilterState& filter, const double* diffs,
                 const double* firsts) {
        sizes_.diffs.keep_tail(diffs, diffs_after(bars));
        sizes_.firsts.keep_tail(firsts, firsts_after(bars));
        sizes_.bars = bars;
        sizes_.previous = previous;
        filter_ = filter;
    }

    // One bar in two halves, so that a caller can stop between them with
    // nothing changed: next() computes the bar (and may throw std::bad_alloc
    // while the histories grow), take() keeps it.
    struct Bar {
        double x, diff, first;
        FilterState filter;
    };

    Bar next(double x) {
        History &diffs = sizes_.diffs, &firsts = sizes_.firsts;
        diffs.make_room();
        firsts.make_room();
        Bar bar{x, sizes_.bars == 0 ? 0.0 : std::fabs(x - sizes_.previous), 0.0, filter_};
        double range = std::numeric_limits<double>::quiet_NaN();
        if (diffs.full()) {
            bar.first = swing::mean_of_window(WindowWithNext{diffs.data(), diffs.size(), bar.diff}, period(),
                                              first_weight());
            if (firsts.full())
                range = swing::mean_of_window(WindowWithNext{firsts.data(), firsts.size(), bar.first},
                                              second_period(), second_weight()) *
                        multiplier();
        }
        if (sizes_.bars == 0)
            bar.filter = swing::filter_start(x);
        else
            swing::filter_advance(bar.filter, x, range);
        return bar;
    }

    void take(const Bar& bar) noexcept {
        if (sizes_.diffs.full()) sizes_.firsts.push(bar.first);
        sizes_.diffs.push(bar.diff);
        sizes_.previous = bar.x;
        filter_ = bar.filter;
        ++sizes_.bars;
    }

    // A chunk into `rows` (the C-contiguous (3, n) block of its high bands,
    // low bands and filter values), block by block so that a block's d's,
    // means and ranges stay in cache.  May throw std::bad_alloc part way;
    // callers run it on a copy.
    [[gnu::noinline]] void extend(StridedView<const double> x, double* rows) {
        const index_t n = x.size;
        if (n == 0) return;
        const index_t block = std::min(n, swing::RangeSizeCarry::block);
        std::vector<double> windows;
        const std::unique_ptr<double[]> ranges(new double[static_cast<std::size_t>(block)]);
        double* const hi = rows;
        double* const lo = rows + n;
        double* const filt = rows + 2 * n;
        for (index_t start = 0; start < n; start += block) {
            const index_t length = std::min(block, n - start);
            const bool first_bar = sizes_.bars == 0;
            sizes_.extend(part(x, start, length), local(ranges.get(), length), windows);
            FilterState filter = filter_;
            for (index_t j = 0; j < length; ++j) {
                const index_t i = start + j;
                FilterRow row;
                if (first_bar && j == 0) {
                    filter = swing::filter_start(x[i]);
                    row = filter.shown;
                } else {
                    row = swing::filter_advance(filter, x[i], ranges[j]);
                }
                hi[i] = row.hi_band;
                lo[i] = row.lo_band;
                filt[i] = row.range_filt;
            }
            filter_ = filter;
        }
    }

private:
    static StridedView<double> local(double* data, index_t size) noexcept {
        return {reinterpret_cast<char*>(data), sizeof(double), size};
    }
    index_t second_period() const noexcept { return swing::second_period_of(period()); }
    double first_weight() const noexcept { return swing::window_weight(period()); }
    double second_weight() const noexcept { return swing::window_weight(second_period()); }

    swing::RangeSizeCarry sizes_;                    // the bars, the last price, the kept d's and firsts
    FilterState filter_ = swing::filter_start(0.0);  // read from bar 1 on
};

}  // namespace ornivex::stream
