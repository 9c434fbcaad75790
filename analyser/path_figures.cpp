#include "path_figures.h"

#include "sine_fit.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHeardDb = 20;    // a component this far over the noise in its own bins (a noise
                                   // bin passes 10 dB one time in a thousand, 20 dB never)
constexpr double kQuietest = 1e-6; // -120 dBFS: nothing under it is named
constexpr double kBinsAside = 6;   // a component's own bins (the window's main lobe and more)
constexpr int kHarmonics = 10;     // the tone's, set aside from the noise
constexpr int kHumHarmonics = 5;
constexpr double kLowestHz = 10; // DC's own bins

size_t PowerOfTwoWithin(size_t n) {
    size_t size = 1;
    while (size * 2 <= n) {
        size *= 2;
    }
    return size;
}

} // namespace

double Decibels(double linear) {
    return linear > 0 ? 20.0 * std::log10(linear) : -200.0;
}

CPathMeter::CPathMeter(int rate)
    : m_rate(rate), m_spectrum(PowerOfTwoWithin(static_cast<size_t>(rate))) {
    const double binHz = static_cast<double>(rate) / static_cast<double>(m_spectrum.Size());
    m_weight468.resize(m_spectrum.Size() / 2 + 1);
    for (size_t k = 0; k < m_weight468.size(); ++k) {
        m_weight468[k] = Bs468Gain(static_cast<double>(k) * binHz);
    }
}

PathFigures CPathMeter::Measure(const std::vector<double>& second, int64_t first, int channel,
                                double hz, double level, const std::vector<OtherTone>& others) {
    PathFigures figures;
    if (second.empty() || hz <= 0 || level <= 0) {
        return figures;
    }
    const SineFit fit = FitSine(second.data(), second.size(), first, hz, m_rate);
    if (fit.toneRms > 0) {
        figures.thdnDb = 20.0 * std::log10(std::max(fit.residualRms, 1e-12) / fit.toneRms);
    }
    // The tone taken out before the spectrum is read, so its window's leakage does not stand for
    // a noise floor 90 dB under it.
    m_residual.resize(second.size());
    const double w = 2.0 * kPi * hz / m_rate;
    double mean = 0;
    for (const double x : second) {
        mean += x;
    }
    mean /= static_cast<double>(second.size());
    for (size_t base = 0; base < second.size(); base += 4800) {
        const double phase = w * static_cast<double>(first + static_cast<int64_t>(base));
        double sinv = std::sin(phase), cosv = std::cos(phase);
        const double stepSin = std::sin(w), stepCos = std::cos(w);
        for (size_t i = base; i < std::min(second.size(), base + 4800); ++i) {
            m_residual[i] = second[i] - mean - (fit.a * sinv + fit.b * cosv);
            const double next = sinv * stepCos + cosv * stepSin;
            cosv = cosv * stepCos - sinv * stepSin;
            sinv = next;
        }
    }
    m_spectrum.Compute(m_residual.data(), m_residual.size(), m_rate);
    const double bin = m_spectrum.BinHz();
    const double aside = kBinsAside * bin;
    const double nyquist = 0.5 * m_rate - aside;
    // A component where the spectrum has one: its amplitude, if it stands kHeardDb over the noise
    // in the bins around it.
    const auto heard = [&](double f) -> double {
        if (f <= kLowestHz + aside || f >= nyquist) {
            return 0;
        }
        const double amplitude = m_spectrum.Amplitude(f);
        const double noise = m_spectrum.LocalNoise(f, 2 * aside, 8 * aside);
        const bool above = m_spectrum.SinePower(amplitude) >= noise * std::pow(10, kHeardDb / 10);
        return above && amplitude >= kQuietest ? amplitude : 0;
    };
    std::vector<double> tones{hz};
    for (int k = 2; k <= kHarmonics && k * hz < nyquist; ++k) {
        tones.push_back(k * hz);
    }
    const auto nearTone = [&](double f) {
        if (std::abs(f - hz) <= 2 * aside) {
            return true;
        }
        for (const OtherTone& o : others) {
            if (std::abs(f - o.hz) <= 2 * aside) {
                return true;
            }
        }
        return false;
    };
    std::vector<double> excluded = tones;

    // Hum: the family whose fundamental is heard, the louder if both are.
    for (const int mains : {50, 60}) {
        const double fundamental = heard(mains);
        if (fundamental <= 0 || nearTone(mains) ||
            (figures.hum && Decibels(fundamental) <= figures.hum->fundamentalDbfs)) {
            continue;
        }
        Hum hum;
        hum.mainsHz = mains;
        hum.fundamentalDbfs = Decibels(fundamental);
        for (int k = 2; k <= kHumHarmonics; ++k) {
            const double amplitude = nearTone(k * mains) ? 0 : heard(k * mains);
            if (amplitude > 0) {
                hum.harmonics.push_back({k * mains, Decibels(amplitude)});
            }
        }
        figures.hum = hum;
    }
    if (figures.hum) {
        excluded.push_back(figures.hum->mainsHz);
        for (const auto& [f, dbfs] : figures.hum->harmonics) {
            excluded.push_back(f);
        }
    }
    // Crosstalk: each other frequency the channels carry, named after the nearest channel that
    // carries it (neighbours in a multicore leak the most), the pair's other leg between two.
    std::vector<const OtherTone*> byFrequency;
    for (const OtherTone& o : others) {
        if (o.hz <= 0 || o.level <= 0 || std::abs(o.hz - hz) <= 2 * aside) {
            continue;
        }
        bool harmonic = false;
        for (int k = 2; k <= kHarmonics; ++k) {
            harmonic = harmonic || std::abs(o.hz - k * hz) <= 2 * aside;
        }
        if (figures.hum) {
            for (int k = 1; k <= kHumHarmonics; ++k) {
                harmonic = harmonic || std::abs(o.hz - k * figures.hum->mainsHz) <= 2 * aside;
            }
        }
        if (harmonic) {
            continue;
        }
        const OtherTone* same = nullptr;
        for (const OtherTone* b : byFrequency) {
            same = std::abs(b->hz - o.hz) <= 2 * aside ? b : same;
        }
        if (same == nullptr) {
            byFrequency.push_back(&o);
        } else if (std::abs(o.channel - channel) < std::abs(same->channel - channel) ||
                   (std::abs(o.channel - channel) == std::abs(same->channel - channel) &&
                    o.channel == ((channel - 1) ^ 1) + 1)) { // a tie: the pair's other leg
            *std::find(byFrequency.begin(), byFrequency.end(), same) = &o;
        }
    }
    for (const OtherTone* o : byFrequency) {
        const double amplitude = heard(o->hz);
        if (amplitude <= 0) {
            continue;
        }
        Crosstalk leak;
        leak.fromChannel = o->channel;
        leak.hz = o->hz;
        leak.dbfs = Decibels(amplitude);
        leak.relativeDb = Decibels(amplitude / o->level);
        figures.crosstalk.push_back(leak);
        excluded.push_back(o->hz);
    }
    std::sort(figures.crosstalk.begin(), figures.crosstalk.end(),
              [](const Crosstalk& a, const Crosstalk& b) { return a.dbfs > b.dbfs; });

    // The noise floor: what is left.
    const double noise = m_spectrum.ResidualMeanSquare(excluded, aside, kLowestHz);
    const double weighted = m_spectrum.ResidualMeanSquare(excluded, aside, kLowestHz, &m_weight468);
    if (noise > 0) {
        figures.noiseDbfs = 10 * std::log10(noise);
        figures.noiseWeightedDbfs = 10 * std::log10(std::max(weighted, 1e-30));
        figures.snrDb = Decibels(level / std::sqrt(2.0)) - *figures.noiseDbfs;
    }
    return figures;
}
