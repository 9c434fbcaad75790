// The built-in runtime's session: the SDP file and its SAP announcements (start, change,
// deletion), ports per copy number, the session folder, the choice of runtime, and the
// configuration values it refuses.
#include "loopback_receiver.h"
#include "sap.h"
#include "sdp.h"

#include <gtest/gtest.h>
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

    // First publication: file and announcement carry the same description.
    const SapPacket first = ParseSap(receivers.sap.Receive());
    const std::string path = receivers.SdpPath("QEL Audio Tone 1");
    const std::string sdp = ReadFile(path);
    ASSERT_FALSE(sdp.empty());
    EXPECT_EQ(first.flags, 0x20);
    EXPECT_EQ(first.origin, "127.0.0.1");
    EXPECT_EQ(first.type, "application/sdp");
    EXPECT_EQ(first.payload, sdp);
    EXPECT_EQ(first.hash, SapMessageHash(sdp));
    const int port = receivers.audio->Port();
    const std::string origin = Field(sdp, "o=");
    EXPECT_EQ(sdp, "v=0\r\no=" + origin +
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
                       "a=rtpmap:96 L24/48000/2\r\n"
                       "a=ptime:1\r\n"
                       "m=video " +
                       std::to_string(port + 2) +
                       " RTP/AVP 97\r\n"
                       "a=rtpmap:97 raw/90000\r\n"
                       "a=fmtp:97 sampling=RGB; width=640; height=360; depth=8; "
                       "colorimetry=BT709; exactframerate=25\r\n");
    EXPECT_NE(origin.find(" 1 IN IP4 127.0.0.1"), std::string::npos) << origin;

    BuiltinSenderInfo info;
    ASSERT_TRUE(GetBuiltinSenderInfo(sender, &info));
    EXPECT_EQ(info.sdpPath, path);
    EXPECT_EQ(info.audioPort, port);
    EXPECT_EQ(info.videoPort, port + 2);
    EXPECT_EQ(info.destination, "127.0.0.1");

    // A channel-count change is a new version, announced at once.
    TestAudioFrame sixteen(16);
    NDIlib_send_send_audio_v2(sender, &sixteen.frame);
    const SapPacket second = ParseSap(receivers.sap.Receive());
    const std::string revised = ReadFile(path);
    EXPECT_EQ(second.payload, revised);
    EXPECT_NE(second.hash, first.hash);
    EXPECT_EQ(second.hash, SapMessageHash(revised));
    EXPECT_NE(Field(revised, "o=").find(" 2 IN IP4 127.0.0.1"), std::string::npos);
    EXPECT_EQ(Field(revised, "a=rtpmap:96 "), "L24/48000/16");
    EXPECT_EQ(Field(revised, "a=ptime:"), "0.125");

    // Gone: a deletion with the last identifier and origin, and no file.
    NDIlib_send_destroy(sender);
    const SapPacket deletion = ParseSap(receivers.sap.Receive());
    EXPECT_EQ(deletion.flags, 0x24);
    EXPECT_EQ(deletion.hash, second.hash);
    EXPECT_EQ(deletion.payload, "o=" + Field(revised, "o=") + "\r\n");
    struct stat info2 {};
    EXPECT_NE(stat(path.c_str(), &info2), 0);
    EXPECT_TRUE(receivers.sap.ReceiveAll(100).empty());
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
    EXPECT_TRUE(receivers.sap.ReceiveAll(200).empty());
    NDIlib_send_destroy(sender);
    EXPECT_TRUE(receivers.sap.ReceiveAll(100).empty()); // nothing to withdraw either
}

TEST_F(BuiltinSession, VersionNamesTheBuiltInRuntime) {
    const std::string version = NDIlib_version();
    EXPECT_EQ(version.substr(version.rfind(' ') + 1), LIRAFON_PROJECT_VERSION);
    EXPECT_TRUE(NDIlib_is_supported_CPU());
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
