// Test signals made from their definitions: sines, white noise from a seeded Gaussian generator,
// pink noise by Voss-McCartney (the sum of octave-spaced random steps, 1/f within 0.5 dB), mains
// hum with its harmonics, and the channels of a recording put together from them.
#pragma once

#include "analyser.h"

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace signals {

constexpr double kPi = 3.141592653589793;
constexpr double kLineUp = 0.125893; // -18 dBFS peak

inline double Db(double linear) {
    return 20 * std::log10(linear);
}

inline double FromDb(double db) {
    return std::pow(10.0, db / 20);
}

// n samples of a sine at `hz`, `amplitude` peak, starting at phase `phase`.
inline std::vector<double> Sine(size_t n, int rate, double hz, double amplitude, double phase = 0) {
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) {
        x[i] = amplitude * std::sin(2 * kPi * hz * static_cast<double>(i) / rate + phase);
    }
    return x;
}

inline double Rms(const std::vector<double>& x) {
    double sum = 0;
    for (const double v : x) {
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(x.size()));
}

inline std::vector<double> Scaled(std::vector<double> x, double rms) {
    const double gain = rms / Rms(x);
    for (double& v : x) {
        v *= gain;
    }
    return x;
}

// Gaussian white noise of exactly `rms`.
inline std::vector<double> White(size_t n, double rms, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x) {
        v = gauss(random);
    }
    return Scaled(std::move(x), rms);
}

// Pink noise of exactly `rms`: 16 random rows, row k changing every 2^k samples.
inline std::vector<double> Pink(size_t n, double rms, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> rows(
        11); // the slowest changes every 1024 samples: 1/f down to 23 Hz at 48 kHz
    for (double& r : rows) {
        r = uniform(random);
    }
    double sum = 0;
    for (const double r : rows) {
        sum += r;
    }
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) {
        // The row whose bit flips at i: the count of trailing zeros.
        const size_t k = i == 0 ? 0 : static_cast<size_t>(__builtin_ctzll(i)) % rows.size();
        const double next = uniform(random);
        sum += next - rows[k];
        rows[k] = next;
        x[i] = sum + uniform(random);
    }
    return Scaled(std::move(x), rms);
}

// Mains hum: the fundamental at `amplitude` peak, the 2nd at -10.5 dB, 3rd -6 dB, 5th -14 dB.
inline std::vector<double> MainsHum(size_t n, int rate, double mains, double amplitude) {
    std::vector<double> x(n, 0.0);
    const double parts[][3] = {{1, 1.0, 0.3}, {2, 0.3, 0}, {3, 0.5, 1}, {5, 0.2, 0}};
    for (const auto& part : parts) {
        const std::vector<double> h = Sine(n, rate, mains * part[0], amplitude * part[1], part[2]);
        for (size_t i = 0; i < n; ++i) {
            x[i] += h[i];
        }
    }
    return x;
}

inline void Add(std::vector<double>& to, const std::vector<double>& x, double gain = 1) {
    for (size_t i = 0; i < to.size() && i < x.size(); ++i) {
        to[i] += gain * x[i];
    }
}

// The EBU stereo ident's left leg (EBU R49's 250 ms gap every 3 s): the tone muted in its gaps.
inline void R49Gaps(std::vector<double>& x, int rate) {
    for (size_t i = 0; i < x.size(); ++i) {
        const double t = std::fmod(static_cast<double>(i) / rate, 3.0);
        x[i] = t < 0.25 ? 0.0 : x[i];
    }
}

// The channels through the analyser, 100 ms at a time with a report a second, as the program
// feeds it; the last report.
inline AnalysisReport Analyse(const std::vector<std::vector<double>>& channels, int rate,
                              double dbuOffset = 18.0) {
    CAnalyser analyser(static_cast<int>(channels.size()), rate, dbuOffset);
    const size_t n = channels[0].size();
    const size_t block = static_cast<size_t>(rate / 10);
    std::vector<double> interleaved;
    for (size_t at = 0; at < n; at += block) {
        const size_t count = std::min(block, n - at);
        interleaved.clear();
        for (size_t i = at; i < at + count; ++i) {
            for (const std::vector<double>& c : channels) {
                interleaved.push_back(c[i]);
            }
        }
        analyser.Add(interleaved.data(), count);
        if ((at + count) % static_cast<size_t>(rate) == 0) {
            analyser.Analyse();
        }
    }
    return analyser.Analyse();
}

} // namespace signals
