// Nanoseconds per row of ornivex._grouped's halftrend over a long table of
// 2,000 symbols x 1,000 bars, by step: the counting sort by symbol, taking
// the prices (gathered, or read in place), putting the results back, and the
// whole pass (average true range or a given tr, the fused HalfTrend kernel,
// the trend).  Two layouts: interleaved (a table in time order: each bar
// lists every symbol) and sorted by symbol and time (each symbol's rows one
// run, read and written in place).  The table's memory is taken as NumPy
// takes a large array (huge pages where the system grants them); result
// columns are written again each round, so their first-touch cost (paid in a
// Python call) is not counted here.  Best of 7 rounds, wall time.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/grouped_pass.cpp -o /tmp/grouped_pass && /tmp/grouped_pass [threads]

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "ornivex/grouped/panel.hpp"
#include "ornivex/grouped/work.hpp"

namespace {

using namespace ornivex;
using namespace ornivex::grouped;

constexpr index_t symbols = 2000, bars = 1000, rows = symbols * bars;

// n elements in memory advised for huge pages, as NumPy's large arrays are.
template <class T>
class Column {
public:
    explicit Column(index_t n) : n_(n) {
        bytes_ = ((n * sizeof(T)) | ((1 << 21) - 1)) + 1;
        data_ = static_cast<T*>(mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (data_ == MAP_FAILED) std::abort();
        madvise(data_, bytes_, MADV_HUGEPAGE);
        std::fill_n(data_, n, T{});
    }
    ~Column() { munmap(data_, bytes_); }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;

    T& operator[](index_t i) noexcept { return data_[i]; }
    StridedView<T> view() noexcept { return {reinterpret_cast<char*>(data_), sizeof(T), n_}; }
    StridedView<const T> read() const noexcept { return {reinterpret_cast<const char*>(data_), sizeof(T), n_}; }

private:
    T* data_;
    index_t n_;
    std::size_t bytes_;
};

double best_ms(const std::function<void()>& run) {
    double best = 1e9;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void measure(bool interleaved, index_t threads) {
    Column<double> high(rows), low(rows), close(rows), tr(rows);
    Column<std::int64_t> codes(rows);
    std::mt19937_64 random(1);
    std::normal_distribution<double> step(0, 0.02);
    for (index_t s = 0; s < symbols; ++s) {
        double price = 50;
        for (index_t t = 0; t < bars; ++t) {
            const index_t row = interleaved ? t * symbols + s : s * bars + t;
            price *= std::exp(step(random));
            close[row] = price;
            high[row] = price * 1.01;
            low[row] = price * 0.99;
            tr[row] = price * 0.02;
            codes[row] = s;
        }
    }
    Column<float> lines[6]{Column<float>(rows), Column<float>(rows), Column<float>(rows),
                           Column<float>(rows), Column<float>(rows), Column<float>(rows)};
    Column<std::int64_t> buy(rows), sell(rows);
    Column<std::int8_t> trend(rows), signal(rows);
    const HalftrendColumns out{{lines[0].view(), lines[1].view(), lines[2].view(), lines[3].view(), lines[4].view(),
                                buy.view(), sell.view()},
                               trend.view(),
                               lines[5].view(),
                               signal.view()};
    const BadRowsSeen bad;
    const DressLater dress_later;
    const auto work = [&](StridedView<const double> given) {
        return HalftrendWork{high.read(), low.read(), close.read(), given,  {}, 2, 2.0, 100,
                             Promotion::weak_float32, out, bad, dress_later};
    };
    RowGroups groups;
    // A whole pass as the module runs it: the groups, then the rows' dressing.
    const auto pass = [&](StridedView<const double> given) {
        const HalftrendWork w = work(given);
        for_each_batch<HalftrendWork::Scratch>(groups, threads, w);
        if (dress_later.needed()) w.dress_rows(threads);
    };
    const double sort = best_ms([&] { group_rows(codes.read(), symbols, threads, groups, is_panel(codes.read(), symbols, threads)); });
    std::vector<float> taken[3];
    const double take = best_ms([&] {
        for_each_batch<HalftrendWork::Scratch>(groups, threads, [&](const Batch& batch, HalftrendWork::Scratch&) {
            const Placement at(batch);
            at.read(high.read(), taken[0]), at.read(low.read(), taken[1]), at.read(close.read(), taken[2]);
        });
    });
    // What a batch of scattered rows puts back (what the rest follows from), then every row dressed.
    const double put_back = best_ms([&] {
        for_each_batch<HalftrendWork::Scratch>(groups, threads, [&](const Batch& batch, HalftrendWork::Scratch& s) {
            const Placement at(batch);
            const auto pair = [&](auto column, auto& scratch) { return std::pair{at.write(column, scratch), column}; };
            at.put_back(pair(out.native.halftrend, s.line[0]), pair(out.atr, s.line[5]));
            at.put_back(pair(out.trend, s.trend), pair(out.signal, s.signal));
        });
    });
    const double dress = best_ms([&] { work({}).dress_rows(threads); });
    const double with_atr = best_ms([&] { pass({}); });
    const double with_tr = best_ms([&] { pass(tr.read()); });
    const auto per_row = [](double ms) { return ms * 1e6 / rows; };
    std::printf("%-12s sort %5.1f   take prices (float32) %5.1f   put back 4 columns %5.1f   dress rows %5.1f   "
                "whole pass: average true range %5.1f, tr given %5.1f ns/row\n",
                interleaved ? "interleaved" : "sorted", per_row(sort), per_row(take), per_row(put_back), per_row(dress),
                per_row(with_atr), per_row(with_tr));
    if (!interleaved) return;
    // A table in time order with every symbol at every bar is a panel: its symbols side by side instead.
    const double panel_check = best_ms([&] { is_panel(codes.read(), symbols, threads); });
    const double side_by_side = best_ms([&] { try_panel(work({}), symbols, threads); });
    const double side_by_side_tr = best_ms([&] { try_panel(work(tr.read()), symbols, threads); });
    std::printf("%-12s panel check %5.1f   side by side: average true range %5.1f, tr given %5.1f ns/row\n", "",
                per_row(panel_check), per_row(side_by_side), per_row(side_by_side_tr));
}

}  // namespace

int main(int argc, char** argv) {
    use_instruction_set(detect_instruction_set());
    const index_t threads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    std::printf("%lld symbols x %lld bars, threads=%lld\n", static_cast<long long>(symbols),
                static_cast<long long>(bars), static_cast<long long>(threads));
    measure(true, threads);
    measure(false, threads);
}
