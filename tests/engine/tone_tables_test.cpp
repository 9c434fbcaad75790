#include "lirafon_engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

uint64_t Bits(double v) { return std::bit_cast<uint64_t>(v); }

class ToneTables : public ::testing::Test {
protected:
    std::unique_ptr<CLirafonEngine> e = std::make_unique<CLirafonEngine>();
};

// Quarter points exact, rising half symmetric about the quarter, falling half its negation.
void ExpectQuarterWave(const ToneChannel& t, int32_t period) {
    const int32_t q = period / 4, h = period / 2;
    EXPECT_EQ(Bits(t.samples[0]), Bits(0.0));
    EXPECT_EQ(t.samples[q], 1.0);
    EXPECT_EQ(Bits(t.samples[h]), Bits(-0.0));
    EXPECT_EQ(t.samples[3 * q], -1.0);
    for (int32_t i = 1; i < q; ++i) {
        EXPECT_EQ(Bits(t.samples[q + i]), Bits(t.samples[q - i])) << "i=" << i;
    }
    for (int32_t i = 1; i < h; ++i) {
        EXPECT_EQ(Bits(t.samples[h + i]), Bits(-t.samples[i])) << "i=" << i;
    }
}

TEST_F(ToneTables, ThousandHertzIsOneExactQuarterWavePeriod) {
    ASSERT_TRUE(e->BuildToneTable(1000, 3));
    const ToneChannel& t = e->m_toneChannels[3];
    EXPECT_EQ(t.frequencyHz, 1000);
    EXPECT_EQ(t.periodSamples, 48);
    ExpectQuarterWave(t, 48);
    // The sine is formed as (i * pi) / H, not i * (pi / H).
    for (int32_t i = 0; i <= 12; ++i) {
        EXPECT_EQ(Bits(t.samples[i]), Bits(std::sin((i * 3.141592653589793) / 24.0)));
    }
    for (int32_t i = 48; i < kToneTableEntries; ++i) {
        EXPECT_EQ(Bits(t.samples[i]), Bits(0.0)) << "entry past the period written: " << i;
    }
    // Other planes untouched.
    EXPECT_EQ(e->m_toneChannels[2].frequencyHz, 0);
}

TEST_F(ToneTables, EightHundredHertzHasExactPeaks) {
    ASSERT_TRUE(e->BuildToneTable(800, 0));
    EXPECT_EQ(e->m_toneChannels[0].periodSamples, 60);
    ExpectQuarterWave(e->m_toneChannels[0], 60);
}

TEST_F(ToneTables, EveryOfferedFrequencyIsAWholeQuarterWavePeriod) {
    for (int32_t f : {1000, 800, 600, 500, 400, 300, 250, 200, 150, 125, 100}) {
        SCOPED_TRACE(f);
        ASSERT_TRUE(e->BuildToneTable(f, 0));
        EXPECT_EQ(e->m_toneChannels[0].periodSamples, 48000 / f);
        ExpectQuarterWave(e->m_toneChannels[0], 48000 / f);
    }
}

TEST_F(ToneTables, ShorterPeriodLeavesTheOldTailUntouched) {
    e->BuildToneTable(100, 5);
    const ToneChannel before = e->m_toneChannels[5];
    e->BuildToneTable(1000, 5);
    const ToneChannel& after = e->m_toneChannels[5];
    for (int32_t i = 48; i < 480; ++i) {
        EXPECT_EQ(Bits(after.samples[i]), Bits(before.samples[i])) << i;
    }
    EXPECT_NE(Bits(after.samples[12]), Bits(before.samples[12]));
}

TEST_F(ToneTables, FrequenciesOutsideTheDomainAreRejectedWithoutWriting) {
    e->BuildToneTable(400, 1);
    const ToneChannel before = e->m_toneChannels[1];
    // 0 and negative: no period; 23 Hz: P = 2086 > 2048; 7 Hz: far past the table;
    // 48000: P = 1; 700 Hz: P = 68, not dividing 1920; 1100 Hz: P = 43, not a multiple of 4.
    for (int32_t f : {0, -1000, 23, 7, 1, 48000, 700, 1100}) {
        SCOPED_TRACE(f);
        EXPECT_FALSE(e->BuildToneTable(f, 1));
        EXPECT_EQ(e->m_toneChannels[1].frequencyHz, 400);
        EXPECT_EQ(std::memcmp(&e->m_toneChannels[1], &before, sizeof before), 0);
    }
    EXPECT_FALSE(e->BuildToneTable(1000, -1));
    EXPECT_FALSE(e->BuildToneTable(1000, 16));
    // 24 Hz fits the table (P = 2000) but would click at every frame boundary; 25 Hz
    // (P = 1920, one period per frame) is the lowest seamless tone.
    EXPECT_FALSE(e->BuildToneTable(24, 1));
    EXPECT_TRUE(e->BuildToneTable(25, 1));
    EXPECT_EQ(e->m_toneChannels[1].samples[480], 1.0);
}

TEST_F(ToneTables, SelectFrequencyBuildsEveryPlane) {
    e->m_sequenceMode = 1;
    e->SelectFrequency(400);
    EXPECT_EQ(e->m_frequency, 400);
    EXPECT_EQ(e->m_sequenceMode, 1);
    for (const ToneChannel& t : e->m_toneChannels) {
        EXPECT_EQ(t.frequencyHz, 400);
        EXPECT_EQ(t.periodSamples, 120);
    }
}

TEST_F(ToneTables, MultiFrequencySetGivesEachPlaneItsOwnFrequency) {
    e->SelectFrequency(200);
    e->SelectMultiFrequency();
    EXPECT_EQ(e->m_frequency, 1000);
    for (int32_t k = 0; k < 16; ++k) {
        EXPECT_EQ(e->m_toneChannels[k].frequencyHz, MultiFrequencyTable[k]) << k;
    }
    EXPECT_EQ(e->m_toneChannels[10].periodSamples, 480);
    EXPECT_EQ(e->m_toneChannels[11].periodSamples, 384);
    EXPECT_EQ(e->m_sequenceMode, 0);
}

} // namespace
