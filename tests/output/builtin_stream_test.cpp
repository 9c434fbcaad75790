// The built-in runtime on the wire, received by our own sockets on 127.0.0.1: audio packet
// headers, continuity, sizes and values for 2, 8 and 16 channels at both references, clamping,
// RFC 4175 video reassembling to the exact picture, and audio and video sent from two threads.
#include "frame_pacer.h"
#include "loopback_receiver.h"
#include "rtcp.h"
#include "rtp_packets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

class BuiltinRuntime : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(NDIlib_initialize());
        ASSERT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::builtin);
        NDIlib_send_create_t create{"QEL Audio Tone 1", nullptr, false, true};
        sender = NDIlib_send_create(&create);
        ASSERT_NE(sender, nullptr);
    }
    void TearDown() override {
        NDIlib_send_destroy(sender);
        NDIlib_destroy();
    }
    BuiltinSenderStats Stats() {
        BuiltinSenderStats stats;
        EXPECT_TRUE(GetBuiltinSenderStats(sender, &stats));
        return stats;
    }

    LoopbackReceivers receivers;
    NDIlib_send_instance_t sender = nullptr;
};

// A value per channel and sample that tells them apart, well within full scale.
float Pattern(int channel, int64_t sample) {
    return static_cast<float>(channel + 1) / 32.0f - static_cast<float>(sample % 1920) / 4096.0f;
}

class AudioPackets : public BuiltinRuntime, public testing::WithParamInterface<int> {};

TEST_P(AudioPackets, HeadersContinuitySizesAndValues) {
    const int channels = GetParam();
    const int perPacket = channels <= 8 ? 48 : 6;
    const int packetsPerFrame = 1920 / perPacket;
    constexpr int kFrames = 3;
    TestAudioFrame audio(channels);
    for (int f = 0; f < kFrames; ++f) {
        for (int c = 0; c < channels; ++c) {
            for (int s = 0; s < 1920; ++s) {
                audio.At(c, s) = Pattern(c, f * 1920 + s);
            }
        }
        NDIlib_send_send_audio_v2(sender, &audio.frame);
        audio.planes.assign(audio.planes.size(), 99.0f); // the call has copied; this must not leave
    }
    const auto packets = receivers.audio->ReceiveAll();
    ASSERT_EQ(packets.size(), static_cast<size_t>(kFrames * packetsPerFrame));
    const uint32_t ssrc = BigEndian(packets[0], 8, 4);
    const uint32_t firstSequence = BigEndian(packets[0], 2, 2);
    const uint32_t firstTimestamp = BigEndian(packets[0], 4, 4);
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto& p = packets[i];
        ASSERT_EQ(p.size(), 12u + static_cast<size_t>(perPacket) * channels * 3) << i;
        EXPECT_EQ(p[0], 0x80) << i;
        EXPECT_EQ(p[1], 96) << i; // payload type 96, no marker
        EXPECT_EQ(BigEndian(p, 2, 2), (firstSequence + i) & 0xffff) << i;
        EXPECT_EQ(BigEndian(p, 4, 4), static_cast<uint32_t>(firstTimestamp + i * perPacket)) << i;
        EXPECT_EQ(BigEndian(p, 8, 4), ssrc) << i;
        for (int s = 0; s < perPacket; ++s) {
            for (int c = 0; c < channels; ++c) {
                bool clamped = false;
                const int64_t sample = static_cast<int64_t>(i) * perPacket + s;
                const int32_t expected = FloatToL24(Pattern(c, sample), 0.1, &clamped);
                ASSERT_EQ(L24At(p, 12 + (static_cast<size_t>(s) * channels + c) * 3), expected)
                    << "packet " << i << " sample " << s << " channel " << c;
            }
        }
    }
    EXPECT_EQ(Stats().audio.clampedSamples, 0u);
    EXPECT_EQ(Stats().audio.framesSent, static_cast<uint64_t>(kFrames));
}

INSTANTIATE_TEST_SUITE_P(ChannelCounts, AudioPackets, testing::Values(2, 8, 16));

// At 16 channels each 0.125 ms packet leaves at its own time: eight a millisecond, spread, not
// eight together. Judged by the kernel's arrival stamps (on loopback the sender's own send
// instant), so a receiving thread held off the CPU cannot make a burst of them. Eight sent
// together leave seven gaps in eight near zero; a sender woken late on a loaded machine catches
// up with a few, so the test asks only that a quarter of the gaps be more than 50 us.
TEST_F(BuiltinRuntime, SixteenChannelPacketsLeaveOneAtATime) {
    constexpr size_t kPackets = 4 * 320;
    const int on = 1;
    ASSERT_EQ(setsockopt(receivers.audio->Fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
    std::vector<int64_t> arrivals;
    bool stamped = true;
    std::thread receiver([&] {
        pollfd wait{receivers.audio->Fd(), POLLIN, 0};
        while (arrivals.size() < kPackets && poll(&wait, 1, 3000) == 1) {
            uint8_t packet[2048];
            iovec data{packet, sizeof packet};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr message{};
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const cmsghdr* stamp =
                recvmsg(receivers.audio->Fd(), &message, 0) > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
            if (!stamp || stamp->cmsg_level != SOL_SOCKET || stamp->cmsg_type != SCM_TIMESTAMPNS) {
                stamped = false;
                return;
            }
            timespec at{};
            std::memcpy(&at, CMSG_DATA(stamp), sizeof at);
            arrivals.push_back(at.tv_sec * 1'000'000'000LL + at.tv_nsec);
        }
    });
    TestAudioFrame audio(16);
    for (int f = 0; f < 5; ++f) {
        NDIlib_send_send_audio_v2(sender, &audio.frame);
    }
    receiver.join();
    ASSERT_TRUE(stamped) << "a packet came without the kernel's arrival stamp";
    ASSERT_EQ(arrivals.size(), kPackets);
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < arrivals.size(); ++i) {
        gaps.push_back(arrivals[i] - arrivals[i - 1]);
    }
    const auto upperQuartile = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() * 3 / 4);
    std::nth_element(gaps.begin(), upperQuartile, gaps.end());
    EXPECT_GT(*upperQuartile, 50'000) << "upper quartile of the gaps in ns; packets 125 us apart";
}

// Split into two 8-channel streams: channels 1 to 8 on the audio port, 9 to 16 four above, as
// 1 ms packets with the same timestamps, each stream with its own sequence and SSRC.
class SplitStreams : public BuiltinRuntime {
protected:
    SplitStreams() { receivers.env.Set("LIRAFON_RTP_STREAM_CHANNELS", "8"); }
};

TEST_F(SplitStreams, SixteenChannelsGoAsTwoSampleAlignedStreams) {
    LoopbackSocket second(receivers.audio->Port() + 4);
    ASSERT_TRUE(second.Bound());
    TestAudioFrame audio(16);
    for (int c = 0; c < 16; ++c) {
        for (int s = 0; s < 1920; ++s) {
            audio.At(c, s) = Pattern(c, s);
        }
    }
    NDIlib_send_send_audio_v2(sender, &audio.frame);
    NDIlib_send_send_audio_v2(sender, &audio.frame);
    const auto first = receivers.audio->ReceiveAll();
    const auto other = second.ReceiveAll();
    ASSERT_EQ(first.size(), 80u);
    ASSERT_EQ(other.size(), 80u);
    EXPECT_NE(BigEndian(first[0], 8, 4), BigEndian(other[0], 8, 4));
    for (size_t i = 0; i < first.size(); ++i) {
        ASSERT_EQ(first[i].size(), 12u + 48 * 8 * 3);
        ASSERT_EQ(other[i].size(), first[i].size());
        EXPECT_EQ(BigEndian(first[i], 4, 4), BigEndian(other[i], 4, 4)) << "packet " << i;
        EXPECT_EQ(BigEndian(other[i], 2, 2), (BigEndian(other[0], 2, 2) + i) & 0xffff);
        for (int s = 0; s < 48; s += 47) {
            for (int c = 0; c < 8; ++c) {
                bool clamped = false;
                const int64_t sample = static_cast<int64_t>(i % 40) * 48 + s;
                const size_t at = 12 + (static_cast<size_t>(s) * 8 + c) * 3;
                EXPECT_EQ(L24At(first[i], at), FloatToL24(Pattern(c, sample), 0.1, &clamped));
                EXPECT_EQ(L24At(other[i], at), FloatToL24(Pattern(c + 8, sample), 0.1, &clamped));
            }
        }
    }
}

TEST_F(BuiltinRuntime, PlusThirtyDbuIsClampedAndCounted) {
    TestAudioFrame audio(2);
    for (int s = 0; s < 1920; ++s) {
        audio.At(0, s) = 19.952623f; // +30 dBu
        audio.At(1, s) = s < 960 ? -19.952623f : 1.0f;
    }
    NDIlib_send_send_audio_v2(sender, &audio.frame);
    const auto packets = receivers.audio->ReceiveAll();
    ASSERT_EQ(packets.size(), 40u);
    EXPECT_EQ(L24At(packets[0], 12), 8388607);
    EXPECT_EQ(L24At(packets[0], 15), -8388608);
    EXPECT_EQ(L24At(packets[39], 12 + 47 * 6 + 3), 838861);
    EXPECT_EQ(Stats().audio.clampedSamples, 1920u + 960u);
}

TEST_F(BuiltinRuntime, FramesItCannotCarryAreRefusedNotSent) {
    TestAudioFrame audio(17);
    NDIlib_send_send_audio_v2(sender, &audio.frame);
    TestAudioFrame wrongRate(2);
    wrongRate.frame.sample_rate = 44100;
    NDIlib_send_send_audio_v2(sender, &wrongRate.frame);
    EXPECT_TRUE(receivers.audio->ReceiveAll(100, 100).empty());
    EXPECT_EQ(Stats().audio.framesRefused, 2u);
}

class BuiltinRuntimeEbu : public BuiltinRuntime {
protected:
    void SetUp() override {
        receivers.env.Set("LIRAFON_RTP_REFERENCE", "ebu");
        BuiltinRuntime::SetUp();
    }
};

TEST_F(BuiltinRuntimeEbu, PlusFourDbuIsMinusFourteenDbfs) {
    TestAudioFrame audio(2);
    audio.At(0, 0) = 1.0f;
    audio.At(1, 0) = 0.63095737f; // 0 dBu: -18 dBFS
    NDIlib_send_send_audio_v2(sender, &audio.frame);
    const auto packet = receivers.audio->Receive();
    ASSERT_FALSE(packet.empty());
    EXPECT_EQ(L24At(packet, 12), 1673747);
    EXPECT_EQ(L24At(packet, 15), 1056063);
    EXPECT_NEAR(20.0 * std::log10(1056063.0 / 8388608.0), -18.0, 0.001);
}

// Reassembles one picture from RFC 4175 packets, checking every header on the way.
std::vector<uint8_t> Reassemble(const std::vector<std::vector<uint8_t>>& packets, size_t first,
                                size_t* next) {
    std::vector<uint8_t> rgb(640 * 360 * 3);
    const uint32_t timestamp = BigEndian(packets[first], 4, 4);
    size_t i = first;
    for (; i < packets.size(); ++i) {
        const auto& p = packets[i];
        EXPECT_EQ(p[0], 0x80);
        EXPECT_EQ(p[1] & 0x7f, 97);
        EXPECT_EQ(BigEndian(p, 4, 4), timestamp);
        const uint32_t length = BigEndian(p, 14, 2);
        const uint32_t line = BigEndian(p, 16, 2);
        const uint32_t offset = BigEndian(p, 18, 2);
        EXPECT_EQ(line & 0x8000, 0u);   // progressive: field bit clear
        EXPECT_EQ(offset & 0x8000, 0u); // one segment: continuation bit clear
        EXPECT_EQ(p.size(), 20u + length);
        EXPECT_LE(p.size(), kMaxPacketBytes);
        EXPECT_EQ(offset, (i - first) % 2 == 0 ? 0u : 480u);
        EXPECT_EQ(line, (i - first) / 2);
        std::copy(p.begin() + 20, p.end(), rgb.begin() + (line * 640 + offset) * 3);
        const bool marker = (p[1] & 0x80) != 0;
        EXPECT_EQ(marker, i - first == 719);
        if (marker) {
            break;
        }
    }
    *next = i + 1;
    return rgb;
}

TEST_F(BuiltinRuntime, VideoPacketsReassembleToTheExactPicture) {
    TestPicture picture;
    NDIlib_send_send_video_v2(sender, &picture.frame);
    const std::vector<uint8_t> expected = picture.Rgb();
    picture.pixels.assign(picture.pixels.size(), 0); // copied before the call returned
    const auto packets = receivers.video->ReceiveAll();
    ASSERT_EQ(packets.size(), 720u);
    size_t next = 0;
    EXPECT_EQ(Reassemble(packets, 0, &next), expected);
    for (size_t i = 1; i < packets.size(); ++i) {
        const uint32_t previous =
            BigEndian(packets[i - 1], 12, 2) << 16 | BigEndian(packets[i - 1], 2, 2);
        const uint32_t current = BigEndian(packets[i], 12, 2) << 16 | BigEndian(packets[i], 2, 2);
        ASSERT_EQ(current, previous + 1) << i;
    }
}

TEST_F(BuiltinRuntime, AudioAndVideoFromTwoThreadsAtOnce) {
    constexpr int kFrames = 8;
    std::thread audioThread([this] {
        TestAudioFrame audio(16);
        for (int f = 0; f < kFrames; ++f) {
            for (int s = 0; s < 1920; ++s) {
                audio.At(0, s) = Pattern(0, f * 1920 + s);
            }
            NDIlib_send_send_audio_v2(sender, &audio.frame);
        }
    });
    TestPicture picture;
    const std::vector<uint8_t> expected = picture.Rgb();
    for (int i = 0; i < 4; ++i) {
        NDIlib_send_send_video_v2(sender, &picture.frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    audioThread.join();
    const auto audio = receivers.audio->ReceiveAll();
    ASSERT_EQ(audio.size(), static_cast<size_t>(kFrames * 320));
    for (size_t i = 1; i < audio.size(); ++i) {
        ASSERT_EQ(BigEndian(audio[i], 2, 2), (BigEndian(audio[i - 1], 2, 2) + 1) & 0xffff);
        bool clamped = false;
        ASSERT_EQ(L24At(audio[i], 12),
                  FloatToL24(Pattern(0, static_cast<int64_t>(i) * 6), 0.1, &clamped));
    }
    const auto video = receivers.video->ReceiveAll();
    ASSERT_EQ(video.size() % 720, 0u);
    ASSERT_GE(video.size(), 720u);
    for (size_t next = 0; next < video.size();) {
        EXPECT_EQ(Reassemble(video, next, &next), expected);
    }
}

// RTCP: each stream's sender report maps its timestamps to one wallclock, so a picture sent with
// the timecode of an audio frame lands on that frame's first sample (to the video clock's 11 us).
// What receivers send back (a receiver report, a BYE, garbage) is counted and changes nothing.
TEST_F(BuiltinRuntime, SenderReportsPutAPictureOnItsAudioFramesFirstSample) {
    LoopbackSocket audioRtcp(receivers.audio->Port() + 1);
    LoopbackSocket videoRtcp(receivers.video->Port() + 1);
    if (!audioRtcp.Bound() || !videoRtcp.Bound()) {
        GTEST_SKIP() << "the RTCP ports beside the test's RTP ports are taken";
    }
    TestAudioFrame audio(2);
    TestPicture picture;
    constexpr int64_t kFirstTimecode = 17'000'000'000;
    constexpr int kPictureFrame = 6;
    for (int f = 0; f < 12; ++f) {
        audio.frame.timecode = kFirstTimecode + int64_t{f} * 400'000;
        NDIlib_send_send_audio_v2(sender, &audio.frame);
        if (f == kPictureFrame) {
            picture.frame.timecode = audio.frame.timecode;
            NDIlib_send_send_video_v2(sender, &picture.frame);
        }
    }
    const auto audioPackets = receivers.audio->ReceiveAll();
    const auto videoPackets = receivers.video->ReceiveAll();
    ASSERT_EQ(audioPackets.size(), 12u * 40u);
    ASSERT_EQ(videoPackets.size(), 720u);
    const uint32_t frameStart = BigEndian(audioPackets[kPictureFrame * 40], 4, 4);
    const uint32_t pictureTime = BigEndian(videoPackets[0], 4, 4);

    struct Report {
        double wallclock; // seconds
        uint32_t rtp;
        uint32_t ssrc;
        std::string cname;
    };
    const auto report = [](LoopbackSocket& socket) {
        const std::vector<uint8_t> packet = socket.Receive(3000);
        Report r{0, 0, 0, ""};
        EXPECT_FALSE(packet.empty());
        if (packet.size() < 40) {
            return r;
        }
        EXPECT_FALSE(ReadRtcp(packet.data(), packet.size()).malformed);
        EXPECT_EQ(packet[1], kRtcpSenderReport);
        r.ssrc = BigEndian(packet, 4, 4);
        r.wallclock = BigEndian(packet, 8, 4) + BigEndian(packet, 12, 4) / 4294967296.0;
        r.rtp = BigEndian(packet, 16, 4);
        r.cname.assign(packet.begin() + 38, packet.begin() + 38 + packet[37]);
        return r;
    };
    const Report a = report(audioRtcp);
    const Report v = report(videoRtcp);
    EXPECT_EQ(a.ssrc, BigEndian(audioPackets[0], 8, 4));
    EXPECT_EQ(v.ssrc, BigEndian(videoPackets[0], 8, 4));
    EXPECT_EQ(a.cname, v.cname); // one source: receivers group its streams by CNAME
    const double audioAt = a.wallclock + static_cast<int32_t>(frameStart - a.rtp) / 48000.0;
    const double videoAt = v.wallclock + static_cast<int32_t>(pictureTime - v.rtp) / 90000.0;
    EXPECT_NEAR((videoAt - audioAt) * 1000.0, 0.0, 0.02);

    // Feedback from a receiver, sent where the reports come from.
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<uint8_t> one(2000);
    ASSERT_GT(recvfrom(audioRtcp.Fd(), one.data(), one.size(), 0,
                       reinterpret_cast<sockaddr*>(&from), &length),
              0);
    const std::vector<std::vector<uint8_t>> feedback = {
        {0x80, 201, 0, 1, 9, 9, 9, 9},   // a receiver report without blocks
        {0x81, 203, 0, 1, 9, 9, 9, 9},   // BYE
        {0x9F, 201, 0, 1, 0, 0, 0, 1},   // 31 blocks claimed in 8 bytes
        {0xDE, 0xAD, 0xBE, 0xEF, 0x00}}; // not RTCP at all
    for (const auto& datagram : feedback) {
        sendto(probe, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from),
               length);
    }
    close(probe);
    // Read at the next round of reports, within a second.
    RtcpStats rtcp = Stats().rtcp;
    for (int i = 0; i < 60 && rtcp.malformed + rtcp.byes + rtcp.receiverReports < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rtcp = Stats().rtcp;
    }
    EXPECT_EQ(rtcp.receiverReports, 1u);
    EXPECT_EQ(rtcp.byes, 1u);
    EXPECT_EQ(rtcp.malformed, 2u);
    EXPECT_GE(rtcp.reportsSent, 4u);
}

} // namespace
