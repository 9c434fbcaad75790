#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

namespace {

// Records the platform steps the level choice takes, in order.
class RecordingEngine : public CLirafonEngine {
public:
    std::vector<std::wstring> steps;

protected:
    void DrawLogo() override { steps.push_back(L"logo"); }
    void RenderCaption(const wchar_t* text, int32_t atBottom) override {
        steps.push_back(std::wstring(L"caption:") + (text ? text : L"<none>") +
                        (atBottom ? L"@bottom" : L"@centre"));
    }
    void SendPictureNow() override { steps.push_back(L"send"); }
    void ShowMessage(const std::wstring& text) override { steps.push_back(L"message:" + text); }
};

TEST(LevelChoice, GainsFollowTheDbuScale) {
    EXPECT_EQ(std::bit_cast<uint32_t>(CLirafonEngine::GainForUserLevel(0)), 0x3f21866cu);
    EXPECT_EQ(CLirafonEngine::GainForUserLevel(4), 1.0f);
    EXPECT_FLOAT_EQ(CLirafonEngine::GainForUserLevel(16), 3.981072f);
    EXPECT_FLOAT_EQ(CLirafonEngine::GainForUserLevel(-10), 0.1995262f);
    EXPECT_FLOAT_EQ(CLirafonEngine::GainForUserLevel(24), 10.0f);
    EXPECT_TRUE(std::isfinite(CLirafonEngine::GainForUserLevel(774)));
    EXPECT_FALSE(std::isfinite(CLirafonEngine::GainForUserLevel(775)));
}

TEST(LevelChoice, SmpteThenUserThenEbu) {
    auto e = std::make_unique<RecordingEngine>();
    e->m_levelChoice = 1;
    e->ApplyLevelChoice();
    EXPECT_EQ(e->m_level, 1.0f);
    EXPECT_EQ(e->m_levelLine, L"NAB/SMPTE Tone where -20 dBFS = +4 dBu");
    e->m_levelChoice = 2;
    e->ApplyLevelChoice();
    EXPECT_FLOAT_EQ(e->m_level, 3.981072f);
    EXPECT_EQ(e->m_levelLine, L"User-specified NDI Tone at +16 dBu");
    e->m_levelChoice = 0;
    e->ApplyLevelChoice();
    EXPECT_EQ(std::bit_cast<uint32_t>(e->m_level), 0x3f21866cu);
    EXPECT_EQ(e->m_levelLine, L"EBU Stereo Tone where -18 dBFS = 0 dBu");
    const std::vector<std::wstring> want = {
        L"caption:NAB/SMPTE Tone  -20 dBFS = +4 dBu@centre",
        L"send",
        L"caption:User-specified NDI Tone at +16 dBu@centre",
        L"send",
        L"logo",
        L"send"};
    EXPECT_EQ(e->steps, want);
}

TEST(LevelChoice, UserLevelTextAlwaysCarriesASign) {
    EXPECT_EQ(CLirafonEngine::UserLevelText(0), L"User-specified NDI Tone at +0 dBu");
    EXPECT_EQ(CLirafonEngine::UserLevelText(-3), L"User-specified NDI Tone at -3 dBu");
    EXPECT_EQ(CLirafonEngine::UserLevelText(INT32_MIN),
              L"User-specified NDI Tone at -2147483648 dBu");
}

TEST(LevelChoice, UserLevelWithNonFiniteGainIsRefusedAndChangesNothing) {
    auto e = std::make_unique<RecordingEngine>();
    e->m_levelChoice = 2;
    e->m_userLevelDbu = 775;
    e->ApplyLevelChoice();
    EXPECT_EQ(std::bit_cast<uint32_t>(e->m_level), 0x3f21866cu);
    EXPECT_EQ(e->m_levelLine, L"EBU Stereo Tone where -18 dBFS = 0 dBu");
    ASSERT_EQ(e->steps.size(), 1u);
    EXPECT_EQ(e->steps[0].rfind(L"message:", 0), 0u);
    EXPECT_NE(e->steps[0].find(L"+775 dBu"), std::wstring::npos);
}

TEST(LevelChoice, NewLevelIsInTheFramesAfterTheCall) {
    EngineWithFrames bank;
    bank.engine->m_levelChoice = 2;
    bank.engine->m_userLevelDbu = 24;
    bank.engine->ApplyLevelChoice();
    EXPECT_FLOAT_EQ(bank.Plane(0, 0)[12], 10.0f);
    EXPECT_TRUE(bank.PlaneIsTone(0, 1));
}

} // namespace
