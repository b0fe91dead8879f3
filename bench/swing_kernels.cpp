// Nanoseconds per bar of the swing kernels, each built for every instruction
// set this processor runs (2 lanes, AVX2's 4, AVX-512's 8), beside a float32
// EWMA recursion (one multiply and one add on the loop-carried chain) as the
// floor that any per-bar recursion pays.  A kernel's last column is the
// build an import picks here (the widest set the processor runs, or the
// kernel's cap).  The whole passes reach their kernels through run_kernel, so
// their columns are the set an import chooses, each kernel capped as it is.
// Every figure is the best of several rounds of this thread's CPU time, so
// load from elsewhere on a shared machine counts less.
//
// Build with the flags the modules are built with, and run from the repository root:
//   g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -falign-functions=64 -falign-loops=64 -Isrc \
//       bench/swing_kernels.cpp -o /tmp/swing_kernels && /tmp/swing_kernels

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <vector>

#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"

namespace {

using ornivex::index_t;
using ornivex::InstructionSet;
using ornivex::StridedView;
namespace swing = ornivex::swing;
using WindowMean = swing::window_mean_detail::WindowMeanKernel;
using Filter = swing::range_filter_detail::FilterKernel;

constexpr int set_count = 3;
const char* const set_names[set_count] = {"2 lanes", "AVX2", "AVX-512"};

// One build of a kernel, kept out of line as the module's are.
template <class K, InstructionSet S, class... Args>
__attribute__((noinline)) void built_for(Args... args) {
    ornivex::run_built_for<K, S>(args...);
}

// K's build for `set`, one of those this processor runs.
template <class K, class... Args>
void run_for(InstructionSet set, Args... args) {
#ifdef ORNIVEX_X86_BUILDS
    if (set == InstructionSet::avx512) return built_for<K, InstructionSet::avx512>(args...);
    if (set == InstructionSet::avx2) return built_for<K, InstructionSet::avx2>(args...);
#endif
    built_for<K, InstructionSet::baseline>(args...);
}

// The set run_kernel<K> picks on this processor.
template <class K>
InstructionSet picked() {
    return std::min(ornivex::detect_instruction_set(), ornivex::widest_set<K>());
}

StridedView<const double> in(const std::vector<double>& v) {
    return {reinterpret_cast<const char*>(v.data()), sizeof(double), static_cast<index_t>(v.size())};
}
StridedView<double> out(std::vector<double>& v, index_t size) {
    return {reinterpret_cast<char*>(v.data()), sizeof(double), size};
}

void keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

double cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

// A named body to time, for each instruction set when `per_set` (the body
// gets the set to run), else once.  Rounds cycle through every body and
// set, so a burst of load hits them alike; each keeps its best round.
struct Case {
    const char* name;
    std::function<void(InstructionSet)> body;
    bool per_set = false;
    InstructionSet runs = ornivex::detect_instruction_set();  // the build or column an import picks, when per_set
    double best[set_count] = {1e300, 1e300, 1e300};
};

void time_cases(std::vector<Case>& cases, index_t n, int rounds) {
    const index_t calls = std::max<index_t>(1, 2'000'000 / n);
    const int sets = static_cast<int>(ornivex::detect_instruction_set()) + 1;
    for (int round = 0; round < rounds; ++round)
        for (Case& c : cases)
            for (int s = 0; s < (c.per_set ? sets : 1); ++s) {
                const auto set = static_cast<InstructionSet>(s);
                const double t0 = cpu_ns();
                for (index_t k = 0; k < calls; ++k) c.body(set);
                const double ns = cpu_ns() - t0;
                c.best[s] = std::min(c.best[s], ns / static_cast<double>(calls * n));
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
    std::vector<double> scratch(static_cast<std::size_t>(swing::window_mean_detail::scratch_size(100)));

    const auto row = [&](index_t k) { return StridedView<double>{reinterpret_cast<char*>(rows.data() + k * n), 8, n}; };
    const swing::FilterOutputs filter_rows{row(2), row(0), row(1)};
    // Whole passes run every kernel in them through run_kernel: the set is chosen as an import would.
    const auto chosen = [](InstructionSet set) { ornivex::use_instruction_set(set); };

    std::vector<Case> cases = {
        {"float32 ewma recursion (floor)", [&](InstructionSet) { ewma_f32(price32, ewma_out, 0.1f); keep(ewma_out.data()); }},
        {"window_mean period 14",
         [&](InstructionSet s) { run_for<WindowMean>(s, x, index_t{14}, w14, out(a, n - 13), scratch.data()); keep(a.data()); },
         true, picked<WindowMean>()},
        {"window_mean period 100",
         [&](InstructionSet s) { run_for<WindowMean>(s, x, index_t{100}, w100, out(a, n - 99), scratch.data()); keep(a.data()); },
         true, picked<WindowMean>()},
        {"abs_diff", [&](InstructionSet) { swing::abs_diff(x, out(a, n)); keep(a.data()); }},
        {"range_size period 14 (fused)",
         [&](InstructionSet s) { chosen(s); swing::range_size_pass(x, 14, 2.0, out(b, n)); keep(b.data()); },
         true},
        {"range_filter, clamp scan",
         [&](InstructionSet s) {
             run_for<Filter>(s, x, in(b), filter_rows, index_t{1}, swing::filter_start(x[0]));
             keep(rows.data());
         },
         true, picked<Filter>()},
        {"range_filter, the rule bar by bar",
         [&](InstructionSet) {
             swing::FilterState state = swing::filter_start(x[0]);
             swing::range_filter_detail::filter_bars(x, in(b), filter_rows, 1, n, state);
             keep(rows.data());
         }},
        {"whole swing period 14",
         [&](InstructionSet s) {
             chosen(s);
             swing::range_size_pass(x, 14, 2.0, out(b, n));
             swing::range_filter_rows(x, in(b), rows.data());
             keep(rows.data());
         },
         true},
    };
    swing::range_size_pass(x, 14, 2.0, out(b, n));  // the range the filter reads
    time_cases(cases, n, n >= 1'000'000 ? 9 : 25);
    ornivex::use_instruction_set(ornivex::detect_instruction_set());

    const double floor = cases[0].best[0];
    std::printf("n = %lld, ns/bar (x floor)%12s", static_cast<long long>(n), "");
    for (const char* name : set_names) std::printf("%16s", name);
    std::printf("   import runs\n");
    for (const Case& c : cases) {
        std::printf("  %-38s", c.name);
        for (int s = 0; s < set_count; ++s)
            if (c.best[s] < 1e300)
                std::printf("  %6.3f (%4.2fx)", c.best[s], c.best[s] / floor);
            else
                std::printf("%16s", c.per_set ? "-" : "");
        std::printf("   %s\n", c.per_set ? set_names[static_cast<int>(c.runs)] : "");
    }
}

}  // namespace

int main() {
    run(1'000);
    run(1'000'000);
}
