// The average true range of many series at once (atr.hpp's steps).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/atr/atr.hpp"

namespace ornivex::atr {

// Every group's average true range, from its first bar; group j's bars are
// batch.begin(j) .. batch.begin(j) + batch.length(j) - 1 of the series.  A
// register's worth of groups step side by side in its lanes while all of them
// have bars left, the rest of each group alone; each group's bars still go in
// order through the same steps, so its values are those of the group alone.
//
// Built for AVX2 at most.  The step's helpers are compiled without the wider
// set's flags, and there GCC breaks a select on an OR of comparisons of
// eight doubles (the NaN tests) into one scalar per lane, several times
// slower than four lanes.  Eight whole lanes (selects on single comparisons)
// still lose to four here, as every lane's prices are loaded and its average
// stored one by one (1.8 against 1.5 ns/row), and four lanes built with
// AVX-512's flags measured about 10% slower than AVX2's build.
struct SideBySideAtr {
    static constexpr InstructionSet widest = InstructionSet::avx2;

    template <InstructionSet S, class Groups>
    static void run(const Groups& batch, std::int64_t length, StridedView<const double> high,
                    StridedView<const double> low, StridedView<const double> close, StridedView<double> out) noexcept {
        using V = RegisterLanes<double, S>;
        constexpr index_t lanes = lane_count<V>;
        const V cap = splat<V>(static_cast<double>(length));
        index_t j = 0;
        for (; j + lanes <= batch.size(); j += lanes) {
            V count = splat<V>(0.0), average = splat<V>(nan), previous_close = splat<V>(nan);
            index_t from[lanes], common = batch.length(j);
            for (index_t q = 0; q < lanes; ++q) {
                from[q] = batch.begin(j + q);
                common = std::min(common, batch.length(j + q));
            }
            for (index_t i = 0; i < common; ++i) {
                V h, l, c;
                for (index_t q = 0; q < lanes; ++q) {
                    h[q] = high[from[q] + i];
                    l[q] = low[from[q] + i];
                    c[q] = close[from[q] + i];
                }
                atr_step(cap, h, l, c, count, average, previous_close);
                for (index_t q = 0; q < lanes; ++q) out.set(from[q] + i, average[q]);
            }
            for (index_t q = 0; q < lanes; ++q) {
                AtrStream rest(length);
                rest.restore(static_cast<std::int64_t>(count[q]), average[q], previous_close[q]);
                const index_t at = from[q] + common, left = batch.length(j + q) - common;
                rest.extend(part(high, at, left), part(low, at, left), part(close, at, left), part(out, at, left));
            }
        }
        for (; j < batch.size(); ++j) {
            const index_t at = batch.begin(j), bars = batch.length(j);
            AtrStream(length).extend(part(high, at, bars), part(low, at, bars), part(close, at, bars),
                                             part(out, at, bars));
        }
    }

private:
    static constexpr double nan = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace ornivex::atr
