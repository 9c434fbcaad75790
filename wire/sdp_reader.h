// Session descriptions (RFC 8866) read as a receiver needs them: the session's lines, then each
// media section with its connection and attributes, and the attributes of RTP media (rtpmap,
// fmtp, ptime, rtcp, ts-refclk, mediaclk, source-filter, mid, group) taken apart. One error per
// bad line, naming the line and what it should hold; nothing is guessed from a bad line.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

struct SdpAttribute {
    std::string name;
    std::string value; // "" for a flag (a=recvonly)
    int line = 0;
};

struct SdpRtpMap {
    int payloadType = 0;
    std::string encoding; // as written; names are case-insensitive (RFC 4855)
    int rate = 0;
    int channels = 1;
};

struct SdpMedia {
    std::string kind; // "audio", "video", ...
    int port = 0;
    std::string protocol; // "RTP/AVP"
    std::vector<int> formats;
    std::string connection; // this section's c= address; "" to use the session's
    std::vector<SdpAttribute> attributes;
    int line = 0; // the m= line

    std::optional<std::string> Attribute(std::string_view name) const; // the first
    std::optional<SdpRtpMap> RtpMap(int payloadType) const;
    // a=fmtp:<type> key=value; key=value ... (keys as written, values trimmed).
    std::map<std::string, std::string> FormatParameters(int payloadType) const;
    // a=rtcp:<port>, else the port above the media's (RFC 3605).
    int RtcpPort() const;
};

struct SessionDescription {
    std::string origin; // the o= line's value
    std::string name;   // s=
    std::string connection;
    std::vector<SdpAttribute> attributes;
    std::vector<SdpMedia> media;

    std::optional<std::string> Attribute(std::string_view name) const;
    // The address a section's packets come to: its own c=, else the session's.
    std::string ConnectionOf(const SdpMedia& media) const;
};

// The description, or nullopt with one line per bad line in *errors ("line 7: ...").
std::optional<SessionDescription> ParseSdp(std::string_view text, std::vector<std::string>* errors);

} // namespace wire
