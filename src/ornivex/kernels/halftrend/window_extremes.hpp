// Rolling window extremes over `amplitude` bars:
//
//   high_price[i] = max high[j],  low_price[i] = min low[j],
//   over max(0, i - amplitude + 1) <= j <= i,  for every i in 0 .. n-1.
//
// The first amplitude-1 windows grow from bar 0; an amplitude beyond n only
// means that every window is a growing one.  NaN policy: a NaN anywhere in a
// window makes that window's extreme NaN (as numpy.max / numpy.min do).
//
// Ties: when the extreme is a zero and the window holds both +0.0 and -0.0,
// the later bar's zero is returned.  numpy.max / numpy.min over a float32
// slice do the same for every slice of up to 4 elements, on every CPU and in
// every layout (measured with NumPy 2.5 and 1.26 at the SSE, AVX2 and AVX-512
// levels).  Longer slices depend on the CPU: a contiguous one keeps the later
// zero only up to as many elements as NumPy's vectors have float lanes (4 with
// SSE, 8 with AVX2, 16 with AVX-512), a strided one up to 16, and past 16 the
// choice varies with the SIMD level in every layout.  The rule here stays the
// later zero for every window length.
//
// Cost is O(n) whatever the amplitude.  The series go block by block of 512
// bars (WindowScan), each block's raw bars gathered into a buffer that the
// fused pass reads as well.  Windows of up to 128 bars are scanned per block
// with span doubling (floor(log2 w) + 1 vectorised passes); longer ones use
// the van Herk / Gil-Werman split of the series into window-long runs, where
// each window is the previous run's suffix combined with the current run's
// prefix (a bare max per step when the series hold no NaN), keeping only the
// previous run's suffixes.  RecentBars (rules.hpp) folds a short window bar
// by bar with the same pick.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "ornivex/common/lanes.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex::trend::halftrend {

namespace extremes_detail {

// NaN-propagating maximum and minimum, lane by lane, with the value that never
// wins as padding.  Operands go in bar order, `earlier` first: `earlier > later
// ? earlier : later` (one maxps) returns the later operand on a tie and when it
// is NaN; the outer select keeps a NaN earlier.  Vector selects compile to
// masks, never to branches.  `ordered` is the bare max/min, for inputs known
// free of NaN.
struct Highest {
    static constexpr float identity = -std::numeric_limits<float>::infinity();
    template <class V>
    static auto beats(V earlier, V later) noexcept { return earlier > later; }
    template <class V>
    static V ordered(V earlier, V later) noexcept { return beats(earlier, later) ? earlier : later; }
    template <class V>
    static V pick(V earlier, V later) noexcept {
        return earlier != earlier ? earlier : ordered(earlier, later);
    }
};

struct Lowest {
    static constexpr float identity = std::numeric_limits<float>::infinity();
    template <class V>
    static auto beats(V earlier, V later) noexcept { return earlier < later; }
    template <class V>
    static V ordered(V earlier, V later) noexcept { return beats(earlier, later) ? earlier : later; }
    template <class V>
    static V pick(V earlier, V later) noexcept {
        return earlier != earlier ? earlier : ordered(earlier, later);
    }
};

// Windows up to this length are scanned block by block with span doubling;
// longer ones take the block method below (from about this length on the
// faster of the two on NaN-free series).
inline constexpr index_t doubling_scan_limit = 128;
inline constexpr index_t scan_block_length = 512;  // a multiple of 4
// A gathered block: up to doubling_scan_limit - 1 bars of lookback, the block,
// and room for the last vector's overrun.
inline constexpr index_t gathered_length = doubling_scan_limit - 1 + scan_block_length + 8;

// count is a multiple of 4.
inline bool holds_nan(const float* p, index_t count) noexcept {
    f32x4 unordered{};
    for (index_t k = 0; k < count; k += 4) {
        const f32x4 v = load<f32x4>(p + k);
        unordered = v != v ? v : unordered;
    }
    return (unordered[0] != unordered[0]) | (unordered[1] != unordered[1]) |
           (unordered[2] != unordered[2]) | (unordered[3] != unordered[3]);
}

inline index_t whole_vectors(index_t count) noexcept { return (count + 3) / 4 * 4; }

// The bars before a series's first one, when it continues an earlier stretch:
// that stretch's last `size` bars, oldest first, and the window extremes of
// its last bar.  Empty for a series that starts from nothing.
struct EarlierBars {
    const float* high = nullptr;
    const float* low = nullptr;
    index_t size = 0;
    float high_price = 0.0f, low_price = 0.0f;

    const float* side(bool highs) const noexcept { return highs ? high : low; }
};

// Bars start - lookback .. start + length - 1 of x into buffer[0 ..]; bars
// before bar 0 from `earlier` (its `size` last ones) and `fill` before those
// (the first windows grow), and `fill` after the last bar up to one vector
// past the last whole vector.
inline void gather_bars(StridedView<const float> x, const float* earlier, index_t earlier_size, index_t lookback,
                        index_t start, index_t length, float fill, float* buffer) noexcept {
    const index_t first = std::max<index_t>(start - lookback, -earlier_size);
    float* out = buffer + (first - (start - lookback));
    std::fill(buffer, out, fill);
    for (index_t i = first; i < 0; ++i) *out++ = earlier[earlier_size + i];
    const index_t from = std::max<index_t>(first, 0);
    if (x.contiguous()) {
        std::memcpy(out, x.data() + from, (start + length - from) * sizeof(float));
        out += start + length - from;
    } else {
        for (index_t i = from; i < start + length; ++i) *out++ = x[i];
    }
    std::fill(out, buffer + whole_vectors(lookback + length) + 4, fill);
}

// later[k] becomes the extreme of earlier[k] and later[k], 4 at a time over
// whole vectors covering count.
template <class Extreme, bool may_hold_nan>
void span_pass(const float* earlier, const float* later, index_t count, float* out) noexcept {
    for (index_t k = 0; k < count; k += 4) {
        const f32x4 a = load<f32x4>(earlier + k), b = load<f32x4>(later + k);
        store(out + k, may_hold_nan ? Extreme::pick(a, b) : Extreme::ordered(a, b));
    }
}

// Window extremes of one gathered block by span doubling: with m_s[j] the
// extreme of the s values ending at j, m_2s[j] = extreme(m_s[j-s], m_s[j]),
// and a window of w = 2^d + r values is extreme(m_2^d[j-r], m_2^d[j]) (the two
// spans overlap, which neither a maximum nor the later-zero tie rule minds).
// That is floor(log2 w) + (r > 0) vectorised passes per block.
// input: window - 1 values of lookback then the block's length values, valid
// through whole_vectors(window - 1 + length) + 4 (gather_bars); scratch: two
// buffers of gathered_length floats, initialised once when window > 2 (the
// last vector of a pass may read a few stale values; what it makes of them
// is never used; windows of 1 or 2 need no scratch); extreme: room for
// whole_vectors(length) + 4.
template <class Extreme, bool may_hold_nan>
void doubling_scan(const float* input, index_t window, index_t length, float* scratch,
                   float* extreme) noexcept {
    const index_t lookback = window - 1;
    const index_t end = whole_vectors(lookback + length);
    index_t span = 1;
    while (2 * span <= window) span *= 2;
    const index_t rest = window - span;
    // Pass offsets 1, 2, .., span / 2, then rest; each pass's results start
    // at the sum of the offsets so far, which ends at lookback.
    const float* current = input;
    index_t done = 0;
    float* next = scratch;
    auto pass = [&](index_t offset) {
        const bool last = done + offset == lookback;
        float* out = last ? extreme : next + done + offset;
        span_pass<Extreme, may_hold_nan>(current + done, current + done + offset, end - done - offset, out);
        if (last) return;
        done += offset;
        current = next;
        next = next == scratch ? scratch + gathered_length : scratch;
    };
    for (index_t offset = 1; offset < span; offset *= 2) pass(offset);
    if (rest > 0) pass(rest);
    if (window == 1) std::memcpy(extreme, input, whole_vectors(length) * sizeof(float));
}

template <class Extreme>
void scan_gathered(const float* input, index_t window, index_t length, float* scratch, float* extreme) noexcept {
    if (holds_nan(input, whole_vectors(window - 1 + length)))
        doubling_scan<Extreme, true>(input, window, length, scratch, extreme);
    else
        doubling_scan<Extreme, false>(input, window, length, scratch, extreme);
}

// The run method runs dependent steps per bar, so it takes high and low
// together as float pairs (high, -low): the lowest low is minus the highest
// negated low (negation is exact), and the two chains overlap.
struct BarPairs {
    StridedView<const float> high, low;

    f32x2 operator[](index_t i) const noexcept { return f32x2{high[i], -low[i]}; }
};

// The same with the earlier bars at i < 0.
struct BarPairsAfter {
    BarPairs bars;
    const EarlierBars& earlier;

    f32x2 operator[](index_t i) const noexcept {
        if (i < 0) return f32x2{earlier.high[earlier.size + i], -earlier.low[earlier.size + i]};
        return bars[i];
    }
};

inline bool series_holds_nan(StridedView<const float> x) noexcept {
    index_t i = 0;
    if (x.contiguous()) {
        i = x.size / 4 * 4;
        if (holds_nan(x.data(), i)) return true;
    }
    bool nan = false;
    for (; i < x.size; ++i) nan |= x[i] != x[i];
    return nan;
}

// The run method's steps, shared by WindowScan and the one-bar window of
// rules.hpp.  Runs are window-long stretches of bars; the window ending at
// offset k of a run is the previous run from offset k + 1 on (its suffix) and
// this run up to k (its prefix).  Windows in the first run, and the window
// that is a whole run, are the prefix alone.
template <bool may_hold_nan>
inline f32x2 keep_pair(f32x2 earlier, f32x2 later) noexcept {
    return may_hold_nan ? Highest::pick(earlier, later) : Highest::ordered(earlier, later);
}

// suffix[k] = the extreme of a completed run's bars k .. window - 1 (run(k)
// gives bar k), for k = window - 1 down to 1.
template <bool may_hold_nan, class Run>
void run_suffixes(const Run& run, index_t window, f32x2* suffix) noexcept {
    suffix[window - 1] = run(window - 1);
    for (index_t k = window - 2; k >= 1; --k) suffix[k] = keep_pair<may_hold_nan>(run(k), suffix[k + 1]);
}

template <bool may_hold_nan>
f32x2 run_window(f32x2 prefix, const f32x2* suffix, index_t offset, index_t window, bool first_run) noexcept {
    return first_run || offset == window - 1 ? prefix : keep_pair<may_hold_nan>(suffix[offset + 1], prefix);
}

// The buffers of a WindowScan; allocated by its owner (about 15 KiB and, for
// a long window, 8 bytes per bar of it), never on the stack.
struct WindowScratch {
    alignas(16) float high[gathered_length];  // raw bars, `lookback` of them before the block
    alignas(16) float low[gathered_length];
    alignas(16) float doubling[2 * gathered_length];
    alignas(16) float extreme[2][scan_block_length + 8];  // lowest, highest
    std::vector<f32x2> suffix;  // long windows: the previous run's suffix extremes

    explicit WindowScratch(index_t window) : suffix(window > doubling_scan_limit ? window : 0) {}
};

// Window extremes of (high, low) one block of bars at a time, blocks in order.
// After next_block(start, length), bar start + k is at index k of high_bars()
// and low_bars() (the bar before at -1) and at index k + 1 of highest() and
// lowest() (index 0 keeps the previous block's last, or before the first
// block the earlier stretch's last).  Precondition: 1 <= window <= n.
class WindowScan {
public:
    WindowScan(StridedView<const float> high, StridedView<const float> low, index_t window, WindowScratch& scratch,
               const EarlierBars& earlier = {}) noexcept
        : high_(high), low_(low), window_(window), scratch_(scratch), earlier_(earlier),
          lookback_(scanned() ? std::max<index_t>(window - 1, 1) : 1) {
        if (scanned() && window > 2)  // see doubling_scan
            std::fill_n(scratch.doubling, 2 * gathered_length, 0.0f);
        scratch.extreme[1][0] = earlier.high_price;
        scratch.extreme[0][0] = earlier.low_price;
        if (!scanned()) start_runs();
    }

    void next_block(index_t start, index_t length) noexcept {
        WindowScratch& s = scratch_;
        if (start > 0)  // the previous block's last bar becomes index 0
            for (auto& extreme : s.extreme) extreme[0] = extreme[scan_block_length];
        gather_bars(high_, earlier_.high, earlier_.size, lookback_, start, length, Highest::identity, s.high);
        gather_bars(low_, earlier_.low, earlier_.size, lookback_, start, length, Lowest::identity, s.low);
        if (scanned()) {
            const index_t skip = lookback_ - (window_ - 1);
            scan_gathered<Highest>(s.high + skip, window_, length, s.doubling, s.extreme[1] + 1);
            scan_gathered<Lowest>(s.low + skip, window_, length, s.doubling, s.extreme[0] + 1);
        } else if (run_may_hold_nan_) {
            run_block<true>(start, length);
        } else {
            run_block<false>(start, length);
        }
    }

    const float* high_bars() const noexcept { return scratch_.high + lookback_; }
    const float* low_bars() const noexcept { return scratch_.low + lookback_; }
    const float* highest() const noexcept { return scratch_.extreme[1]; }
    const float* lowest() const noexcept { return scratch_.extreme[0]; }

private:
    bool scanned() const noexcept { return window_ <= doubling_scan_limit; }

    // The run the earlier bars leave: none, a growing first run, or (a full
    // window of them) a complete run whose suffixes the first bar computes.
    void start_runs() noexcept {
        const index_t earlier = std::min(earlier_.size, window_);
        bool nan = series_holds_nan(high_) || series_holds_nan(low_);
        const BarPairsAfter bars{{high_, low_}, earlier_};
        for (index_t i = -earlier; i < 0; ++i) {
            nan |= bars[i][0] != bars[i][0] || bars[i][1] != bars[i][1];
            prefix_ = i == -earlier ? bars[i] : keep_pair<true>(prefix_, bars[i]);
        }
        run_may_hold_nan_ = nan;
        run_start_ = -earlier;
        first_run_ = earlier < window_;
    }

    template <bool may_hold_nan>
    void run_block(index_t start, index_t length) noexcept {
        WindowScratch& s = scratch_;
        const BarPairs bars{high_, low_};
        const BarPairsAfter bars_after{bars, earlier_};
        index_t run_start = run_start_;  // in registers through the loop
        bool first_run = first_run_;
        f32x2 prefix = prefix_;
        for (index_t k = 0; k < length; ++k) {
            const index_t i = start + k;
            if (i == run_start + window_) {
                if (run_start < 0)  // a run of earlier bars
                    run_suffixes<may_hold_nan>([&](index_t j) { return bars_after[run_start + j]; }, window_,
                                               s.suffix.data());
                else
                    run_suffixes<may_hold_nan>([&](index_t j) { return bars[run_start + j]; }, window_,
                                               s.suffix.data());
                run_start = i;
                first_run = false;
            }
            const f32x2 bar{s.high[lookback_ + k], -s.low[lookback_ + k]};
            prefix = i == run_start ? bar : keep_pair<may_hold_nan>(prefix, bar);
            const f32x2 extreme = run_window<may_hold_nan>(prefix, s.suffix.data(), i - run_start, window_, first_run);
            s.extreme[1][k + 1] = extreme[0];
            s.extreme[0][k + 1] = -extreme[1];
        }
        run_start_ = run_start;
        first_run_ = first_run;
        prefix_ = prefix;
    }

    StridedView<const float> high_, low_;
    index_t window_;
    WindowScratch& scratch_;
    EarlierBars earlier_;
    index_t lookback_;
    bool run_may_hold_nan_ = false;
    bool first_run_ = true;
    index_t run_start_ = 0;
    f32x2 prefix_{};
};

}  // namespace extremes_detail

using extremes_detail::WindowScratch;

// The extremes of every bar into whole arrays.  Precondition: 1 <= amplitude;
// all four views of equal size; the outputs overlap neither input.
inline void rolling_max_min(StridedView<const float> high, StridedView<const float> low, index_t amplitude,
                            StridedView<float> high_price, StridedView<float> low_price,
                            WindowScratch& scratch) noexcept {
    const index_t n = high.size;
    if (n == 0 || amplitude < 1) return;
    extremes_detail::WindowScan scan(high, low, std::min(amplitude, n), scratch);
    for (index_t start = 0; start < n; start += extremes_detail::scan_block_length) {
        const index_t length = std::min(extremes_detail::scan_block_length, n - start);
        scan.next_block(start, length);
        for (index_t k = 0; k < length; ++k) {
            high_price.set(start + k, scan.highest()[k + 1]);
            low_price.set(start + k, scan.lowest()[k + 1]);
        }
    }
}

}  // namespace ornivex::trend::halftrend
