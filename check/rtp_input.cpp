#include "rtp_input.h"

#include "frame_pacer.h"
#include "ptp_clock.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr int kLatencyMs = 40; // the jitter buffer holds this much before playing out

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class CRtpInput : public CPcmInput {
public:
    CRtpInput(const SdpStream& stream, int fd, const std::string& ptpSocket)
        : m_stream(stream), m_fd(fd) {
        if (!ptpSocket.empty() && stream.refclk.rfind("ptp=", 0) == 0) {
            m_ptp = std::make_unique<CPtpClock>(ptpSocket, false);
            m_ptp->Start();
        }
    }
    ~CRtpInput() override {
        if (m_ptp) {
            m_ptp->Stop();
        }
        close(m_fd);
    }
    int Channels() const override { return m_stream.channels; }
    int Rate() const override { return m_stream.rate; }
    InputStats Stats() const override {
        InputStats stats = m_stats;
        stats.network = true;
        // Per second of media time, the earliest arrival against its timestamp: the path's
        // delay without the queueing and scheduling that only ever add to it. Their slope is the
        // difference of the clocks.
        // With its uncertainty (twice the slope's standard error): a few seconds of a loaded
        // receiver cannot tell tens of ppm apart, and a figure alone would claim they can.
        if (m_earliest.size() >= 6) {
            double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
            for (const auto& [second, delayNs] : m_earliest) {
                if (second == m_earliest.rbegin()->first) {
                    continue; // still filling
                }
                n += 1;
                sx += second;
                sy += delayNs;
                sxx += static_cast<double>(second) * second;
                sxy += second * delayNs;
            }
            const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx); // ns per second
            const double intercept = (sy - slope * sx) / n;
            double residuals = 0;
            for (const auto& [second, delayNs] : m_earliest) {
                if (second != m_earliest.rbegin()->first) {
                    const double r = delayNs - (intercept + slope * second);
                    residuals += r * r;
                }
            }
            const double spread = sxx - sx * sx / n;
            const double error = std::sqrt(residuals / (n - 2) / spread); // ns per second
            stats.driftPpm = -slope / 1000.0;
            stats.driftUncertaintyPpm = 2.0 * error / 1000.0;
            stats.driftKnown = stats.driftUncertaintyPpm <= kDriftWithheldPpm;
        }
        if (!m_latenciesMs.empty()) {
            std::vector<double> sorted = m_latenciesMs;
            std::sort(sorted.begin(), sorted.end());
            stats.latencyKnown = true;
            stats.latencyMedianMs = sorted[sorted.size() / 2];
            stats.latencyMaxMs = sorted.back();
        }
        return stats;
    }

    bool Read(std::vector<double>& out, int maxFrames) override {
        const int64_t latency = static_cast<int64_t>(m_stream.rate) * kLatencyMs / 1000;
        const auto deadline = NowNs() + 200'000'000;
        // Wait until the buffer spans the latency beyond what is due, or a while has passed.
        while (NowNs() < deadline &&
               (m_buffer.empty() || m_buffer.rbegin()->first - m_next < latency + maxFrames)) {
            pollfd wait{m_fd, POLLIN, 0};
            if (poll(&wait, 1, 20) == 1) {
                Receive();
            }
        }
        int emitted = 0;
        while (!m_buffer.empty() && emitted < maxFrames) {
            auto first = m_buffer.begin();
            if (first->first > m_next) {
                // A hole: play silence up to the next packet.
                const int64_t gap = std::min<int64_t>(first->first - m_next, maxFrames - emitted);
                out.insert(out.end(), static_cast<size_t>(gap * m_stream.channels), 0.0);
                m_next += gap;
                emitted += static_cast<int>(gap);
                continue;
            }
            const std::vector<double>& samples = first->second;
            const int64_t frames = static_cast<int64_t>(samples.size()) / m_stream.channels;
            out.insert(out.end(), samples.begin(), samples.end());
            m_next = first->first + frames;
            emitted += static_cast<int>(frames);
            m_buffer.erase(first);
        }
        return true;
    }

private:
    void Receive() {
        uint8_t packet[9000];
        iovec vector{packet, sizeof packet};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = recvmsg(m_fd, &message, MSG_DONTWAIT);
        const int width = m_stream.bits / 8;
        if (size < 12 || (packet[0] >> 6) != 2 || (packet[1] & 0x7f) != m_stream.payloadType) {
            return;
        }
        // The kernel's time of arrival, not the time this thread got round to reading it.
        int64_t arrival = NowNs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                arrival = static_cast<int64_t>(at.tv_sec) * 1'000'000'000 + at.tv_nsec;
            }
        }
        const size_t header = 12 + 4 * static_cast<size_t>(packet[0] & 0x0f);
        const uint16_t sequence = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
        const uint32_t stamp = static_cast<uint32_t>(packet[4]) << 24 |
                               static_cast<uint32_t>(packet[5]) << 16 |
                               static_cast<uint32_t>(packet[6]) << 8 | packet[7];
        if (static_cast<size_t>(size) <= header) {
            return;
        }
        ++m_stats.packets;
        // Extended sequence and timestamp, unwrapped around the last ones seen.
        if (!m_started) {
            m_started = true;
            m_lastSequence = sequence;
            m_highestSequence = sequence;
            m_firstSequence = sequence;
            m_lastStamp = stamp;
            m_stampBase = stamp;
            m_next = 0;
            m_firstArrival = arrival;
        }
        m_lastSequence += static_cast<int16_t>(sequence - static_cast<uint16_t>(m_lastSequence));
        m_highestSequence = std::max(m_highestSequence, m_lastSequence);
        m_lastStamp += static_cast<int32_t>(stamp - static_cast<uint32_t>(m_lastStamp));
        const int64_t at = m_lastStamp - m_stampBase;
        const auto expected = static_cast<uint64_t>(m_highestSequence - m_firstSequence + 1);
        m_stats.lost = expected > m_stats.packets ? expected - m_stats.packets : 0;
        if (at < m_next) {
            ++m_stats.late;
            return;
        }
        const size_t frames = (static_cast<size_t>(size) - header) / (width * m_stream.channels);
        std::vector<double> samples(frames * static_cast<size_t>(m_stream.channels));
        const double scale = 1.0 / static_cast<double>(1u << (m_stream.bits - 1));
        for (size_t i = 0; i < samples.size(); ++i) {
            const uint8_t* p = packet + header + i * static_cast<size_t>(width);
            int32_t v = 0;
            for (int b = 0; b < width; ++b) {
                v = v << 8 | p[b];
            }
            v = static_cast<int32_t>(static_cast<uint32_t>(v) << (32 - m_stream.bits)) >>
                (32 - m_stream.bits);
            samples[i] = v * scale;
        }
        m_buffer[at] = std::move(samples);
        Latency(arrival, stamp);
        const int64_t second = at / m_stream.rate;
        const double delay = static_cast<double>(arrival - m_firstArrival) -
                             static_cast<double>(at) * 1e9 / m_stream.rate;
        auto [slot, added] = m_earliest.emplace(second, delay);
        if (!added) {
            slot->second = std::min(slot->second, delay);
        }
    }

    // PTP time of arrival against the timestamp's time: the timestamp is the sample count since
    // the PTP epoch modulo 2^32, so the arrival's own count supplies the high bits.
    void Latency(int64_t arrivalRealtimeNs, uint32_t stamp) {
        const std::optional<int64_t> offset = m_ptp ? m_ptp->OffsetNs() : std::nullopt;
        if (!offset) {
            return;
        }
        timespec real{};
        timespec mono{};
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const int64_t monoMinusReal =
            (static_cast<int64_t>(mono.tv_sec) - real.tv_sec) * 1'000'000'000 +
            (mono.tv_nsec - real.tv_nsec);
        const int64_t ptpNs = arrivalRealtimeNs + monoMinusReal + *offset;
        const int64_t count = NsToSamplesSinceEpoch(ptpNs, m_stream.rate);
        const int64_t behind =
            static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(count) - stamp));
        const double ms =
            (static_cast<double>(ptpNs) -
             static_cast<double>(SamplesSinceEpochToNs(count - behind, m_stream.rate))) /
            1e6;
        if (m_latenciesMs.size() >= 100000) {
            m_latenciesMs.erase(m_latenciesMs.begin(), m_latenciesMs.begin() + 50000);
        }
        m_latenciesMs.push_back(ms);
    }

    SdpStream m_stream;
    int m_fd;
    std::unique_ptr<CPtpClock> m_ptp;
    std::vector<double> m_latenciesMs;
    InputStats m_stats;
    bool m_started = false;
    int64_t m_lastSequence = 0;
    int64_t m_highestSequence = 0;
    int64_t m_firstSequence = 0;
    int64_t m_lastStamp = 0;
    int64_t m_stampBase = 0;
    int64_t m_next = 0;
    int64_t m_firstArrival = 0;
    std::map<int64_t, std::vector<double>> m_buffer;
    std::map<int64_t, double> m_earliest; // media second -> earliest arrival minus its time
};

// A payload type without a=rtpmap means what RFC 3551 assigns it: L16 at 44.1 kHz for 10
// (stereo) and 11 (mono); the other static audio types are compressed, and a dynamic type
// without a map is unknown. Neither can be read as PCM.
bool StaticPayload(int type, SdpStream* stream, const std::string& path, std::string* error) {
    if (type == 10 || type == 11) {
        stream->bits = 16;
        stream->rate = 44100;
        stream->channels = type == 10 ? 2 : 1;
        return true;
    }
    static const std::pair<int, const char*> kCompressed[] = {
        {0, "PCMU"}, {3, "GSM"},   {4, "G723"},  {5, "DVI4"},   {6, "DVI4"},
        {7, "LPC"},  {8, "PCMA"},  {9, "G722"},  {12, "QCELP"}, {13, "CN"},
        {14, "MPA"}, {15, "G728"}, {16, "DVI4"}, {17, "DVI4"},  {18, "G729"}};
    for (const auto& [number, name] : kCompressed) {
        if (number == type) {
            *error = path + ": the audio is " + name + " (payload type " + std::to_string(type) +
                     "); only L24 and L16 are read";
            return false;
        }
    }
    *error = path + ": payload type " + std::to_string(type) +
             " has no a=rtpmap line, so its encoding is unknown; only L24 and L16 are read";
    return false;
}

} // namespace

bool ParseSdpFile(const std::string& path, SdpStream* stream, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::string line;
    std::string sessionAddress;
    bool inAudio = false;
    bool found = false;
    bool mapped = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("m=", 0) == 0) {
            if (found) {
                break; // the first audio section only
            }
            inAudio = line.rfind("m=audio ", 0) == 0;
            if (inAudio) {
                std::istringstream fields(line.substr(8));
                std::string proto;
                fields >> stream->port >> proto >> stream->payloadType;
                found = true;
            }
        } else if (line.rfind("c=IN IP", 0) == 0) {
            std::string address = line.substr(9);
            address = address.substr(0, address.find('/'));
            (found ? stream->address : sessionAddress) = address;
        } else if (inAudio && line.rfind("a=rtpmap:", 0) == 0 &&
                   std::atoi(line.c_str() + 9) == stream->payloadType) {
            const size_t space = line.find(' ');
            const std::string map = space == std::string::npos ? "" : line.substr(space + 1);
            int rate = 0;
            int channels = 1;
            char encoding[16] = {};
            if (std::sscanf(map.c_str(), "%15[^/]/%d/%d", encoding, &rate, &channels) >= 2) {
                // Encoding names are case-insensitive (RFC 4855).
                const bool l16 = strcasecmp(encoding, "L16") == 0;
                if (!l16 && strcasecmp(encoding, "L24") != 0) {
                    *error = path + ": the audio is " + encoding + "; only L24 and L16 are read";
                    return false;
                }
                stream->bits = l16 ? 16 : 24;
                stream->rate = rate;
                stream->channels = channels;
                mapped = true;
            }
        } else if (inAudio && line.rfind("a=ptime:", 0) == 0) {
            stream->ptimeMs = std::atof(line.c_str() + 8);
        } else if (inAudio && line.rfind("a=ts-refclk:", 0) == 0) {
            stream->refclk = line.substr(12);
        }
    }
    if (stream->address.empty()) {
        stream->address = sessionAddress;
    }
    if (found && !mapped && !StaticPayload(stream->payloadType, stream, path, error)) {
        return false;
    }
    if (!found || stream->port <= 0 || stream->address.empty() || stream->channels < 1 ||
        stream->channels > 64 || stream->rate < 8000) {
        *error = path + " describes no L24 or L16 audio stream that can be received";
        return false;
    }
    return true;
}

std::unique_ptr<CPcmInput> OpenRtp(const SdpStream& stream, const std::string& interfaceName,
                                   const std::string& ptpSocket, std::string* error) {
    in_addr v4{};
    in6_addr v6{};
    const bool isV4 = inet_pton(AF_INET, stream.address.c_str(), &v4) == 1;
    if (!isV4 && inet_pton(AF_INET6, stream.address.c_str(), &v6) != 1) {
        *error = "the SDP names no numeric address: " + stream.address;
        return nullptr;
    }
    const int fd = socket(isV4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &yes, sizeof yes);
    const unsigned index = interfaceName.empty() ? 0 : if_nametoindex(interfaceName.c_str());
    if (!interfaceName.empty() && index == 0) {
        close(fd);
        *error = "no network interface " + interfaceName;
        return nullptr;
    }
    int bound = -1;
    if (isV4) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<uint16_t>(stream.port));
        local.sin_addr = v4; // the group itself for multicast, so other groups stay out
        bound = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        if (bound == 0 && IN_MULTICAST(ntohl(v4.s_addr))) {
            ip_mreqn join{};
            join.imr_multiaddr = v4;
            join.imr_ifindex = static_cast<int>(index);
            bound = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
        }
    } else {
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_port = htons(static_cast<uint16_t>(stream.port));
        local.sin6_addr = v6;
        bound = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        if (bound == 0 && IN6_IS_ADDR_MULTICAST(&v6)) {
            ipv6_mreq join{};
            join.ipv6mr_multiaddr = v6;
            join.ipv6mr_interface = index;
            bound = setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join);
        }
    }
    if (bound != 0) {
        *error = "cannot receive on " + stream.address + " port " + std::to_string(stream.port) +
                 ": " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    return std::make_unique<CRtpInput>(stream, fd, ptpSocket);
}
