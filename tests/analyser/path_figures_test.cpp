// What is under a tone, read from one second of it: the noise floor unweighted and ITU-R BS.468
// weighted, mains hum and its harmonics, another channel's tone leaking in, THD+N; each against
// signals made here whose figures are known by construction.
#include "path_figures.h"
#include "signals.h"

#include <gtest/gtest.h>

namespace {

using namespace signals;

constexpr int kRate = 48000;

PathFigures Measure(const std::vector<double>& second, const std::vector<OtherTone>& others = {}) {
    CPathMeter meter(kRate);
    return meter.Measure(second, 0, 1, 1000, kLineUp, others);
}

std::vector<double> Tone() {
    return Sine(kRate, kRate, 1000, kLineUp);
}

} // namespace

// The standard's table of the curve (ITU-R BS.468-4, Table 1), within its own tolerances.
TEST(Bs468Weighting, FollowsTheStandardsTable) {
    const double table[][2] = {{31.5, -29.9},  {100, -19.8},  {200, -13.8}, {400, -7.8},
                               {800, -1.9},    {1000, 0.0},   {2000, 5.6},  {4000, 10.5},
                               {6300, 12.2},   {8000, 11.4},  {10000, 8.1}, {12500, 0.0},
                               {16000, -11.7}, {20000, -22.2}};
    for (const auto& [hz, db] : table) {
        EXPECT_NEAR(Db(Bs468Gain(hz)), db, 0.2) << hz << " Hz";
    }
}

TEST(NoiseFloor, WhiteAndPinkNoiseUnderTheToneReadWithinHalfADb) {
    for (const double level : {-90.0, -70.0, -50.0}) {
        std::vector<double> x = Tone();
        Add(x, White(x.size(), FromDb(level), 7));
        const PathFigures f = Measure(x);
        ASSERT_TRUE(f.noiseDbfs);
        EXPECT_NEAR(*f.noiseDbfs, level, 0.5) << "white " << level;
        EXPECT_NEAR(*f.snrDb, -18 - 3.01 - level, 0.5) << "white " << level;
        // White noise weighted: its power times the curve's mean square over the band.
        double gain = 0;
        int bins = 0;
        for (double hz = 10; hz < kRate / 2; hz += 1) {
            gain += Bs468Gain(hz) * Bs468Gain(hz);
            ++bins;
        }
        EXPECT_NEAR(*f.noiseWeightedDbfs, level + 10 * std::log10(gain / bins), 0.5);
    }
    std::vector<double> x = Tone();
    Add(x, Pink(x.size(), FromDb(-60), 8));
    const PathFigures pink = Measure(x);
    ASSERT_TRUE(pink.noiseDbfs);
    EXPECT_NEAR(*pink.noiseDbfs, -60, 1.0);
    EXPECT_FALSE(pink.hum) << "pink noise is no hum";
    EXPECT_TRUE(pink.crosstalk.empty());
}

TEST(Hum, ItsMainsFrequencyFundamentalAndHarmonicsAreNamed) {
    for (const double mains : {50.0, 60.0}) {
        std::vector<double> x = Tone();
        Add(x, MainsHum(x.size(), kRate, mains, FromDb(-70)));
        Add(x, White(x.size(), FromDb(-90), 9));
        const PathFigures f = Measure(x);
        ASSERT_TRUE(f.hum) << mains;
        EXPECT_EQ(f.hum->mainsHz, static_cast<int>(mains));
        EXPECT_NEAR(f.hum->fundamentalDbfs, -70, 0.5);
        ASSERT_GE(f.hum->harmonics.size(), 3u);
        EXPECT_NEAR(f.hum->harmonics[0].second, -70 + Db(0.3), 1.0); // 2nd
        EXPECT_NEAR(f.hum->harmonics[1].second, -70 + Db(0.5), 1.0); // 3rd
        // The noise floor with the hum set aside is the noise's.
        EXPECT_NEAR(*f.noiseDbfs, -90, 1.0);
    }
    std::vector<double> clean = Tone();
    Add(clean, White(clean.size(), FromDb(-80), 10));
    EXPECT_FALSE(Measure(clean).hum);
}

TEST(Crosstalk, AnotherChannelsToneIsNamedWithHowFarUnderItsOwnLevel) {
    for (const double leakDb : {-30.0, -60.0, -90.0}) {
        std::vector<double> x = Tone();
        // Channel 2 carries its 800 Hz 6 dB under this channel's tone: the leak is judged
        // against that channel's own level.
        Add(x, Sine(x.size(), kRate, 800, 0.5 * kLineUp * FromDb(leakDb), 1.0));
        Add(x, White(x.size(), FromDb(-110), 11));
        const PathFigures f = Measure(x, {{2, 800, 0.5 * kLineUp}, {3, 1000, kLineUp}});
        ASSERT_EQ(f.crosstalk.size(), 1u) << leakDb;
        EXPECT_EQ(f.crosstalk[0].fromChannel, 2);
        EXPECT_NEAR(f.crosstalk[0].relativeDb, leakDb, 0.5);
    }
    // Another channel's tone that does not leak in is not named.
    std::vector<double> x = Tone();
    Add(x, White(x.size(), FromDb(-80), 12));
    EXPECT_TRUE(Measure(x, {{2, 800, kLineUp}}).crosstalk.empty());
}

TEST(Thdn, IsEverythingThatIsNotTheTone) {
    for (const double harmonicDb : {-40.0, -80.0}) {
        std::vector<double> x = Tone();
        Add(x, Sine(x.size(), kRate, 3000, kLineUp * FromDb(harmonicDb)));
        const PathFigures f = Measure(x);
        ASSERT_TRUE(f.thdnDb);
        EXPECT_NEAR(*f.thdnDb, harmonicDb, 0.1);
    }
}
