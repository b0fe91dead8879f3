// halftrend one bar at a time (halftrend_step) gives the fused pass's bits on
// random bars with NaN, infinities and signed zeros, for windows either side
// of the per-block scan and series across block edges; so does the stream fed
// random chunks (short ones bar by bar, long ones through the resumed fused
// pass), and it ends in the same state.  Prints the number of mismatching runs.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "ornivex/kernels/halftrend/fused.hpp"
#include "ornivex/stream/state/halftrend.hpp"

using namespace ornivex;
using namespace ornivex::trend::halftrend;

template <class T>
StridedView<T> view(std::vector<std::remove_const_t<T>>& v) {
    return {reinterpret_cast<typename StridedView<T>::byte_pointer>(v.data()), static_cast<index_t>(sizeof(T)),
            static_cast<index_t>(v.size())};
}

// The same bits, or both NaN: a NaN's sign and payload in the smoothing
// stages depend on operand order and never reach a result.
bool same_value(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

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

        ornivex::stream::HalfTrendStream chunked(amplitude, deviation);
        for (index_t start = 0; start < n;) {
            const index_t sizes[] = {1, 7, 40, amplitude, amplitude + 5, 600};
            const index_t length = std::min(n - start, sizes[gen() % 6]);
            std::vector<float> part[4];
            std::vector<float> floats[5];
            std::vector<std::int64_t> signals[2];
            for (auto& v : floats) v.resize(length);
            for (auto& v : signals) v.resize(length);
            for (int c = 0; c < 4; ++c) {
                const std::vector<float>& column = c == 0 ? high : c == 1 ? low : c == 2 ? close : tr;
                part[c].assign(column.begin() + start, column.begin() + start + length);
            }
            chunked.extend<Promotion::weak_float32>(
                {view<const float>(part[0]), view<const float>(part[1]), view<const float>(part[2]),
                 view<const float>(part[3])},
                {floats[0].data(), floats[1].data(), floats[2].data(), floats[3].data(), floats[4].data(),
                 signals[0].data(), signals[1].data()});
            const std::vector<float>* batch[] = {&line, &atr_high, &atr_low, &arrow_up, &arrow_down};
            for (int c = 0; c < 5; ++c)
                same = same && std::memcmp(floats[c].data(), batch[c]->data() + start, length * sizeof(float)) == 0;
            same = same && std::equal(signals[0].begin(), signals[0].end(), buy.begin() + start) &&
                   std::equal(signals[1].begin(), signals[1].end(), sell.begin() + start);
            start += length;
        }
        const HalfTrendState& s = chunked.state();
        const float ends[] = {s.trend.max_low_price, s.trend.min_high_price, s.line, s.high, s.low, s.high_price,
                              s.low_price, s.smoothing.e1[0], s.smoothing.e2[1], s.smoothing.e3[0], s.smoothing.e4[1],
                              s.window.highest(), s.window.lowest()};
        const float stepped[] = {state.trend.max_low_price, state.trend.min_high_price, state.line, state.high,
                                 state.low, state.high_price, state.low_price, state.smoothing.e1[0],
                                 state.smoothing.e2[1], state.smoothing.e3[0], state.smoothing.e4[1],
                                 state.window.highest(), state.window.lowest()};
        for (int k = 0; k < 13; ++k) same = same && same_value(ends[k], stepped[k]);
        same = same && s.bars == state.bars && s.trend.phase == state.trend.phase &&
               s.window.size() == state.window.size();
        for (index_t k = 0; same && k < s.window.size(); ++k)
            same = same_value(s.window.high(k), state.window.high(k)) &&
                   same_value(s.window.low(k), state.window.low(k));
        if (!same) std::fprintf(stderr, "seed %d: n %ld amplitude %ld\n", seed, long(n), long(amplitude));
        mismatches += !same;
    }
    std::printf("%d\n", mismatches);
    return 0;
}
