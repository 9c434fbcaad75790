// Each reader against the writer of the same format, and against packets made by hand to the
// letter of their RFC where the writer never goes (CSRCs, extensions, padding, chained lines).
#include "media_time.h"
#include "rtcp.h"
#include "rtp_packets.h"
#include "sdp_reader.h"
#include "sdp_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Packet(const RtpHeader& header, std::vector<uint8_t> payload) {
    std::vector<uint8_t> packet(kRtpHeaderBytes);
    WriteRtpHeader(packet.data(), header);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

TEST(RtpReaderTest, ReadsWhatTheWriterWroteAndSkipsCsrcsExtensionsAndPadding) {
    const RtpHeader header{96, true, 0xfffe, 0x89abcdef, 0x01020304};
    std::vector<uint8_t> packet = Packet(header, {1, 2, 3, 4, 5, 6});
    std::optional<RtpView> view = ReadRtp(packet.data(), packet.size());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->header.payloadType, 96);
    EXPECT_TRUE(view->header.marker);
    EXPECT_EQ(view->header.sequence, 0xfffe);
    EXPECT_EQ(view->header.timestamp, 0x89abcdefu);
    EXPECT_EQ(view->header.ssrc, 0x01020304u);
    EXPECT_EQ(view->payloadBytes, 6u);
    EXPECT_EQ(view->payload[0], 1);

    // Two CSRCs, a one-word extension and three bytes of padding around a 2-byte payload.
    std::vector<uint8_t> full = Packet(header, {});
    full[0] = 0x80 | 0x20 | 0x10 | 2;
    full.insert(full.end(), 8, 0xcc);                  // CSRCs
    full.insert(full.end(), {0xbe, 0xde, 0x00, 0x01}); // extension header, one word
    full.insert(full.end(), 4, 0xee);
    full.insert(full.end(), {0x42, 0x43});
    full.insert(full.end(), {0, 0, 3});
    view = ReadRtp(full.data(), full.size());
    ASSERT_TRUE(view);
    ASSERT_EQ(view->payloadBytes, 2u);
    EXPECT_EQ(view->payload[0], 0x42);

    // Each length that runs past the datagram is refused, not read beyond.
    std::vector<uint8_t> csrcs = Packet(header, {});
    csrcs[0] = 0x80 | 15;
    EXPECT_FALSE(ReadRtp(csrcs.data(), csrcs.size()));
    std::vector<uint8_t> extension = Packet(header, {0xbe, 0xde, 0x00, 0x09});
    extension[0] |= 0x10;
    EXPECT_FALSE(ReadRtp(extension.data(), extension.size()));
    std::vector<uint8_t> padding = Packet(header, {1, 2, 9});
    padding[0] |= 0x20;
    EXPECT_FALSE(ReadRtp(padding.data(), padding.size()));
    padding.back() = 0;
    EXPECT_FALSE(ReadRtp(padding.data(), padding.size())) << "a padding count of 0";
    std::vector<uint8_t> version = Packet(header, {1});
    version[0] = 0x40;
    EXPECT_FALSE(ReadRtp(version.data(), version.size()));
    EXPECT_FALSE(ReadRtp(packet.data(), kRtpHeaderBytes - 1));
}

TEST(RtpReaderTest, UnwrappersFollowTheCountAcrossTheWrapBothWays) {
    CSequenceUnwrapper sequences;
    EXPECT_EQ(sequences.Unwrap(65534), 65534);
    EXPECT_EQ(sequences.Unwrap(65535), 65535);
    EXPECT_EQ(sequences.Unwrap(1), 65537);     // wrapped, one lost
    EXPECT_EQ(sequences.Unwrap(0), 65536);     // reordered back across the wrap
    EXPECT_EQ(sequences.Unwrap(65533), 65533); // late, from before it
    CTimestampUnwrapper stamps;
    EXPECT_EQ(stamps.Unwrap(0xffffffd0u), 0xffffffd0);
    EXPECT_EQ(stamps.Unwrap(0x00000020u), 0x100000020);
    EXPECT_EQ(stamps.Unwrap(0x40000020u), int64_t{0x140000020});
}

TEST(RtpReaderTest, LinearPcmIsSignExtendedAtBothWidths) {
    const std::vector<uint8_t> l24{0x7f, 0xff, 0xff, 0x80, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00};
    std::vector<double> samples;
    ReadLinearPcm(l24.data(), l24.size(), 24, 1, &samples);
    ASSERT_EQ(samples.size(), 3u) << "the partial sample at the end is not read";
    EXPECT_DOUBLE_EQ(samples[0], 8388607.0 / 8388608.0);
    EXPECT_DOUBLE_EQ(samples[1], -1.0);
    EXPECT_DOUBLE_EQ(samples[2], -1.0 / 8388608.0);
    const std::vector<uint8_t> l16{0x80, 0x00, 0x40, 0x00, 0x01};
    ReadLinearPcm(l16.data(), l16.size(), 16, 2, &samples);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_DOUBLE_EQ(samples[0], -1.0);
    EXPECT_DOUBLE_EQ(samples[1], 0.5);
}

TEST(Rfc4175ReaderTest, ChainedSegmentsAndTheirData) {
    // Extended sequence 0x1234; line 7 from pixel 0, 6 bytes, continued; line 8 from pixel 2,
    // 3 bytes; then their data.
    const std::vector<uint8_t> payload{0x12, 0x34, 0, 6, 0, 7, 0x80, 0, 0, 3, 0, 8,
                                       0,    2,    1, 2, 3, 4, 5,    6, 7, 8, 9};
    std::optional<Rfc4175View> view = ReadRfc4175(payload.data(), payload.size());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->extendedSequence, 0x1234);
    ASSERT_EQ(view->segments.size(), 2u);
    EXPECT_EQ(view->segments[0].line, 7);
    EXPECT_EQ(view->segments[0].bytes, 6u);
    EXPECT_EQ(view->segments[0].data[0], 1);
    EXPECT_EQ(view->segments[1].line, 8);
    EXPECT_EQ(view->segments[1].offset, 2);
    EXPECT_EQ(view->segments[1].data[0], 7);
    // One byte short of the second segment's data: refused whole.
    EXPECT_FALSE(ReadRfc4175(payload.data(), payload.size() - 1));
    // A chain that never ends within the limit.
    std::vector<uint8_t> endless(2 + 70 * kRfc4175LineHeaderBytes, 0x80);
    EXPECT_FALSE(ReadRfc4175(endless.data(), endless.size()));
}

TEST(RtcpReaderTest, SenderReportMappingReceiverReportAndByeRoundTrip) {
    RtcpSenderInfo info;
    info.ssrc = 0xa1b2c3d4;
    info.wallclockNs = 1'765'000'000'123'456'789;
    info.rtpTimestamp = 0xdeadbeef;
    info.packetCount = 1000;
    info.octetCount = 288000;
    const std::vector<uint8_t> report = BuildSenderReport(info, "lirafon@host");
    RtcpReading reading = ReadRtcp(report.data(), report.size());
    ASSERT_FALSE(reading.malformed);
    ASSERT_EQ(reading.senders.size(), 1u);
    EXPECT_EQ(reading.senders[0].ssrc, info.ssrc);
    EXPECT_EQ(reading.senders[0].rtpTimestamp, info.rtpTimestamp);
    EXPECT_EQ(reading.senders[0].packetCount, 1000u);
    EXPECT_EQ(reading.senders[0].octetCount, 288000u);
    // The NTP fraction carries 0.23 ns: the time comes back within a nanosecond.
    EXPECT_NEAR(static_cast<double>(reading.senders[0].wallclockNs - info.wallclockNs), 0.0, 1.0);

    const std::vector<uint8_t> receiver =
        BuildReceiverReport(7, {{info.ssrc, 64, -3, 70000, 12}, {99, 0, 5000000, 1, 0}}, "probe");
    reading = ReadRtcp(receiver.data(), receiver.size());
    ASSERT_FALSE(reading.malformed);
    EXPECT_EQ(reading.receiverReports, 1);
    EXPECT_EQ(reading.others, 1); // the SDES
    ASSERT_EQ(reading.blocks.size(), 2u);
    EXPECT_EQ(reading.blocks[0].reporter, 7u);
    EXPECT_EQ(reading.blocks[0].fractionLost, 64);
    EXPECT_EQ(reading.blocks[0].cumulativeLost, -3);
    EXPECT_EQ(reading.blocks[1].cumulativeLost, 5000000);

    const std::vector<uint8_t> bye = BuildBye(7);
    reading = ReadRtcp(bye.data(), bye.size());
    EXPECT_FALSE(reading.malformed);
    EXPECT_EQ(reading.byes, 1);
    EXPECT_EQ(reading.receiverReports, 1) << "a compound packet begins with a report";
}

TEST(SdpReaderTest, ReadsTheGeneratorsOwnDescriptions) {
    SdpDescription description;
    description.sourceName = "QEL Audio Tone 1";
    description.destinationHost = "239.10.20.30";
    description.destinationMulticast = true;
    description.ttl = 8;
    description.audioPort = 5004;
    description.videoPort = 5006;
    description.channelCount = 16;
    description.streamChannels = 8;
    description.secondAudioPort = 5008;
    for (const SdpSession& session : BuildSdpSessions(description)) {
        std::vector<std::string> errors;
        const std::optional<wire::SessionDescription> read = wire::ParseSdp(session.text, &errors);
        ASSERT_TRUE(read) << session.part << ": " << (errors.empty() ? "" : errors.front());
        EXPECT_EQ(read->name, "QEL Audio Tone 1");
        for (const wire::SdpMedia& media : read->media) {
            EXPECT_EQ(read->ConnectionOf(media), "239.10.20.30");
            ASSERT_FALSE(media.formats.empty());
            const std::optional<wire::SdpRtpMap> map = media.RtpMap(media.formats.front());
            ASSERT_TRUE(map) << media.kind;
            if (media.kind == "audio") {
                EXPECT_EQ(map->encoding, "L24");
                EXPECT_EQ(map->rate, 48000);
                EXPECT_EQ(map->channels, 8);
                EXPECT_TRUE(media.Attribute("ptime"));
            } else {
                EXPECT_EQ(map->encoding, "raw");
                const auto format = media.FormatParameters(media.formats.front());
                EXPECT_EQ(format.at("width"), "640");
                EXPECT_EQ(format.at("height"), "360");
                EXPECT_EQ(format.at("sampling"), "RGB");
            }
            EXPECT_EQ(media.RtcpPort(), media.port + 1);
        }
    }
}

TEST(SdpReaderTest, OneErrorPerBadLineNamingIt) {
    const std::string text = "v=0\r\n"
                             "o=- 1 1 IN IP4 127.0.0.1\r\n"
                             "s=broken\r\n"
                             "c=IN IP4 not-an-address\r\n"
                             "m=audio 5004 RTP/AVP 96\r\n"
                             "a=rtpmap:96 L24\r\n"
                             "a=rtcp:99999\r\n"
                             "just text\r\n"
                             "m=audio seventy RTP/AVP 96\r\n"
                             "a=ptime:1\r\n";
    std::vector<std::string> errors;
    EXPECT_FALSE(wire::ParseSdp(text, &errors));
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors[0], "line 4: c= wants IN IP4 or IN IP6 and a numeric address");
    EXPECT_EQ(errors[1], "line 6: a=rtpmap wants <payload type> <encoding>/<rate>[/<channels>]");
    EXPECT_EQ(errors[2], "line 7: a=rtcp wants a port 1 to 65535");
    EXPECT_EQ(errors[3], "line 8: not <type>=<value>");
    EXPECT_EQ(errors[4], "line 9: m= wants <media> <port> <protocol> <payload types>");

    errors.clear();
    EXPECT_FALSE(wire::ParseSdp("RIFF....WAVEfmt ", &errors));
    EXPECT_EQ(errors, std::vector<std::string>{"line 1: a session description begins with v=0"})
        << "not a description at all: one error, nothing after it read";
    errors.clear();
    // Bare LF line ends, a section's own connection over the session's, IPv6, and a=rtcp with
    // its address.
    const std::optional<wire::SessionDescription> good =
        wire::ParseSdp("v=0\nc=IN IP4 192.0.2.1/32\nm=audio 5004 RTP/AVP 97\nc=IN IP6 ff15::1\n"
                       "a=rtpmap:97 l16/44100/2\na=rtcp:6000 IN IP6 ff15::1\n",
                       &errors);
    ASSERT_TRUE(good) << errors.front();
    EXPECT_EQ(good->connection, "192.0.2.1");
    EXPECT_EQ(good->ConnectionOf(good->media[0]), "ff15::1");
    EXPECT_EQ(good->media[0].RtpMap(97)->channels, 2);
    EXPECT_EQ(good->media[0].RtcpPort(), 6000);
}

TEST(MediaTimeTest, TaiTextAndTimestampAge) {
    EXPECT_EQ(wire::TaiText(1'700'000'000'000'000'123), "1700000000:123");
    EXPECT_EQ(wire::ParseTaiText("1700000000:123"), 1'700'000'000'000'000'123);
    for (const char* bad : {"", ":", "1:", ":1", "-1:0", "1:0000000000", "1000000000000:0", "1:+1",
                            "1:2:3", " 1:2"}) {
        EXPECT_FALSE(wire::ParseTaiText(bad)) << bad;
    }
    // A timestamp 48 samples (1 ms) old at 48 kHz, on a PTP-era time whose count wraps 32 bits.
    const int64_t now = 1'765'000'000'000'000'000;
    const auto stamp = static_cast<uint32_t>(NsToSamplesSinceEpoch(now, 48000) - 48);
    EXPECT_NEAR(static_cast<double>(TimestampAgeNs(now, stamp, 48000)), 1e6, 21000.0);
    // One from the future (a sender ahead of this clock) reads as negative.
    EXPECT_LT(TimestampAgeNs(now, stamp + 96, 48000), 0);
}

} // namespace
