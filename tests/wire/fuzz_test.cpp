// The readers on what a network or a file can hand them: random bytes, every truncation of a
// valid packet, valid packets with random bytes flipped, and session descriptions made of random
// and mangled lines. Nothing may read beyond what it was given (the sanitizer builds catch any
// byte), and whatever is accepted must lie within it.
#include "rtcp.h"
#include "rtp_packets.h"
#include "sdp_reader.h"
#include "sdp_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 20000;

// Each reader on exactly these bytes, in a buffer of their size, so one byte too far is caught.
void ReadAll(const std::vector<uint8_t>& bytes) {
    const std::vector<uint8_t> exact(bytes);
    if (const std::optional<RtpView> rtp = ReadRtp(exact.data(), exact.size())) {
        ASSERT_GE(rtp->payload, exact.data());
        ASSERT_LE(rtp->payload + rtp->payloadBytes, exact.data() + exact.size());
        if (const std::optional<Rfc4175View> video = ReadRfc4175(rtp->payload, rtp->payloadBytes)) {
            for (const Rfc4175Segment& segment : video->segments) {
                ASSERT_LE(segment.data + segment.bytes, rtp->payload + rtp->payloadBytes);
            }
        }
        std::vector<double> samples;
        ReadLinearPcm(rtp->payload, rtp->payloadBytes, 24, 3, &samples);
        ASSERT_LE(samples.size() * 3, rtp->payloadBytes);
    }
    const RtcpReading rtcp = ReadRtcp(exact.data(), exact.size());
    ASSERT_LE(rtcp.blocks.size(), exact.size() / 24);
}

std::vector<uint8_t> ValidRtp(std::mt19937& random) {
    std::vector<uint8_t> packet(kRtpHeaderBytes);
    WriteRtpHeader(packet.data(), RtpHeader{97, true, static_cast<uint16_t>(random()),
                                            static_cast<uint32_t>(random()), 1});
    std::vector<uint8_t> header(kRfc4175ExtSeqBytes + kRfc4175LineHeaderBytes);
    WriteRfc4175Header(header.data(), 1, 30, 5, 0);
    packet.insert(packet.end(), header.begin(), header.end());
    packet.resize(packet.size() + 30, 0x55);
    return packet;
}

TEST(FuzzTest, DatagramsRandomTruncatedAndFlipped) {
    std::mt19937 random(20261209);
    for (int round = 0; round < kRounds; ++round) {
        std::vector<uint8_t> bytes(random() % 80);
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        if (!bytes.empty() && round % 2 == 0) {
            bytes[0] = static_cast<uint8_t>(0x80 | (bytes[0] & 0x3f)); // version 2: read further
        }
        ReadAll(bytes);
    }
    RtcpSenderInfo info;
    info.ssrc = 5;
    const std::vector<std::vector<uint8_t>> valid{
        ValidRtp(random), BuildSenderReport(info, "a-cname"),
        BuildReceiverReport(5, {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}}, "x"), BuildBye(5)};
    for (const std::vector<uint8_t>& packet : valid) {
        for (size_t size = 0; size <= packet.size(); ++size) {
            ReadAll(std::vector<uint8_t>(packet.begin(), packet.begin() + static_cast<long>(size)));
        }
        for (int round = 0; round < kRounds / 4; ++round) {
            std::vector<uint8_t> flipped = packet;
            for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips) {
                flipped[random() % flipped.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
            }
            ReadAll(flipped);
        }
    }
}

TEST(FuzzTest, SessionDescriptionsOfRandomAndMangledLines) {
    std::mt19937 random(8866);
    SdpDescription description;
    description.sourceName = "QEL Audio Tone 1";
    description.audioPort = 5004;
    description.videoPort = 5006;
    const std::string valid = BuildSdp(description);
    std::vector<std::string> lines;
    for (size_t at = 0; at < valid.size();) {
        const size_t end = valid.find('\n', at);
        lines.push_back(valid.substr(at, end - at + 1));
        at = end + 1;
    }
    const std::string alphabet = "vocsmat=:/ IP46RTP/AVP0123456789.-;\r\n\x01\xff";
    for (int round = 0; round < kRounds; ++round) {
        std::string text;
        for (const std::string& line : lines) {
            std::string mangled = line;
            if (random() % 4 == 0 && !mangled.empty()) {
                const int what = static_cast<int>(random() % 3);
                const size_t at = random() % mangled.size();
                if (what == 0) {
                    mangled.erase(at, random() % (mangled.size() - at + 1));
                } else if (what == 1) {
                    mangled[at] = alphabet[random() % alphabet.size()];
                } else {
                    mangled.insert(at, 1 + random() % 4, alphabet[random() % alphabet.size()]);
                }
            }
            text += mangled;
        }
        std::vector<std::string> errors;
        const std::optional<wire::SessionDescription> read = wire::ParseSdp(text, &errors);
        // Refused with a reason, or read whole with none.
        ASSERT_EQ(read.has_value(), errors.empty());
        if (read) {
            for (const wire::SdpMedia& media : read->media) {
                for (const int type : media.formats) {
                    media.RtpMap(type);
                    media.FormatParameters(type);
                }
                ASSERT_GE(media.RtcpPort(), 1);
            }
        }
        // The same text cut anywhere.
        const std::string cut = text.substr(0, random() % (text.size() + 1));
        errors.clear();
        const bool cutRead = wire::ParseSdp(cut, &errors).has_value();
        ASSERT_EQ(cutRead, errors.empty());
    }
}

} // namespace
