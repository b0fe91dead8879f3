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
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"

namespace ornivex::stream {

using swing::FilterRow;
using swing::FilterState;

// The last `capacity` values of a series (all of them until there are that
// many), oldest first and contiguous.
class History {
public:
    explicit History(index_t capacity) noexcept : capacity_(capacity) {}

    index_t capacity() const noexcept { return capacity_; }
    index_t size() const noexcept { return static_cast<index_t>(values_.size()); }
    bool full() const noexcept { return size() == capacity_; }
    const double* data() const noexcept { return values_.data(); }

    // Room for the next push, so that push cannot fail.  May throw std::bad_alloc.
    void make_room() {
        if (!full() && values_.size() == values_.capacity())
            values_.reserve(static_cast<std::size_t>(std::min(capacity_, std::max<index_t>(2 * size(), 16))));
    }

    // After make_room().
    void push(double value) noexcept {
        if (capacity_ == 0) return;
        if (full()) {
            std::copy(values_.begin() + 1, values_.end(), values_.begin());
            values_.back() = value;
        } else {
            values_.push_back(value);
        }
    }

    // Keeps the last values of `series` (which continues this history).
    void keep_tail(const double* series, index_t count) {
        const index_t kept = std::min(count, capacity_);
        values_.assign(series + count - kept, series + count);
    }

private:
    index_t capacity_;
    std::vector<double> values_;
};

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
        : period_(period), multiplier_(multiplier), diffs_(period - 1), firsts_(swing::second_period_of(period) - 1) {}

    index_t period() const noexcept { return period_; }
    double multiplier() const noexcept { return multiplier_; }
    std::int64_t bars() const noexcept { return bars_; }
    double previous() const noexcept { return previous_; }
    const FilterState& filter() const noexcept { return filter_; }
    const History& diffs() const noexcept { return diffs_; }
    const History& firsts() const noexcept { return firsts_; }
    // Lengths as diffs() and firsts() have them after `bars` bars.
    index_t diffs_after(std::int64_t bars) const noexcept { return swing::diffs_kept_after(bars, period_); }
    index_t firsts_after(std::int64_t bars) const noexcept { return swing::firsts_kept_after(bars, period_); }
    void restore(std::int64_t bars, double previous, const FilterState& filter, const double* diffs,
                 const double* firsts) {
        diffs_.keep_tail(diffs, diffs_after(bars));
        firsts_.keep_tail(firsts, firsts_after(bars));
        bars_ = bars;
        previous_ = previous;
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
        diffs_.make_room();
        firsts_.make_room();
        Bar bar{x, bars_ == 0 ? 0.0 : std::fabs(x - previous_), 0.0, filter_};
        double range = std::numeric_limits<double>::quiet_NaN();
        if (diffs_.full()) {
            bar.first = swing::mean_of_window(WindowWithNext{diffs_.data(), diffs_.size(), bar.diff}, period_,
                                              first_weight());
            if (firsts_.full())
                range = swing::mean_of_window(WindowWithNext{firsts_.data(), firsts_.size(), bar.first},
                                              second_period(), second_weight()) *
                        multiplier_;
        }
        if (bars_ == 0)
            bar.filter = swing::filter_start(x);
        else
            swing::filter_advance(bar.filter, x, range);
        return bar;
    }

    void take(const Bar& bar) noexcept {
        if (diffs_.full()) firsts_.push(bar.first);
        diffs_.push(bar.diff);
        previous_ = bar.x;
        filter_ = bar.filter;
        ++bars_;
    }

    // A chunk into `rows` (the C-contiguous (3, n) block of its high bands,
    // low bands and filter values), block by block so that a block's d's
    // and means stay in cache.  May throw std::bad_alloc part way; callers
    // run it on a copy.
    [[gnu::noinline]] void extend(StridedView<const double> x, double* rows) {
        const index_t n = x.size;
        if (n == 0) return;
        const index_t block = std::min<index_t>(n, 4096);
        const index_t diff_room = diffs_after(bars_ + n) + block;
        const index_t first_room = firsts_after(bars_ + n) + block;
        const std::unique_ptr<double[]> diffs(new double[static_cast<std::size_t>(diff_room)]);
        const std::unique_ptr<double[]> firsts(new double[static_cast<std::size_t>(first_room)]);
        const std::unique_ptr<double[]> ranges(new double[static_cast<std::size_t>(block)]);
        double* const hi = rows;
        double* const lo = rows + n;
        double* const filt = rows + 2 * n;
        for (index_t start = 0; start < n; start += block) {
            const index_t length = std::min(block, n - start);
            // The histories, then this block's d's and the ranges their means complete.
            std::copy_n(diffs_.data(), diffs_.size(), diffs.get());
            const index_t diff_count = diffs_.size() + length;
            swing::abs_diff_after(previous_, bars_ == 0, part(x, start, length),
                                  local(diffs.get() + diffs_.size(), length));
            previous_ = x[start + length - 1];
            std::copy_n(firsts_.data(), firsts_.size(), firsts.get());
            const index_t first_count = swing::range_size_means(local(diffs.get(), diff_count), period_, multiplier_,
                                                                firsts.get(), firsts_.size(),
                                                                local(ranges.get(), length));

            FilterState filter = filter_;
            for (index_t j = 0; j < length; ++j) {
                const index_t i = start + j;
                FilterRow row;
                if (bars_ + j == 0) {
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
            diffs_.keep_tail(diffs.get(), diff_count);
            firsts_.keep_tail(firsts.get(), first_count);
            bars_ += length;
        }
    }

private:
    static StridedView<double> local(double* data, index_t size) noexcept {
        return {reinterpret_cast<char*>(data), sizeof(double), size};
    }
    index_t second_period() const noexcept { return swing::second_period_of(period_); }
    double first_weight() const noexcept { return swing::window_weight(period_); }
    double second_weight() const noexcept { return swing::window_weight(second_period()); }

    index_t period_;
    double multiplier_;
    std::int64_t bars_ = 0;
    double previous_ = 0.0;                 // the last bar's price
    FilterState filter_ = swing::filter_start(0.0);  // read from bar 1 on
    History diffs_;
    History firsts_;
};

}  // namespace ornivex::stream
