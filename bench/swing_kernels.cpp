// Nanoseconds per bar of the swing kernels, beside a float32 EWMA recursion
// (one multiply and one add on the loop-carried chain) as the floor that any
// per-bar recursion pays.  Every figure is the best of several timed runs.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/swing_kernels.cpp -o /tmp/swing_kernels && /tmp/swing_kernels

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"

namespace {

using ornivex::index_t;
using ornivex::StridedView;
namespace swing = ornivex::swing;
using ornivex::InstructionSet;
using WindowMean = swing::window_mean_detail::WindowMeanKernel;
using Filter = swing::range_filter_detail::FilterKernel;

// One build of a kernel, kept out of line as the module's are.
template <class K, InstructionSet S, class... Args>
__attribute__((noinline)) void built_for(Args... args) {
    ornivex::run_built_for<K, S>(args...);
}

StridedView<const double> in(const std::vector<double>& v) {
    return {reinterpret_cast<const char*>(v.data()), sizeof(double), static_cast<index_t>(v.size())};
}
StridedView<double> out(std::vector<double>& v, index_t size) {
    return {reinterpret_cast<char*>(v.data()), sizeof(double), size};
}

void keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

// A named body to time.  Rounds cycle through all bodies, so a burst of load
// from elsewhere on the machine hits them alike; each keeps its best round.
struct Case {
    const char* name;
    std::function<void()> body;
    double best = 1e300;
};

void time_cases(std::vector<Case>& cases, index_t n, int rounds) {
    const index_t calls = std::max<index_t>(1, 2'000'000 / n);
    for (int round = 0; round < rounds; ++round)
        for (Case& c : cases) {
            const auto t0 = std::chrono::steady_clock::now();
            for (index_t k = 0; k < calls; ++k) c.body();
            const auto t1 = std::chrono::steady_clock::now();
            const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
            c.best = std::min(c.best, ns / static_cast<double>(calls * n));
        }
}

float ewma_f32(const std::vector<float>& x, std::vector<float>& y, float alpha) {
    const float keep_part = 1.0f - alpha;
    float s = x[0];
    y[0] = s;
    for (std::size_t i = 1; i < x.size(); ++i) {
        s = keep_part * s;  // multiply ...
        s = s + alpha * x[i];  // ... then add, both on the chain
        y[i] = s;
    }
    return s;
}

void run(index_t n) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> step(0.0, 1.0);
    std::vector<double> price(static_cast<std::size_t>(n));
    double level = 100.0;
    for (double& p : price) p = level += step(gen);
    std::vector<float> price32(price.begin(), price.end()), ewma_out(price32.size());

    std::vector<double> a(price.size()), b(price.size()), rows(3 * price.size());
    const auto x = in(price);
    const double w14 = swing::window_weight(14), w100 = swing::window_weight(100);
    std::vector<double> scratch(static_cast<std::size_t>(swing::window_mean_detail::scratch_size(14)));

    const auto row = [&](index_t k) { return StridedView<double>{reinterpret_cast<char*>(rows.data() + k * n), 8, n}; };
    const swing::FilterOutputs filter_rows{row(2), row(0), row(1)};

    std::vector<Case> cases = {
        {"float32 ewma recursion", [&] { ewma_f32(price32, ewma_out, 0.1f); keep(ewma_out.data()); }},
        {"window_mean period 14", [&] { swing::window_mean(x, 14, w14, out(a, n - 13)); keep(a.data()); }},
        {"window_mean period 14, 2 lanes",
         [&] { built_for<WindowMean, InstructionSet::baseline>(x, 14, w14, out(a, n - 13), scratch.data()); keep(a.data()); }},
#ifdef ORNIVEX_X86_BUILDS
        {"window_mean period 14, 4 lanes (AVX2)",
         [&] { built_for<WindowMean, InstructionSet::avx2>(x, 14, w14, out(a, n - 13), scratch.data()); keep(a.data()); }},
#endif
        {"window_mean period 100", [&] { swing::window_mean(x, 100, w100, out(a, n - 99)); keep(a.data()); }},
        {"abs_diff", [&] { swing::abs_diff(x, out(a, n)); keep(a.data()); }},
        {"range_size period 14 (fused)", [&] { swing::range_size_pass(x, 14, 2.0, out(b, n)); keep(b.data()); }},
        {"range_filter_pass into (3, n) rows", [&] { swing::range_filter_rows(x, in(b), rows.data()); keep(rows.data()); }},
        {"range_filter, clamp scan in 2 lanes",
         [&] {
             built_for<Filter, InstructionSet::baseline>(x, in(b), filter_rows, 1, swing::filter_start(x[0]));
             keep(rows.data());
         }},
        {"range_filter, the rule bar by bar",
         [&] {
             swing::FilterState state = swing::filter_start(x[0]);
             swing::range_filter_detail::filter_bars(x, in(b), filter_rows, 1, n, state);
             keep(rows.data());
         }},
        {"whole swing period 14",
         [&] {
             swing::range_size_pass(x, 14, 2.0, out(b, n));
             swing::range_filter_rows(x, in(b), rows.data());
             keep(rows.data());
         }},
    };
    swing::range_size_pass(x, 14, 2.0, out(b, n));  // the range the filter pass reads
    time_cases(cases, n, n >= 1'000'000 ? 7 : 25);

    const double floor = cases[0].best;
    std::printf("n = %lld\n", static_cast<long long>(n));
    for (const Case& c : cases) std::printf("  %-38s %7.3f ns/bar  %5.2fx floor\n", c.name, c.best, c.best / floor);
}

}  // namespace

int main() {
    ornivex::use_instruction_set(ornivex::detect_instruction_set());
    const char* const lanes[] = {"2 lanes", "4 lanes (AVX2)", "8 lanes (AVX-512)"};
    std::printf("window_mean runs %s on this machine\n", lanes[static_cast<int>(ornivex::chosen_instruction_set())]);
    run(1'000);
    run(1'000'000);
}
