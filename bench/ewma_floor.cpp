// The floor for ewma: the recursion y = a*x + b*y in float32, written into an
// existing buffer.  Its speed is bounded by the latency of one multiply and
// one add on the loop-carried chain.  Prints nanoseconds per element.
//
//   g++ -O2 -ffp-contract=off bench/ewma_floor.cpp -o /tmp/ewma_floor && /tmp/ewma_floor 1000000
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

__attribute__((noinline)) void recursion(const float* x, float* y, long n, float a, float b) {
    float prev = x[0];
    y[0] = prev;
    for (long i = 1; i < n; ++i) {
        prev = a * x[i] + b * prev;
        y[i] = prev;
    }
}

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
    std::vector<float> x(n), y(n);
    for (long i = 0; i < n; ++i) x[i] = static_cast<float>((i * 7919) % 1000) * 0.01f;
    double best = 1e30;
    for (int repeat = 0; repeat < 20; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        recursion(x.data(), y.data(), n, 0.1f, 0.9f);
        const auto stop = std::chrono::steady_clock::now();
        const double ns = std::chrono::duration<double, std::nano>(stop - start).count() / n;
        if (ns < best) best = ns;
    }
    std::printf("%.4f\n", best + 0 * y[n - 1]);
    return 0;
}
