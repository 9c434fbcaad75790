// RTCP (RFC 3550 section 6) as the built-in runtime uses it: the sender reports that map each
// stream's RTP timestamps to one wallclock, so a receiver lines up the audio and the video, and a
// reader for what receivers send back (receiver reports, BYE), which is counted and never trusted.
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

// A 64-bit NTP timestamp (seconds since 1900 in the high word, binary fraction in the low).
uint64_t NtpTimestamp(int64_t unixNs);

// One compound packet: the sender report (no report blocks) and an SDES with the CNAME, as every
// compound RTCP packet must carry (RFC 3550 section 6.1).
std::vector<uint8_t> BuildSenderReport(const RtcpSenderInfo& info, const std::string& cname);

// What one datagram from a receiver held. Anything malformed ends the reading: a packet whose
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
};

RtcpReading ReadRtcp(const uint8_t* data, size_t size);
