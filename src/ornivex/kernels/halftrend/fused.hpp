// HalfTrend in one fused pass over blocks of bars, with no intermediate
// arrays: the window extremes, tema3 of high and low, the trend and the line
// (rules.hpp holds the per-bar rules, window_extremes.hpp the extremes,
// averages/tema3.hpp the smoothing).
//
// Block by block: gather the raw bars and scan their window extremes; smooth
// the block with the previous block's outputs and the next block's prefetch
// riding along; then sweep it, one phase of the trend at a time, into the
// line and a log of the turns.  The line buffers and turn logs alternate,
// since a block is dressed (channel, arrows, signals) while the next one is
// smoothed.
//
// Preconditions: every input view has n = high.size elements, every output
// exactly n; outputs overlap neither inputs nor each other.  n == 0 or
// amplitude < 1 writes nothing (the caller rejects those).  Inputs are only
// read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/lanes.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/averages/tema3.hpp"
#include "ornivex/kernels/halftrend/rules.hpp"
#include "ornivex/kernels/halftrend/window_extremes.hpp"

namespace ornivex::trend::halftrend {

struct Inputs {
    StridedView<const float> high, low, close, tr;
};

struct Outputs {
    StridedView<float> halftrend, atr_high, atr_low, arrow_up, arrow_down;
    StridedView<std::int64_t> buy, sell;
};

namespace fused_detail {

// The bars of one block at j = 1 .. length; j = 0 is the bar before the block.
// Each pair is indexed by the side a state watches: [0] the lows (up state),
// [1] the highs (start and down states).
struct SweepBars {
    const float* window_extreme[2];  // low_price, high_price
    const float* price[2];           // low, high
    const f32x2* smoothed;           // (highma, lowma): what the turn test compares
    const float* close;
    float* line;
};

// What one bar hands to the next: the phase, the running extreme it watches,
// the other one (never read before a turn restarts it, only kept for a
// stream's state; updated on turns alone) and the line.
struct Sweep {
    Phase phase = Phase::start;
    float extreme = 0.0f;
    float other = 0.0f;
    float line = 0.0f;
};

inline Sweep sweep_of(const TrendState& trend, float line) noexcept {
    if (trend.phase == Phase::up) return {trend.phase, trend.max_low_price, trend.min_high_price, line};
    return {trend.phase, trend.min_high_price, trend.max_low_price, line};
}

inline TrendState trend_state_of(const Sweep& sweep) noexcept {
    if (sweep.phase == Phase::up) return {sweep.phase, sweep.extreme, sweep.other};
    return {sweep.phase, sweep.other, sweep.extreme};
}

// A turn at block bar j: `j << 1 | 1` turning up, `j << 1` turning down.
struct TurnLog {
    std::int32_t* entries;
    index_t count = 0;

    void add(index_t j, bool up) noexcept { entries[count++] = static_cast<std::int32_t>(j << 1 | (up ? 1 : 0)); }
};

// Bars j .. end-1 of one phase while none turns; returns the turning bar, or
// end.  Without a turn the line follows the previous bar's watched extreme
// (next_line with the trend unchanged); in phase start it is low[0] and so is
// the running max_low_price it would follow, so it stays.
template <class Watch, bool line_moves>
index_t run_until_turn(const SweepBars& bars, index_t j, index_t end, Sweep& sweep) noexcept {
    const float* const window_extreme = bars.window_extreme[Watch::side];
    const float* const price = bars.price[Watch::side];
    const f32x2* const smoothed = bars.smoothed;
    const float* const close = bars.close;
    float* const line_out = bars.line;
    float extreme = sweep.extreme, line = sweep.line;
    for (; j < end; ++j) {
        const float extreme_before = extreme;
        if (watch<Watch>(extreme, window_extreme[j - 1], smoothed[j][Watch::side], close[j], price[j - 1]))
            [[unlikely]] break;
        if constexpr (line_moves) line = Watch::keep(line, extreme_before);
        line_out[j] = line;
    }
    sweep.extreme = extreme;
    sweep.line = line;
    return j;
}

// On a turn at bar j the new phase's extreme restarts at bar j's window extreme.
template <class Watch>
void turn(Sweep& sweep, const SweepBars& bars, index_t j) noexcept {
    sweep.phase = Watch::after_turn;
    sweep.other = sweep.extreme;
    sweep.extreme = bars.window_extreme[1 - Watch::side][j];
}

// Bar 0's state: start, the running lowest high at high[0], the line at low[0].
inline Sweep first_sweep(float high, float low) noexcept { return sweep_of(first_trend_state(high, low), low); }

// Bars first .. end-1 of a block; turns that show (arrows, signals) go to the log.
inline void sweep_bars(Sweep& sweep, const SweepBars& bars, index_t first, index_t end, TurnLog& turns) noexcept {
    for (index_t j = first; j < end; ++j) {
        switch (sweep.phase) {
            case Phase::start:  // the first turn only arms: no arrow, no signal
                j = run_until_turn<WatchHighs, false>(bars, j, end, sweep);
                if (j == end) return;
                turn<WatchHighs>(sweep, bars, j);
                break;
            case Phase::up:
                j = run_until_turn<WatchLows, true>(bars, j, end, sweep);
                if (j == end) return;
                turns.add(j, false);
                turn<WatchLows>(sweep, bars, j);
                break;
            case Phase::down:
                j = run_until_turn<WatchHighs, true>(bars, j, end, sweep);
                if (j == end) return;
                turns.add(j, true);
                turn<WatchHighs>(sweep, bars, j);
                break;
        }
        bars.line[j] = sweep.line;  // a turning bar keeps the line
    }
}

inline constexpr index_t block = extremes_detail::scan_block_length;

// tema3 of high and low side by side (lane 0 high, lane 1 low), block by
// block; the first bar ever seeds the stages.  fill() calls alongside() after
// every four bars: the eight chains are latency-bound and leave room for
// other work.
template <Promotion P>
struct TripleEmaSmoothing {
    TripleEma<P, f32x2> stages;
    bool seeded = false;

    // high[k] and low[k] are the block's bar k; smoothed[k] receives its tema3 pair.
    template <class Alongside>
    void fill(index_t length, const float* high, const float* low, f32x2* smoothed, Alongside&& alongside) noexcept {
        TripleEma<P, f32x2> local = stages;  // chains stay in registers
        index_t k = 0;
        if (!seeded) {
            local.seed(f32x2{high[0], low[0]});
            smoothed[0] = local.value();
            k = 1;
            seeded = true;
        }
        auto next = [&](index_t bar) {
            local.advance(f32x2{high[bar], low[bar]});
            smoothed[bar] = local.value();
        };
        for (; k + 4 <= length; k += 4) {
            next(k);
            next(k + 1);
            next(k + 2);
            next(k + 3);
            alongside();
        }
        for (; k < length; ++k) next(k);
        stages = local;
    }
};

}  // namespace fused_detail

// The fused pass's buffers, on the heap (a small thread stack could not hold
// them): the window scan's, then one block's bars at j = k + 1 for bar start
// + k (j = 0 holds the bar before the block).
struct FusedScratch {
    WindowScratch window;
    f32x2 smoothed[fused_detail::block + 8];  // (highma, lowma)
    alignas(16) float close[fused_detail::block + 8];
    alignas(16) float line[2][fused_detail::block + 8];  // this block's and the previous one's
    std::int32_t turns[2][fused_detail::block];

    // window: min(amplitude, n).  Throws std::bad_alloc.
    static std::unique_ptr<FusedScratch> make(index_t window) { return std::make_unique<FusedScratch>(window); }
    explicit FusedScratch(index_t window) : window(window) {}
};

namespace fused_detail {

// The outputs of one block's bars from its line (line[k + 1] is bar start +
// k's): every bar gets the line, line +/- dev, arrows and signals 0; then the
// logged turns get their arrow and signal.  Four bars per step, so that the
// steps can ride along the next block's smoothing.  With `contiguous` every
// view's stride is the element size and a step is a few vector operations
// (the same float32 operations, so the same bits).
template <bool contiguous>
class BlockDress {
public:
    BlockDress(StridedView<const float> tr, const Outputs& out, ChannelWidths widths) noexcept
        : tr_(tr), out_(out), widths_(widths) {}

    void begin(index_t start, index_t length, const float* line, const TurnLog& turns) noexcept {
        start_ = start;
        length_ = length;
        done_ = 0;
        line_ = line;
        turns_ = turns;
    }

    void step() noexcept {
        if (done_ + 4 > length_) return;
        if constexpr (contiguous) {
            const index_t i = start_ + done_;
            const f32x4 line = load<f32x4>(line_ + done_ + 1);
            const f32x4 dev = widths_.band(ChannelWidths::half(load<f32x4>(tr_.data() + i)));
            store(out_.halftrend.data() + i, line);
            store(out_.atr_high.data() + i, channel_high(line, dev));
            store(out_.atr_low.data() + i, channel_low(line, dev));
            store(out_.arrow_up.data() + i, f32x4{});
            store(out_.arrow_down.data() + i, f32x4{});
            std::memset(out_.buy.data() + i, 0, 4 * sizeof(std::int64_t));
            std::memset(out_.sell.data() + i, 0, 4 * sizeof(std::int64_t));
        } else {
            for (index_t k = done_; k < done_ + 4; ++k) bar(k);
        }
        done_ += 4;
    }

    // The bars no step took (four at a time while they last: a block the
    // smoothing of a next one does not ride along, as a short series' only
    // block, is dressed here whole), then the turns.
    void finish() noexcept {
        while (done_ + 4 <= length_) step();
        for (; done_ < length_; ++done_) bar(done_);
        for (index_t t = 0; t < turns_.count; ++t) {
            const index_t j = turns_.entries[t] >> 1;
            const index_t i = start_ + j - 1;
            const float atr2 = ChannelWidths::half(tr_[i]);
            if (turns_.entries[t] & 1) {
                out_.arrow_up.set(i, arrow_up_at(line_[j], atr2));
                out_.buy.set(i, 1);
            } else {
                out_.arrow_down.set(i, arrow_down_at(line_[j], atr2));
                out_.sell.set(i, 1);
            }
        }
        length_ = 0;
    }

private:
    void bar(index_t k) noexcept {
        const index_t i = start_ + k;
        const float line = line_[k + 1];
        const float dev = widths_.band(ChannelWidths::half(tr_[i]));
        out_.halftrend.set(i, line);
        out_.atr_high.set(i, channel_high(line, dev));
        out_.atr_low.set(i, channel_low(line, dev));
        out_.arrow_up.set(i, 0.0f);
        out_.arrow_down.set(i, 0.0f);
        out_.buy.set(i, 0);
        out_.sell.set(i, 0);
    }

    StridedView<const float> tr_;
    Outputs out_;
    ChannelWidths widths_;
    index_t start_ = 0, length_ = 0, done_ = 0;
    const float* line_ = nullptr;
    TurnLog turns_{nullptr};
};

// Asks for the next block's input bars a cache line at a time, so that they
// arrive while the smoothing waits on its chains rather than in one burst
// when the block is gathered.
struct Prefetch {
    const Inputs& in;
    index_t next, end;

    void step() noexcept {
        if (next >= end) return;
        for (const StridedView<const float>& series : {in.high, in.low, in.close, in.tr})
            __builtin_prefetch(series.base + next * series.stride);
        next += 64 / sizeof(float);  // a cache line of a contiguous series
    }
};

inline bool all_contiguous(const Inputs& in, const Outputs& out) noexcept {
    return in.tr.contiguous() && out.halftrend.contiguous() && out.atr_high.contiguous() &&
           out.atr_low.contiguous() && out.arrow_up.contiguous() && out.arrow_down.contiguous() &&
           out.buy.contiguous() && out.sell.contiguous();
}

// Block by block: the window scan gathers the raw bars and their extremes;
// smooth, with the previous block's dress and the next block's prefetch
// riding along; sweep (state machine and line).  The line buffers and turn
// logs alternate, since a block is dressed while the next one is smoothed.
// `sweep` and `smooth` go in after the bar before bar 0 (none when `earlier`
// is empty: bar 0 is the first ever) and come out after bar n - 1, whose
// window extremes are returned (high_price, low_price).
// Precondition: 1 <= window <= n.
template <bool contiguous, Promotion P>
f32x2 block_pipeline(const Inputs& in, index_t window, const Outputs& out, ChannelWidths widths,
                     TripleEmaSmoothing<P>& smoothing, Sweep& sweep_in_out,
                     const extremes_detail::EarlierBars& earlier, FusedScratch& b) noexcept {
    const index_t n = in.high.size;
    TripleEmaSmoothing<P> smooth = smoothing;  // locals: nothing the outputs' stores could alias
    Sweep sweep = sweep_in_out;
    extremes_detail::WindowScan scan(in.high, in.low, window, b.window, earlier);
    BlockDress<contiguous> dress(in.tr, out, widths);
    for (index_t start = 0, parity = 0; start < n; start += block, parity ^= 1) {
        const index_t length = std::min(block, n - start);
        scan.next_block(start, length);
        if (in.close.contiguous())
            std::memcpy(b.close + 1, in.close.data() + start, length * sizeof(float));
        else
            for (index_t k = 0; k < length; ++k) b.close[k + 1] = in.close[start + k];

        Prefetch next_inputs{in, start + block, std::min(n, start + 2 * block)};
        smooth.fill(length, scan.high_bars(), scan.low_bars(), b.smoothed + 1, [&] {
            dress.step();
            next_inputs.step();
        });
        dress.finish();

        float* const line = b.line[parity];
        TurnLog turns{b.turns[parity]};
        index_t first = 1;
        if (start == 0 && earlier.size == 0) {
            line[1] = sweep.line;
            first = 2;
        }
        const SweepBars bars{{scan.lowest(), scan.highest()},
                             {scan.low_bars() - 1, scan.high_bars() - 1},
                             b.smoothed,
                             b.close,
                             line};
        sweep_bars(sweep, bars, first, length + 1, turns);
        dress.begin(start, length, line, turns);
    }
    dress.finish();
    smoothing = smooth;
    sweep_in_out = sweep;
    const index_t last = n - (n - 1) / block * block;  // the last block's length
    return f32x2{scan.highest()[last], scan.lowest()[last]};
}

}  // namespace fused_detail

// Everything, in one pass with no intermediate arrays: highma / lowma =
// tema3(high / low, 2 * amplitude), window extremes, trend, line, outputs.
// scratch: FusedScratch::make(min(amplitude, n)).
template <Promotion P>
void fused_pass(const Inputs& in, index_t amplitude, double channel_deviation, const Outputs& out,
                FusedScratch& scratch) noexcept {
    const index_t n = in.high.size;
    if (n == 0 || amplitude < 1) return;
    const HalfTrendParams<P> params(amplitude, channel_deviation);
    fused_detail::TripleEmaSmoothing<P> smooth{TripleEma<P, f32x2>(params.smoothing, {})};
    fused_detail::Sweep sweep = fused_detail::first_sweep(in.high[0], in.low[0]);
    const index_t window = std::min(amplitude, n);
    if (fused_detail::all_contiguous(in, out))
        fused_detail::block_pipeline<true>(in, window, out, params.widths, smooth, sweep, {}, scratch);
    else
        fused_detail::block_pipeline<false>(in, window, out, params.widths, smooth, sweep, {}, scratch);
}

// The same pass over a chunk that continues a series: it starts from `state`
// (the series after its earlier bars) and leaves it after the chunk's last
// bar, all but state.window: the caller keeps the window's bars (the last
// amplitude of the earlier ones and the chunk's).  earlier_high / earlier_low
// hold the window's bars, oldest first, min(state.bars, amplitude) of them.
// scratch: FusedScratch::make(params.amplitude).  Precondition: n >=
// params.amplitude.
template <Promotion P>
void resume_fused_pass(const Inputs& in, const HalfTrendParams<P>& params, const float* earlier_high,
                       const float* earlier_low, const Outputs& out, FusedScratch& scratch,
                       HalfTrendState& state) noexcept {
    const index_t n = in.high.size;
    const bool first_ever = state.bars == 0;
    fused_detail::TripleEmaSmoothing<P> smooth{TripleEma<P, f32x2>(params.smoothing, state.smoothing), !first_ever};
    fused_detail::Sweep sweep = first_ever ? fused_detail::first_sweep(in.high[0], in.low[0])
                                           : fused_detail::sweep_of(state.trend, state.line);
    const extremes_detail::EarlierBars earlier{earlier_high, earlier_low, std::min(state.bars, params.amplitude),
                                               state.high_price, state.low_price};
    const f32x2 extremes =
        fused_detail::all_contiguous(in, out)
            ? fused_detail::block_pipeline<true>(in, params.amplitude, out, params.widths, smooth, sweep, earlier,
                                                 scratch)
            : fused_detail::block_pipeline<false>(in, params.amplitude, out, params.widths, smooth, sweep,
                                                  earlier, scratch);
    state.bars += n;
    state.trend = fused_detail::trend_state_of(sweep);
    state.line = sweep.line;
    state.high = in.high[n - 1];
    state.low = in.low[n - 1];
    state.high_price = extremes[0];
    state.low_price = extremes[1];
    state.smoothing = smooth.stages.stages();
}

// The fused pass as the module runs it (run_kernel), in float32 under NumPy's
// weak promotion.  AVX2's three-operand forms spare the register copies of
// the baseline code (about 10% faster); AVX-512 adds nothing to its two- and
// four-lane floats.
struct FusedKernel {
    static constexpr InstructionSet widest = InstructionSet::avx2;

    template <InstructionSet>
    static void run(const Inputs& in, index_t amplitude, double channel_deviation, const Outputs& out,
                    FusedScratch& scratch) noexcept {
        fused_pass<Promotion::weak_float32>(in, amplitude, channel_deviation, out, scratch);
    }
};

}  // namespace ornivex::trend::halftrend
