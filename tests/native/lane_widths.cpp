// Every vector width of the swing kernels, and of the long tables' average
// true range (groups side by side in the lanes), gives the same bits: their
// builds for each instruction set this processor runs (2, 4 and 8 lanes),
// the average true ranges also against each group's own one-bar steps.
// The range filter's routes (the clamp scan with its bar-by-bar remainder,
// at every width) give the bits of its rule applied bar by bar, and a window
// mean taken one window at a time gives the batch's bits.  Grid prices and
// ranges make ties, zero bounds of both signs, NaN, infinities and negative
// ranges common; leading NaN ranges and a NaN first price come and go.
// Prints the number of mismatches.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "ornivex/grouped/work.hpp"
#include "ornivex/kernels/atr/side_by_side.hpp"
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"

using namespace ornivex;
namespace detail = ornivex::swing::range_filter_detail;
namespace window = ornivex::swing::window_mean_detail;

using FilterBuild = void (*)(StridedView<const double>, StridedView<const double>, const swing::FilterOutputs&,
                             index_t, swing::FilterState);
using MeanBuild = void (*)(StridedView<const double>, index_t, double, StridedView<double>, double*);
using AtrBuild = void (*)(const grouped::Batch&, std::int64_t, StridedView<const double>, StridedView<const double>,
                          StridedView<const double>, StridedView<double>);
std::vector<AtrBuild> atr_builds;

template <InstructionSet S>
void add_builds(std::vector<FilterBuild>& filters, std::vector<MeanBuild>& means) {
    if (S > detect_instruction_set()) return;
    filters.push_back([](auto... args) { run_built_for<detail::FilterKernel, S>(args...); });
    means.push_back([](auto... args) { run_built_for<window::WindowMeanKernel, S>(args...); });
    atr_builds.push_back([](const grouped::Batch& batch, std::int64_t length, StridedView<const double> high,
                            StridedView<const double> low, StridedView<const double> close, StridedView<double> out) {
        run_built_for<atr::SideBySideAtr, S>(batch, length, high, low, close, out);
    });
}

int main() {
    use_instruction_set(detect_instruction_set());  // as an import does: range_filter_rows runs the widest
    std::vector<FilterBuild> filters;
    std::vector<MeanBuild> means;
    add_builds<InstructionSet::baseline>(filters, means);
#ifdef ORNIVEX_X86_BUILDS
    add_builds<InstructionSet::avx2>(filters, means);
    add_builds<InstructionSet::avx512>(filters, means);
#endif
    const index_t n = 1500;
    int mismatches = 0;
    for (int seed = 0; seed < 200; ++seed) {
        std::mt19937_64 gen(seed);
        std::vector<double> x(n), r(n);
        double level = 0.0;
        for (index_t i = 0; i < n; ++i) {
            x[i] = level += 0.5 * (static_cast<double>(gen() % 5) - 2.0);
            r[i] = 0.5 * static_cast<double>(gen() % 4);
            if (gen() % 200 == 0) x[i] = NAN;
            if (gen() % 300 == 0) x[i] = INFINITY;
            if (gen() % 100 == 0) x[i] = -0.0;
            if (gen() % 200 == 0) r[i] = -0.0;
            if (gen() % 300 == 0) r[i] = gen() % 2 ? INFINITY : -NAN;
            if (seed % 3 == 0 && i > 900) r[i] = -r[i];
            if (seed % 5 == 4 && gen() % 100 == 0) r[i] = -0.5;  // a few small negative ranges
        }
        if (seed % 4 == 1) std::fill(r.begin(), r.begin() + gen() % 600, NAN);  // the lead-in of a real range
        if (seed % 8 == 2) x[0] = NAN;
        const StridedView<const double> xs{reinterpret_cast<const char*>(x.data()), sizeof(double), n};
        const StridedView<const double> rs{reinterpret_cast<const char*>(r.data()), sizeof(double), n};
        const auto outputs = [n](std::vector<double>& rows) {
            const auto row = [&](index_t k) { return StridedView<double>{reinterpret_cast<char*>(rows.data() + k * n), 8, n}; };
            return swing::FilterOutputs{row(2), row(0), row(1)};
        };
        std::vector<double> rule(3 * n, 0.0);
        swing::range_filter_in_arrays(xs, rs, outputs(rule), swing::nan_to_zero);
        for (FilterBuild filter : filters) {
            std::vector<double> rows(3 * n, 0.0);
            swing::range_filter_rows(xs, rs, rows.data());  // bar 0, and the route this processor takes
            filter(xs, rs, outputs(rows), 1, swing::filter_start(x[0]));
            mismatches += std::memcmp(rule.data(), rows.data(), rows.size() * sizeof(double)) != 0;
        }

        // Eleven groups of unequal lengths (lanes, a remainder, tails) over the same bars: highs and
        // lows the prices plus and minus the ranges, NaN, infinite, negative and zero of either sign.
        {
            std::vector<double> high(n), low(n);
            for (index_t i = 0; i < n; ++i) {
                high[i] = x[i] + r[i];
                low[i] = x[i] - r[i];
            }
            std::vector<index_t> bounds{0};
            while (bounds.back() < n) bounds.push_back(std::min<index_t>(n, bounds.back() + 1 + gen() % 250));
            std::vector<index_t> rows(static_cast<std::size_t>(n));
            const grouped::Batch batch{rows.data(), bounds};
            const auto view = [n](const std::vector<double>& v) {
                return StridedView<const double>{reinterpret_cast<const char*>(v.data()), sizeof(double), n};
            };
            const std::int64_t length = 1 + static_cast<std::int64_t>(gen() % 20);
            std::vector<double> alone(n);
            for (index_t j = 0; j < batch.size(); ++j) {
                const auto group = [&](auto v) { return part(v, batch.begin(j), batch.length(j)); };
                atr::AtrStream(length).extend(group(view(high)), group(view(low)), group(xs),
                                                 group(StridedView<double>{reinterpret_cast<char*>(alone.data()), 8, n}));
            }
            for (AtrBuild atr : atr_builds) {
                std::vector<double> side_by_side(n);
                atr(batch, length, view(high), view(low), xs,
                    StridedView<double>{reinterpret_cast<char*>(side_by_side.data()), 8, n});
                mismatches += std::memcmp(alone.data(), side_by_side.data(), n * sizeof(double)) != 0;
            }
        }

        const StridedView<const double> series = xs;
        for (index_t period : {0, 1, 2, 3, 7, 14, 27, 100, 513}) {
            const index_t count = n - period + 1;
            std::vector<double> scratch(static_cast<std::size_t>(window::scratch_size(period)));
            const auto run_mean = [&](MeanBuild mean) {
                std::vector<double> out(static_cast<std::size_t>(count));
                mean(series, period, swing::window_weight(period), {reinterpret_cast<char*>(out.data()), 8, count},
                     scratch.data());
                return out;
            };
            const std::vector<double> base = run_mean(means[0]);
            for (std::size_t k = 1; k < means.size(); ++k)
                mismatches += std::memcmp(base.data(), run_mean(means[k]).data(), base.size() * sizeof(double)) != 0;
            if (seed % 20 != 0) continue;
            // One window at a time, as a one-bar caller meets them.
            for (index_t i = 0; i < count; ++i) {
                const double one = swing::mean_of_window(x.data() + i, period, swing::window_weight(period));
                mismatches += std::memcmp(&one, &base[static_cast<std::size_t>(i)], sizeof one) != 0;
            }
        }
    }
    std::printf("%d\n", mismatches);
    return 0;
}
