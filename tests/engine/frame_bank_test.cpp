#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

namespace {

class FrameBank : public ::testing::Test, public EngineWithFrames {
protected:
    CLirafonEngine& e = *engine;

    void ChooseChannels(int32_t choice) {
        e.m_channelChoice = choice;
        e.SetChannelCount();
    }
    void CheckBox(int32_t pair, int32_t on) {
        e.m_pairBoxInputs[pair] = on;
        e.SetPairEnabled(pair, on);
    }
    // Planes of frame 0 that carry tone, as a bit mask.
    uint32_t TonePlanes(int32_t frame) const {
        uint32_t mask = 0;
        for (int32_t p = 0; p < 16; ++p) {
            if (!PlaneSilent(frame, p)) {
                EXPECT_TRUE(PlaneIsTone(frame, p)) << "frame " << frame << " plane " << p;
                mask |= 1u << p;
            }
        }
        return mask;
    }
};

TEST_F(FrameBank, StartValuesGiveTheThreeIdentVariants) {
    EXPECT_EQ(TonePlanes(0), 0b11u);
    EXPECT_EQ(TonePlanes(1), 0b10u); // left (plane 0) silent
    EXPECT_EQ(TonePlanes(2), 0b01u); // right (plane 1) silent
    for (int32_t k = 3; k < 16; ++k) {
        EXPECT_EQ(TonePlanes(k), 0u) << "normal-mode frame " << k << " must be silent";
    }
    for (const auto& f : frames) {
        EXPECT_EQ(f.no_channels, 8);
    }
    // Peak exactly the EBU gain, negative zero at the half period.
    const float* p = Plane(0, 0);
    EXPECT_EQ(std::bit_cast<uint32_t>(p[12]), 0x3f21866cu);
    EXPECT_EQ(std::bit_cast<uint32_t>(p[36]), 0xbf21866cu);
    EXPECT_EQ(std::bit_cast<uint32_t>(p[24]), 0x80000000u);
    EXPECT_EQ(std::bit_cast<uint32_t>(p[1920 - 48 + 12]), 0x3f21866cu);
}

TEST_F(FrameBank, IdentGapsActByPlaneParity) {
    CheckBox(2, 1); // planes 4 and 5
    EXPECT_EQ(TonePlanes(0), 0b110011u);
    EXPECT_EQ(TonePlanes(1), 0b100010u);
    EXPECT_EQ(TonePlanes(2), 0b010001u);
}

TEST_F(FrameBank, SequenceModeFrameKIsPlaneKAloneWhateverTheBoxes) {
    e.m_sequenceMode = 1;
    e.SelectMultiFrequency();
    for (int32_t k = 0; k < 16; ++k) {
        EXPECT_EQ(TonePlanes(k), 1u << k) << k;
        EXPECT_EQ(e.m_toneChannels[k].frequencyHz, MultiFrequencyTable[k]);
    }
}

TEST_F(FrameBank, SixteenToTwoToSixteenBringsEveryPlaneBack) {
    ChooseChannels(3);
    for (int32_t pair = 1; pair < 8; ++pair) {
        CheckBox(pair, 1);
    }
    EXPECT_EQ(TonePlanes(0), 0xffffu);
    ChooseChannels(0);
    EXPECT_EQ(TonePlanes(0), 0b11u);
    EXPECT_EQ(e.m_sequenceCycle, 24);
    for (const auto& f : frames) {
        EXPECT_EQ(f.no_channels, 2);
    }
    ChooseChannels(3);
    EXPECT_EQ(TonePlanes(0), 0xffffu);
    EXPECT_EQ(e.m_sequenceCycle, 192);
}

TEST_F(FrameBank, FourChannelsFollowBoxThreeFourAndSilenceTheRest) {
    ChooseChannels(3);
    for (int32_t pair = 0; pair < 8; ++pair) {
        CheckBox(pair, 1);
    }
    e.m_pairBoxInputs[1] = 0;
    ChooseChannels(1);
    EXPECT_EQ(TonePlanes(0), 0b0011u);
    e.m_pairBoxInputs[1] = 1;
    ChooseChannels(1);
    EXPECT_EQ(TonePlanes(0), 0b1111u);
    EXPECT_EQ(e.m_sequenceCycle, 48);
    for (int32_t p = 4; p < 16; ++p) {
        EXPECT_EQ(e.m_channelEnabled[p], 0);
    }
}

TEST_F(FrameBank, PairZeroIsNeverReReadOrCleared) {
    e.m_pairBoxInputs[0] = 0; // the box says unchecked, but only its own click reads it
    ChooseChannels(0);
    EXPECT_EQ(e.m_channelEnabled[0], 1);
    EXPECT_EQ(e.m_channelEnabled[1], 1);
    CheckBox(0, 0);
    ChooseChannels(3);
    EXPECT_EQ(TonePlanes(0), 0u);
}

TEST_F(FrameBank, EightChannelsLetDisabledBoxesFeedUnsentPlanes) {
    e.m_pairBoxInputs[4] = 1;
    ChooseChannels(2);
    EXPECT_EQ(e.m_channelEnabled[8], 1);
    EXPECT_EQ(frames[0].no_channels, 8);
}

TEST_F(FrameBank, ChoiceOutsideTheTableOnlyRefills) {
    e.m_channelChoice = 7;
    e.m_level = 1.0f;
    e.SetChannelCount();
    EXPECT_EQ(frames[0].no_channels, 8);
    EXPECT_EQ(e.m_sequenceCycle, 96);
    EXPECT_EQ(Plane(0, 0)[12], 1.0f);
}

TEST_F(FrameBank, UserLevelAboveFullScaleIsNotClipped) {
    e.m_level = CLirafonEngine::GainForUserLevel(16);
    e.RefillAllFrames();
    EXPECT_FLOAT_EQ(Plane(0, 1)[12], 3.981072f);
    EXPECT_FLOAT_EQ(Plane(0, 1)[36], -3.981072f);
    EXPECT_EQ(Plane(0, 1)[12], e.m_level);
}

TEST_F(FrameBank, EveryFrameHoldsWholePeriodsOfEveryFrequency) {
    for (int32_t f : {100, 200, 400, 1000}) {
        e.SelectFrequency(f);
        const float* p = Plane(0, 0);
        EXPECT_EQ(std::bit_cast<uint32_t>(p[0]), 0u);
        // The sample after the frame's end would be entry 0 again: the last is one before it.
        EXPECT_EQ(p[1919], -p[1]) << f;
    }
}

TEST(FrameBankWithoutFrames, SettingsChangedBeforeFramesExistAreKept) {
    auto e = std::make_unique<CLirafonEngine>();
    e->m_sequenceMode = 1;
    e->SelectMultiFrequency();
    e->m_pairBoxInputs[1] = 1;
    e->m_channelChoice = 3;
    e->SetChannelCount();
    e->SetPairEnabled(2, 1);
    e->m_levelChoice = 1;
    e->ApplyLevelChoice();
    e->RefillAllFrames();
    EXPECT_EQ(e->m_level, 1.0f);
    EXPECT_EQ(e->m_sequenceCycle, 192);
    EXPECT_EQ(e->m_channelEnabled[2], 1);
    EXPECT_EQ(e->m_channelEnabled[4], 1);
    EXPECT_EQ(e->m_toneChannels[10].frequencyHz, 100);
}

} // namespace
