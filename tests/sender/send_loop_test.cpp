// The send loop on the non-blocking recording runtime: which bank frame each tick sends, which
// ticks carry a picture, how mode changes move the counter, and how the loop ends.
#include "sender_harness.h"

#include <algorithm>
#include <vector>

namespace {

struct LoopCase {
    const char* name;
    int32_t identChoice;
    int32_t channelChoice;
    int32_t sequenceMode;
    int32_t fullRate;
    int32_t cycleTicks;
};

// The frame the ident sequence prescribes for tick t of a cycle, written out independently.
int32_t ExpectedFrame(const LoopCase& c, int32_t t) {
    if (c.sequenceMode != 0) {
        return t / 12;
    }
    if (t < 7) {
        return 1;
    }
    if (c.identChoice == 1 && ((t >= 14 && t <= 20) || (t >= 28 && t <= 34))) {
        return 2;
    }
    return 0;
}

class SendLoopCycles : public SenderTest, public ::testing::WithParamInterface<LoopCase> {};

// Two whole cycles: every tick's frame (compared sample for sample with the bank) and picture.
TEST_P(SendLoopCycles, FrameAndPictureOfEveryTick) {
    const LoopCase& c = GetParam();
    TestSender sender;
    sender.m_identChoice = c.identChoice;
    sender.BuildIdentSequence();
    sender.m_channelChoice = c.channelChoice;
    sender.m_pairBoxInputs.fill(1);
    sender.SetChannelCount();
    if (c.sequenceMode != 0) {
        sender.m_sequenceMode = 1;
        sender.SelectMultiFrequency();
    }
    sender.m_fullRateVideo = c.fullRate;
    m_ndi.SetStorePayloads(false);

    std::vector<int32_t> sent;
    const int32_t ticks = 2 * c.cycleTicks;
    ASSERT_EQ(RunTicks(sender, ticks,
                       [&](const NDIlib_audio_frame_v2_t& frame, uint64_t) {
                           sent.push_back(MatchBankFrame(sender, frame));
                       }),
              1);
    ASSERT_EQ(sent.size(), static_cast<size_t>(ticks));
    const std::vector<bool> pictures = PictureTicks(m_ndi.Calls());
    ASSERT_EQ(pictures.size(), static_cast<size_t>(ticks));
    for (int32_t t = 0; t < ticks; ++t) {
        const int32_t n = t % c.cycleTicks;
        EXPECT_EQ(sent[t], ExpectedFrame(c, n)) << c.name << " tick " << t;
        EXPECT_EQ(pictures[t], c.fullRate != 0 || n % 13 == 0) << c.name << " tick " << t;
    }
    sender.StopSender();
}

INSTANTIATE_TEST_SUITE_P(Modes, SendLoopCycles,
                         ::testing::Values(LoopCase{"Ebu2", 0, 0, 0, 0, 75},
                                           LoopCase{"Glits8", 1, 2, 0, 0, 100},
                                           LoopCase{"EbuFullRate", 0, 1, 0, 1, 75},
                                           LoopCase{"Sequence2", 0, 0, 1, 0, 24},
                                           LoopCase{"Sequence16", 1, 3, 1, 0, 192}),
                         [](const auto& info) { return std::string(info.param.name); });

// Leaving a 16-channel sequence at n = 150: the next tick is n = 0 of the EBU ident, so no slot
// beyond 99 is read.
TEST_F(SenderTest, SequenceToNormalAtTick150RestartsTheIdent) {
    TestSender sender;
    sender.m_channelChoice = 3;
    sender.SetChannelCount();
    sender.m_sequenceMode = 1;
    sender.SelectMultiFrequency();
    m_ndi.SetStorePayloads(false);

    std::vector<int32_t> sent;
    ASSERT_EQ(RunTicks(sender, 160,
                       [&](const NDIlib_audio_frame_v2_t& frame, uint64_t index) {
                           sent.push_back(MatchBankFrame(sender, frame));
                           if (index == 150) {
                               sender.m_sequenceMode = 0; // read after this tick's sends
                           }
                       }),
              1);
    ASSERT_EQ(sent.size(), 160u);
    for (int32_t t = 0; t <= 150; ++t) {
        EXPECT_EQ(sent[t], t / 12) << t;
    }
    // The sequence-filled bank: frame 1 is plane 1 alone, frame 0 plane 0 alone.
    for (int32_t t = 151; t < 158; ++t) {
        EXPECT_EQ(sent[t], 1) << t;
    }
    EXPECT_EQ(sent[158], 0);
    EXPECT_EQ(sent[159], 0);
    const std::vector<bool> pictures = PictureTicks(m_ndi.Calls());
    EXPECT_TRUE(pictures[151]); // n = 0 again
    EXPECT_FALSE(pictures[152]);
    sender.StopSender();
}

// m_running cleared during a tick: that tick's audio, and its picture when due, still go out.
TEST_F(SenderTest, ClearingRunningMidTickFinishesTheTick) {
    for (const uint64_t lastTick : {uint64_t{13}, uint64_t{5}}) {
        m_ndi.Reset();
        TestSender sender;
        m_ndi.SetStorePayloads(false);
        ASSERT_EQ(RunTicks(sender, lastTick + 1), 1);
        const std::vector<bool> pictures = PictureTicks(m_ndi.Calls());
        ASSERT_EQ(pictures.size(), lastTick + 1);
        EXPECT_EQ(pictures.back(), lastTick == 13);
        sender.StopSender();
    }
}

// A/V sync: a picture with every tick, black with the first tick of each cycle, whose first
// sample is where the left channels fall silent (the stereo idents) or the first plane starts
// (the sequence); the card with every other tick. Each picture carries its tick's audio timecode,
// and the timecodes advance by exactly one frame (400,000 units of 100 ns).
TEST_F(SenderTest, AvSyncFlashesWithTheTickWhereTheAudioMarkerStarts) {
    struct Case {
        int32_t identChoice;
        int32_t sequenceMode;
        int32_t cycleTicks;
    };
    for (const Case c : {Case{0, 0, 75}, Case{1, 0, 100}, Case{0, 1, 24}}) {
        m_ndi.Reset();
        TestSender sender;
        sender.m_identChoice = c.identChoice;
        sender.BuildIdentSequence();
        sender.m_channelChoice = 0;
        sender.SetChannelCount();
        if (c.sequenceMode != 0) {
            sender.m_sequenceMode = 1;
            sender.SelectMultiFrequency();
        }
        sender.SetAvSync(true);
        const int32_t ticks = 2 * c.cycleTicks + 1;
        ASSERT_EQ(RunTicks(sender, static_cast<uint64_t>(ticks)), 1);
        const std::vector<RecordedAudio> audio = m_ndi.AudioFrames();
        const std::vector<RecordedVideo> video = m_ndi.VideoFrames();
        // The card says the mode is on from its first picture.
        EXPECT_NE(std::find(sender.m_captions.begin(), sender.m_captions.end(), L"A/V sync@centre"),
                  sender.m_captions.end());
        ASSERT_EQ(audio.size(), static_cast<size_t>(ticks));
        // The first picture goes out as the sender starts, before the loop's first tick.
        ASSERT_EQ(video.size(), static_cast<size_t>(ticks) + 1) << c.cycleTicks;
        for (int32_t t = 0; t < ticks; ++t) {
            const RecordedAudio& a = audio[static_cast<size_t>(t)];
            const RecordedVideo& v = video[static_cast<size_t>(t) + 1];
            EXPECT_EQ(a.frame.timecode - audio[0].frame.timecode, int64_t{t} * 400'000) << t;
            EXPECT_EQ(v.frame.timecode, a.frame.timecode) << t;
            const bool flash = t % c.cycleTicks == 0;
            const bool allBlack =
                std::all_of(v.pixels.begin(), v.pixels.end(), [i = size_t{0}](uint8_t b) mutable {
                    return (i++ % 4 == 3) ? b == 255 : b == 0;
                });
            EXPECT_EQ(allBlack, flash) << c.cycleTicks << " tick " << t;
            if (!flash) {
                EXPECT_TRUE(v.pixels == video[2].pixels) << "the card, tick " << t;
            }
            // Plane 0 around the marker: silent from the flash's first sample and sounding in
            // the tick before (stereo idents), or the other way round (the sequence).
            if (flash && t > 0) {
                const auto sounds = [](const RecordedAudio& frame) {
                    return std::any_of(frame.samples.begin(), frame.samples.begin() + 1920,
                                       [](float x) { return x != 0.0f; });
                };
                const RecordedAudio& previous = audio[static_cast<size_t>(t) - 1];
                EXPECT_EQ(sounds(a), c.sequenceMode != 0) << t;
                EXPECT_EQ(sounds(previous), c.sequenceMode == 0) << t;
            }
        }
        sender.StopSender();
    }
}

TEST_F(SenderTest, LoopReturnsAtOnceWhenNotRunning) {
    TestSender sender;
    sender.m_running = 0;
    ASSERT_EQ(sender.StartSender(), 1);
    sender.StopSendLoop();
    EXPECT_EQ(m_ndi.AudioFrameCount(), 0u);
    EXPECT_EQ(CLirafonSender::SendLoop(&sender), 0);
    sender.StopSender();
}

} // namespace
