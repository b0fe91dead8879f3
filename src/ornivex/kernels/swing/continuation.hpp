// Range size of a series met a stretch of bars at a time: what the next
// stretch's windows need besides its own bars (the bar count, the last price,
// the last p - 1 differences and 2p - 2 first means) is carried from one
// stretch to the next, and each stretch's ranges are summed exactly as
// range_size_pass sums those windows of the whole series, so the split into
// stretches never shows.  The stream class continues a series this way chunk
// by chunk (and bar by bar), a long table's group a stretch of rows at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"

namespace ornivex::swing {

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

// A series' range size between stretches of its bars.
struct RangeSizeCarry {
    // Bars whose differences and first means are made together, so that
    // they stay in cache.
    static constexpr index_t block = 4096;

    index_t period;
    double multiplier;
    std::int64_t bars = 0;
    double previous = 0.0;  // the last bar's price
    History diffs, firsts;

    RangeSizeCarry(index_t period, double multiplier) noexcept
        : period(period), multiplier(multiplier), diffs(period - 1), firsts(second_period_of(period) - 1) {}

    // The range sizes of the next bars, x's into `ranges` (x.size of them,
    // no overlap), a block at a time; `windows` is scratch for a block's
    // windows, kept by the caller so that stretch after stretch reuses it.
    // Throws std::bad_alloc (the scratch) part way: callers that keep the
    // carry run this on a copy.
    void extend(StridedView<const double> x, StridedView<double> ranges, std::vector<double>& windows) {
        const index_t n = x.size;
        if (n == 0) return;
        const index_t length_most = std::min(n, block);
        const index_t diff_room = diffs_kept_after(bars + n, period) + length_most;
        const index_t first_room = firsts_kept_after(bars + n, period) + length_most;
        if (static_cast<index_t>(windows.size()) < diff_room + first_room)
            windows.resize(static_cast<std::size_t>(diff_room + first_room));
        double* const diff_work = windows.data();
        double* const first_work = diff_work + diff_room;
        for (index_t start = 0; start < n; start += block) {
            const index_t length = std::min(block, n - start);
            // The histories, then this block's differences and the ranges their means complete.
            std::copy_n(diffs.data(), diffs.size(), diff_work);
            const index_t diff_count = diffs.size() + length;
            abs_diff_after(previous, bars == 0, part(x, start, length), local(diff_work + diffs.size(), length));
            previous = x[start + length - 1];
            std::copy_n(firsts.data(), firsts.size(), first_work);
            const index_t first_count = range_size_means(local(diff_work, diff_count), period, multiplier,
                                                         first_work, firsts.size(), part(ranges, start, length));
            diffs.keep_tail(diff_work, diff_count);
            firsts.keep_tail(first_work, first_count);
            bars += length;
        }
    }

private:
    static StridedView<double> local(double* data, index_t size) noexcept {
        return {reinterpret_cast<char*>(data), sizeof(double), size};
    }
};

// The filter after bar i of a result: its stored value is the one shown (a
// filter that is a number once stays one, so a NaN shown is a NaN stored).
inline FilterState filter_after(const FilterOutputs& out, index_t i) noexcept {
    return {out.range_filt[i], {out.hi_band[i], out.lo_band[i], out.range_filt[i]}};
}

// range_filter_pass over bars that continue a series from `state` (the
// filter after the bar before x[0]), the same bits as those bars of the
// whole series; the same overlap rules.  Returns the filter after the last.
inline FilterState range_filter_continue(StridedView<const double> x, StridedView<const double> r,
                                         const FilterOutputs& out, FilterState state) noexcept {
    using namespace range_filter_detail;
    const index_t n = x.size;
    if (n == 0) return state;
    if (x.contiguous() && r.contiguous() && out.range_filt.contiguous() && out.hi_band.contiguous() &&
        out.lo_band.contiguous())
        run_kernel<FilterKernel>(x, r, out, 0, state);
    else
        filter_bars(x, r, out, 0, n, state);
    return filter_after(out, n - 1);
}

}  // namespace ornivex::swing
