#include "rtcp.h"

#include <algorithm>

namespace {

constexpr int kVersion = 2;
constexpr size_t kHeaderBytes = 4;
constexpr size_t kSenderInfoBytes = 24; // SSRC, NTP (8), RTP, packets, octets
constexpr size_t kReportBlockBytes = 24;
constexpr int kSdesCname = 1;
constexpr size_t kMaxCname = 255;

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The header of one RTCP packet; length is in 32-bit words minus one.
void PutHeader(std::vector<uint8_t>& out, int count, int type, size_t bytes) {
    out.push_back(static_cast<uint8_t>(kVersion << 6 | (count & 0x1f)));
    out.push_back(static_cast<uint8_t>(type));
    const auto words = static_cast<uint16_t>(bytes / 4 - 1);
    out.push_back(static_cast<uint8_t>(words >> 8));
    out.push_back(static_cast<uint8_t>(words));
}

// SDES: one chunk, the CNAME item, an end item, padded to a 32-bit boundary.
void PutSourceDescription(std::vector<uint8_t>& out, uint32_t ssrc, const std::string& cname) {
    const size_t nameBytes = std::min(cname.size(), kMaxCname);
    const size_t chunk = 4 + 2 + nameBytes + 1;
    const size_t padded = (chunk + 3) / 4 * 4;
    PutHeader(out, 1, kRtcpSourceDescription, kHeaderBytes + padded);
    Put32(out, ssrc);
    out.push_back(kSdesCname);
    out.push_back(static_cast<uint8_t>(nameBytes));
    out.insert(out.end(), cname.begin(), cname.begin() + static_cast<std::ptrdiff_t>(nameBytes));
    out.resize(out.size() + (padded - chunk) + 1, 0); // the end item and the padding
}

} // namespace

uint64_t NtpTimestamp(int64_t unixNs) {
    const int64_t seconds = unixNs / 1'000'000'000 + (unixNs % 1'000'000'000 < 0 ? -1 : 0);
    const int64_t nanos = unixNs - seconds * 1'000'000'000;
    const auto ntpSeconds = static_cast<uint64_t>(seconds + kNtpUnixOffsetSeconds);
    const uint64_t fraction = (static_cast<uint64_t>(nanos) << 32) / 1'000'000'000u;
    return ntpSeconds << 32 | (fraction & 0xffffffffu);
}

int64_t NtpToUnixNs(uint64_t ntp) {
    const auto seconds = static_cast<int64_t>(ntp >> 32) - kNtpUnixOffsetSeconds;
    const auto nanos = static_cast<int64_t>(((ntp & 0xffffffffu) * 1'000'000'000u) >> 32);
    return seconds * 1'000'000'000 + nanos;
}

std::vector<uint8_t> BuildReceiverReport(uint32_t reporter,
                                         const std::vector<RtcpReportBlock>& blocks,
                                         const std::string& cname) {
    std::vector<uint8_t> out;
    const size_t count = std::min<size_t>(blocks.size(), 31);
    PutHeader(out, static_cast<int>(count), kRtcpReceiverReport,
              kHeaderBytes + 4 + count * kReportBlockBytes);
    Put32(out, reporter);
    for (size_t b = 0; b < count; ++b) {
        const RtcpReportBlock& block = blocks[b];
        Put32(out, block.source);
        Put32(out, static_cast<uint32_t>(block.fractionLost) << 24 |
                       (static_cast<uint32_t>(block.cumulativeLost) & 0xffffffu));
        Put32(out, block.highestSequence);
        Put32(out, block.jitter);
        Put32(out, 0); // last SR and its delay: not kept
        Put32(out, 0);
    }
    PutSourceDescription(out, reporter, cname);
    return out;
}

std::vector<uint8_t> BuildBye(uint32_t ssrc) {
    std::vector<uint8_t> out;
    PutHeader(out, 0, kRtcpReceiverReport, kHeaderBytes + 4);
    Put32(out, ssrc);
    PutHeader(out, 1, kRtcpBye, kHeaderBytes + 4);
    Put32(out, ssrc);
    return out;
}

std::vector<uint8_t> BuildSenderReport(const RtcpSenderInfo& info, const std::string& cname) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderBytes + kSenderInfoBytes + 12 + kMaxCname);
    PutHeader(out, 0, kRtcpSenderReport, kHeaderBytes + kSenderInfoBytes);
    Put32(out, info.ssrc);
    const uint64_t ntp = NtpTimestamp(info.wallclockNs);
    Put32(out, static_cast<uint32_t>(ntp >> 32));
    Put32(out, static_cast<uint32_t>(ntp));
    Put32(out, info.rtpTimestamp);
    Put32(out, info.packetCount);
    Put32(out, info.octetCount);

    PutSourceDescription(out, info.ssrc, cname);
    return out;
}

RtcpReading ReadRtcp(const uint8_t* data, size_t size) {
    RtcpReading reading;
    size_t at = 0;
    while (at < size) {
        if (size - at < kHeaderBytes) {
            reading.malformed = true;
            break;
        }
        const uint8_t* packet = data + at;
        const int version = packet[0] >> 6;
        const int count = packet[0] & 0x1f;
        const int type = packet[1];
        const size_t bytes = (static_cast<size_t>(packet[2]) << 8 | packet[3]) * 4 + 4;
        if (version != kVersion || bytes > size - at) {
            reading.malformed = true;
            break;
        }
        // Report blocks follow the sender's SSRC (and, in a sender report, its sender info).
        const size_t blocksAt = type == kRtcpSenderReport     ? kHeaderBytes + kSenderInfoBytes
                                : type == kRtcpReceiverReport ? kHeaderBytes + 4
                                                              : 0;
        if (blocksAt != 0 && blocksAt + static_cast<size_t>(count) * kReportBlockBytes > bytes) {
            reading.malformed = true; // a report that does not fit is not counted as one
            break;
        }
        if (type == kRtcpSenderReport) {
            ++reading.senderReports;
            RtcpSenderInfo info;
            info.ssrc = Get32(packet + 4);
            info.wallclockNs =
                NtpToUnixNs(static_cast<uint64_t>(Get32(packet + 8)) << 32 | Get32(packet + 12));
            info.rtpTimestamp = Get32(packet + 16);
            info.packetCount = Get32(packet + 20);
            info.octetCount = Get32(packet + 24);
            reading.senders.push_back(info);
        } else if (type == kRtcpReceiverReport) {
            ++reading.receiverReports;
        } else if (type == kRtcpBye) {
            ++reading.byes;
        } else {
            ++reading.others;
        }
        if (blocksAt != 0) {
            const uint32_t reporter = Get32(packet + 4);
            for (int b = 0; b < count; ++b) {
                const uint8_t* block =
                    packet + blocksAt + static_cast<size_t>(b) * kReportBlockBytes;
                RtcpReading::Block one;
                one.reporter = reporter;
                one.source = Get32(block);
                one.fractionLost = block[4];
                // 24-bit two's complement.
                const uint32_t lost = Get32(block + 4) & 0xffffffu;
                one.cumulativeLost = static_cast<int32_t>(lost ^ 0x800000u) - 0x800000;
                reading.blocks.push_back(one);
                ++reading.reportBlocks;
            }
        }
        at += bytes;
    }
    return reading;
}
