// End to end: the sender publishes through the built-in runtime to 127.0.0.1 on ports the system
// picked, and FFmpeg from Debian records 7 s of its audio from the SDP file. The test judges the
// recording (where each channel falls silent, the peak of every 40 ms frame), never FFmpeg's exit
// status, which is 0 even when nothing arrived.
#include "loopback_receiver.h"
#include "sender_harness.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

constexpr int32_t kChannels = 8;
constexpr int32_t kRecordSeconds = 7;
constexpr int32_t kFrameSamples = 1920;
constexpr int32_t kGapSamples = 7 * kFrameSamples; // 280 ms
// Every frame starts its tone at phase 0, whose first sample is exactly zero: a gap shows as its
// 13440 silent samples plus that first sample of the tone coming back.
constexpr size_t kGapRun = kGapSamples + 1;
constexpr int32_t kEbuCycle = 75 * kFrameSamples; // 3 s
constexpr int32_t kGlitsCycle = 100 * kFrameSamples;

using Recording = std::vector<std::vector<int32_t>>; // [channel][sample]

// Records kRecordSeconds of the source's audio as raw 24-bit samples (FFmpeg at a higher priority
// where allowed, as SpawnReceiver gives it: starved by a loaded suite it would lose packets).
Recording RecordWithFfmpeg(const LoopbackReceivers& receivers) {
    const std::string sdp = receivers.SdpPath("QEL Audio Tone 1");
    const std::string raw = receivers.folder + "/a.raw";
    const std::string command = "timeout -s INT 30 nice -n -10 ffmpeg -nostdin -y -loglevel "
                                "warning -protocol_whitelist file,udp,rtp "
                                "-localaddr 127.0.0.1 -buffer_size 4194304 -t " +
                                std::to_string(kRecordSeconds) + " -i '" + sdp +
                                "' -map 0:a -c:a pcm_s24le -f s24le '" + raw + "' >'" +
                                receivers.folder + "/ffmpeg.log' 2>&1";
    (void)std::system(command.c_str()); // judged by what it wrote
    std::ifstream in(raw, std::ios::binary);
    const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    const size_t frames = bytes.size() / (kChannels * 3);
    Recording channels(kChannels, std::vector<int32_t>(frames));
    for (size_t i = 0; i < frames; ++i) {
        for (int32_t c = 0; c < kChannels; ++c) {
            const uint8_t* p = &bytes[(i * kChannels + c) * 3];
            channels[c][i] = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                                  static_cast<uint32_t>(p[1]) << 16 |
                                                  static_cast<uint32_t>(p[2]) << 24) >>
                             8;
        }
    }
    return channels;
}

struct Gap {
    size_t start;
    size_t length;
};

// Runs of silence longer than the zero crossings of a tone (a 1000 Hz tone has single zero
// samples); runs touching either end of the recording are cut off and left out.
std::vector<Gap> Gaps(const std::vector<int32_t>& samples) {
    std::vector<Gap> gaps;
    size_t i = 0;
    while (i < samples.size()) {
        if (samples[i] != 0) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < samples.size() && samples[end] == 0) {
            ++end;
        }
        if (end - i > 2 && i > 0 && end < samples.size()) {
            gaps.push_back({i, end - i});
        }
        i = end;
    }
    return gaps;
}

// The 24-bit count of a sample value at the SMPTE reference (1.0 = -20 dBFS).
int32_t Counts(float level) {
    return static_cast<int32_t>(std::lround(static_cast<double>(level) * 0.1 * 8388608.0));
}

// A sender with 8 channels, every pair on, on the built-in runtime (chosen before it starts).
class E2eSender {
public:
    explicit E2eSender(int32_t identChoice) {
        m_receivers.audio.reset(); // FFmpeg binds these ports itself
        m_receivers.video.reset();
        EXPECT_TRUE(NDIlib_initialize());
        sender.m_raisePriority = true;
        sender.m_channelChoice = 2;
        sender.m_pairBoxInputs.fill(1);
        sender.SetChannelCount();
        sender.m_identChoice = identChoice;
        sender.BuildIdentSequence();
        EXPECT_EQ(sender.StartSender(), 1); // the SDP file exists once this returns
    }
    ~E2eSender() {
        sender.StopSender();
        NDIlib_destroy();
    }
    const LoopbackReceivers& Receivers() const { return m_receivers; }

    TestSender sender;

private:
    LoopbackReceivers m_receivers;
};

TEST(SenderEndToEnd, EbuIdentSilencesTheLeftChannelsFor280MsEvery3s) {
    E2eSender source(0);
    const Recording recording = RecordWithFfmpeg(source.Receivers());
    ASSERT_GE(recording[0].size(), static_cast<size_t>(6 * 48000));
    for (int32_t c = 0; c < kChannels; ++c) {
        const std::vector<Gap> gaps = Gaps(recording[c]);
        if (c % 2 == 1) {
            EXPECT_TRUE(gaps.empty()) << "right channel " << c + 1;
            continue;
        }
        ASSERT_GE(gaps.size(), 2u) << "left channel " << c + 1;
        for (size_t g = 0; g < gaps.size(); ++g) {
            EXPECT_EQ(gaps[g].length, kGapRun) << c + 1;
            if (g > 0) {
                EXPECT_EQ(gaps[g].start - gaps[g - 1].start, static_cast<size_t>(kEbuCycle));
            }
        }
    }
}

// GLITS, then a user level of +16 dBu part way through: the gaps of the GLITS cycle, and every
// 40 ms frame at the old peak until one frame boundary and at the new peak after it.
TEST(SenderEndToEnd, GlitsGapsAndALevelChangeAtAFrameBoundary) {
    E2eSender source(1);
    std::thread change([&source] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500)); // inside the recording
        source.sender.m_levelChoice = 2;
        source.sender.m_userLevelDbu = 16;
        source.sender.ApplyLevelChoice();
    });
    const Recording recording = RecordWithFfmpeg(source.Receivers());
    change.join();
    const size_t length = recording[0].size();
    ASSERT_GE(length, static_cast<size_t>(6 * 48000));

    const std::vector<Gap> left = Gaps(recording[0]);
    ASSERT_FALSE(left.empty());
    for (size_t g = 0; g < left.size(); ++g) {
        EXPECT_EQ(left[g].length, kGapRun);
        if (g > 0) {
            EXPECT_EQ(left[g].start - left[g - 1].start, static_cast<size_t>(kGlitsCycle));
        }
    }
    for (int32_t c = 2; c < kChannels; c += 2) {
        const std::vector<Gap> gaps = Gaps(recording[c]);
        ASSERT_EQ(gaps.size(), left.size()) << c + 1;
        EXPECT_EQ(gaps.front().start, left.front().start) << c + 1;
    }
    // Right channels: silent in ticks 14 to 20 and 28 to 34 of each cycle.
    for (int32_t c = 1; c < kChannels; c += 2) {
        for (const Gap& gap : Gaps(recording[c])) {
            const size_t offset = (gap.start + kGlitsCycle - left.front().start) % kGlitsCycle;
            EXPECT_TRUE(offset == 14u * kFrameSamples || offset == 28u * kFrameSamples)
                << "channel " << c + 1 << " offset " << offset;
            EXPECT_EQ(gap.length, kGapRun);
        }
        EXPECT_GE(Gaps(recording[c]).size(), 1u) << c + 1;
    }

    // Peaks of whole frames (frames start where the ident gaps start), over all channels.
    const int32_t before = Counts(CLirafonEngine::kEbuLevel);
    const int32_t after = Counts(CLirafonEngine::GainForUserLevel(16));
    std::vector<int32_t> peaks;
    for (size_t start = left.front().start % kFrameSamples; start + kFrameSamples <= length;
         start += kFrameSamples) {
        int32_t peak = 0;
        for (int32_t c = 0; c < kChannels; ++c) {
            for (size_t i = start; i < start + kFrameSamples; ++i) {
                peak = std::max(peak, std::abs(recording[c][i]));
            }
        }
        peaks.push_back(peak);
    }
    size_t changeAt = 0;
    while (changeAt < peaks.size() && std::abs(peaks[changeAt] - before) <= 1) {
        ++changeAt;
    }
    EXPECT_GE(changeAt, 10u) << "frames at the EBU peak " << before;
    EXPECT_LE(changeAt + 10, peaks.size()) << "frames at the +16 dBu peak " << after;
    for (size_t f = changeAt; f < peaks.size(); ++f) {
        EXPECT_NEAR(peaks[f], after, 1) << "frame " << f << " of " << peaks.size();
    }
}

} // namespace
