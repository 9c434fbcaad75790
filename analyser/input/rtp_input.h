// An RTP L24 or L16 audio stream, received as its SDP file describes it (unicast, or a multicast
// group joined on a chosen interface), through a small jitter buffer: packets are put back in
// timestamp order, a missing one is played as silence and counted, and the sender's clock is
// compared with ours from the arrival times.
#pragma once

#include "pcm_input.h"

#include <string>
#include <vector>

// One leg of an ST 2022-7 stream: the same packets on another network.
struct SdpLeg {
    std::string address; // numeric
    int port = 0;
    int rtcpPort = 0;
    std::string mid;
};

struct SdpStream {
    // a=group:DUP (RFC 7104): both legs in the group's order, the first also in the fields below.
    // Empty for a stream of one leg.
    std::vector<SdpLeg> legs;
    std::string address; // numeric
    int port = 0;
    int payloadType = 96;
    int bits = 24; // L24 or L16
    int rate = 48000;
    int channels = 2;
    double ptimeMs = 1.0;
    std::string refclk; // the ts-refclk value, "" when none
    int rtcpPort = 0;   // a=rtcp, else the port + 1
    // The session's RFC 4175 video, when it has one (videoPort 0: none): its pictures are read
    // for the A/V offset, lined up with the audio by both streams' RTCP sender reports.
    int videoPort = 0;
    int videoRtcpPort = 0;
    int videoPayloadType = 97;
    std::string sampling; // RGB, BGR, YCbCr-4:2:2 (8 bits are read)
    int depth = 8;
    int width = 0;
    int height = 0;
};

// Reads the first audio section of an SDP file (or the two of its a=group:DUP), and the first
// video section; "" error on success.
bool ParseSdpFile(const std::string& path, SdpStream* stream, std::string* error);

// interfaceName: where to join a multicast group ("" = the system's choice; "ifA,ifB": each
// leg's). ptpSocket: ptp4l's management socket, asked for PTP time when the stream names a PTP
// reference ("" = never). mergeBufferMs: with two legs, how far one may lag the other and still
// fill the other's gaps (ST 2022-7's class B, moderate skew, by default).
constexpr double kDefaultMergeBufferMs = 50;
std::unique_ptr<CPcmInput> OpenRtp(const SdpStream& stream, const std::string& interfaceName,
                                   const std::string& ptpSocket, std::string* error,
                                   double mergeBufferMs = kDefaultMergeBufferMs);
