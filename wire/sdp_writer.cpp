// Session descriptions for FFmpeg, GStreamer, VLC, AES67 and ST 2110 equipment. The lines are
// emitted in the one order RFC 8866 prescribes (v o s i c t, then each m= with its a= lines);
// receivers parse them in that order and some reject anything else.
#include "sdp_writer.h"

#include <algorithm>
#include <string_view>

namespace {

// SDP values are single lines: line breaks in user text would start new fields.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\r' || c == '\n' || c == '\0') {
            c = ' ';
        }
    }
    return line;
}

std::string FrameRateText(int n, int d) {
    if (d <= 0 || n <= 0) {
        return "25";
    }
    return n % d == 0 ? std::to_string(n / d) : std::to_string(n) + "/" + std::to_string(d);
}

} // namespace

// Appends one "<field>=<value>" line with its CRLF. Lines are built by appending into one string,
// never by chaining temporaries, so the text is copied once.
static void AddLine(std::string& sdp, std::string_view field, std::string_view value) {
    sdp.append(field).append("=").append(value).append("\r\n");
}

// Each session of a source has an id of its own, one above the other: combined, video, audio.
static std::string OriginLine(const SdpDescription& d, uint64_t session) {
    const bool v6 = d.originAddress.find(':') != std::string::npos;
    std::string line = "o=- ";
    line.append(std::to_string(d.sessionId + session)).append(" ");
    line.append(std::to_string(d.version));
    line.append(v6 ? " IN IP6 " : " IN IP4 ").append(d.originAddress);
    return line;
}

// Where one media section's packets go: its connection line's address and whether it is a group.
// With two legs, which leg it is (its a=mid) and how far its ports lie from the first leg's.
struct MediaHost {
    std::string host;
    bool multicast = false;
    std::string source; // the address the packets leave from
    std::string mid;    // "" with one leg
    int portOffset = 0;
};

static MediaHost HostOf(const SdpDescription& d, const std::string& moved) {
    if (moved.empty() || moved == d.destinationHost) {
        return {d.destinationHost, d.destinationMulticast, d.originAddress, {}, 0};
    }
    const auto address = CSocketAddress::Parse(moved, 0);
    return {moved, address && address->IsMulticast(), d.originAddress, {}, 0};
}

// The legs a stream (0 and 1 audio, 2 video) goes on: the first (where `to` names), and the
// second leg's when there is one; `name` tells the streams of a combined session apart in the
// legs' mids.
static std::vector<MediaHost> LegsOf(const SdpDescription& d, MediaHost to, const std::string& name,
                                     int stream) {
    if (!d.secondLeg) {
        return {to};
    }
    const std::string prefix = name.empty() ? "" : name + "-";
    to.mid = prefix + "primary";
    const SdpSecondLeg& leg = *d.secondLeg;
    const auto s = static_cast<size_t>(stream);
    MediaHost second{leg.destinationHost, leg.multicast, leg.originAddress, prefix + "secondary",
                     leg.portOffset};
    if (!leg.movedHosts[s].empty()) {
        const auto address = CSocketAddress::Parse(leg.movedHosts[s], 0);
        second.host = leg.movedHosts[s];
        second.multicast = address && address->IsMulticast();
    }
    if (leg.movedPorts[s] != 0) {
        const int firstLegPort = stream == 0   ? d.audioPort
                                 : stream == 1 ? d.secondAudioPort
                                               : d.videoPort;
        second.portOffset = leg.movedPorts[s] - firstLegPort;
    }
    return {to, second};
}

// a=group:DUP naming both legs of a stream (a session-level line).
static void AddDuplicateGroup(std::string& sdp, const std::vector<MediaHost>& legs) {
    if (legs.size() == 2) {
        sdp.append("a=group:DUP ").append(legs[0].mid).append(" ").append(legs[1].mid);
        sdp.append("\r\n");
    }
}

static std::string ConnectionValue(const SdpDescription& d, const MediaHost& to) {
    std::string connection(d.destinationIpv6 ? "IN IP6 " : "IN IP4 ");
    connection.append(to.host);
    if (to.multicast && !d.destinationIpv6) {
        // IPv4 multicast requires a TTL.
        connection.append("/").append(std::to_string(d.ttl.value_or(1)));
    }
    return connection;
}

// v o s i c t: the lines every session of the source begins with; c= names `to`.
static std::string SessionHead(const SdpDescription& d, uint64_t session, const MediaHost& to) {
    std::string sdp;
    AddLine(sdp, "v", "0");
    AddLine(sdp, "o", OriginLine(d, session).substr(2));
    AddLine(sdp, "s", d.sourceName.empty() ? std::string(" ") : OneLine(d.sourceName));
    if (!d.metadata.empty()) {
        AddLine(sdp, "i", OneLine(d.metadata));
    }
    AddLine(sdp, "c", ConnectionValue(d, to));
    AddLine(sdp, "t", "0 0");
    return sdp;
}

// The lines after a media section's format lines: where the packets come from (multicast) and
// what their timestamps are referenced to.
static void AddMediaTail(std::string& sdp, const SdpDescription& d, const MediaHost& to,
                         uint32_t freeRunOffset) {
    if (to.multicast) {
        std::string filter = "source-filter: incl IN ";
        filter.append(d.destinationIpv6 ? "IP6 " : "IP4 ").append(to.host);
        filter.append(" ").append(to.source);
        AddLine(sdp, "a", filter);
    }
    if (!to.mid.empty()) {
        AddLine(sdp, "a", "mid:" + to.mid);
    }
    if (d.clock.ptp) {
        std::string refclk = "ts-refclk:ptp=IEEE1588-2008:";
        refclk.append(d.clock.grandmaster).append(":").append(std::to_string(d.clock.domain));
        AddLine(sdp, "a", refclk);
        AddLine(sdp, "a", "mediaclk:direct=0");
    } else {
        AddLine(sdp, "a", "ts-refclk:localmac=" + d.clock.localMac);
        AddLine(sdp, "a", "mediaclk:direct=" + std::to_string(freeRunOffset));
    }
}

// ST 2110-30 channel order: the channels are stereo pairs, a last odd one is mono.
static std::string ChannelOrder(int channels) {
    std::string order = "SMPTE2110.(";
    for (int c = 0; c + 1 < channels; c += 2) {
        order.append(c == 0 ? "ST" : ",ST");
    }
    if (channels % 2 == 1) {
        order.append(channels == 1 ? "M" : ",M");
    }
    return order + ")";
}

// The sender reports that tie the streams' timestamps to one wallclock leave for the RTP port + 1
// (RFC 3550); stated (RFC 3605) so a receiver need not assume it. None beyond the last port.
static void AddRtcpLine(std::string& sdp, int port) {
    if (port > 0 && port < 65535) {
        AddLine(sdp, "a", "rtcp:" + std::to_string(port + 1));
    }
}

// Every media section names its own destination (RFC 8866 5.7): ST 2110 receivers and NMOS
// controllers read a media section on its own, and the streams may go to different hosts.
static void AddMediaConnection(std::string& sdp, const SdpDescription& d, const MediaHost& to) {
    AddLine(sdp, "c", ConnectionValue(d, to));
}

static void AddAudioSection(std::string& sdp, const SdpDescription& d, int firstLegPort,
                            int channels, const MediaHost& to) {
    const int port = firstLegPort + to.portOffset;
    // 16 channels of 1 ms packets would exceed an Ethernet frame: 0.125 ms (ST 2110-30 level C).
    const bool shortPackets = channels > 8;
    const char* ptime = shortPackets ? "0.125" : "1";
    AddLine(sdp, "m", "audio " + std::to_string(port) + " RTP/AVP 96");
    AddMediaConnection(sdp, d, to);
    AddLine(sdp, "a", "recvonly");
    AddLine(sdp, "a", "rtpmap:96 L24/48000/" + std::to_string(channels));
    AddLine(sdp, "a", "fmtp:96 channel-order=" + ChannelOrder(channels));
    AddLine(sdp, "a", std::string("ptime:") + ptime);
    AddLine(sdp, "a", std::string("maxptime:") + ptime);
    AddLine(sdp, "a", shortPackets ? "framecount:6" : "framecount:48");
    AddRtcpLine(sdp, port);
    AddMediaTail(sdp, d, to, d.clock.audioOffset);
}

static void AddVideoSection(std::string& sdp, const SdpDescription& d, const MediaHost& to) {
    const int port = d.videoPort + to.portOffset;
    AddLine(sdp, "m", "video " + std::to_string(port) + " RTP/AVP 97");
    AddMediaConnection(sdp, d, to);
    AddLine(sdp, "a", "recvonly");
    AddLine(sdp, "a", "rtpmap:97 raw/90000");
    std::string format = "fmtp:97 sampling=RGB; width=" + std::to_string(d.width);
    format.append("; height=").append(std::to_string(d.height));
    format.append("; depth=8; colorimetry=BT709; exactframerate=");
    format.append(FrameRateText(d.frameRateN, d.frameRateD));
    // ST 2110-20 ends every parameter, the last one too, with "; ".
    format.append("; TCS=SDR; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPW; ");
    AddLine(sdp, "a", format);
    AddRtcpLine(sdp, port);
    AddMediaTail(sdp, d, to, d.clock.videoOffset);
}

int SdpAudioStreamCount(const SdpDescription& d) {
    return d.channelCount > d.streamChannels && d.secondAudioPort != 0 ? 2 : 1;
}

std::vector<SdpSession> BuildSdpSessions(const SdpDescription& d) {
    const int streams = SdpAudioStreamCount(d);
    const auto audioHost = [&](int stream) {
        return stream == 0 ? HostOf(d, "") : HostOf(d, d.secondAudioHost);
    };
    const auto part = [&](int stream) {
        return streams == 1 ? std::string("audio") : "audio-" + std::to_string(stream + 1);
    };
    // Each stream's legs; in a combined session their mids name the stream too.
    const auto audioLegs = [&](int stream, bool combined) {
        return LegsOf(d, audioHost(stream), combined ? part(stream) : "", stream);
    };
    const auto videoLegs = [&](bool combined) {
        return LegsOf(d, HostOf(d, d.videoHost), combined ? "video" : "", 2);
    };
    const auto audio = [&](std::string& sdp, int stream, const std::vector<MediaHost>& legs) {
        const int channels =
            streams == 1 ? d.channelCount
                         : std::min(d.streamChannels, d.channelCount - stream * d.streamChannels);
        for (const MediaHost& leg : legs) {
            AddAudioSection(sdp, d, stream == 0 ? d.audioPort : d.secondAudioPort, channels, leg);
        }
    };
    std::vector<SdpSession> sessions;
    SdpSession combined{"", SessionHead(d, 0, audioHost(0)), OriginLine(d, 0), false};
    for (int stream = 0; stream < streams; ++stream) {
        AddDuplicateGroup(combined.text, audioLegs(stream, true));
    }
    AddDuplicateGroup(combined.text, videoLegs(true));
    for (int stream = 0; stream < streams; ++stream) {
        audio(combined.text, stream, audioLegs(stream, true));
    }
    for (const MediaHost& leg : videoLegs(true)) {
        AddVideoSection(combined.text, d, leg);
    }
    sessions.push_back(std::move(combined));
    for (int stream = 0; stream < streams; ++stream) {
        const uint64_t id = 2 + static_cast<uint64_t>(stream);
        SdpSession session{part(stream), SessionHead(d, id, audioHost(stream)), OriginLine(d, id),
                           true};
        AddDuplicateGroup(session.text, audioLegs(stream, false));
        audio(session.text, stream, audioLegs(stream, false));
        sessions.push_back(std::move(session));
    }
    SdpSession videoSession{"video", SessionHead(d, 1, HostOf(d, d.videoHost)), OriginLine(d, 1),
                            true};
    AddDuplicateGroup(videoSession.text, videoLegs(false));
    for (const MediaHost& leg : videoLegs(false)) {
        AddVideoSection(videoSession.text, d, leg);
    }
    sessions.push_back(std::move(videoSession));
    return sessions;
}

std::string BuildSdp(const SdpDescription& d) {
    return BuildSdpSessions(d).front().text;
}
