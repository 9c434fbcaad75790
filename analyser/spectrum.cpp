#include "spectrum.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>

namespace {

constexpr double kPi = 3.141592653589793;
// 4-term Blackman-Harris (Harris 1978, "minimum 4-term", sidelobes -92 dB).
constexpr double kA0 = 0.35875, kA1 = 0.48829, kA2 = 0.14128, kA3 = 0.01168;
constexpr int kScallopSteps = 16;

double Window(size_t n, size_t size) {
    const double x = 2 * kPi * static_cast<double>(n) / static_cast<double>(size);
    return kA0 - kA1 * std::cos(x) + kA2 * std::cos(2 * x) - kA3 * std::cos(3 * x);
}

} // namespace

// In single precision, where FFmpeg's transform has its SIMD code: the tone is taken out before
// a path's spectrum is read, so what is left spans far less than float's 140 dB.
struct CSpectrum::Transform {
    AVTXContext* context = nullptr;
    av_tx_fn function = nullptr;
    // FFmpeg's own allocations, aligned as its SIMD code needs.
    float* in = nullptr;
    AVComplexFloat* out = nullptr;
    ~Transform() {
        av_tx_uninit(&context);
        av_free(in);
        av_free(out);
    }
};

CSpectrum::CSpectrum(size_t size) : m_size(size), m_transform(std::make_unique<Transform>()) {
    SetWindow(size);
    // The window's response a fraction of a bin off a sine, relative to on it: its shape in bins
    // does not depend on the length, so a short copy of it gives the table.
    constexpr size_t kShape = 256;
    double onBin = 0;
    for (size_t n = 0; n < kShape; ++n) {
        onBin += Window(n, kShape);
    }
    for (int step = 0; step <= kScallopSteps; ++step) {
        const double offset = 0.5 * step / kScallopSteps;
        std::complex<double> sum = 0;
        for (size_t n = 0; n < kShape; ++n) {
            sum += Window(n, kShape) *
                   std::polar(1.0, -2 * kPi * offset * static_cast<double>(n) / kShape);
        }
        m_scallop.push_back(std::abs(sum) / onBin);
    }
    float scale = 1.0F;
    if (av_tx_init(&m_transform->context, &m_transform->function, AV_TX_FLOAT_RDFT, 0,
                   static_cast<int>(size), &scale, 0) < 0) {
        throw std::runtime_error("FFmpeg's FFT could not be set up");
    }
    m_transform->in = static_cast<float*>(av_malloc(size * sizeof(float)));
    m_transform->out =
        static_cast<AVComplexFloat*>(av_malloc((size / 2 + 1) * sizeof(AVComplexFloat)));
    if (m_transform->in == nullptr || m_transform->out == nullptr) {
        throw std::runtime_error("out of memory for the FFT");
    }
    m_power.resize(size / 2 + 1);
}

CSpectrum::~CSpectrum() = default;

void CSpectrum::SetWindow(size_t length) {
    // The windows of the lengths asked for are kept: the tracker asks for two in turn.
    for (const auto& kept : m_windows) {
        if (kept.window.size() == length) {
            m_window = kept.window;
            m_windowSum = kept.sum;
            m_windowSquares = kept.squares;
            m_padding =
                static_cast<double>(m_size) / static_cast<double>(std::max<size_t>(1, length));
            return;
        }
    }
    m_window.resize(length);
    m_windowSum = 0;
    m_windowSquares = 0;
    for (size_t n = 0; n < length; ++n) {
        m_window[n] = Window(n, length);
        m_windowSum += m_window[n];
        m_windowSquares += m_window[n] * m_window[n];
    }
    m_padding = static_cast<double>(m_size) / static_cast<double>(std::max<size_t>(1, length));
    if (m_windows.size() < 4) {
        m_windows.push_back({m_window, m_windowSum, m_windowSquares});
    }
}

void CSpectrum::Compute(const double* samples, size_t count, double rate) {
    m_binHz = rate / static_cast<double>(m_size);
    const size_t used = std::min(count, m_size);
    const double* from = samples + (count - used);
    if (m_window.size() != used) {
        SetWindow(used); // a short stretch: its own window, zero-padded to the transform
    }
    // The mean as the window weighs it: what is left of DC then has no lobe of its own.
    double mean = 0;
    for (size_t i = 0; i < used; ++i) {
        mean += from[i] * m_window[i];
    }
    mean = m_windowSum > 0 ? mean / m_windowSum : 0;
    float* in = m_transform->in;
    std::fill(in + used, in + m_size, 0.0F);
    for (size_t i = 0; i < used; ++i) {
        in[i] = static_cast<float>((from[i] - mean) * m_window[i]);
    }
    m_transform->function(m_transform->context, m_transform->out, in, sizeof(float));
    // FFmpeg's real transform writes every bin but the imaginary part of the last (Nyquist),
    // zero by definition: left as it was, that bin held whatever the memory last held.
    m_transform->out[m_size / 2].im = 0;
    for (size_t k = 0; k < m_power.size(); ++k) {
        const double re = m_transform->out[k].re, im = m_transform->out[k].im;
        m_power[k] = re * re + im * im;
    }
}

size_t CSpectrum::PeakBin(double fromHz, double toHz) const {
    const size_t first = std::max<size_t>(1, static_cast<size_t>(std::ceil(fromHz / m_binHz)));
    const size_t last = std::min(m_power.size() - 2, static_cast<size_t>(toHz / m_binHz));
    size_t best = 0;
    for (size_t k = first; k <= last; ++k) {
        if (best == 0 || m_power[k] > m_power[best]) {
            best = k;
        }
    }
    return best;
}

namespace {

// The peak's offset from bin k (-0.5 to 0.5) from the parabola through the log powers.
double Offset(const std::vector<double>& power, size_t k) {
    if (k == 0 || k + 1 >= power.size() || power[k] <= 0) {
        return 0;
    }
    const double a = std::log(std::max(power[k - 1], 1e-300));
    const double b = std::log(power[k]);
    const double c = std::log(std::max(power[k + 1], 1e-300));
    const double denominator = a - 2 * b + c;
    if (denominator >= 0) {
        return 0;
    }
    return std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
}

} // namespace

double CSpectrum::PeakHz(size_t bin) const {
    return (static_cast<double>(bin) + Offset(m_power, bin)) * m_binHz;
}

double CSpectrum::Amplitude(double hz) const {
    const auto centre = static_cast<size_t>(std::llround(hz / m_binHz));
    if (centre < 1 || centre + 2 >= m_power.size()) {
        return 0;
    }
    size_t best = centre;
    for (size_t k = centre - 1; k <= centre + 1; ++k) {
        best = m_power[k] > m_power[best] ? k : best;
    }
    const double offset = std::abs(Offset(m_power, best)) / m_padding;
    const double at = offset * 2 * kScallopSteps;
    const auto step = std::min<size_t>(static_cast<size_t>(at), kScallopSteps - 1);
    const double fraction = at - static_cast<double>(step);
    const double response = m_scallop[step] + (m_scallop[step + 1] - m_scallop[step]) * fraction;
    return 2 * std::sqrt(m_power[best]) / (m_windowSum * response);
}

double CSpectrum::SinePower(double amplitude) const {
    const double bin = 0.5 * amplitude * m_windowSum;
    return bin * bin;
}

double CSpectrum::ResidualMeanSquare(const std::vector<double>& excludedHz, double halfWidthHz,
                                     double lowHz, const std::vector<double>* weight) const {
    std::vector<bool> excluded(m_power.size(), false);
    for (const double hz : excludedHz) {
        const double from = std::max(0.0, (hz - halfWidthHz) / m_binHz);
        const double to = (hz + halfWidthHz) / m_binHz;
        for (auto k = static_cast<size_t>(std::ceil(from));
             k < excluded.size() && static_cast<double>(k) <= to; ++k) {
            excluded[k] = true;
        }
    }
    double kept = 0, keptGain = 0, allGain = 0;
    const auto first = static_cast<size_t>(std::ceil(lowHz / m_binHz));
    for (size_t k = std::max<size_t>(first, 1); k + 1 < m_power.size(); ++k) {
        const double g = weight != nullptr ? (*weight)[k] * (*weight)[k] : 1.0;
        allGain += g;
        if (!excluded[k]) {
            kept += m_power[k] * g;
            keptGain += g;
        }
    }
    if (keptGain <= 0) {
        return 0;
    }
    // Parseval for the windowed one-sided spectrum: the mean square is twice the sum of the bins
    // over the transform's length times the window's energy.
    return 2 * kept * (allGain / keptGain) / (static_cast<double>(m_size) * m_windowSquares);
}

double CSpectrum::LocalNoise(double hz, double nearHz, double farHz) const {
    std::vector<double> around;
    for (const double side : {-1.0, 1.0}) {
        for (double f = hz + side * nearHz; side * (f - hz) <= farHz; f += side * m_binHz) {
            const auto k = static_cast<size_t>(std::llround(f / m_binHz));
            if (f > 0 && k >= 1 && k + 1 < m_power.size()) {
                around.push_back(m_power[k]);
            }
        }
    }
    if (around.empty()) {
        return 0;
    }
    std::nth_element(around.begin(),
                     around.begin() + static_cast<std::ptrdiff_t>(around.size() / 2), around.end());
    return around[around.size() / 2];
}

double Bs468Gain(double hz) {
    // The curve's closed form (the response of BS.468's weighting network), with the gain that
    // puts 1 kHz at 0 dB.
    const double f = hz, f2 = f * f, f3 = f2 * f, f4 = f2 * f2, f5 = f4 * f, f6 = f3 * f3;
    const double h1 =
        -4.737338981378384e-24 * f6 + 2.043828333606125e-15 * f4 - 1.363894795463638e-07 * f2 + 1;
    const double h2 =
        1.306612257412824e-19 * f5 - 2.118150887518656e-11 * f3 + 5.559488023498642e-04 * f;
    const double r = 1.246332637532143e-4 * f / std::hypot(h1, h2);
    return r * std::pow(10.0, 18.2 / 20.0);
}
