// halftrend one bar at a time (halftrend_step) gives the fused pass's bits on
// random bars with NaN, infinities and signed zeros, for windows either side
// of the per-block scan and series across block edges.  Prints the number of
// mismatching runs.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "ornivex/trend_v4/halftrend/fused.hpp"

using namespace ornivex;
using namespace ornivex::trend::halftrend;

template <class T>
StridedView<T> view(std::vector<std::remove_const_t<T>>& v) {
    return {reinterpret_cast<typename StridedView<T>::byte_pointer>(v.data()), static_cast<index_t>(sizeof(T)),
            static_cast<index_t>(v.size())};
}

int main() {
    int mismatches = 0;
    const float specials[] = {NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f};  // two NaN payloads
    for (int seed = 0; seed < 60; ++seed) {
        std::mt19937 gen(seed);
        std::normal_distribution<float> step;
        const index_t n = seed % 3 == 0 ? 1300 : 1 + static_cast<index_t>(gen() % 90);
        const index_t amplitudes[] = {1, 2, 3, 9, 128, 129, 200, 1000};
        const index_t amplitude = amplitudes[seed % 8];
        const double deviation = seed % 5 == 0 ? 0.3 : 2.0;
        std::vector<float> high(n), low(n), close(n), tr(n);
        float price = 100.0f;
        for (index_t i = 0; i < n; ++i) {
            price += seed % 4 == 1 ? std::round(step(gen)) : step(gen);  // rounded steps tie often
            high[i] = price + std::abs(step(gen));
            low[i] = price - std::abs(step(gen));
            close[i] = price + step(gen);
            tr[i] = high[i] - low[i];
            if (seed % 2 == 0 && gen() % 50 == 0) high[i] = specials[gen() % 6];
            if (seed % 2 == 0 && gen() % 50 == 0) low[i] = specials[gen() % 6];
            if (seed % 2 == 0 && gen() % 50 == 0) close[i] = specials[gen() % 6];
        }
        std::vector<float> line(n), atr_high(n), atr_low(n), arrow_up(n), arrow_down(n);
        std::vector<std::int64_t> buy(n), sell(n);
        const Inputs in{view<const float>(high), view<const float>(low), view<const float>(close),
                        view<const float>(tr)};
        const Outputs out{view<float>(line),       view<float>(atr_high),        view<float>(atr_low),
                          view<float>(arrow_up),   view<float>(arrow_down),      view<std::int64_t>(buy),
                          view<std::int64_t>(sell)};
        const auto scratch = FusedScratch::make(std::min(amplitude, n));
        fused_pass<Promotion::weak_float32>(in, amplitude, deviation, out, *scratch);

        const HalfTrendParams<Promotion::weak_float32> params(amplitude, deviation);
        HalfTrendState state(amplitude);
        bool same = true;
        for (index_t i = 0; i < n; ++i) {
            const HalfTrendBar b = halftrend_step(state, high[i], low[i], close[i], tr[i], params);
            const float floats[] = {b.halftrend, b.atr_high, b.atr_low, b.arrow_up, b.arrow_down};
            const float batch[] = {line[i], atr_high[i], atr_low[i], arrow_up[i], arrow_down[i]};
            same = same && std::memcmp(floats, batch, sizeof floats) == 0 && b.buy == buy[i] && b.sell == sell[i];
        }
        mismatches += !same;
    }
    std::printf("%d\n", mismatches);
    return 0;
}
