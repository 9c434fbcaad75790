// The tone tracker on tones made here from their definitions, under the impairments of real
// paths: what it must call a dropout (the tone gone for 1 ms, a sample held for 1 ms, a few
// samples lost), what it must not (noise, hum, another channel's tone under it), and the
// frequency, level and gaps it reads, at every rate.
#include "signals.h"
#include "tone_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

using namespace signals;

struct Tracked {
    uint64_t dropouts = 0;
    uint64_t held = 0;
    DropoutKind kind = DropoutKind::toneGone;
    double frequency = 0;
    double level = 0;
    std::vector<Gap> gaps;
};

Tracked Track(const std::vector<double>& x, int rate) {
    CSpectrum spectrum(16384);
    CToneTracker tracker(rate, &spectrum);
    const size_t half = static_cast<size_t>(rate / 2);
    for (size_t at = 0; at < x.size(); at += half) {
        tracker.Add(x.data() + at, std::min(half, x.size() - at));
        tracker.RefreshModel();
        if ((at + half) % static_cast<size_t>(rate) == 0) {
            tracker.EndSecond();
        }
    }
    Tracked t;
    t.dropouts = tracker.Dropouts();
    t.kind = tracker.LastDropout().kind;
    t.held = tracker.HeldSamples();
    t.frequency = tracker.Frequency();
    t.level = tracker.Level();
    t.gaps.assign(tracker.Gaps().begin(), tracker.Gaps().end());
    return t;
}

std::vector<double> Tone(double hz, double seconds = 6, int rate = 48000) {
    return Sine(static_cast<size_t>(seconds * rate), rate, hz, kLineUp);
}

} // namespace

TEST(ToneTrackerDropouts, TheToneGoneForAMillisecondIsOneDropoutUnderNoise) {
    for (const double hz : {1000.0, 400.0}) {
        for (const int offset : {0, 7, 13, 29}) { // the loss at several points of the period
            std::vector<double> x = Tone(hz);
            const size_t from = 120000 + static_cast<size_t>(offset);
            for (size_t i = from; i < from + 48; ++i) {
                x[i] = 0;
            }
            Add(x, White(x.size(), FromDb(-60), 3));
            const Tracked t = Track(x, 48000);
            EXPECT_EQ(t.dropouts, 1u) << hz << " Hz, offset " << offset;
        }
    }
}

TEST(ToneTrackerDropouts, TheToneTwentyDbDownForAMillisecondIsADropoutFourteenIsNot) {
    for (const auto& [db, dropouts] : {std::pair{-22.0, 1u}, std::pair{-14.0, 0u}}) {
        std::vector<double> x = Tone(1000);
        for (size_t i = 120000; i < 120048; ++i) {
            x[i] *= FromDb(db);
        }
        Add(x, White(x.size(), FromDb(-70), 6));
        EXPECT_EQ(Track(x, 48000).dropouts, dropouts) << db << " dB for 1 ms";
    }
}

TEST(ToneTrackerDropouts, ASampleHeldForAMillisecondIsOneDropout) {
    for (const double hz : {1000.0, 100.0}) {
        std::vector<double> x = Tone(hz);
        const size_t from = 120100; // near the crest of both tones
        for (size_t i = from; i < from + 48; ++i) {
            x[i] = x[from];
        }
        const Tracked t = Track(x, 48000);
        EXPECT_EQ(t.dropouts, 1u) << hz << " Hz";
        EXPECT_EQ(t.held, 1u) << hz << " Hz"; // seen as held, whichever detector saw it first
    }
}

TEST(ToneTrackerDropouts, SixSamplesLostAreABreakInTheWaveform) {
    std::vector<double> x = Tone(1000);
    for (size_t i = 120000; i < 120006; ++i) {
        x[i] = 0;
    }
    const Tracked t = Track(x, 48000);
    EXPECT_EQ(t.dropouts, 1u);
    EXPECT_EQ(t.kind, DropoutKind::brokenWave);
}

TEST(ToneTrackerDropouts, NoneUnderNoiseHumOrAnotherChannelsTone) {
    const size_t n = 6 * 48000;
    const std::vector<std::pair<const char*, std::vector<double>>> under = {
        {"white noise -50 dBFS", White(n, FromDb(-50), 1)},
        {"pink noise -50 dBFS", Pink(n, FromDb(-50), 2)},
        {"50 Hz hum -50 dBFS", MainsHum(n, 48000, 50, FromDb(-50))},
        {"60 Hz hum -50 dBFS", MainsHum(n, 48000, 60, FromDb(-50))},
        {"800 Hz at -30 dB", Sine(n, 48000, 800, kLineUp * FromDb(-30))},
    };
    for (const double hz : {1000.0, 250.0}) {
        for (const auto& [name, impairment] : under) {
            std::vector<double> x = Tone(hz);
            Add(x, impairment);
            const Tracked t = Track(x, 48000);
            EXPECT_EQ(t.dropouts, 0u) << hz << " Hz under " << name;
            EXPECT_NEAR(Db(t.level), -18.0, 0.1) << hz << " Hz under " << name;
        }
    }
}

TEST(ToneTrackerFrequency, WithinATenThousandthUnderHumCrosstalkAndNoiseAtEveryRate) {
    for (const int rate : {8000, 44100, 48000, 96000}) {
        const double hz = 997.3; // no frequency of the generator's, and between FFT bins
        const size_t n = static_cast<size_t>(6 * rate);
        std::vector<double> x = Sine(n, rate, hz, kLineUp);
        Add(x, MainsHum(n, rate, 50, FromDb(-50)));
        Add(x, Sine(n, rate, 800, kLineUp * FromDb(-30)));
        Add(x, White(n, FromDb(-50), 4));
        const Tracked t = Track(x, rate);
        EXPECT_NEAR(t.frequency, hz, hz * 1e-4) << rate << " Hz";
        EXPECT_NEAR(Db(t.level), -18.0, 0.1) << rate << " Hz";
    }
    // A sample clock 20 ppm fast, read to a ppm.
    const Tracked fast = Track(Tone(1000 * (1 + 20e-6)), 48000);
    EXPECT_NEAR((fast.frequency / 1000 - 1) * 1e6, 20.0, 1.0);
}

TEST(ToneTrackerGaps, AnIdentsGapIsMeasuredInTimeAtEveryRate) {
    for (const int rate : {8000, 44100, 96000, 192000}) {
        std::vector<double> x = Sine(static_cast<size_t>(10 * rate), rate, 1000, kLineUp);
        R49Gaps(x, rate);
        Add(x, White(x.size(), FromDb(-60), 5));
        const Tracked t = Track(x, rate);
        ASSERT_GE(t.gaps.size(), 3u) << rate;
        for (const Gap& g : t.gaps) {
            EXPECT_NEAR(static_cast<double>(g.length) / rate, 0.25, 0.002) << rate << " Hz";
            EXPECT_NEAR(std::fmod(static_cast<double>(g.start) / rate, 3.0), 0.0, 0.002)
                << rate << " Hz";
        }
        EXPECT_EQ(t.dropouts, 0u) << rate << " Hz";
    }
}

// A probe re-routed again and again builds new spectra in memory its earlier ones left behind.
// FFmpeg's real transform never writes the imaginary part of the Nyquist bin (zero by
// definition): read as it was left, that bin held whatever the memory last held, and a tone at
// line-up was then not found at all ("no tone" on a clean sine). Memory is soiled first here, as
// a long-running probe's is.
TEST(Spectrum, TheNyquistBinHoldsNothingLeftInMemoryByOthers) {
    for (const size_t size : {size_t{8192}, size_t{16384}}) {
        const size_t outBytes = (size / 2 + 1) * 2 * sizeof(float);
        std::vector<void*> soiled;
        for (int n = 0; n < 64; ++n) {
            void* block = std::aligned_alloc(64, (outBytes + 63) / 64 * 64);
            std::fill_n(static_cast<float*>(block), outBytes / sizeof(float), 1e30F);
            soiled.push_back(block);
        }
        for (void* block : soiled) {
            std::free(block);
        }
        CSpectrum spectrum(size);
        const std::vector<double> tone = Tone(1000, 1);
        spectrum.Compute(tone.data(), size, 48000);
        const size_t peak = spectrum.PeakBin(0, 24000);
        EXPECT_NEAR(spectrum.PeakHz(peak), 1000, 1) << size;
        EXPECT_LT(spectrum.Power(spectrum.Bins() - 1), 1e-9 * spectrum.Power(peak)) << size;
    }
}
