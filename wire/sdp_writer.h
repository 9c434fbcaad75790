// The session descriptions of one built-in source (RFC 8866 SDP, with the ST 2110-10/-20/-30 and
// AES67 attributes): one session per audio stream and one for the video, which is what AES67 and
// ST 2110 receivers browse by SAP, and one combined session of all of them for local players such
// as ffplay. The source name is the session name, the connection metadata the i= line.
#pragma once

#include "socket_address.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the media clocks of the streams are referenced to (RFC 7273, ST 2110-10 §8).
struct SdpClockReference {
    bool ptp = false;        // the timestamps are PTP time from a synchronised ptp4l
    std::string grandmaster; // EUI-64 as "XX-XX-XX-XX-XX-XX-XX-XX"
    int domain = 0;
    std::string localMac = "00-00-00-00-00-00"; // the sending interface, when free-running
    uint32_t audioOffset = 0; // free-running: the RTP timestamp at the local clock's epoch
    uint32_t videoOffset = 0;
};

// ST 2022-7: the same streams, packet for packet, on a second network: where they go there (of
// the first leg's family), the address they leave from there, and how far its ports lie from the
// first leg's.
struct SdpSecondLeg {
    std::string destinationHost;
    bool multicast = false;
    std::string originAddress;
    int portOffset = 0;
    // A stream moved on this leg alone: its host ("" where destinationHost is) and port (0: the
    // first leg's plus portOffset), by stream: first audio, second audio, video.
    std::array<std::string, 3> movedHosts;
    std::array<int, 3> movedPorts{};
};

struct SdpDescription {
    std::string sourceName;
    std::string metadata;
    uint64_t sessionId = 0;
    uint64_t version = 1;
    std::string originAddress = "127.0.0.1"; // numeric; the sender's own address
    std::string destinationHost = "127.0.0.1";
    bool destinationIpv6 = false;
    bool destinationMulticast = false;
    std::optional<int> ttl;
    // Hosts of the second audio stream and of the video when they were moved apart from the first
    // audio stream's (same family); "" when they go where it goes.
    std::string secondAudioHost;
    std::string videoHost;
    int audioPort = 0;
    int secondAudioPort = 0; // a second audio stream's port, when the channels are split
    int streamChannels = 16; // the most channels one audio stream carries
    int videoPort = 0;
    int channelCount = 2;
    int width = 640;
    int height = 360;
    int frameRateN = 25;
    int frameRateD = 1;
    SdpClockReference clock;
    // Set: every session groups each stream's two legs (a=group:DUP, RFC 7104), a media section
    // per leg with its own connection, source filter and a=mid.
    std::optional<SdpSecondLeg> secondLeg;
};

// One session of a source, and the part of the file name that tells it from the others.
struct SdpSession {
    std::string part;       // "" (combined), "audio" (or "audio-1", "audio-2" when split), "video"
    std::string text;       // the whole description
    std::string originLine; // its o= line without line end, as a SAP deletion carries it
    bool announced = false; // SAP announces it; the combined session is for local players only
};

// The audio streams the channels need: 2 when they exceed streamChannels and a second port is
// given, else 1.
int SdpAudioStreamCount(const SdpDescription& description);
// The combined session first, then each audio stream's session, then the video's.
std::vector<SdpSession> BuildSdpSessions(const SdpDescription& description);
// The combined session's text.
std::string BuildSdp(const SdpDescription& description);
