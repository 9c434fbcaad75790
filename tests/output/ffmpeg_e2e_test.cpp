// End to end with an independent receiver: FFmpeg from Debian records the built-in runtime's
// 16-channel stream and its pictures from the SDP file, on 127.0.0.1. The test judges what FFmpeg
// wrote (sample count, each channel's frequency and peak in 24-bit counts, the pictures' pixels),
// never its exit status, which is 0 even when nothing arrived.
#include "child_process.h"
#include "loopback_receiver.h"
#include "rtp_packets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr int kChannels = 16;
constexpr int kRecordSeconds = 3;
// Periods that are multiples of 4 samples, so a sample lands exactly on each peak.
constexpr int kPeriods[kChannels] = {16, 20, 24,  32,  40,  48,  60,  64,
                                     80, 96, 100, 120, 128, 160, 192, 240};

float Amplitude(int channel) {
    return 0.5f + 0.03f * static_cast<float>(channel);
}

float Tone(int channel, int64_t sample) {
    const int period = kPeriods[channel];
    const double phase = 2.0 * M_PI * static_cast<double>(sample % period) / period;
    return Amplitude(channel) * static_cast<float>(std::sin(phase));
}

TEST(FfmpegEndToEnd, RecordsEveryChannelAtItsFrequencyAndLevelAndThePictureExactly) {
    LoopbackReceivers receivers;
    receivers.audio.reset(); // FFmpeg binds these ports itself
    receivers.video.reset();
    ASSERT_TRUE(NDIlib_initialize());
    NDIlib_send_create_t create{"QEL Audio Tone 1", nullptr, false, true};
    NDIlib_send_instance_t sender = NDIlib_send_create(&create);
    ASSERT_NE(sender, nullptr);

    TestPicture picture;
    std::atomic<bool> running{true};
    // Pictures only once FFmpeg listens: one it joined halfway through would be written with the
    // lines it missed left as whatever its buffer held.
    std::atomic<bool> picturesWanted{false};
    std::thread loop([&] {
        TestAudioFrame audio(kChannels);
        for (int64_t tick = 0; running; ++tick) {
            for (int c = 0; c < kChannels; ++c) {
                for (int s = 0; s < 1920; ++s) {
                    audio.At(c, s) = Tone(c, tick * 1920 + s);
                }
            }
            NDIlib_send_send_audio_v2(sender, &audio.frame);
            if (picturesWanted && tick % 13 == 0) {
                NDIlib_send_send_video_v2(sender, &picture.frame);
            }
        }
    });

    const std::string sdp = receivers.SdpPath("QEL Audio Tone 1");
    for (int waited = 0; waited < 3000 && !fs::exists(sdp); waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const fs::path out = receivers.folder;
    std::vector<std::string> command =
        FfmpegRecording(sdp, kRecordSeconds, (out / "a.raw").string());
    for (const std::string& more :
         {std::string("-map"), std::string("0:v"), std::string("-fps_mode"),
          std::string("passthrough"), (out / "v_%02d.png").string()}) {
        command.push_back(more);
    }
    const pid_t ffmpeg = SpawnReceiver(command, (out / "ffmpeg.log").string());
    ASSERT_GT(ffmpeg, 0);
    const std::string session = ReadText(sdp);
    const size_t video = session.find("m=video ");
    ASSERT_NE(video, std::string::npos) << session;
    EXPECT_TRUE(WaitForUdpListener(std::atoi(session.c_str() + video + 8), 10000));
    picturesWanted = true;
    WaitOrStop(ffmpeg, (kRecordSeconds + 12) * 1000);
    running = false;
    loop.join();
    NDIlib_send_destroy(sender);
    NDIlib_destroy();
    const std::string log = ReadText(out / "ffmpeg.log");

    // Audio: whole seconds of 16 channels, every channel its own tone at its exact level.
    const std::vector<uint8_t> raw = ReadBytes(out / "a.raw");
    const size_t frames = raw.size() / (kChannels * 3);
    ASSERT_EQ(raw.size() % (kChannels * 3), 0u) << log;
    EXPECT_EQ(frames, static_cast<size_t>(kRecordSeconds * 48000)) << log;
    ASSERT_GE(frames, 48000u) << log;
    for (int c = 0; c < kChannels; ++c) {
        int32_t peak = 0;
        int rising = 0;
        int32_t previous = 0;
        for (size_t i = 0; i < frames; ++i) {
            const int32_t v = S24le(&raw[(i * kChannels + c) * 3]);
            peak = std::max(peak, std::abs(v));
            rising += (previous <= 0 && v > 0) ? 1 : 0;
            previous = v;
        }
        bool clamped = false;
        EXPECT_EQ(peak, FloatToL24(Amplitude(c), 0.1, &clamped)) << "channel " << c + 1;
        const double hz = rising * 48000.0 / static_cast<double>(frames);
        const double expectedHz = 48000.0 / kPeriods[c];
        EXPECT_NEAR(hz, expectedHz, expectedHz * 0.002 + 48000.0 / frames) << "channel " << c + 1;
    }

    // Pictures: every one FFmpeg wrote is the picture sent, pixel for pixel.
    const std::vector<uint8_t> expected = picture.Rgb();
    int pictures = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
        if (entry.path().extension() != ".png") {
            continue;
        }
        const fs::path rgb = entry.path().string() + ".rgb";
        const pid_t decode =
            Spawn({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", entry.path().string(),
                   "-f", "rawvideo", "-pix_fmt", "rgb24", rgb.string()},
                  (out / "decode.log").string());
        WaitOrStop(decode, 10000);
        EXPECT_TRUE(ReadBytes(rgb) == expected) << entry.path();
        ++pictures;
    }
    EXPECT_GE(pictures, 2) << log;
}

} // namespace
