// Every vector width of the swing kernels gives the same bits: the 2-lane
// baseline, AVX2 and AVX-512 variants, where this processor can run them;
// and a window mean taken one window at a time gives the batch's bits.
// Grid prices and ranges make ties, zero bounds of both signs, NaN,
// infinities and negative ranges common.  Prints the number of mismatches.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "ornivex/swing_v4/kernels/range_filter.hpp"
#include "ornivex/swing_v4/kernels/window_mean.hpp"

using namespace ornivex;
namespace detail = ornivex::swing::range_filter_detail;
namespace window = ornivex::swing::window_detail;

using FilterVariant = void (*)(const double*, const double*, double*, double*, double*, index_t, index_t, double);
using MeanVariant = void (*)(StridedView<const double>, index_t, double, StridedView<double>, double*);

int main() {
    std::vector<FilterVariant> filters = {detail::filter_contiguous_portable};
    std::vector<MeanVariant> means = {window::window_mean_portable};
#ifdef ORNIVEX_SWING_X86_VARIANTS
    if (__builtin_cpu_supports("avx2")) {
        filters.push_back(detail::filter_contiguous_avx2);
        means.push_back(window::window_mean_avx2);
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        filters.push_back(detail::filter_contiguous_avx512);
    if (__builtin_cpu_supports("avx512f")) means.push_back(window::window_mean_avx512);
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
            if (seed % 3 == 0 && i > 900) r[i] = -r[i];
        }
        const auto run_filter = [&](FilterVariant filter) {
            std::vector<double> out(3 * n, 0.0);
            filter(x.data(), r.data(), out.data(), out.data() + n, out.data() + 2 * n, 1, n, x[0]);
            return out;
        };
        const std::vector<double> first = run_filter(filters[0]);
        for (std::size_t k = 1; k < filters.size(); ++k)
            mismatches += std::memcmp(first.data(), run_filter(filters[k]).data(), first.size() * sizeof(double)) != 0;

        const StridedView<const double> series{reinterpret_cast<const char*>(x.data()), sizeof(double), n};
        for (index_t period : {0, 1, 2, 3, 7, 14, 27, 100, 513}) {
            const index_t count = n - period + 1;
            std::vector<double> scratch(static_cast<std::size_t>(window::scratch_size(period)));
            const auto run_mean = [&](MeanVariant mean) {
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
