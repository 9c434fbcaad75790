// The built-in runtime's session: the SDP file and its SAP announcements (start, change,
// deletion), ports per copy number, the session folder, the choice of runtime, and the
// configuration values it refuses.
#include "installed_runtime.h"
#include "loopback_receiver.h"
#include "sap.h"
#include "sdp_writer.h"
#include "session_announcer.h"
#include "session_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct SapPacket {
    uint8_t flags = 0;
    uint16_t hash = 0;
    std::string origin;
    std::string type;
    std::string payload;
};

SapPacket ParseSap(const std::vector<uint8_t>& p) {
    SapPacket sap;
    if (p.size() < 8) {
        return sap;
    }
    sap.flags = p[0];
    sap.hash = static_cast<uint16_t>(BigEndian(p, 2, 2));
    sap.origin = std::to_string(p[4]) + "." + std::to_string(p[5]) + "." + std::to_string(p[6]) +
                 "." + std::to_string(p[7]);
    const auto zero = std::find(p.begin() + 8, p.end(), 0);
    sap.type.assign(p.begin() + 8, zero);
    if (zero != p.end()) {
        sap.payload.assign(zero + 1, p.end());
    }
    return sap;
}

std::string Field(const std::string& sdp, const std::string& prefix) {
    const size_t at = sdp.find("\r\n" + prefix);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + 2 + prefix.size();
    return sdp.substr(start, sdp.find("\r\n", start) - start);
}

class BuiltinSession : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(NDIlib_initialize()); }
    void TearDown() override { NDIlib_destroy(); }
    NDIlib_send_instance_t Create(const char* name) {
        NDIlib_send_create_t create{name, nullptr, false, true};
        return NDIlib_send_create(&create);
    }
    LoopbackReceivers receivers;
};

TEST_F(BuiltinSession, DescriptionIsWrittenAnnouncedRevisedAndWithdrawn) {
    NDIlib_send_instance_t sender = Create("QEL Audio Tone 1");
    ASSERT_NE(sender, nullptr);
    std::string text = "<ndi_product long_name=\"QEL EBU-style stereo tone\"/>";
    NDIlib_metadata_frame_t metadata{static_cast<int>(text.size()), NDIlib_send_timecode_synthesize,
                                     text.data()};
    NDIlib_send_add_connection_metadata(sender, &metadata);
    TestAudioFrame stereo(2);
    NDIlib_send_send_audio_v2(sender, &stereo.frame);

    // First publication: SAP announces the audio session and the video session, each exactly as
    // its file holds it; the combined file for local players holds both media.
    const SapPacket audio = ParseSap(receivers.sap.Receive());
    const SapPacket video = ParseSap(receivers.sap.Receive());
    const std::string path = receivers.SdpPath("QEL Audio Tone 1");
    const std::string base = path.substr(0, path.size() - 4);
    const std::string audioSdp = ReadFile(base + "-audio.sdp");
    const std::string videoSdp = ReadFile(base + "-video.sdp");
    const std::string sdp = ReadFile(path);
    for (const SapPacket* packet : {&audio, &video}) {
        EXPECT_EQ(packet->flags, 0x20);
        EXPECT_EQ(packet->origin, "127.0.0.1");
        EXPECT_EQ(packet->type, "application/sdp");
    }
    EXPECT_EQ(audio.payload, audioSdp);
    EXPECT_EQ(audio.hash, SapMessageHash(audioSdp));
    EXPECT_EQ(video.payload, videoSdp);
    EXPECT_NE(audio.hash, video.hash);
    const int port = receivers.audio->Port();
    const std::string origin = Field(audioSdp, "o=");
    const std::string offset = Field(audioSdp, "a=mediaclk:direct=");
    EXPECT_EQ(audioSdp, "v=0\r\no=" + origin +
                            "\r\n"
                            "s=QEL Audio Tone 1\r\n"
                            "i=" +
                            text +
                            "\r\n"
                            "c=IN IP4 127.0.0.1\r\n"
                            "t=0 0\r\n"
                            "m=audio " +
                            std::to_string(port) +
                            " RTP/AVP 96\r\n"
                            "c=IN IP4 127.0.0.1\r\n"
                            "a=recvonly\r\n"
                            "a=rtpmap:96 L24/48000/2\r\n"
                            "a=fmtp:96 channel-order=SMPTE2110.(ST)\r\n"
                            "a=ptime:1\r\n"
                            "a=maxptime:1\r\n"
                            "a=framecount:48\r\n"
                            "a=rtcp:" +
                            std::to_string(port + 1) +
                            "\r\n"
                            "a=ts-refclk:localmac=00-00-00-00-00-00\r\n"
                            "a=mediaclk:direct=" +
                            offset + "\r\n");
    EXPECT_NE(origin.find(" 1 IN IP4 127.0.0.1"), std::string::npos) << origin;
    EXPECT_EQ(Field(videoSdp, "m="), "video " + std::to_string(port + 2) + " RTP/AVP 97");
    EXPECT_EQ(sdp.find("m=audio"), audioSdp.find("m=audio")) << "one session head";
    EXPECT_NE(sdp.find(audioSdp.substr(audioSdp.find("m=audio"))), std::string::npos);
    EXPECT_NE(sdp.find(videoSdp.substr(videoSdp.find("m=video"))), std::string::npos);

    BuiltinSenderInfo info;
    ASSERT_TRUE(GetBuiltinSenderInfo(sender, &info));
    EXPECT_EQ(info.sdpPath, path);
    EXPECT_EQ(info.sdpFiles,
              (std::vector<std::string>{path, base + "-audio.sdp", base + "-video.sdp"}));
    EXPECT_EQ(info.audioPort, port);
    EXPECT_EQ(info.videoPort, port + 2);
    EXPECT_EQ(info.destination, "127.0.0.1");

    // A channel-count change is a new version of every session, announced at once.
    TestAudioFrame sixteen(16);
    NDIlib_send_send_audio_v2(sender, &sixteen.frame);
    const SapPacket audio2 = ParseSap(receivers.sap.Receive());
    const SapPacket video2 = ParseSap(receivers.sap.Receive());
    const std::string revised = ReadFile(base + "-audio.sdp");
    EXPECT_EQ(audio2.payload, revised);
    EXPECT_NE(audio2.hash, audio.hash);
    EXPECT_NE(Field(revised, "o=").find(" 2 IN IP4 127.0.0.1"), std::string::npos);
    EXPECT_EQ(Field(revised, "a=rtpmap:96 "), "L24/48000/16");
    EXPECT_EQ(Field(revised, "a=ptime:"), "0.125");
    EXPECT_EQ(Field(ReadFile(path), "a=rtpmap:96 "), "L24/48000/16");

    // Gone: a deletion of each session with its last identifier and origin, and no files.
    NDIlib_send_destroy(sender);
    for (const SapPacket* last : {&audio2, &video2}) {
        const SapPacket deletion = ParseSap(receivers.sap.Receive());
        EXPECT_EQ(deletion.flags, 0x24);
        EXPECT_EQ(deletion.hash, last->hash);
        EXPECT_EQ(deletion.payload, "o=" + Field(last->payload, "o=") + "\r\n");
    }
    for (const std::string& file : info.sdpFiles) {
        EXPECT_FALSE(std::filesystem::exists(file)) << file;
    }
    EXPECT_TRUE(receivers.sap.ReceiveAll(100, 100).empty());
}

TEST_F(BuiltinSession, LaterCopiesUseTheirOwnPorts) {
    NDIlib_send_instance_t third = Create("QEL Audio Tone 3");
    ASSERT_NE(third, nullptr);
    BuiltinSenderInfo info;
    ASSERT_TRUE(GetBuiltinSenderInfo(third, &info));
    EXPECT_EQ(info.audioPort, receivers.audio->Port() + 8);
    EXPECT_EQ(info.videoPort, receivers.audio->Port() + 10);
    EXPECT_EQ(info.sdpPath, receivers.SdpPath("QEL Audio Tone 3"));
    NDIlib_send_destroy(third);
    EXPECT_FALSE(GetBuiltinSenderInfo(third, &info));
}

TEST_F(BuiltinSession, NothingIsAnnouncedBeforeTheFirstAudioFrame) {
    NDIlib_send_instance_t sender = Create("QEL Audio Tone 1");
    TestPicture picture;
    NDIlib_send_send_video_v2(sender, &picture.frame);
    EXPECT_TRUE(receivers.sap.ReceiveAll(200, 200).empty());
    NDIlib_send_destroy(sender);
    EXPECT_TRUE(receivers.sap.ReceiveAll(100, 100).empty()); // nothing to withdraw either
}

TEST_F(BuiltinSession, VersionNamesTheBuiltInRuntime) {
    const std::string version = NDIlib_version();
    EXPECT_EQ(version.substr(version.rfind(' ') + 1), LIRAFON_PROJECT_VERSION);
    EXPECT_TRUE(NDIlib_is_supported_CPU());
}

TEST(SessionAnnouncerTest, RepeatsTheSameAnnouncementUntilStopped) {
    LoopbackSocket sap;
    SdpDescription description;
    description.sourceName = "QEL Audio Tone 1";
    description.audioPort = 5004;
    description.videoPort = 5006;
    CSessionAnnouncer announcer(description, "", std::chrono::milliseconds(50));
    std::string error;
    ASSERT_TRUE(
        announcer.Start(*CSocketAddress::Parse("127.0.0.1", sap.Port()), std::nullopt, 0, &error))
        << error;
    announcer.SetAudioFormat(2);
    const SapPacket first = ParseSap(sap.Receive());
    const std::vector<SdpSession> sessions = BuildSdpSessions(description);
    EXPECT_EQ(first.payload, sessions[1].text); // the audio session; then the video session
    EXPECT_EQ(ParseSap(sap.Receive()).payload, sessions[2].text);
    for (int i = 0; i < 3; ++i) {
        const SapPacket again = ParseSap(sap.Receive());
        ParseSap(sap.Receive());
        EXPECT_EQ(again.flags, 0x20);
        EXPECT_EQ(again.hash, first.hash);
        EXPECT_EQ(again.payload, first.payload);
    }
    announcer.Stop();
    SapPacket last = ParseSap(sap.Receive());
    while (last.flags == 0x20) { // repeats already on their way
        last = ParseSap(sap.Receive());
    }
    EXPECT_EQ(last.flags, 0x24);
    EXPECT_EQ(ParseSap(sap.Receive()).flags, 0x24);
    EXPECT_TRUE(sap.ReceiveAll(150, 150).empty());
}

TEST(SessionFolderTest, PrivateFolderUnderTmpWithoutXdgRuntimeDir) {
    ScopedEnv env;
    env.Clear("XDG_RUNTIME_DIR");
    std::string error;
    const std::string folder = SessionFolder(&error);
    EXPECT_EQ(folder, "/tmp/qel-ndi-lirafon-" + std::to_string(getuid())) << error;
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(RuntimeChoiceTest, AutoFallsBackToTheBuiltInRuntime) {
    if (SystemHasVendorRuntime()) {
        GTEST_SKIP() << "a vendor NDI runtime is installed on this computer: auto chooses it";
    }
    LoopbackReceivers receivers;
    receivers.env.Set("LIRAFON_NDI_RUNTIME", "auto")
        .Clear("NDI_RUNTIME_DIR_V6")
        .Clear("NDI_RUNTIME_DIR_V5");
    ASSERT_TRUE(NDIlib_initialize());
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::builtin);
    NDIlib_destroy();
    EXPECT_EQ(ActiveNdiRuntime(), NdiRuntimeKind::none);
}

struct BadValue {
    const char* variable;
    const char* value;
};

class BadConfiguration : public testing::TestWithParam<BadValue> {};

TEST_P(BadConfiguration, RefusesToStartWithOneLineNamingVariableAndValue) {
    LoopbackReceivers receivers;
    receivers.env.Set(GetParam().variable, GetParam().value);
    CaptureStderr();
    const bool started = NDIlib_initialize();
    const std::string err = GetCapturedStderr();
    NDIlib_destroy();
    EXPECT_FALSE(started);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(std::string(GetParam().variable) + "=\"" + GetParam().value + "\""),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("expected"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariable, BadConfiguration,
    testing::Values(
        BadValue{"LIRAFON_RTP_PORT", "abc"}, BadValue{"LIRAFON_RTP_PORT", "0"},
        BadValue{"LIRAFON_RTP_PORT", "65506"}, BadValue{"LIRAFON_RTP_PORT", "-5"},
        BadValue{"LIRAFON_RTP_PORT", " 5004"}, BadValue{"LIRAFON_RTP_DESTINATION", "localhost"},
        BadValue{"LIRAFON_RTP_DESTINATION", "0.0.0.0"},
        BadValue{"LIRAFON_RTP_DESTINATION", "255.255.255.255"},
        BadValue{"LIRAFON_RTP_DESTINATION", "127.0.0"},
        BadValue{"LIRAFON_RTP_DESTINATION", "127.0.0.1:5004"}, BadValue{"LIRAFON_RTP_TTL", "0"},
        BadValue{"LIRAFON_RTP_TTL", "256"}, BadValue{"LIRAFON_RTP_TTL", "one"},
        BadValue{"LIRAFON_RTP_INTERFACE", "no-such-interface"},
        BadValue{"LIRAFON_SAP_DESTINATION", "127.0.0.1:0"},
        BadValue{"LIRAFON_SAP_DESTINATION", "127.0.0.1:70000"},
        BadValue{"LIRAFON_SAP_DESTINATION", "[::1"},
        BadValue{"LIRAFON_SAP_DESTINATION", "sap.example"},
        BadValue{"LIRAFON_RTP_REFERENCE", "SMPTE"}, BadValue{"LIRAFON_RTP_REFERENCE", "aes"},
        BadValue{"LIRAFON_NDI_RUNTIME", "built-in"}));

TEST(GoodConfiguration, AcceptsEveryDocumentedForm) {
    LoopbackReceivers receivers;
    receivers.env.Set("LIRAFON_RTP_DESTINATION", "::1")
        .Set("LIRAFON_RTP_TTL", "255")
        .Set("LIRAFON_RTP_INTERFACE", "lo")
        .Set("LIRAFON_SAP_DESTINATION", "[::1]:9000")
        .Set("LIRAFON_RTP_REFERENCE", "ebu")
        .Set("LIRAFON_RTP_PORT", "65505");
    std::string error;
    const auto config = CRuntimeConfig::FromEnvironment(&error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->destination.HostAndPort(), "[::1]:65505");
    EXPECT_EQ(config->ttl, 255);
    EXPECT_NE(config->interfaceIndex, 0u);
    EXPECT_EQ(config->sapDestination.HostAndPort(), "[::1]:9000");
    EXPECT_EQ(config->reference, LevelReference::ebu);
    receivers.env.Set("LIRAFON_SAP_DESTINATION", "127.0.0.1:40000").Clear("LIRAFON_RTP_PORT");
    const auto second = CRuntimeConfig::FromEnvironment(&error);
    ASSERT_TRUE(second) << error;
    EXPECT_EQ(second->sapDestination.HostAndPort(), "127.0.0.1:40000");
    EXPECT_EQ(second->basePort, 5004);
    receivers.env.Set("LIRAFON_SAP_DESTINATION", "::1");
    EXPECT_EQ(CRuntimeConfig::FromEnvironment(&error)->sapDestination.HostAndPort(), "[::1]:9875");
}

} // namespace
