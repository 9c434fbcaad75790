// The analyser on signals made here, for what the generator never sends: the 250 ms gaps of EBU
// R49, a dropout of a few samples, a sine at a frequency no line-up uses; its true-peak meter.
#include "analyser.h"
#include "loudness.h"
#include "true_peak.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <functional>
#include <vector>

namespace {

// Two channels for `seconds`, sample n of channel c from `value`.
AnalysisReport Analyse(double seconds, const std::function<double(int64_t, int)>& value) {
    CAnalyser analyser(2, 48000, 24.0);
    const auto frames = static_cast<int64_t>(seconds * 48000);
    std::vector<double> block;
    for (int64_t n = 0; n < frames; ++n) {
        block.push_back(value(n, 0));
        block.push_back(value(n, 1));
        if (block.size() == 9600) {
            analyser.Add(block.data(), 4800);
            block.clear();
        }
    }
    analyser.Add(block.data(), block.size() / 2);
    return analyser.Analyse();
}

double Sine(double hz, int64_t n) {
    return 0.1 * std::sin(2 * M_PI * hz * static_cast<double>(n) / 48000.0);
}

} // namespace

TEST(Analyser, NamesThePatternAndTheFaultsOfSignalsTheGeneratorNeverSends) {
    // EBU R49: the left channel silent 250 ms every 3 s (from 1 s on), the right continuous.
    const AnalysisReport r49 = Analyse(8, [](int64_t n, int c) {
        const bool gap = c == 0 && n >= 48000 && (n - 48000) % 144000 < 12000;
        return gap ? 0.0 : Sine(1000, n);
    });
    EXPECT_EQ(r49.ident, Ident::ebuR49);
    EXPECT_EQ(r49.channels[0].side, 0);
    EXPECT_EQ(r49.channels[1].side, 1);
    EXPECT_EQ(r49.channels[0].dropouts, 0u);

    // A steady tone with 6 samples missing on the right channel at 2.5 s.
    const AnalysisReport dropout = Analyse(6, [](int64_t n, int c) {
        return c == 1 && n >= 120000 && n < 120030 ? 0.0 : Sine(400, n);
    });
    EXPECT_EQ(dropout.ident, Ident::steady);
    EXPECT_EQ(dropout.channels[1].dropouts, 1u);
    EXPECT_NEAR(dropout.channels[1].lastDropoutS, 2.5, 0.001);
    EXPECT_GE(dropout.channels[1].lastDropoutSamples, 24);
    EXPECT_NEAR(dropout.channels[0].frequencyHz, 400.0, 0.05);
    EXPECT_FALSE(dropout.channels[0].inverted || dropout.channels[1].inverted);

    // 440 Hz is no frequency of the generator's: no line-up pattern, though it is a clean tone.
    const AnalysisReport sine = Analyse(6, [](int64_t n, int) { return Sine(440, n); });
    EXPECT_EQ(sine.ident, Ident::none);
    EXPECT_NEAR(sine.channels[0].frequencyHz, 440.0, 0.05);
}

// The true-peak meter against libebur128's on EBU Tech 3341's true-peak signals (15 to 23), made
// here from their published definitions: sines at fs/4, fs/6 and fs/8 whose peaks fall between
// samples, and a single period of fs/4 inside an fs/6 sine, made at 4 fs and brought down with
// each of the four sample offsets.
namespace {

std::vector<double> Tapered(std::vector<double> x) {
    const size_t fade = 480; // 10 ms
    for (size_t i = 0; i < fade && i < x.size(); ++i) {
        const double gain = static_cast<double>(i) / fade;
        x[i] *= gain;
        x[x.size() - 1 - i] *= gain;
    }
    return x;
}

std::vector<double> Sine(double cyclesPerSample, double amplitude, double phaseDegrees) {
    std::vector<double> x(48000);
    for (size_t n = 0; n < x.size(); ++n) {
        x[n] = amplitude * std::sin(2 * M_PI * cyclesPerSample * static_cast<double>(n) +
                                    phaseDegrees * M_PI / 180);
    }
    return Tapered(x);
}

// Signals 20 to 23: at 192 kHz, an fs/6 sine of 0.5 with one period of fs/4 at 1.0 inside it
// (both starting at phase 0, so the joins are continuous), low-passed at 20 kHz by a
// Blackman-windowed sinc and taken one sample in four from `offset`.
std::vector<double> SinglePeriod(int offset) {
    std::vector<double> fast(4 * 48000, 0.0);
    const int start = 4 * 24000; // a rising zero crossing of the fs/6 sine (24 samples a period)
    for (int n = 0; n < static_cast<int>(fast.size()); ++n) {
        const bool burst = n >= start && n < start + 16; // one period of 12 kHz at 192 kHz
        const int shifted = n < start ? n : std::max(start, n - 16);
        fast[n] = burst ? std::sin(2 * M_PI * (n - start) / 16.0)
                        : 0.5 * std::sin(2 * M_PI * shifted / 24.0);
    }
    const int taps = 255;
    std::vector<double> kernel(taps);
    for (int k = 0; k < taps; ++k) {
        const double m = k - (taps - 1) / 2.0;
        const double cutoff = 20000.0 / 192000.0;
        const double sinc = m == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * m) / (M_PI * m);
        const double w = 0.42 - 0.5 * std::cos(2 * M_PI * k / (taps - 1)) +
                         0.08 * std::cos(4 * M_PI * k / (taps - 1));
        kernel[static_cast<size_t>(k)] = sinc * w;
    }
    std::vector<double> slow;
    for (size_t n = taps + static_cast<size_t>(offset); n < fast.size(); n += 4) {
        double sum = 0;
        for (int k = 0; k < taps; ++k) {
            sum += kernel[static_cast<size_t>(k)] * fast[n - static_cast<size_t>(k)];
        }
        slow.push_back(sum);
    }
    return Tapered(slow);
}

double Db(double linear) {
    return 20 * std::log10(linear);
}

} // namespace

TEST(TruePeak, ReadsTech3341SignalsAsLibebur128DoesWithinFiveHundredthsOfADb) {
    struct Case {
        const char* name;
        std::vector<double> signal;
        double expectedDbtp;
    };
    std::vector<Case> cases = {{"15", Sine(0.25, 0.5, 0), -6.0},
                               {"16", Sine(0.25, 0.5, 45), -6.0},
                               {"17", Sine(1 / 6.0, 0.5, 60), -6.0},
                               {"18", Sine(0.125, 0.5, 67.5), -6.0},
                               {"19", Sine(0.25, 1.41, 45), 3.0}};
    for (int offset = 0; offset < 4; ++offset) {
        cases.push_back({offset == 0   ? "20"
                         : offset == 1 ? "21"
                         : offset == 2 ? "22"
                                       : "23",
                         SinglePeriod(offset), 0.0});
    }
    for (const Case& c : cases) {
        CTruePeakMeter meter;
        for (size_t at = 0; at < c.signal.size(); at += 1000) { // blocks not a multiple of 4
            meter.Add(c.signal.data() + at, 1, std::min<size_t>(1000, c.signal.size() - at));
        }
        ebur128_state* reference = ebur128_init(1, 48000, EBUR128_MODE_TRUE_PEAK);
        ASSERT_NE(reference, nullptr);
        ebur128_add_frames_double(reference, c.signal.data(), c.signal.size());
        double theirs = 0;
        ebur128_true_peak(reference, 0, &theirs);
        ebur128_destroy(&reference);
        EXPECT_NEAR(Db(meter.Peak()), Db(theirs), 0.05) << "signal " << c.name;
        EXPECT_GE(Db(meter.Peak()), c.expectedDbtp - 0.4) << "signal " << c.name;
        EXPECT_LE(Db(meter.Peak()), c.expectedDbtp + 0.2) << "signal " << c.name;
    }
}

// The loudness meter against libebur128's on EBU Tech 3341's loudness signals made here from
// their definitions (a 1 kHz sine at -23 and -33 dBFS; -36, -23, -36 dBFS sections that the
// relative gate must weigh), and on pink-ish programme-like noise, at 48 and 44.1 kHz.
TEST(Loudness, MeasuresAsLibebur128DoesWithinAHundredthOfALu) {
    for (const int rate : {48000, 44100}) {
        std::vector<std::vector<double>> signals;
        const auto sine = [&](double dbfs, double seconds) {
            std::vector<double> x(static_cast<size_t>(seconds * rate));
            for (size_t n = 0; n < x.size(); ++n) {
                x[n] = std::pow(10.0, dbfs / 20) *
                       std::sin(2 * M_PI * 1000 * static_cast<double>(n) / rate);
            }
            return x;
        };
        signals.push_back(sine(-23, 20));
        signals.push_back(sine(-33, 20));
        std::vector<double> sections = sine(-36, 10);
        for (const double dbfs : {-23.0, -36.0}) {
            const std::vector<double> part = sine(dbfs, dbfs == -23 ? 60 : 10);
            sections.insert(sections.end(), part.begin(), part.end());
        }
        signals.push_back(sections);
        std::vector<double> noise(static_cast<size_t>(10 * rate));
        uint32_t state = 12345;
        double low = 0;
        for (double& v : noise) {
            state = state * 1664525u + 1013904223u;
            low = 0.95 * low + 0.05 * (static_cast<double>(state) / 4294967296.0 - 0.5);
            v = low;
        }
        signals.push_back(noise);
        for (const std::vector<double>& x : signals) {
            CLoudnessMeter ours(rate);
            ebur128_state* theirs =
                ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_I);
            ASSERT_NE(theirs, nullptr);
            for (size_t at = 0; at < x.size(); at += 4800) {
                const size_t count = std::min<size_t>(4800, x.size() - at);
                ours.Add(x.data() + at, count);
                ebur128_add_frames_double(theirs, x.data() + at, count);
            }
            double reference = 0;
            ebur128_loudness_global(theirs, &reference);
            ebur128_destroy(&theirs);
            EXPECT_NEAR(ours.Integrated(), reference, 0.01) << rate << " Hz";
        }
    }
    // Momentary and short-term at every 100 ms step of a signal whose level moves in steps
    // (Tech 3341's sections, then one step every 1.7 s, so the windows straddle them): as
    // libebur128 reads them at the same instants.
    {
        constexpr int rate = 48000;
        std::vector<double> x(static_cast<size_t>(rate) * 20);
        for (size_t n = 0; n < x.size(); ++n) {
            const double dbfs = -36.0 + 3.0 * static_cast<double>((n * 10 / 17 / rate) % 6);
            x[n] = std::pow(10.0, dbfs / 20) *
                   std::sin(2 * M_PI * 997 * static_cast<double>(n) / rate);
        }
        CLoudnessMeter ours(rate);
        ebur128_state* theirs = ebur128_init(1, rate, EBUR128_MODE_M | EBUR128_MODE_S);
        ASSERT_NE(theirs, nullptr);
        int compared = 0;
        for (size_t at = 0; at < x.size(); at += rate / 10) {
            ours.Add(x.data() + at, rate / 10);
            ebur128_add_frames_double(theirs, x.data() + at, rate / 10);
            double momentary = 0;
            double shortTerm = 0;
            ebur128_loudness_momentary(theirs, &momentary);
            ebur128_loudness_shortterm(theirs, &shortTerm);
            if (at + rate / 10 >= static_cast<size_t>(rate) * 3) {
                EXPECT_NEAR(ours.Momentary(), momentary, 0.01) << at;
                EXPECT_NEAR(ours.ShortTerm(), shortTerm, 0.01) << at;
                ++compared;
            } else {
                EXPECT_EQ(ours.ShortTerm(), -200) << "3 s are not yet measured at " << at;
            }
        }
        ebur128_destroy(&theirs);
        EXPECT_EQ(compared, 171);
    }
    // Tech 3341's first case by its stated value: -23 LUFS from both legs of a stereo pair at
    // -23 dBFS, so one channel alone at -20 dBFS.
    CLoudnessMeter meter(48000);
    std::vector<double> x(48000 * 20);
    for (size_t n = 0; n < x.size(); ++n) {
        x[n] = 0.1 * std::sin(2 * M_PI * 1000 * static_cast<double>(n) / 48000);
    }
    meter.Add(x.data(), x.size());
    EXPECT_NEAR(meter.Integrated(), -23.0, 0.1);
}
