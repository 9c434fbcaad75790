// The level choice with a sender: the gain in the frames, the centre of the picture and the
// picture sent at once from the calling thread.
#include "sender_harness.h"

#include <bit>
#include <string>

namespace {

class LevelChoiceTest : public SenderTest {
protected:
    void SetUp() override {
        SenderTest::SetUp();
        m_sender.m_running = 0; // no loop: every picture recorded comes from the level choice
        ASSERT_EQ(m_sender.StartSender(), 1);
    }
    void TearDown() override {
        m_sender.StopSender();
        SenderTest::TearDown();
    }

    // Applies a choice; returns the one picture it sent.
    std::vector<uint8_t> Apply(int32_t choice, int32_t userDbu = 16) {
        const size_t before = m_ndi.VideoFrames().size();
        m_sender.m_levelChoice = choice;
        m_sender.m_userLevelDbu = userDbu;
        m_sender.ApplyLevelChoice();
        const auto video = m_ndi.VideoFrames();
        EXPECT_EQ(video.size(), before + 1);
        return video.back().pixels;
    }
    // The picture with the ident caption and, when given, a centre caption.
    static std::vector<uint8_t> Expected(const wchar_t* centre) {
        return ReferencePicture([centre](CLirafonEngine& record) {
            card::RenderCaption(record, L"QEL NDI Reza Radidired", 1, nullptr);
            if (centre != nullptr) {
                card::RenderCaption(record, centre, 0, nullptr);
            }
        });
    }
    // Peak of plane 0 of frame 0 at 1000 Hz: sample 12 of the period.
    float Peak() const { return m_sender.m_audioFrames[0]->p_data[12]; }

    TestSender m_sender;
};

TEST_F(LevelChoiceTest, SmpteThenUserThenEbu) {
    const auto firstPicture = m_ndi.VideoFrames()[0].pixels;

    EXPECT_EQ(Apply(1), Expected(CLirafonEngine::kSmpteCaption));
    EXPECT_EQ(m_sender.m_level, 1.0f);
    EXPECT_EQ(Peak(), 1.0f);

    EXPECT_EQ(Apply(2, 16), Expected(L"User-specified NDI Tone at +16 dBu"));
    EXPECT_FLOAT_EQ(m_sender.m_level, 3.981072f);
    EXPECT_EQ(Peak(), m_sender.m_level); // unclipped

    const auto ebu = Apply(0);
    EXPECT_EQ(ebu, Expected(nullptr));
    EXPECT_EQ(Block(ebu, false), Block(firstPicture, false)); // exactly the logo again
    EXPECT_EQ(std::bit_cast<uint32_t>(m_sender.m_level), 0x3f21866cu);
    EXPECT_EQ(Peak(), m_sender.m_level);
}

TEST_F(LevelChoiceTest, UserLevelTextsCarryTheirSign) {
    EXPECT_EQ(Apply(2, 0), Expected(L"User-specified NDI Tone at +0 dBu"));
    EXPECT_EQ(m_sender.m_levelLine, L"User-specified NDI Tone at +0 dBu");
    EXPECT_EQ(std::bit_cast<uint32_t>(m_sender.m_level), 0x3f21866cu); // the EBU gain

    EXPECT_EQ(Apply(2, -3), Expected(L"User-specified NDI Tone at -3 dBu"));
    EXPECT_EQ(m_sender.m_levelLine, L"User-specified NDI Tone at -3 dBu");
}

TEST_F(LevelChoiceTest, UnsendableLevelSendsNothingAndKeepsTheLevel) {
    Apply(1);
    const size_t pictures = m_ndi.VideoFrames().size();
    m_sender.m_levelChoice = 2;
    m_sender.m_userLevelDbu = 775;
    m_sender.ApplyLevelChoice();
    EXPECT_EQ(m_ndi.VideoFrames().size(), pictures);
    EXPECT_EQ(m_sender.m_level, 1.0f);
    EXPECT_EQ(Peak(), 1.0f);
}

} // namespace
