// Byte-exact wire formats of the built-in runtime: RTP header, L24 values at both references with
// clamping, RFC 4175 headers, the RGB conversion, SAP packets and the SDP text.
#include "rtcp.h"
#include "rtp_packets.h"
#include "runtime_config.h"
#include "sap.h"
#include "sdp_writer.h"
#include "session_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(RtpHeaderTest, WritesEveryFieldInNetworkOrder) {
    uint8_t out[12];
    RtpHeader header;
    header.payloadType = 97;
    header.marker = true;
    header.sequence = 0xa1b2;
    header.timestamp = 0xc3d4e5f6;
    header.ssrc = 0x01020304;
    WriteRtpHeader(out, header);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12),
              (std::vector<uint8_t>{0x80, 0xe1, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 1, 2, 3, 4}));
    header.marker = false;
    header.payloadType = 96;
    WriteRtpHeader(out, header);
    EXPECT_EQ(out[1], 96);
}

TEST(RtpHeaderTest, SequenceAndTimestampWrapAround) {
    EXPECT_EQ(AdvanceSequence(65535, 1), 0);
    EXPECT_EQ(AdvanceSequence(65530, 320), 314);
    EXPECT_EQ(AdvanceTimestamp(0xffffff00u, 0x200), 0x100u);
}

TEST(L24Test, PacketTimeFollowsTheChannelCount) {
    EXPECT_EQ(SamplesPerAudioPacket(2), 48);
    EXPECT_EQ(SamplesPerAudioPacket(8), 48);
    EXPECT_EQ(SamplesPerAudioPacket(9), 6);
    EXPECT_EQ(SamplesPerAudioPacket(16), 6);
    // The largest packets stay within the Ethernet budget.
    EXPECT_LE(kRtpHeaderBytes + 48 * 8 * 3, kMaxPacketBytes);
    EXPECT_LE(kRtpHeaderBytes + 6 * 16 * 3, kMaxPacketBytes);
}

struct L24Case {
    float sample;
    double gain;
    int32_t expected;
    bool clamped;
};

class L24ValueTest : public testing::TestWithParam<L24Case> {};

TEST_P(L24ValueTest, ScalesRoundsAndClamps) {
    const L24Case c = GetParam();
    bool clamped = !c.clamped;
    EXPECT_EQ(FloatToL24(c.sample, c.gain, &clamped), c.expected);
    EXPECT_EQ(clamped, c.clamped);
}

const double kSmpte = 0.1;
const double kEbu = std::pow(10.0, -14.0 / 20.0);
const float kPlus30Dbu = 19.952623f; // 26 dB above the +4 dBu of 1.0

INSTANTIATE_TEST_SUITE_P(
    BothReferences, L24ValueTest,
    testing::Values(L24Case{0.0f, kSmpte, 0, false}, L24Case{1.0f, kSmpte, 838861, false},
                    L24Case{-1.0f, kSmpte, -838861, false}, L24Case{-0.5f, kSmpte, -419430, false},
                    L24Case{1.0f, kEbu, 1673747, false}, L24Case{-1.0f, kEbu, -1673747, false},
                    L24Case{0.63095737f, kEbu, 1056063, false},
                    L24Case{kPlus30Dbu, kSmpte, 8388607, true},
                    L24Case{-kPlus30Dbu, kSmpte, -8388608, true},
                    L24Case{kPlus30Dbu, kEbu, 8388607, true},
                    L24Case{9.99999f, kSmpte, 8388600, false},
                    L24Case{10.0f, kSmpte, 8388607, true}, L24Case{-10.0f, kSmpte, -8388608, false},
                    L24Case{std::numeric_limits<float>::infinity(), kSmpte, 8388607, true},
                    L24Case{std::numeric_limits<float>::quiet_NaN(), kSmpte, 0, true}));

TEST(L24Test, InterleavesPlanesBigEndianAndCountsClamps) {
    // Two planes of three samples, plane stride 4 samples.
    const float planes[8] = {1.0f, -1.0f, 0.0f, 0.0f, 0.5f, 20.0f, -20.0f, 0.0f};
    uint8_t out[2 * 3 * 3];
    const uint32_t clamped = WriteL24Payload(out, planes, 4 * sizeof(float), 2, 0, 3, kSmpte);
    EXPECT_EQ(clamped, 2u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 18),
              (std::vector<uint8_t>{0x0c, 0xcc, 0xcd, 0x06, 0x66, 0x66,    // 838861, 419430
                                    0xf3, 0x33, 0x33, 0x7f, 0xff, 0xff,    // -838861, clamp
                                    0x00, 0x00, 0x00, 0x80, 0x00, 0x00})); // 0, clamp
    // From an offset inside the planes.
    WriteL24Payload(out, planes, 4 * sizeof(float), 2, 1, 1, kSmpte);
    EXPECT_EQ(out[0], 0xf3);
    EXPECT_EQ(out[3], 0x7f);
}

TEST(Rfc4175Test, HeaderCarriesExtendedSequenceLengthLineAndOffset) {
    uint8_t out[8];
    WriteRfc4175Header(out, 0x1234, 1440, 359, 480);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8),
              (std::vector<uint8_t>{0x12, 0x34, 0x05, 0xa0, 0x01, 0x67, 0x01, 0xe0}));
    EXPECT_EQ(kMaxPixelsPerVideoPacket, 480);
}

TEST(Rfc4175Test, ConvertsBgrxAndRgbxToRgbHonouringTheStride) {
    const uint8_t bgrx[] = {1, 2, 3, 255, 4,  5,  6,  255, 99, 99,
                            7, 8, 9, 255, 10, 11, 12, 255, 99, 99};
    uint8_t rgb[12];
    ConvertToRgb(bgrx, 10, 2, 2, false, rgb);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 12),
              (std::vector<uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
    ConvertToRgb(bgrx, 10, 2, 2, true, rgb);
    EXPECT_EQ(rgb[0], 1);
    EXPECT_EQ(rgb[2], 3);
}

// A sender report and its CNAME as RFC 3550 lays them out, read back by the runtime's own reader;
// a receiver report with a negative cumulative loss.
TEST(RtcpTest, SenderReportLayoutAndReceiverReports) {
    EXPECT_EQ(NtpTimestamp(0), uint64_t{2'208'988'800} << 32);
    EXPECT_EQ(NtpTimestamp(1'500'000'000), (uint64_t{2'208'988'801} << 32) | 0x80000000u);
    RtcpSenderInfo info{0x01020304, 2'000'000'000, 0xA0B0C0D0, 77, 9000};
    const std::vector<uint8_t> sr = BuildSenderReport(info, "lirafon@127.0.0.1");
    ASSERT_EQ(sr.size() % 4, 0u);
    const std::vector<uint8_t> head(sr.begin(), sr.begin() + 28);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x80, 200,  0, 6,  1, 2, 3,    4,    0x83, 0xAA,
                                          0x7E, 0x82, 0, 0,  0, 0, 0xA0, 0xB0, 0xC0, 0xD0,
                                          0,    0,    0, 77, 0, 0, 0x23, 0x28}));
    EXPECT_EQ(sr[28], 0x81);
    EXPECT_EQ(sr[29], 202);
    EXPECT_EQ(std::string(sr.begin() + 38, sr.begin() + 38 + sr[37]), "lirafon@127.0.0.1");
    const RtcpReading own = ReadRtcp(sr.data(), sr.size());
    EXPECT_FALSE(own.malformed);
    EXPECT_EQ(own.senderReports, 1);
    EXPECT_EQ(own.others, 1);

    const std::vector<uint8_t> rr = {0x81, 201,  0, 7, 9,    9,   9, 9, 1, 2, 3, 4, 25, 0xFF,
                                     0xFF, 0xFF, 0, 0, 0,    0,   0, 0, 0, 0, 0, 0, 0,  0,
                                     0,    0,    0, 0, 0x81, 203, 0, 1, 9, 9, 9, 9};
    const RtcpReading feedback = ReadRtcp(rr.data(), rr.size());
    EXPECT_FALSE(feedback.malformed);
    EXPECT_EQ(feedback.receiverReports, 1);
    EXPECT_EQ(feedback.byes, 1);
    ASSERT_EQ(feedback.blocks.size(), 1u);
    EXPECT_EQ(feedback.blocks[0].source, 0x01020304u);
    EXPECT_EQ(feedback.blocks[0].fractionLost, 25);
    EXPECT_EQ(feedback.blocks[0].cumulativeLost, -1);
}

// What arrives on an RTCP port is never trusted: random datagrams, and valid ones cut short or
// with lengths and counts that overrun, are read without a read past their end (the sanitizer
// builds would stop here) and flagged when malformed.
TEST(RtcpTest, HostileDatagramsAreReadSafely) {
    std::mt19937 random(20261209);
    const std::vector<uint8_t> valid = BuildSenderReport({1, 2, 3, 4, 5}, "x");
    int malformed = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> datagram;
        if (i % 2 == 0) {
            datagram.resize(random() % 96);
            for (uint8_t& b : datagram) {
                b = static_cast<uint8_t>(random());
            }
        } else {
            datagram = valid;
            datagram[random() % datagram.size()] = static_cast<uint8_t>(random());
            datagram.resize(random() % (datagram.size() + 1));
        }
        // Exactly the datagram's own bytes: a heap block of that size, so any overrun is caught.
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[datagram.size() + 1]);
        std::copy(datagram.begin(), datagram.end(), exact.get());
        const RtcpReading reading = ReadRtcp(exact.get(), datagram.size());
        malformed += reading.malformed ? 1 : 0;
        EXPECT_LE(reading.reportBlocks * 24, static_cast<int>(datagram.size()));
    }
    EXPECT_GT(malformed, 10000);
    const std::vector<uint8_t> overrun = {0x9F, 201, 0, 1, 0, 0, 0, 1}; // 31 blocks in 8 bytes
    EXPECT_TRUE(ReadRtcp(overrun.data(), overrun.size()).malformed);
}

TEST(SapTest, AnnouncementAndDeletionHeaders) {
    const std::string sdp = "v=0\r\n";
    const uint16_t hash = SapMessageHash(sdp);
    EXPECT_NE(hash, 0);
    EXPECT_EQ(hash, SapMessageHash(sdp));
    EXPECT_NE(hash, SapMessageHash("v=0\r\ns=x\r\n"));
    std::vector<uint8_t> expected = {
        0x20, 0, static_cast<uint8_t>(hash >> 8), static_cast<uint8_t>(hash), 127, 0, 0, 1};
    const std::string type = "application/sdp";
    expected.insert(expected.end(), type.begin(), type.end());
    expected.push_back(0);
    expected.insert(expected.end(), sdp.begin(), sdp.end());
    EXPECT_EQ(BuildSapPacket(false, hash, "127.0.0.1", sdp), expected);
    expected[0] = 0x24;
    EXPECT_EQ(BuildSapPacket(true, hash, "127.0.0.1", sdp), expected);
    const std::vector<uint8_t> v6 = BuildSapPacket(false, hash, "::1", sdp);
    ASSERT_EQ(v6.size(), expected.size() + 12);
    EXPECT_EQ(v6[0], 0x30);
    EXPECT_EQ(v6[19], 1);
    EXPECT_TRUE(BuildSapPacket(false, hash, "not an address", sdp).empty());
}

TEST(SdpTest, DescribesAudioAndVideoInTheFixedOrder) {
    SdpDescription d;
    d.sourceName = "QEL Audio Tone 2";
    d.metadata = "<ndi_product long_name=\"x\"/>";
    d.sessionId = 42;
    d.version = 3;
    d.audioPort = 5008;
    d.videoPort = 5010;
    d.channelCount = 8;
    d.clock.audioOffset = 7;
    d.clock.videoOffset = 9;
    const std::string head = "v=0\r\n"
                             "o=- 42 3 IN IP4 127.0.0.1\r\n"
                             "s=QEL Audio Tone 2\r\n"
                             "i=<ndi_product long_name=\"x\"/>\r\n"
                             "c=IN IP4 127.0.0.1\r\n"
                             "t=0 0\r\n";
    const std::string audio = "m=audio 5008 RTP/AVP 96\r\n"
                              "c=IN IP4 127.0.0.1\r\n"
                              "a=recvonly\r\n"
                              "a=rtpmap:96 L24/48000/8\r\n"
                              "a=fmtp:96 channel-order=SMPTE2110.(ST,ST,ST,ST)\r\n"
                              "a=ptime:1\r\n"
                              "a=maxptime:1\r\n"
                              "a=framecount:48\r\n"
                              "a=rtcp:5009\r\n"
                              "a=ts-refclk:localmac=00-00-00-00-00-00\r\n"
                              "a=mediaclk:direct=7\r\n";
    const std::string video = "m=video 5010 RTP/AVP 97\r\n"
                              "c=IN IP4 127.0.0.1\r\n"
                              "a=recvonly\r\n"
                              "a=rtpmap:97 raw/90000\r\n"
                              "a=fmtp:97 sampling=RGB; width=640; height=360; depth=8; "
                              "colorimetry=BT709; exactframerate=25; TCS=SDR; PM=2110GPM; "
                              "SSN=ST2110-20:2017; TP=2110TPW; \r\n"
                              "a=rtcp:5011\r\n"
                              "a=ts-refclk:localmac=00-00-00-00-00-00\r\n"
                              "a=mediaclk:direct=9\r\n";
    const std::vector<SdpSession> sessions = BuildSdpSessions(d);
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[0].text, head + audio + video);
    EXPECT_FALSE(sessions[0].announced);
    EXPECT_EQ(sessions[1].part, "audio");
    EXPECT_EQ(sessions[1].text, std::string(head).replace(9, 2, "44") + audio);
    EXPECT_EQ(sessions[1].originLine, "o=- 44 3 IN IP4 127.0.0.1");
    EXPECT_EQ(sessions[2].part, "video");
    EXPECT_EQ(sessions[2].text, std::string(head).replace(9, 2, "43") + video);

    // A stream moved apart (by a controller) names its own host, in the combined session too.
    SdpDescription moved = d;
    moved.videoHost = "127.0.0.2";
    const std::vector<SdpSession> apart = BuildSdpSessions(moved);
    EXPECT_NE(apart[0].text.find("m=video 5010 RTP/AVP 97\r\nc=IN IP4 127.0.0.2\r\n"),
              std::string::npos);
    EXPECT_EQ(apart[1].text, sessions[1].text);
    EXPECT_NE(apart[2].text.find("s=QEL Audio Tone 2\r\ni=<ndi_product long_name=\"x\"/>\r\n"
                                 "c=IN IP4 127.0.0.2\r\n"),
              std::string::npos);

    // PTP: the grandmaster and domain, and the media clock at the PTP epoch.
    d.clock.ptp = true;
    d.clock.grandmaster = "16-DF-2A-FF-FE-8A-9F-69";
    d.clock.domain = 5;
    EXPECT_NE(BuildSdp(d).find("a=ts-refclk:ptp=IEEE1588-2008:16-DF-2A-FF-FE-8A-9F-69:5\r\n"
                               "a=mediaclk:direct=0\r\n"),
              std::string::npos);

    // 16 channels: 0.125 ms packets; multicast: TTL and source filter.
    d.channelCount = 16;
    d.metadata = "two\nlines";
    d.destinationHost = "239.1.2.3";
    d.destinationMulticast = true;
    d.ttl = 16;
    d.frameRateN = 30000;
    d.frameRateD = 1001;
    const std::string sdp = BuildSdp(d);
    EXPECT_NE(sdp.find("i=two lines\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("c=IN IP4 239.1.2.3/16\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("a=rtpmap:96 L24/48000/16\r\na=fmtp:96 channel-order=SMPTE2110.(ST,ST,ST,"
                       "ST,ST,ST,ST,ST)\r\na=ptime:0.125\r\na=maxptime:0.125\r\na=framecount:6"),
              std::string::npos);
    EXPECT_NE(sdp.find("a=source-filter: incl IN IP4 239.1.2.3 127.0.0.1\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("exactframerate=30000/1001;"), std::string::npos);

    // Split: two 8-channel 1 ms streams, each a session of its own, the combined one has both.
    d.streamChannels = 8;
    d.secondAudioPort = 5012;
    const std::vector<SdpSession> split = BuildSdpSessions(d);
    ASSERT_EQ(split.size(), 4u);
    EXPECT_EQ(split[1].part, "audio-1");
    EXPECT_EQ(split[2].part, "audio-2");
    EXPECT_NE(split[2].text.find("m=audio 5012 RTP/AVP 96\r\nc=IN IP4 239.1.2.3/16\r\n"
                                 "a=recvonly\r\na=rtpmap:96 L24/48000/8\r\n"),
              std::string::npos);
    EXPECT_NE(split[2].text.find("a=ptime:1\r\n"), std::string::npos);
    EXPECT_NE(split[0].text.find("m=audio 5012"), std::string::npos);
    d.channelCount = 8; // fits one stream again
    EXPECT_EQ(BuildSdpSessions(d).size(), 3u);

    d.destinationHost = "::1";
    d.destinationIpv6 = true;
    d.destinationMulticast = false;
    EXPECT_NE(BuildSdp(d).find("c=IN IP6 ::1\r\n"), std::string::npos);
}

TEST(SdpTest, FileNamesCannotLeaveTheFolder) {
    EXPECT_EQ(SdpFileName("QEL Audio Tone 1"), "QEL Audio Tone 1.sdp");
    EXPECT_EQ(SdpFileName("../x/y"), "_._x_y.sdp");
    EXPECT_EQ(SdpFileName(""), "source.sdp");
    EXPECT_EQ(SdpFileName("QEL Audio Tone 1", "audio-2"), "QEL Audio Tone 1-audio-2.sdp");
}

TEST(CopyNumberTest, TakenFromTheTrailingNumber) {
    EXPECT_EQ(CopyNumberOfSource("QEL Audio Tone 1"), 1);
    EXPECT_EQ(CopyNumberOfSource("QEL Audio Tone 8"), 8);
    EXPECT_EQ(CopyNumberOfSource("QEL Audio Tone 12"), 12);
    EXPECT_EQ(CopyNumberOfSource("QEL Audio Tone"), 1);
    EXPECT_EQ(CopyNumberOfSource("Tone 0"), 1);
    EXPECT_EQ(CopyNumberOfSource(""), 1);
}

} // namespace
