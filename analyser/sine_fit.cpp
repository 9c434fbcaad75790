#include "sine_fit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.141592653589793;

// Two doubles, one SSE2 register.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));

Pair LoadPair(const double* at) {
    Pair pair;
    std::memcpy(&pair, at, sizeof pair); // unaligned
    return pair;
}

} // namespace

double SineFit::Amplitude() const {
    return std::sqrt(a * a + b * b);
}

SineFit FitSine(const double* x, size_t n, int64_t first, double hz, int rate) {
    SineFit fit;
    if (n < 8 || hz <= 0) {
        return fit;
    }
    double mean = 0;
    for (size_t i = 0; i < n; ++i) {
        mean += x[i];
    }
    mean /= static_cast<double>(n);
    const double w = 2.0 * kPi * hz / rate;
    // The reference sine and cosine by rotation, by four rotators a sample apart in two pairs of
    // lanes (four samples a step, so the rotation's chain of dependent arithmetic is a quarter as
    // long), re-anchored every 4800 samples.
    Pair ss{}, sc{}, cc{}, xs{}, xc{}, xx{};
    const double step4Sin = std::sin(4 * w);
    const double step4Cos = std::cos(4 * w);
    for (size_t base = 0; base < n; base += 4800) {
        const size_t length = std::min<size_t>(4800, n - base);
        Pair s[2];
        Pair k[2];
        for (int j = 0; j < 4; ++j) {
            const double phase = w * static_cast<double>(first + static_cast<int64_t>(base) + j);
            s[j / 2][j % 2] = std::sin(phase);
            k[j / 2][j % 2] = std::cos(phase);
        }
        size_t t = 0;
        for (; t + 4 <= length; t += 4) {
            for (int h = 0; h < 2; ++h) {
                const Pair v = LoadPair(x + base + t + 2 * static_cast<size_t>(h)) - mean;
                ss += s[h] * s[h];
                sc += s[h] * k[h];
                cc += k[h] * k[h];
                xs += v * s[h];
                xc += v * k[h];
                xx += v * v;
                const Pair next = s[h] * step4Cos + k[h] * step4Sin;
                k[h] = k[h] * step4Cos - s[h] * step4Sin;
                s[h] = next;
            }
        }
        for (int j = 0; t < length; ++t, ++j) {
            const double v = x[base + t] - mean;
            const double sj = s[j / 2][j % 2];
            const double kj = k[j / 2][j % 2];
            ss[0] += sj * sj;
            sc[0] += sj * kj;
            cc[0] += kj * kj;
            xs[0] += v * sj;
            xc[0] += v * kj;
            xx[0] += v * v;
        }
    }
    const auto total = [](const Pair& q) { return q[0] + q[1]; };
    const double sumSs = total(ss), sumSc = total(sc), sumCc = total(cc);
    const double sumXs = total(xs), sumXc = total(xc), sumXx = total(xx);
    const double det = sumSs * sumCc - sumSc * sumSc;
    if (det <= 0) {
        return fit;
    }
    fit.a = (sumXs * sumCc - sumXc * sumSc) / det;
    fit.b = (sumXc * sumSs - sumXs * sumSc) / det;
    const double explained = fit.a * sumXs + fit.b * sumXc;
    fit.toneRms = std::sqrt(std::max(0.0, explained) / static_cast<double>(n));
    fit.residualRms = std::sqrt(std::max(0.0, sumXx - explained) / static_cast<double>(n));
    return fit;
}
