// A source sent on two legs (ST 2022-7), received by our own sockets on 127.0.0.1: every audio and
// video packet and every sender report arrives on both legs byte for byte, the session description
// groups the legs, a leg moved or switched off alone leaves the other whole, and the values that
// name two legs wrongly are refused.
#include "loopback_receiver.h"
#include "rtcp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Receivers of the second leg, 100 ports above the first: audio, its RTCP, video.
class TwoLegs : public testing::Test {
protected:
    void SetUp() override {
        const int first = receivers.audio->Port();
        for (int offset = 100; offset < 2000 && !legVideo; offset += 100) {
            legAudio = std::make_unique<LoopbackSocket>(first + offset);
            legRtcp = std::make_unique<LoopbackSocket>(first + offset + 1);
            legVideo = std::make_unique<LoopbackSocket>(first + offset + 2);
            if (!legAudio->Bound() || !legRtcp->Bound() || !legVideo->Bound()) {
                legVideo.reset();
            } else {
                legPort = first + offset;
            }
        }
        ASSERT_TRUE(legVideo) << "no free ports for the second leg";
        receivers.env.Set("LIRAFON_RTP_DESTINATION", "127.0.0.1,127.0.0.1")
            .Set("LIRAFON_RTP_PORT", std::to_string(first) + "," + std::to_string(legPort));
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
    void SendFrames(int count, int channels = 16) {
        TestAudioFrame audio(channels);
        for (int c = 0; c < channels; ++c) {
            for (int s = 0; s < 1920; ++s) {
                audio.At(c, s) =
                    static_cast<float>(c + 1) / 40.0f - static_cast<float>(s) / 8192.0f;
            }
        }
        for (int f = 0; f < count; ++f) {
            NDIlib_send_send_audio_v2(sender, &audio.frame);
        }
    }

    LoopbackReceivers receivers;
    std::unique_ptr<LoopbackSocket> legAudio;
    std::unique_ptr<LoopbackSocket> legRtcp;
    std::unique_ptr<LoopbackSocket> legVideo;
    int legPort = 0;
    NDIlib_send_instance_t sender = nullptr;
};

TEST_F(TwoLegs, EveryPacketAndReportArrivesOnBothLegsByteForByte) {
    LoopbackSocket firstRtcp(receivers.audio->Port() + 1);
    TestPicture picture;
    SendFrames(3);
    NDIlib_send_send_video_v2(sender, &picture.frame);
    SendFrames(2);
    const auto audioA = receivers.audio->ReceiveAll();
    const auto audioB = legAudio->ReceiveAll();
    const auto videoA = receivers.video->ReceiveAll();
    const auto videoB = legVideo->ReceiveAll();
    ASSERT_EQ(audioA.size(), 5u * 320u); // 0.125 ms packets at 16 channels
    ASSERT_EQ(audioB.size(), audioA.size());
    for (size_t i = 0; i < audioA.size(); ++i) {
        ASSERT_EQ(audioA[i], audioB[i]) << "audio packet " << i;
    }
    ASSERT_EQ(videoA.size(), 720u);
    ASSERT_EQ(videoB.size(), videoA.size());
    for (size_t i = 0; i < videoA.size(); ++i) {
        ASSERT_EQ(videoA[i], videoB[i]) << "video packet " << i;
    }
    if (firstRtcp.Bound()) {
        const std::vector<uint8_t> reportA = firstRtcp.Receive(3000);
        const std::vector<uint8_t> reportB = legRtcp->Receive(3000);
        ASSERT_FALSE(reportA.empty());
        EXPECT_EQ(reportA[1], kRtcpSenderReport);
        EXPECT_EQ(reportA, reportB);
    }

    BuiltinSenderInfo info;
    ASSERT_TRUE(GetBuiltinSenderInfo(sender, &info));
    ASSERT_TRUE(info.secondLeg);
    EXPECT_EQ(info.secondLeg->audioPort, legPort);
    EXPECT_EQ(info.secondLeg->videoPort, legPort + 2);
    EXPECT_EQ(info.secondLeg->destination, "127.0.0.1");
    const std::string sdp = ReadFile(info.sdpPath);
    EXPECT_NE(sdp.find("a=group:DUP audio-primary audio-secondary\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("m=audio " + std::to_string(legPort) + " "), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("m=video " + std::to_string(legPort + 2) + " "), std::string::npos);
    // SAP announces the legs as the file states them.
    bool announced = false;
    for (auto packet = receivers.sap.Receive(3000); !packet.empty() && !announced;
         packet = receivers.sap.Receive(3000)) {
        const std::string text(packet.begin(), packet.end());
        announced = text.find("m=audio " + std::to_string(legPort) + " ") != std::string::npos &&
                    text.find("a=group:DUP primary secondary") != std::string::npos;
    }
    EXPECT_TRUE(announced) << "no SAP announcement of both legs";
}

TEST_F(TwoLegs, ALegMovedOrSwitchedOffAloneLeavesTheOtherWhole) {
    std::string error;
    ASSERT_TRUE(RetargetBuiltinSender(sender, BuiltinStream::audio,
                                      *CSocketAddress::Parse("127.0.0.1", legPort), false, &error,
                                      1))
        << error;
    SendFrames(2);
    EXPECT_EQ(receivers.audio->ReceiveAll().size(), 640u);
    EXPECT_TRUE(legAudio->ReceiveAll(300, 300).empty());

    LoopbackSocket moved;
    ASSERT_TRUE(RetargetBuiltinSender(sender, BuiltinStream::audio,
                                      *CSocketAddress::Parse("127.0.0.1", moved.Port()), true,
                                      &error, 1))
        << error;
    SendFrames(1);
    EXPECT_EQ(receivers.audio->ReceiveAll().size(), 320u);
    EXPECT_EQ(moved.ReceiveAll().size(), 320u);
    const std::string sdp = BuiltinStreamSdp(sender, BuiltinStream::audio);
    EXPECT_NE(sdp.find("m=audio " + std::to_string(receivers.audio->Port()) + " "),
              std::string::npos)
        << sdp;
    EXPECT_NE(sdp.find("m=audio " + std::to_string(moved.Port()) + " "), std::string::npos) << sdp;
    BuiltinSenderInfo info;
    ASSERT_TRUE(GetBuiltinSenderInfo(sender, &info));
    EXPECT_EQ(info.secondLeg->audioPort, moved.Port());
    EXPECT_EQ(info.secondLeg->videoPort, legPort + 2); // the video's copies stay
    EXPECT_EQ(info.audioPort, receivers.audio->Port());

    EXPECT_FALSE(RetargetBuiltinSender(sender, BuiltinStream::audio,
                                       *CSocketAddress::Parse("::1", moved.Port()), true, &error,
                                       1));
    EXPECT_FALSE(RetargetBuiltinSender(sender, BuiltinStream::audio,
                                       *CSocketAddress::Parse("127.0.0.1", moved.Port()), true,
                                       &error, 2));
}

// One leg whose every copy the system refuses must not hold back the other leg. The refusal here:
// the limited broadcast address on a socket not allowed to broadcast, which the kernel turns
// down (EACCES) before anything is sent. A picture leaves in batches of packets, both legs'
// copies in one call: the refused ones must not end the call for the packets after them.
TEST_F(TwoLegs, ALegTheSystemRefusesHoldsNothingBack) {
    std::string error;
    for (const BuiltinStream stream : {BuiltinStream::audio, BuiltinStream::video}) {
        ASSERT_TRUE(RetargetBuiltinSender(
            sender, stream, *CSocketAddress::Parse("255.255.255.255", legPort), true, &error, 1))
            << error;
    }
    TestPicture picture;
    SendFrames(1);
    NDIlib_send_send_video_v2(sender, &picture.frame);
    SendFrames(1);
    EXPECT_EQ(receivers.audio->ReceiveAll().size(), 640u);
    EXPECT_EQ(receivers.video->ReceiveAll().size(), 720u);
    BuiltinSenderStats stats;
    ASSERT_TRUE(GetBuiltinSenderStats(sender, &stats));
    EXPECT_EQ(stats.refusedByLeg[0], 0u);
    EXPECT_EQ(stats.refusedByLeg[1], 640u + 720u);
    EXPECT_EQ(stats.video.packetsUnsent, 0u);
    // Every packet left on the first leg: none is counted as unsent, and the sender reports
    // (which both legs carry) count them all.
    EXPECT_EQ(stats.audio.packetsUnsent, 0u);
}

// Channels split into two 8-channel streams: each stream's copies on the second leg, at the
// second leg's ports as the first leg's stand.
class SplitTwoLegs : public TwoLegs {
protected:
    SplitTwoLegs() { receivers.env.Set("LIRAFON_RTP_STREAM_CHANNELS", "8"); }
};

TEST_F(SplitTwoLegs, BothStreamsGoOnBothLegs) {
    LoopbackSocket secondA(receivers.audio->Port() + 4);
    LoopbackSocket secondB(legPort + 4);
    if (!secondA.Bound() || !secondB.Bound()) {
        GTEST_SKIP() << "the second stream's ports are taken";
    }
    SendFrames(2);
    const auto firstStreamA = receivers.audio->ReceiveAll();
    const auto firstStreamB = legAudio->ReceiveAll();
    const auto secondStreamA = secondA.ReceiveAll();
    const auto secondStreamB = secondB.ReceiveAll();
    ASSERT_EQ(firstStreamA.size(), 80u); // 1 ms packets
    EXPECT_EQ(firstStreamB, firstStreamA);
    ASSERT_EQ(secondStreamA.size(), 80u);
    EXPECT_EQ(secondStreamB, secondStreamA);
    BuiltinSenderInfo info;
    ASSERT_TRUE(GetBuiltinSenderInfo(sender, &info));
    EXPECT_EQ(info.secondLeg->secondAudioPort, legPort + 4);
}

struct LegValues {
    const char* destination;
    const char* port;
    const char* interfaceName;
    const char* variable; // the one the refusal names
};

class BadLegs : public testing::TestWithParam<LegValues> {};

TEST_P(BadLegs, AreRefusedNamingTheVariable) {
    LoopbackReceivers receivers;
    const LegValues& v = GetParam();
    receivers.env.Set("LIRAFON_RTP_DESTINATION", v.destination);
    if (v.port[0] != '\0') {
        receivers.env.Set("LIRAFON_RTP_PORT", v.port);
    }
    if (v.interfaceName[0] != '\0') {
        receivers.env.Set("LIRAFON_RTP_INTERFACE", v.interfaceName);
    }
    std::string error;
    EXPECT_FALSE(CRuntimeConfig::FromEnvironment(&error));
    EXPECT_EQ(error.rfind(std::string(v.variable) + "=\"", 0), 0u) << error;
    EXPECT_NE(error.find("expected"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    TwoLegs, BadLegs,
    testing::Values(LegValues{"127.0.0.1,::1", "", "", "LIRAFON_RTP_DESTINATION"},
                    LegValues{"127.0.0.1,127.0.0.1", "5004", "", "LIRAFON_RTP_DESTINATION"},
                    LegValues{"127.0.0.1,127.0.0.2,127.0.0.3", "", "", "LIRAFON_RTP_DESTINATION"},
                    LegValues{"127.0.0.1,", "", "", "LIRAFON_RTP_DESTINATION"},
                    LegValues{"127.0.0.1,localhost", "", "", "LIRAFON_RTP_DESTINATION"},
                    LegValues{"127.0.0.1", "5004,5104", "", "LIRAFON_RTP_PORT"},
                    LegValues{"127.0.0.1,127.0.0.2", "5004,5104,5204", "", "LIRAFON_RTP_PORT"},
                    LegValues{"127.0.0.1,127.0.0.2", "5004,0", "", "LIRAFON_RTP_PORT"},
                    LegValues{"127.0.0.1", "", "lo,lo", "LIRAFON_RTP_INTERFACE"},
                    LegValues{"127.0.0.1,127.0.0.2", "", "lo,no-such", "LIRAFON_RTP_INTERFACE"}));

TEST(GoodLegs, OnePortOrInterfaceServesBothLegs) {
    LoopbackReceivers receivers;
    receivers.env.Set("LIRAFON_RTP_DESTINATION", "127.0.0.1,127.0.0.2")
        .Set("LIRAFON_RTP_PORT", "6000")
        .Set("LIRAFON_RTP_INTERFACE", "lo");
    std::string error;
    auto config = CRuntimeConfig::FromEnvironment(&error);
    ASSERT_TRUE(config) << error;
    ASSERT_TRUE(config->secondLeg);
    EXPECT_EQ(config->destination.HostAndPort(), "127.0.0.1:6000");
    EXPECT_EQ(config->secondLeg->destination.HostAndPort(), "127.0.0.2:6000");
    EXPECT_EQ(config->secondLeg->interfaceName, "lo");
    EXPECT_EQ(config->secondLeg->interfaceIndex, config->interfaceIndex);

    receivers.env.Set("LIRAFON_RTP_DESTINATION", "::1,::1")
        .Set("LIRAFON_RTP_PORT", "6000,7000")
        .Set("LIRAFON_RTP_INTERFACE", "lo,lo");
    config = CRuntimeConfig::FromEnvironment(&error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->secondLeg->destination.HostAndPort(), "[::1]:7000");
    EXPECT_EQ(config->basePort, 6000);

    receivers.env.Set("LIRAFON_RTP_DESTINATION", "127.0.0.1").Clear("LIRAFON_RTP_INTERFACE");
    receivers.env.Set("LIRAFON_RTP_PORT", "6000");
    config = CRuntimeConfig::FromEnvironment(&error);
    ASSERT_TRUE(config) << error;
    EXPECT_FALSE(config->secondLeg);
}

} // namespace
