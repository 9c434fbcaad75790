// Sender setup and teardown on the recording runtime: what StartSender hands to the runtime and
// in which order, what it allocates, and that every failure leaves nothing behind.
#include "sender_harness.h"

#include <bit>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

TEST_F(SenderTest, StartRunsOneTickAndStopCallsInOrder) {
    TestSender sender;
    ASSERT_EQ(RunTicks(sender, 1), 1);
    sender.StopSender();
    const Calls want = {
        "NDIlib_initialize",         "NDIlib_send_create", "NDIlib_send_add_connection_metadata",
        "NDIlib_send_send_video_v2", // the first picture, before any audio
        "NDIlib_send_send_audio_v2", // tick 0 ...
        "NDIlib_send_send_video_v2", // ... carries a picture
        "NDIlib_send_destroy"};
    EXPECT_EQ(m_ndi.CallNames(), want);
    // Logo, then the bottom caption; nothing else drawn.
    const std::vector<std::wstring> drawn = {L"<logo>", L"QEL NDI Reza Radidired@bottom"};
    EXPECT_EQ(sender.m_captions, drawn);
}

TEST_F(SenderTest, CreateSettingsAndConnectionMetadata) {
    TestSender sender;
    sender.m_instanceIndex = 7; // the 8th copy
    sender.m_running = 0;
    ASSERT_EQ(sender.StartSender(), 1);
    sender.StopSender();

    const auto creates = m_ndi.SendCreates();
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].name, "QEL Audio Tone 8");
    EXPECT_FALSE(creates[0].hasGroups);
    EXPECT_FALSE(creates[0].settings.clock_video);
    EXPECT_TRUE(creates[0].settings.clock_audio);

    const auto metadata = m_ndi.Metadata();
    ASSERT_EQ(metadata.size(), 1u);
    const std::string gap(14, ' ');
    const std::string want = "<ndi_product long_name=\"QEL EBU-style stereo tone\"" + gap +
                             "short_name=\"QEL Lirafon\"" + gap + "manufacturer=\"QEL\"" + gap +
                             "version=\"1.046.000\"" + gap + "session=\"default\"" + gap +
                             "model_name=\"Q1\"" + gap + "serial=\"00001\"/>";
    EXPECT_EQ(metadata[0].text, want);
    EXPECT_EQ(metadata[0].frame.length, static_cast<int>(want.size()));
    EXPECT_EQ(metadata[0].frame.timecode, NDIlib_send_timecode_synthesize);
    EXPECT_EQ(metadata[0].instance, creates[0].instance);
}

TEST_F(SenderTest, VideoRecordAndFrameRecords) {
    TestSender sender;
    sender.m_channelChoice = 1; // 4 channels
    sender.m_running = 0;
    ASSERT_EQ(sender.StartSender(), 1);

    const auto video = m_ndi.VideoFrames();
    ASSERT_EQ(video.size(), 1u);
    for (const NDIlib_video_frame_v2_t* frame :
         {static_cast<const NDIlib_video_frame_v2_t*>(&sender.m_videoFrame), &video[0].frame}) {
        EXPECT_EQ(frame->xres, 640);
        EXPECT_EQ(frame->yres, 360);
        EXPECT_EQ(static_cast<uint32_t>(frame->FourCC), 0x58524742u);
        EXPECT_EQ(frame->frame_rate_N, 30000);
        EXPECT_EQ(frame->frame_rate_D, 1200);
        EXPECT_EQ(std::bit_cast<uint32_t>(frame->picture_aspect_ratio), 0x3fe38e39u);
        EXPECT_EQ(frame->frame_format_type, NDIlib_frame_format_type_progressive);
        EXPECT_EQ(frame->timecode, NDIlib_send_timecode_synthesize);
        EXPECT_EQ(frame->line_stride_in_bytes, 2560);
        EXPECT_EQ(frame->p_metadata, nullptr);
        EXPECT_EQ(frame->timestamp, 0);
    }
    EXPECT_EQ(video[0].pixels.size(), 921600u);

    for (int32_t k = 0; k < CLirafonEngine::kFrameCount; ++k) {
        const NDIlib_audio_frame_v2_t* frame = sender.m_audioFrames[k];
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->sample_rate, 48000);
        EXPECT_EQ(frame->no_channels, 4);
        EXPECT_EQ(frame->no_samples, 1920);
        EXPECT_EQ(frame->timecode, 0);
        EXPECT_EQ(frame->channel_stride_in_bytes, 7680);
        EXPECT_EQ(frame->p_metadata, nullptr);
        EXPECT_EQ(frame->timestamp, 0);
        if (k >= 3) { // silence in the normal modes, zeroed at allocation and by the fill
            for (int32_t j = 0; j < 1920 * 16; ++j) {
                ASSERT_EQ(std::bit_cast<uint32_t>(frame->p_data[j]), 0u) << k << " " << j;
            }
        }
    }
    EXPECT_EQ(sender.m_toneChannels[15].frequencyHz, 1000);
    sender.StopSender();
}

TEST_F(SenderTest, FirstPictureHasNoCaptionAndTheLoopsFirstPictureHasIt) {
    TestSender sender;
    ASSERT_EQ(RunTicks(sender, 1), 1);
    const auto video = m_ndi.VideoFrames();
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].pixels, ReferencePicture());
    const auto captioned = ReferencePicture([](CLirafonEngine& record) {
        card::RenderCaption(record, L"QEL NDI Reza Radidired", 1, nullptr);
    });
    EXPECT_NE(Block(captioned, true), Block(video[0].pixels, true));
    EXPECT_EQ(video[1].pixels, captioned);
    sender.StopSender();
}

TEST_F(SenderTest, HiddenIdentTextLeavesTheBandRed) {
    TestSender sender;
    sender.m_showIdentText = 0;
    ASSERT_EQ(RunTicks(sender, 1), 1);
    const auto video = m_ndi.VideoFrames();
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[1].pixels, ReferencePicture());
    sender.StopSender();
}

// Choices made in the first ~100 ms, before the sender exists, are kept and take effect at start.
TEST_F(SenderTest, ChoicesMadeBeforeStartAreApplied) {
    TestSender sender;
    sender.m_levelChoice = 1;
    sender.ApplyLevelChoice(); // nothing to draw on or send yet
    sender.SelectMultiFrequency();
    sender.m_running = 0;
    ASSERT_EQ(sender.StartSender(), 1);

    const auto video = m_ndi.VideoFrames();
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].pixels, ReferencePicture([](CLirafonEngine& record) {
                  card::RenderCaption(record, CLirafonEngine::kSmpteCaption, 0, nullptr);
              }));
    EXPECT_EQ(sender.m_toneChannels[1].frequencyHz, 800);        // the multi-frequency set kept
    EXPECT_EQ(sender.m_audioFrames[0]->p_data[1920 + 15], 1.0f); // 800 Hz peak at SMPTE level
    sender.StopSender();
}

TEST_F(SenderTest, StopReleasesEverythingAndIsIdempotent) {
    TestSender sender;
    ASSERT_EQ(RunTicks(sender, 3), 1);
    sender.StopSender();
    sender.StopSender();
    sender.StopSendLoop();
    for (const auto* frame : sender.m_audioFrames) {
        EXPECT_EQ(frame, nullptr);
    }
    EXPECT_EQ(sender.m_videoFrame.p_data, nullptr);
    EXPECT_EQ(sender.m_sender, nullptr);
    const auto names = m_ndi.CallNames();
    EXPECT_EQ(names.back(), "NDIlib_send_destroy");
    EXPECT_EQ(std::count(names.begin(), names.end(), "NDIlib_send_destroy"), 1);
    sender.SendPictureNow(); // no sender: nothing
    EXPECT_EQ(m_ndi.CallNames().size(), names.size());
}

// Destroying a running sender joins the loop before anything it reads is released.
TEST_F(SenderTest, DestroyingARunningSenderStopsTheLoop) {
    auto sender = std::make_unique<TestSender>();
    ASSERT_EQ(sender->StartSender(), 1);
    sender.reset();
    const auto names = m_ndi.CallNames();
    EXPECT_EQ(names.back(), "NDIlib_send_destroy");
}

TEST_F(SenderTest, NoSenderMeansNothingAllocated) {
    m_ndi.SetSendCreateFails(true);
    TestSender sender;
    EXPECT_EQ(sender.StartSender(), 0);
    EXPECT_EQ(sender.m_allocations, 0);
    EXPECT_FALSE(sender.m_sendThread.joinable());
    const Calls want = {"NDIlib_initialize", "NDIlib_send_create"};
    EXPECT_EQ(m_ndi.CallNames(), want);
    sender.m_levelChoice = 1;
    sender.ApplyLevelChoice(); // never fails without a sender
    EXPECT_EQ(sender.m_level, 1.0f);
    EXPECT_EQ(m_ndi.CallNames(), want);
}

// Each allocation refused in turn: the start fails, the sender is destroyed and every block taken
// before the refusal is released (AddressSanitizer's leak check sees the rest).
TEST_F(SenderTest, RefusedAllocationLeavesNothingBehind) {
    int total = 0;
    {
        TestSender probe;
        probe.m_running = 0;
        ASSERT_EQ(probe.StartSender(), 1);
        total = probe.m_allocations;
    }
    ASSERT_GE(total, 3 + 2 * CLirafonEngine::kFrameCount);
    for (int refuse = 0; refuse < total; ++refuse) {
        m_ndi.Reset();
        TestSender sender;
        sender.m_refuseAllocation = refuse;
        EXPECT_EQ(sender.StartSender(), 0) << refuse;
        EXPECT_EQ(sender.m_sender, nullptr);
        EXPECT_FALSE(sender.m_sendThread.joinable());
        EXPECT_EQ(sender.m_videoFrame.p_data, nullptr);
        for (const auto* frame : sender.m_audioFrames) {
            EXPECT_EQ(frame, nullptr);
        }
        const auto names = m_ndi.CallNames();
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), "NDIlib_send_destroy") << refuse;
        EXPECT_EQ(std::count(names.begin(), names.end(), "NDIlib_send_send_audio_v2"), 0);
    }
}

} // namespace
