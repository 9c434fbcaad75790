// RTCP (RFC 3550 section 6) as both ends use it: the sender reports that map each stream's RTP
// timestamps to one wallclock, so a receiver lines up the audio and the video; receiver reports
// and BYE; and one reader for all of them, which checks every length and trusts nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kRtcpSenderReport = 200;
inline constexpr int kRtcpReceiverReport = 201;
inline constexpr int kRtcpSourceDescription = 202;
inline constexpr int kRtcpBye = 203;

// Seconds from the NTP epoch (1900) to the Unix epoch (1970).
inline constexpr int64_t kNtpUnixOffsetSeconds = 2'208'988'800;

struct RtcpSenderInfo {
    uint32_t ssrc = 0;
    int64_t wallclockNs = 0; // since the Unix epoch (the PTP epoch on PTP time)
    uint32_t rtpTimestamp = 0;
    uint32_t packetCount = 0;
    uint32_t octetCount = 0; // payload octets
};

// A 64-bit NTP timestamp (seconds since 1900 in the high word, binary fraction in the low), and
// back to nanoseconds since 1970 (rounded down).
uint64_t NtpTimestamp(int64_t unixNs);
int64_t NtpToUnixNs(uint64_t ntp);

// One compound packet: the sender report (no report blocks) and an SDES with the CNAME, as every
// compound RTCP packet must carry (RFC 3550 section 6.1).
std::vector<uint8_t> BuildSenderReport(const RtcpSenderInfo& info, const std::string& cname);

// A receiver's report on the streams it hears (RFC 3550 6.4.2), with an SDES CNAME.
struct RtcpReportBlock {
    uint32_t source = 0;
    uint8_t fractionLost = 0;   // of 256, since the last report
    int32_t cumulativeLost = 0; // signed 24 bits on the wire
    uint32_t highestSequence = 0;
    uint32_t jitter = 0;
};
std::vector<uint8_t> BuildReceiverReport(uint32_t reporter,
                                         const std::vector<RtcpReportBlock>& blocks,
                                         const std::string& cname);
// A BYE for one source, as a compound packet must begin: an empty receiver report first.
std::vector<uint8_t> BuildBye(uint32_t ssrc);

// What one datagram held. Anything malformed ends the reading: a packet whose
// length runs past the datagram, a wrong version, a report count that does not fit.
struct RtcpReading {
    int senderReports = 0;
    int receiverReports = 0;
    int reportBlocks = 0;
    int byes = 0;
    int others = 0; // SDES, APP and types this runtime has no use for
    bool malformed = false;
    // The loss a receiver reported for one of our streams (cumulative lost, signed 24 bits).
    struct Block {
        uint32_t reporter = 0;
        uint32_t source = 0;
        int32_t cumulativeLost = 0;
        uint8_t fractionLost = 0;
    };
    std::vector<Block> blocks;
    // Each sender report's mapping of its RTP timestamp to the wallclock, in order.
    std::vector<RtcpSenderInfo> senders;
};

RtcpReading ReadRtcp(const uint8_t* data, size_t size);
