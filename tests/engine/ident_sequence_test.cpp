#include "lirafon_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class IdentSequence : public ::testing::Test {
protected:
    std::unique_ptr<CLirafonEngine> e = std::make_unique<CLirafonEngine>();

    // The frame indices of one whole cycle, as the send loop walks it from n = 0.
    std::vector<int32_t> Cycle(int32_t mode) {
        std::vector<int32_t> indices;
        int32_t n = 0;
        do {
            indices.push_back(e->FrameIndexForTick(n, mode));
            n = e->NextTick(n, mode);
        } while (n != 0 && indices.size() < 1000);
        return indices;
    }
    static std::vector<int32_t> Runs(std::initializer_list<std::pair<int32_t, int32_t>> runs) {
        std::vector<int32_t> v;
        for (auto [value, count] : runs) {
            v.insert(v.end(), count, value);
        }
        return v;
    }
};

TEST_F(IdentSequence, EbuIdentSilencesTheLeftForSevenOfSeventyFiveTicks) {
    e->BuildIdentSequence();
    EXPECT_EQ(Cycle(0), Runs({{1, 7}, {0, 68}}));
    EXPECT_EQ(e->NextTick(74, 0), 0);
    for (int32_t slot = 75; slot < 128; ++slot) {
        EXPECT_EQ(e->m_identSequence[slot], 0);
    }
}

TEST_F(IdentSequence, GlitsSilencesLeftOnceAndRightTwiceInOneHundredTicks) {
    e->m_identChoice = 1;
    e->BuildIdentSequence();
    EXPECT_EQ(Cycle(0), Runs({{1, 7}, {0, 7}, {2, 7}, {0, 7}, {2, 7}, {0, 65}}));
    EXPECT_EQ(e->NextTick(74, 0), 75);
    EXPECT_EQ(e->NextTick(99, 0), 0);
}

TEST_F(IdentSequence, BackToEbuClearsTheGlitsSlots) {
    e->m_identChoice = 1;
    e->BuildIdentSequence();
    e->m_identChoice = 0;
    e->BuildIdentSequence();
    for (int32_t slot = 7; slot < 128; ++slot) {
        EXPECT_EQ(e->m_identSequence[slot], 0) << slot;
    }
    // A GLITS cycle past 74 wraps at the first tick end that sees the EBU choice.
    EXPECT_EQ(e->NextTick(80, 0), 0);
}

TEST_F(IdentSequence, SequencePlaysEachPlaneForTwelveTicksWhateverTheIdent) {
    for (int32_t channels : {2, 4, 8, 16}) {
        for (int32_t ident : {0, 1}) {
            SCOPED_TRACE(channels);
            e->m_identChoice = ident;
            e->m_sequenceCycle = 12 * channels;
            std::vector<int32_t> want;
            for (int32_t plane = 0; plane < channels; ++plane) {
                want.insert(want.end(), 12, plane);
            }
            EXPECT_EQ(Cycle(1), want);
            EXPECT_EQ(e->NextTick(12 * channels - 1, 1), 0);
        }
    }
}

TEST_F(IdentSequence, LeavingASixteenChannelSequenceLateWrapsBeforeAnyUnplayedSlot) {
    e->m_sequenceCycle = 192;
    EXPECT_EQ(e->FrameIndexForTick(150, 1), 12);
    EXPECT_EQ(e->NextTick(150, 0), 0);
    e->m_identChoice = 1;
    EXPECT_EQ(e->NextTick(150, 0), 0);
    EXPECT_EQ(e->NextTick(98, 0), 99);
}

TEST_F(IdentSequence, EnteringTheSequenceContinuesTheCounter) {
    e->m_sequenceCycle = 24;
    EXPECT_EQ(e->NextTick(30, 1), 0);
    EXPECT_EQ(e->NextTick(20, 1), 21);
    // A smaller channel count in sequence mode wraps at the next tick end.
    e->m_sequenceCycle = 96;
    EXPECT_EQ(e->NextTick(50, 1), 51);
    e->m_sequenceCycle = 48;
    EXPECT_EQ(e->NextTick(50, 1), 0);
}

TEST_F(IdentSequence, TicksOutsideThePlayedRangeNeverReadOutsideTheBank) {
    EXPECT_EQ(e->FrameIndexForTick(500, 0), 0);
    EXPECT_EQ(e->FrameIndexForTick(-1, 0), 0);
    EXPECT_EQ(e->FrameIndexForTick(400, 1), 0);
}

} // namespace
