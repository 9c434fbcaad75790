// The analyser over every channel on signals made here from the patterns' published
// definitions, under a path's impairments: the stereo idents, the multi-frequency set, the EBU
// multichannel ident on 5.1 and 7.1; the A/V marker; full scale at the input's own width.
#include "alarms.h"
#include "av_sync.h"
#include "pcm_input.h"
#include "signals.h"

#include <gtest/gtest.h>

namespace {

using namespace signals;

constexpr int kRate = 48000;

std::vector<double> Impaired(size_t n, unsigned seed) {
    std::vector<double> x = White(n, FromDb(-50), seed);
    Add(x, MainsHum(n, kRate, 50, FromDb(-50)));
    return x;
}

// The EBU multichannel ident from its description (EBU Tech 3304): 3 s of 1 kHz on every main
// leg, 0.5 s of silence, then each main leg alone for 0.5 s, 1 s apart, clockwise from front
// left; 80 Hz on the LFE throughout. `clockwise`: the legs' channels in that order.
std::vector<std::vector<double>> EbuSurround(const std::vector<int>& clockwise, size_t channels,
                                             double seconds) {
    const double cycle = 3.5 + static_cast<double>(clockwise.size());
    const size_t n = static_cast<size_t>(seconds * kRate);
    std::vector<std::vector<double>> legs(channels, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; ++i) {
        const double t = std::fmod(static_cast<double>(i) / kRate, cycle);
        const double tone = kLineUp * std::sin(2 * kPi * 1000 * t);
        for (size_t k = 0; k < clockwise.size(); ++k) {
            const bool solo = t >= 3.5 + static_cast<double>(k) && t < 4.0 + static_cast<double>(k);
            legs[static_cast<size_t>(clockwise[k])][i] = t < 3.0 || solo ? tone : 0.0;
        }
        legs[3][i] = kLineUp * std::sin(2 * kPi * 80 * static_cast<double>(i) / kRate);
    }
    return legs;
}

} // namespace

TEST(StereoIdent, EbuR49IsRecognisedAndPlacedUnderNoiseAndHum) {
    const size_t n = 10 * kRate;
    std::vector<double> left = Sine(n, kRate, 1000, kLineUp);
    R49Gaps(left, kRate);
    std::vector<double> right = Sine(n, kRate, 1000, kLineUp);
    Add(left, Impaired(n, 1));
    Add(right, Impaired(n, 2));
    const AnalysisReport r = Analyse({left, right}, kRate);
    EXPECT_EQ(r.ident, Ident::ebuR49);
    EXPECT_EQ(r.channels[0].side, 0);
    EXPECT_EQ(r.channels[1].side, 1);
    for (const ChannelReport& c : r.channels) {
        EXPECT_EQ(c.dropouts, 0u) << c.channel;
        EXPECT_NEAR(c.levelDbfs, -18.0, 0.1) << c.channel;
        ASSERT_TRUE(c.hum) << c.channel;
        EXPECT_NEAR(c.hum->fundamentalDbfs, -50, 1.0);
        ASSERT_TRUE(c.noiseDbfs);
        EXPECT_NEAR(*c.noiseDbfs, -50, 1.0);
    }
    EXPECT_TRUE(r.clockKnown);
    EXPECT_LT(std::abs(r.clockPpm), 5.0);
}

TEST(MultiFrequencySet, EveryChannelPlacedByItsOwnToneUnderCrosstalk) {
    // The whole set: its pairs 150/125 and 125/100 lie 25 Hz apart.
    const int set[16] = {1000, 800, 600, 500, 400, 300, 250, 200,
                         150,  125, 100, 125, 150, 200, 250, 300};
    const size_t n = 8 * kRate;
    std::vector<std::vector<double>> tones;
    for (const int hz : set) {
        tones.push_back(Sine(n, kRate, hz, 0.1));
    }
    // Under the EBU R49 ident, the recording starting in the left legs' gap: there they carry
    // nothing but the right leg's leak, a tone 30 dB down and 25 Hz away for some.
    for (size_t ch = 0; ch < 16; ch += 2) {
        R49Gaps(tones[ch], kRate);
    }
    std::vector<std::vector<double>> channels = tones;
    for (size_t ch = 0; ch < 16; ++ch) {
        Add(channels[ch], tones[ch ^ 1], FromDb(-30)); // each pair's legs into each other
        Add(channels[ch], White(n, FromDb(-70), static_cast<unsigned>(ch)));
    }
    const AnalysisReport r = Analyse(channels, kRate, 24);
    EXPECT_TRUE(r.multiFrequency);
    for (const ChannelReport& c : r.channels) {
        const double hz = set[c.channel - 1];
        EXPECT_EQ(c.plane, c.channel - 1) << c.channel;
        EXPECT_NEAR(c.frequencyHz, hz, hz * 1e-4) << c.channel;
        EXPECT_EQ(c.dropouts, 0u) << c.channel;
        ASSERT_EQ(c.crosstalk.size(), 1u) << c.channel;
        EXPECT_EQ(c.crosstalk[0].fromChannel, ((c.channel - 1) ^ 1) + 1);
        EXPECT_NEAR(c.crosstalk[0].relativeDb, -30, 0.5);
    }
    EXPECT_LT(std::abs(r.clockPpm), 5.0);
}

TEST(SurroundIdent, TheEbuMultichannelIdentOnFivePointOneAndSevenPointOne) {
    // 5.1 in SMPTE order L R C LFE Ls Rs; clockwise L C R Rs Ls.
    const AnalysisReport five = Analyse(EbuSurround({0, 2, 1, 5, 4}, 6, 20), kRate);
    EXPECT_EQ(five.ident, Ident::ebuSurround);
    EXPECT_EQ(five.surround.layout, "5.1");
    EXPECT_EQ(five.surround.roles, (std::vector<std::string>{"L", "R", "C", "LFE", "Ls", "Rs"}));
    // 7.1: L R C LFE Ls Rs Lrs Rrs; clockwise L C R Rs Rrs Lrs Ls.
    const AnalysisReport seven = Analyse(EbuSurround({0, 2, 1, 5, 7, 6, 4}, 8, 24), kRate);
    EXPECT_EQ(seven.surround.layout, "7.1");
    EXPECT_EQ(seven.surround.roles,
              (std::vector<std::string>{"L", "R", "C", "LFE", "Ls", "Rs", "Lrs", "Rrs"}));
    // Rs and Ls of the 5.1 swapped on the way: each named by what it carries.
    const AnalysisReport swapped = Analyse(EbuSurround({0, 2, 1, 4, 5}, 6, 20), kRate);
    EXPECT_EQ(swapped.surround.roles[4], "Rs");
    EXPECT_EQ(swapped.surround.roles[5], "Ls");
}

TEST(AvMarker, TheGapsFirstSampleWithinATenthOfAMillisecondUnderNoiseAndHum) {
    const size_t n = 10 * kRate;
    for (const auto& [hz, hum] :
         {std::pair{1000.0, false}, std::pair{1000.0, true}, std::pair{250.0, true}}) {
        // The tone stops where it crosses zero, as the generator's does: a quarter of its
        // period is under a quarter of its level.
        std::vector<double> x = Sine(n, kRate, hz, kLineUp);
        R49Gaps(x, kRate);
        Add(x, White(n, FromDb(-60), 13));
        if (hum) {
            Add(x, MainsHum(n, kRate, 50, FromDb(-50)));
        }
        CAvSync sync(kRate);
        sync.AddAudio(x.data(), n, 1);
        ASSERT_GE(sync.GapStarts().size(), 2u);
        for (const int64_t at : sync.GapStarts()) {
            const double into = std::fmod(static_cast<double>(at), 3.0 * kRate);
            EXPECT_LE(std::min(into, 3.0 * kRate - into), 0.0001 * kRate)
                << hz << " Hz, hum " << hum;
        }
    }
}

// A probe judges the A/V offset over a rolling stretch for as long as it runs: four minutes of
// R49 gaps with a flash per gap, the sound 40 ms ahead for two minutes and then 160 ms behind,
// analysed every second and the past forgotten after 70 s. The newest marker follows the path
// and what is kept stays bounded.
TEST(AvMarker, AProbesRollingStretchFollowsTheOffsetAndForgetsThePast) {
    constexpr int kSeconds = 240;
    constexpr double kFps = 25;
    const auto offsetAt = [](double marker) { return marker < 120 ? 0.040 : -0.160; };
    CAvSync sync(kRate);
    for (int second = 0; second < kSeconds; ++second) {
        std::vector<double> x(kRate);
        for (size_t i = 0; i < x.size(); ++i) {
            const double t = second + static_cast<double>(i) / kRate;
            x[i] = std::fmod(t, 3.0) < 0.25 ? 0.0 : kLineUp * std::sin(2 * kPi * 1000 * t);
        }
        sync.AddAudio(x.data(), x.size(), 1);
        for (int k = 0; k < static_cast<int>(kFps); ++k) {
            const double t = second + k / kFps;
            // Dark for two pictures from each gap's start moved by the offset.
            const double marker = 3.0 * std::round(t / 3.0);
            const double flash = marker + offsetAt(marker);
            const bool dark = marker >= 3 && t >= flash - 1e-6 && t < flash + 2 / kFps - 1e-6;
            sync.AddPicture({t, dark ? 0.02 : 0.5, std::nullopt});
        }
        const AvReport report = sync.Analyse(false, "");
        sync.Forget(second + 1 - 70.0);
        EXPECT_LE(report.pictures, static_cast<uint64_t>(71 * kFps)) << second;
        EXPECT_LE(report.markers.size(), 24u) << second;
        if (second >= 10 && (second < 118 || second > 126)) {
            ASSERT_FALSE(report.markers.empty()) << second;
            const AvMarker& newest = report.markers.back();
            EXPECT_GT(newest.seconds, second - 4.0) << second;
            EXPECT_NEAR(newest.offsetMs, 1000 * offsetAt(newest.seconds), 0.5) << second;
        }
        if (second == 100 || second == 200) {
            CConditionWatch watch(std::nullopt, AlarmLimits{});
            AnalysisReport audio;
            audio.channels.resize(1);
            audio.channels[0].channel = 1;
            audio.channels[0].tone = true;
            const std::vector<AlarmCondition> seen = watch.Second(audio, {}, &report);
            ASSERT_EQ(seen.size(), second == 100 ? 0u : 1u) << "ITU-R BT.1359's +45/-125 ms";
            if (!seen.empty()) {
                EXPECT_EQ(seen[0].alarm, "A/V offset");
                EXPECT_DOUBLE_EQ(*seen[0].limit, -125);
                EXPECT_NE(seen[0].message.find("160.0 ms behind"), std::string::npos)
                    << seen[0].message;
            }
        }
    }
}

TEST(FullScale, ASixteenBitInputsPositiveFullScaleIsClipped) {
    std::vector<double> x(kRate);
    for (size_t i = 0; i < x.size(); ++i) {
        const double v = 1.5 * std::sin(2 * kPi * 1000 * static_cast<double>(i) / kRate);
        // As a 16-bit input hands it out: clipped at 32767 and -32768.
        x[i] = std::clamp(std::round(v * 32768) / 32768, -1.0, 32767.0 / 32768);
    }
    CAnalyser analyser(1, kRate, 18);
    analyser.SetFullScale(FullScaleOfBits(16));
    analyser.Add(x.data(), x.size());
    const uint64_t clipped = analyser.Analyse().channels[0].clipped;
    uint64_t truth = 0;
    for (const double v : x) {
        truth += v >= 32767.0 / 32768 || v <= -1.0 ? 1 : 0;
    }
    EXPECT_EQ(clipped, truth);
    EXPECT_GT(truth, 20000u); // both polarities
}
