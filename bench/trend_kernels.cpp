// ns per element of the trend kernels beside the floor (a plain float32 loop
// of the ewma recursion: multiply, then add on the loop-carried chain) and
// beside one ewma pass from the same run.  Times are this thread's CPU time,
// best of several rounds, so load from elsewhere on a shared machine counts
// less; the kernels write into arrays that are already mapped (a Python call
// also pays for fresh result pages: bench_trend.py shows that part).
//
//   g++ -std=c++20 -O3 -ffp-contract=off -I src bench/trend_kernels.cpp -o /tmp/trend_kernels
//   /tmp/trend_kernels
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "ornivex/kernels/averages/ewma.hpp"
#include "ornivex/kernels/averages/tema3.hpp"
#include "ornivex/kernels/halftrend/fused.hpp"

using namespace ornivex;

namespace {

// The fused kernel as the module runs it (the build for this processor's
// instruction set), and its baseline build.
__attribute__((noinline)) void halftrend_as_built(const trend::halftrend::Inputs& in, index_t amplitude,
                                                  const trend::halftrend::Outputs& out) {
    const auto scratch = trend::halftrend::FusedScratch::make(std::min(amplitude, in.high.size));
    run_kernel<trend::halftrend::FusedKernel>(in, amplitude, 2.0, out, *scratch);
}

__attribute__((noinline)) void halftrend_baseline(const trend::halftrend::Inputs& in, index_t amplitude,
                                                  const trend::halftrend::Outputs& out) {
    const auto scratch = trend::halftrend::FusedScratch::make(std::min(amplitude, in.high.size));
    run_built_for<trend::halftrend::FusedKernel, InstructionSet::baseline>(in, amplitude, 2.0, out, *scratch);
}

__attribute__((noinline)) void ewma_floor(const float* x, float* out, index_t n, float a, float b) {
    float prev = x[0];
    out[0] = prev;
    for (index_t i = 1; i < n; ++i) {
        prev = a * x[i] + b * prev;
        out[i] = prev;
    }
}

// Best of several rounds, each of enough calls to take about 20 ms.
template <class F>
double ns_per_element(index_t n, F&& run) {
    const long calls = std::max<long>(1, 20'000'000 / n);
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        timespec start, stop;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        for (long c = 0; c < calls; ++c) run();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stop);
        const double took = 1e9 * static_cast<double>(stop.tv_sec - start.tv_sec) +
                            static_cast<double>(stop.tv_nsec - start.tv_nsec);
        best = std::min(best, took / static_cast<double>(calls * n));
    }
    return best;
}

template <class T>
StridedView<T> view(std::vector<std::remove_const_t<T>>& v) {
    return {reinterpret_cast<typename StridedView<T>::byte_pointer>(v.data()),
            static_cast<index_t>(sizeof(T)), static_cast<index_t>(v.size())};
}

}  // namespace

int main() {
    std::printf("%9s %-22s %8s %8s %8s\n", "n", "kernel", "ns/elem", "x floor", "x ewma");
    for (const index_t n : {index_t{1000}, index_t{100000}, index_t{1000000}}) {
        std::mt19937 gen(42);
        std::normal_distribution<float> step;
        std::vector<float> high(n), low(n), close(n), tr(n), out(n);
        float price = 100.0f;
        for (index_t i = 0; i < n; ++i) {
            price += step(gen);
            const float spread = 0.5f + std::abs(step(gen));
            high[i] = price + spread;
            low[i] = price - spread;
            close[i] = price + 0.5f * spread * step(gen);
            tr[i] = 2.0f * spread;
        }
        std::vector<float> line(n), atr_high(n), atr_low(n), arrow_up(n), arrow_down(n);
        std::vector<std::int64_t> buy(n), sell(n);
        const trend::halftrend::Inputs in{view<const float>(high), view<const float>(low),
                                        view<const float>(close), view<const float>(tr)};
        const trend::halftrend::Outputs ht{view<float>(line),       view<float>(atr_high),
                                         view<float>(atr_low),    view<float>(arrow_up),
                                         view<float>(arrow_down), view<std::int64_t>(buy),
                                         view<std::int64_t>(sell)};
        constexpr auto weak = Promotion::weak_float32;

        const double floor = ns_per_element(n, [&] { ewma_floor(close.data(), out.data(), n, 0.4f, 0.6f); });
        const double ewma =
            ns_per_element(n, [&] { trend::ewma<weak>(view<const float>(close), view<float>(out), 0.4); });
        auto report = [&](const char* name, double ns) {
            std::printf("%9td %-22s %8.2f %8.2f %8.2f\n", n, name, ns, ns / floor, ns / ewma);
        };
        report("floor (plain loop)", floor);
        report("ewma", ewma);
        report("ewma legacy_double", ns_per_element(n, [&] {
                   trend::ewma<Promotion::legacy_double>(view<const float>(close), view<float>(out), 0.4);
               }));
        report("tema3 fused", ns_per_element(n, [&] { trend::tema3<weak>(view<const float>(close), view<float>(out), 4.0); }));
        for (const index_t amplitude : {index_t{2}, index_t{50}, index_t{500}}) {
            char name[32];
            std::snprintf(name, sizeof name, "halftrend fused a=%td", amplitude);
            report(name, ns_per_element(n, [&] { halftrend_as_built(in, amplitude, ht); }));
        }
        report("  a=2, baseline only", ns_per_element(n, [&] { halftrend_baseline(in, 2, ht); }));
    }
}
