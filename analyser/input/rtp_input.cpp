#include "rtp_input.h"

#include "media_time.h"
#include "ptp_clock.h"
#include "rtcp.h"
#include "rtp_packets.h"
#include "sdp_reader.h"
#include "values.h"

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
#include <deque>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr int kLatencyMs = 40; // the jitter buffer holds this much before playing out
// Packets read at one wake-up at most, and how long to let them gather while far more is needed
// than has arrived (2 ms of 16 channels at 8,000 packets a second fits the smallest socket
// buffer the kernel grants without privileges).
constexpr int kDrainPackets = 256;
constexpr long kNapNs = 2'000'000;
constexpr int64_t kNapFrames(int rate) {
    return static_cast<int64_t>(rate) * kNapNs / 1'000'000'000;
}
// The drift is fitted over the last six hours of arrivals: a probe left for weeks keeps its
// memory and its per-second cost flat.
constexpr size_t kDriftSeconds = 6 * 3600;

using wire::MonotonicNowNs;

// One UDP socket receiving on the session's address (a multicast group joined on the interface);
// -1 with the reason in *error.
int OpenReceiver(const std::string& address, int port, unsigned index, std::string* error);

// A sender report's mapping: the RTP timestamp that stood for the wallclock time, in seconds.
struct ClockMapping {
    bool known = false;
    double seconds = 0;
    uint32_t timestamp = 0;
    double At(uint32_t stamp, int rate) const {
        return seconds + static_cast<int32_t>(stamp - timestamp) / static_cast<double>(rate);
    }
};

// The first sender report of an RTCP datagram, if it has one; anything malformed changes nothing.
void ReadSenderReport(const uint8_t* data, ssize_t size, ClockMapping* mapping) {
    if (size <= 0) {
        return;
    }
    const RtcpReading reading = ReadRtcp(data, static_cast<size_t>(size));
    if (reading.malformed || reading.senders.empty()) {
        return;
    }
    mapping->known = true;
    mapping->seconds = static_cast<double>(reading.senders.front().wallclockNs) / 1e9;
    mapping->timestamp = reading.senders.front().rtpTimestamp;
}

class CRtpInput : public CPcmInput {
    // ST 2022-7: what the merge keeps of the last kSeenPackets sequence numbers.
    static constexpr int64_t kSeenPackets = 8192;
    static constexpr double kDifferentialRangeMs = 500; // the median's histogram: +-500 ms
    static constexpr double kDifferentialBinMs = 0.01;
    struct Seen {
        int64_t sequence = -1;
        uint8_t legs = 0;      // a bit per leg that delivered it
        int64_t arrivalNs = 0; // the first copy's
    };
    struct Leg {
        uint64_t packets = 0;
        int64_t first = 0;
        int64_t highest = 0;
        uint64_t late = 0;
        int64_t lastPacketNs = 0;
        std::vector<double> latenciesMs;
    };

public:
    // fds: one per leg, in the session's order.
    CRtpInput(const SdpStream& stream, std::vector<int> fds, const std::string& ptpSocket,
              double mergeBufferMs, int videoFd = -1, int audioRtcpFd = -1, int videoRtcpFd = -1)
        : m_stream(stream), m_fds(std::move(fds)), m_videoFd(videoFd), m_audioRtcpFd(audioRtcpFd),
          m_videoRtcpFd(videoRtcpFd), m_legs(m_fds.size() > 1 ? m_fds.size() : 0),
          m_mergeBufferMs(m_fds.size() > 1 ? mergeBufferMs : 0),
          m_seen(m_fds.size() > 1 ? kSeenPackets : 0) {
        if (!ptpSocket.empty() && stream.refclk.rfind("ptp=", 0) == 0) {
            m_ptp = std::make_unique<CPtpClock>(ptpSocket, false);
            m_ptp->Start();
        }
    }
    ~CRtpInput() override {
        if (m_ptp) {
            m_ptp->Stop();
        }
        for (const int fd : m_fds) {
            close(fd);
        }
        for (const int fd : {m_videoFd, m_audioRtcpFd, m_videoRtcpFd}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    std::string PictureFormat() const override {
        if (m_videoFd < 0) {
            return {};
        }
        return std::to_string(m_stream.width) + "x" + std::to_string(m_stream.height) + " " +
               m_stream.sampling + " " + std::to_string(m_stream.depth) + "-bit RFC 4175";
    }
    // Pictures and the audio's place on the wallclock once both streams' sender reports are in.
    void TakePictures(std::vector<PictureObservation>& out) override {
        if (!m_videoClock.known) {
            return;
        }
        for (const auto& [stamp, luma] : m_rawPictures) {
            out.push_back({m_videoClock.At(stamp, 90000), luma, {}});
        }
        m_rawPictures.clear();
    }
    void TakeAudioTimes(std::vector<std::pair<int64_t, double>>& out) override {
        if (m_audioClock.known && m_started && m_audioClock.timestamp != m_audioClockTaken) {
            m_audioClockTaken = m_audioClock.timestamp;
            // Sample s of the output has the timestamp base + s.
            const int64_t sample =
                m_lastStamp - m_stampBase +
                static_cast<int32_t>(m_audioClock.timestamp - static_cast<uint32_t>(m_lastStamp));
            out.emplace_back(sample, m_audioClock.seconds);
        }
    }
    std::optional<int64_t> PtpNowNs() const override {
        const std::optional<int64_t> offset = m_ptp ? m_ptp->OffsetNs() : std::nullopt;
        return offset ? std::optional<int64_t>(MonotonicNowNs() + *offset) : std::nullopt;
    }
    int Channels() const override { return m_stream.channels; }
    int Rate() const override { return m_stream.rate; }
    double FullScale() const override { return FullScaleOfBits(m_stream.bits); }
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
        if (m_ptp) {
            const PtpReference reference = m_ptp->Reference();
            stats.ptpFollowed = true;
            stats.ptpLocked = reference.available && reference.synchronised;
            stats.ptpGrandmaster = reference.grandmaster;
        }
        Percentiles(m_latenciesMs, &stats.latencyKnown, &stats.latencyMedianMs,
                    &stats.latencyMaxMs);
        if (!m_legs.empty()) {
            LegFigures(stats);
        }
        return stats;
    }

    bool Read(std::vector<double>& out, int maxFrames) override {
        // Two legs: the later copy of a packet the earlier leg lost must still find its place.
        const int64_t latency = static_cast<int64_t>(
            m_stream.rate * std::max<double>(kLatencyMs, m_mergeBufferMs) / 1000);
        const auto deadline = MonotonicNowNs() + 200'000'000;
        // Wait until the buffer spans the latency beyond what is due, or a while has passed.
        while (MonotonicNowNs() < deadline &&
               (m_buffer.empty() || m_buffer.rbegin()->first - m_next < latency + maxFrames)) {
            // The video, both sender reports, then every leg.
            pollfd wait[6] = {
                {m_videoFd, POLLIN, 0}, {m_audioRtcpFd, POLLIN, 0}, {m_videoRtcpFd, POLLIN, 0}};
            const size_t legs = std::min<size_t>(m_fds.size(), 3);
            for (size_t leg = 0; leg < legs; ++leg) {
                wait[3 + leg] = {m_fds[leg], POLLIN, 0};
            }
            if (poll(wait, static_cast<nfds_t>(3 + legs), 20) > 0) {
                // Whatever has queued, in one go: a stream of 8,000 packets a second woke this
                // thread 8,000 times a second, one packet each.
                for (size_t leg = 0; leg < legs; ++leg) {
                    for (int n = 0;
                         (wait[3 + leg].revents & POLLIN) && n < kDrainPackets && Receive(leg);
                         ++n) {
                    }
                }
                for (int n = 0; (wait[0].revents & POLLIN) && n < kDrainPackets && ReceiveVideo();
                     ++n) {
                }
                // Far from enough buffered: let a few packets gather before the next wake-up
                // (the kernel's arrival times, not this thread's, are what latency is read from).
                if (!m_buffer.empty() &&
                    m_buffer.rbegin()->first - m_next + kNapFrames(m_stream.rate) * 4 <
                        latency + maxFrames) {
                    const timespec nap{0, kNapNs};
                    nanosleep(&nap, nullptr);
                }
                for (int i : {1, 2}) {
                    if (wait[i].revents & POLLIN) {
                        uint8_t report[1500];
                        const ssize_t size = recv(wait[i].fd, report, sizeof report, MSG_DONTWAIT);
                        ReadSenderReport(report, size, i == 1 ? &m_audioClock : &m_videoClock);
                    }
                }
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
    // One datagram read from a leg (false when none was waiting).
    bool Receive(size_t leg) {
        uint8_t packet[9000];
        iovec vector{packet, sizeof packet};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = recvmsg(m_fds[leg], &message, MSG_DONTWAIT);
        if (size < 0) {
            return false;
        }
        const std::optional<RtpView> rtp =
            size > 0 ? ReadRtp(packet, static_cast<size_t>(size)) : std::nullopt;
        if (!rtp || rtp->header.payloadType != m_stream.payloadType || rtp->payloadBytes == 0) {
            return true;
        }
        // The kernel's time of arrival, not the time this thread got round to reading it.
        int64_t arrival = MonotonicNowNs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                arrival = static_cast<int64_t>(at.tv_sec) * 1'000'000'000 + at.tv_nsec;
            }
        }
        const uint32_t stamp = rtp->header.timestamp;
        // Extended sequence and timestamp, unwrapped around the last ones seen.
        const bool first = !m_sequences.Started();
        const int64_t sequence = m_sequences.Unwrap(rtp->header.sequence);
        if (!m_legs.empty() && !Merge(leg, sequence, arrival, stamp)) {
            return true; // the other leg's copy came first
        }
        ++m_stats.packets;
        m_lastStamp = m_stamps.Unwrap(stamp);
        if (first) {
            m_highestSequence = sequence;
            m_firstSequence = sequence;
            m_stampBase = m_lastStamp;
            m_next = 0;
            m_firstArrival = arrival;
            m_started = true;
        }
        m_highestSequence = std::max(m_highestSequence, sequence);
        const int64_t at = m_lastStamp - m_stampBase;
        const auto expected = static_cast<uint64_t>(m_highestSequence - m_firstSequence + 1);
        m_stats.lost = expected > m_stats.packets ? expected - m_stats.packets : 0;
        if (at < m_next) {
            ++m_stats.late;
            return true;
        }
        std::vector<double> samples;
        ReadLinearPcm(rtp->payload, rtp->payloadBytes, m_stream.bits, m_stream.channels, &samples);
        m_buffer[at] = std::move(samples);
        Latency(arrival, stamp, m_latenciesMs);
        const int64_t second = at / m_stream.rate;
        const double delay = static_cast<double>(arrival - m_firstArrival) -
                             static_cast<double>(at) * 1e9 / m_stream.rate;
        auto [slot, added] = m_earliest.emplace(second, delay);
        if (!added) {
            slot->second = std::min(slot->second, delay);
        } else if (m_earliest.size() > kDriftSeconds) {
            m_earliest.erase(m_earliest.begin());
        }
        return true;
    }

    // One RFC 4175 packet: its line segments' luma added to the picture of its timestamp, which
    // is complete with the marker bit (or when the next picture's packets begin).
    // (false when no datagram was waiting)
    bool ReceiveVideo() {
        uint8_t packet[9000];
        const ssize_t size = recv(m_videoFd, packet, sizeof packet, MSG_DONTWAIT);
        if (size < 0) {
            return false;
        }
        const std::optional<RtpView> rtp =
            size > 0 ? ReadRtp(packet, static_cast<size_t>(size)) : std::nullopt;
        if (!rtp || rtp->header.payloadType != m_stream.videoPayloadType) {
            return true;
        }
        const std::optional<Rfc4175View> video = ReadRfc4175(rtp->payload, rtp->payloadBytes);
        if (!video) {
            return true;
        }
        const bool marker = rtp->header.marker;
        const uint32_t stamp = rtp->header.timestamp;
        if (m_pictureOpen && stamp != m_pictureStamp) {
            ClosePicture();
        }
        m_pictureOpen = true;
        m_pictureStamp = stamp;
        const bool yuv = m_stream.sampling == "YCbCr-4:2:2";
        const bool bgr = m_stream.sampling == "BGR";
        for (const Rfc4175Segment& segment : video->segments) {
            const uint8_t* data = segment.data;
            if (yuv) { // pgroups of Cb Y0 Cr Y1
                for (size_t p = 0; p + 4 <= segment.bytes; p += 4) {
                    m_lumaSum += (data[p + 1] + data[p + 3] - 32) * (255.0 / 219.0);
                    m_lumaCount += 2;
                }
            } else {
                for (size_t p = 0; p + 3 <= segment.bytes; p += 3) {
                    const double r = data[bgr ? p + 2 : p];
                    const double b = data[bgr ? p : p + 2];
                    m_lumaSum += 0.2126 * r + 0.7152 * data[p + 1] + 0.0722 * b;
                    ++m_lumaCount;
                }
            }
        }
        if (marker) {
            ClosePicture();
        }
        return true;
    }

    void ClosePicture() {
        if (m_lumaCount > 0 && m_rawPictures.size() < 100000) {
            m_rawPictures.emplace_back(m_pictureStamp,
                                       std::clamp(m_lumaSum / (m_lumaCount * 255.0), 0.0, 1.0));
        }
        m_pictureOpen = false;
        m_lumaSum = 0;
        m_lumaCount = 0;
    }

    // PTP time of arrival against the timestamp's time: the timestamp is the sample count since
    // the PTP epoch modulo 2^32, so the arrival's own count supplies the high bits.
    void Latency(int64_t arrivalRealtimeNs, uint32_t stamp, std::vector<double>& into) {
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
        const double ms = static_cast<double>(TimestampAgeNs(ptpNs, stamp, m_stream.rate)) / 1e6;
        if (into.size() >= 100000) {
            into.erase(into.begin(), into.begin() + 50000);
        }
        into.push_back(ms);
    }

    // The median and the most of what was measured.
    static void Percentiles(const std::vector<double>& values, bool* known, double* median,
                            double* most) {
        if (values.empty()) {
            return;
        }
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        *known = true;
        *median = sorted[sorted.size() / 2];
        *most = sorted.back();
    }

    // ST 2022-7: a packet's copy from a leg. Counted for the leg; the first copy of a sequence
    // number goes on to the jitter buffer (true), a later one only times the legs against each
    // other (false).
    bool Merge(size_t leg, int64_t sequence, int64_t arrival, uint32_t stamp) {
        Leg& l = m_legs[leg];
        const int64_t now = MonotonicNowNs();
        if (l.packets == 0) {
            l.first = sequence;
            l.highest = sequence;
        }
        ++l.packets;
        l.highest = std::max(l.highest, sequence);
        l.lastPacketNs = now;
        Latency(arrival, stamp, l.latenciesMs);
        if (m_started) {
            const int64_t at = m_lastStamp +
                               static_cast<int32_t>(stamp - static_cast<uint32_t>(m_lastStamp)) -
                               m_stampBase;
            // Copies from before the stream's first packet (the later leg's first few) were
            // never due.
            l.late += at < m_next && at >= 0 ? 1 : 0;
        }
        if (sequence <= m_retiredUpTo) {
            return false; // older than anything the merge still holds: it was played or lost
        }
        if (!m_seenStarted) {
            m_seenStarted = true;
            m_retiredUpTo = sequence - 1;
        }
        // What falls out of the window is retired before its slot is taken again.
        for (int64_t s = m_retiredUpTo + 1; s <= sequence - kSeenPackets; ++s) {
            Retire(s);
        }
        Seen& slot = m_seen[static_cast<size_t>(sequence) % m_seen.size()];
        const uint8_t bit = static_cast<uint8_t>(1U << leg);
        if (slot.sequence == sequence) {
            if ((slot.legs & bit) == 0) {
                slot.legs |= bit;
                // The second leg's arrival minus the first's, whichever came first.
                const double ms = static_cast<double>(arrival - slot.arrivalNs) / 1e6;
                AddDifferential(leg == 1 ? ms : -ms, now);
            }
            return false;
        }
        slot = {sequence, bit, arrival};
        return true;
    }

    // A sequence number leaves the merge's window: delivered by one leg only, the other lost it.
    void Retire(int64_t sequence) {
        if (sequence <= m_retiredUpTo) {
            return;
        }
        m_retiredUpTo = sequence;
        const Seen& slot = m_seen[static_cast<size_t>(sequence) % m_seen.size()];
        if (slot.sequence == sequence && OneLeg(slot, true)) {
            ++m_rescued;
        }
    }

    // Delivered by one leg, at a place both legs had reached: the other leg lost it. Leaving the
    // window, a packet the other leg never brought is lost by it even while that leg is still
    // quiet (a cut longer than the window), as long as the leg had begun before it.
    bool OneLeg(const Seen& slot, bool leaving = false) const {
        const bool single = slot.legs == 1 || slot.legs == 2;
        return single && std::all_of(m_legs.begin(), m_legs.end(), [&](const Leg& l) {
                   return l.packets > 0 && slot.sequence >= l.first &&
                          (leaving || slot.sequence < l.highest);
               });
    }

    void AddDifferential(double ms, int64_t now) {
        m_differentialMinMs = std::min(m_differentialMinMs, ms);
        m_differentialMaxMs = std::max(m_differentialMaxMs, ms);
        const auto bin = static_cast<size_t>(
            std::clamp(std::lround((ms + kDifferentialRangeMs) / kDifferentialBinMs), 0L,
                       static_cast<long>(m_differential.size()) - 1));
        ++m_differential[bin];
        ++m_differentialCount;
        m_recentDifferential.emplace_back(now, std::abs(ms));
        while (!m_recentDifferential.empty() &&
               m_recentDifferential.front().first < now - 1'000'000'000) {
            m_recentDifferential.pop_front();
        }
    }

    void LegFigures(InputStats& stats) const {
        const int64_t now = MonotonicNowNs();
        for (const Leg& l : m_legs) {
            LegStats leg;
            leg.packets = l.packets;
            const auto expected =
                l.packets > 0 ? static_cast<uint64_t>(l.highest - l.first + 1) : 0;
            leg.lost = expected > l.packets ? expected - l.packets : 0;
            leg.late = l.late;
            Percentiles(l.latenciesMs, &leg.latencyKnown, &leg.latencyMedianMs, &leg.latencyMaxMs);
            const int64_t since = l.packets > 0 ? l.lastPacketNs : m_openedNs;
            // Silent when it misses more than a few packets' time.
            const double silentS = static_cast<double>(now - since) / 1e9;
            leg.silentS = silentS > 0.02 ? silentS : 0;
            stats.legs.push_back(leg);
        }
        stats.mergeBufferMs = m_mergeBufferMs;
        // Retired ones, and those still in the window that both legs have passed.
        stats.rescued = m_rescued;
        for (const Seen& slot : m_seen) {
            stats.rescued += slot.sequence > m_retiredUpTo && OneLeg(slot) ? 1 : 0;
        }
        if (m_differentialCount > 0) {
            stats.differentialKnown = true;
            stats.differentialMinMs = m_differentialMinMs;
            stats.differentialMaxMs = m_differentialMaxMs;
            uint64_t counted = 0;
            for (size_t bin = 0; bin < m_differential.size(); ++bin) {
                counted += m_differential[bin];
                if (2 * counted >= m_differentialCount) {
                    stats.differentialMedianMs =
                        static_cast<double>(bin) * kDifferentialBinMs - kDifferentialRangeMs;
                    break;
                }
            }
            for (const auto& [at, ms] : m_recentDifferential) {
                stats.differentialRecentMs = std::max(stats.differentialRecentMs, ms);
            }
        }
    }

    SdpStream m_stream;
    std::vector<int> m_fds;
    int m_videoFd;
    int m_audioRtcpFd;
    int m_videoRtcpFd;
    ClockMapping m_audioClock;
    ClockMapping m_videoClock;
    uint32_t m_audioClockTaken = 0;
    bool m_pictureOpen = false;
    uint32_t m_pictureStamp = 0;
    double m_lumaSum = 0;
    uint64_t m_lumaCount = 0;
    std::vector<std::pair<uint32_t, double>> m_rawPictures; // until the video's report is in
    std::unique_ptr<CPtpClock> m_ptp;
    std::vector<double> m_latenciesMs;
    InputStats m_stats;
    bool m_started = false;
    CSequenceUnwrapper m_sequences;
    CTimestampUnwrapper m_stamps;
    int64_t m_highestSequence = 0;
    int64_t m_firstSequence = 0;
    int64_t m_lastStamp = 0;
    int64_t m_stampBase = 0;
    int64_t m_next = 0;
    int64_t m_firstArrival = 0;
    std::map<int64_t, std::vector<double>> m_buffer;
    std::map<int64_t, double> m_earliest; // media second -> earliest arrival minus its time
    std::vector<Leg> m_legs;              // empty for one leg
    double m_mergeBufferMs;
    std::vector<Seen> m_seen;
    bool m_seenStarted = false;
    int64_t m_retiredUpTo = 0;
    uint64_t m_rescued = 0;
    std::vector<uint32_t> m_differential = std::vector<uint32_t>(
        m_legs.empty() ? 0
                       : static_cast<size_t>(2 * kDifferentialRangeMs / kDifferentialBinMs) + 1);
    uint64_t m_differentialCount = 0;
    double m_differentialMinMs = 1e300;
    double m_differentialMaxMs = -1e300;
    std::deque<std::pair<int64_t, double>> m_recentDifferential;
    int64_t m_openedNs = MonotonicNowNs();
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
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> faults;
    const std::optional<wire::SessionDescription> session = wire::ParseSdp(text, &faults);
    if (!session) {
        *error = path + ": " + faults.front();
        for (size_t i = 1; i < faults.size() && i < 3; ++i) {
            *error += "; " + faults[i];
        }
        if (faults.size() > 3) {
            *error += "; and " + std::to_string(faults.size() - 3) + " more";
        }
        return false;
    }
    const auto first = [&](const char* kind) -> const wire::SdpMedia* {
        for (const wire::SdpMedia& media : session->media) {
            if (media.kind == kind && !media.formats.empty()) {
                return &media;
            }
        }
        return nullptr;
    };
    const wire::SdpMedia* audio = first("audio");
    if (audio == nullptr) {
        *error = path + " describes no L24 or L16 audio stream that can be received";
        return false;
    }
    // ST 2022-7 (RFC 7104): a=group:DUP names the legs by their a=mid, in order; the first leg's
    // section describes the stream.
    stream->legs.clear();
    const std::optional<std::string> group = session->Attribute("group");
    if (group && group->rfind("DUP ", 0) == 0) {
        std::istringstream mids(group->substr(4));
        std::string mid;
        while (mids >> mid) {
            const auto named = std::find_if(
                session->media.begin(), session->media.end(), [&](const wire::SdpMedia& m) {
                    return m.kind == "audio" && m.Attribute("mid").value_or("") == mid;
                });
            if (named == session->media.end()) {
                *error = path + ": a=group:DUP names " + mid + ", which no audio section has";
                return false;
            }
            if (stream->legs.empty()) {
                audio = &*named;
            }
            stream->legs.push_back(
                {session->ConnectionOf(*named), named->port, named->RtcpPort(), mid});
        }
        if (stream->legs.size() != 2) {
            *error = path + ": a=group:DUP names " + std::to_string(stream->legs.size()) +
                     " legs; two are read";
            return false;
        }
    }
    stream->port = audio->port;
    stream->payloadType = audio->formats.front();
    stream->rtcpPort = audio->RtcpPort();
    stream->address = session->ConnectionOf(*audio);
    if (const std::optional<wire::SdpRtpMap> map = audio->RtpMap(stream->payloadType)) {
        // Encoding names are case-insensitive (RFC 4855).
        const bool l16 = strcasecmp(map->encoding.c_str(), "L16") == 0;
        if (!l16 && strcasecmp(map->encoding.c_str(), "L24") != 0) {
            *error = path + ": the audio is " + map->encoding + "; only L24 and L16 are read";
            return false;
        }
        stream->bits = l16 ? 16 : 24;
        stream->rate = map->rate;
        stream->channels = map->channels;
    } else if (!StaticPayload(stream->payloadType, stream, path, error)) {
        return false;
    }
    if (const std::optional<std::string> ptime = audio->Attribute("ptime")) {
        stream->ptimeMs = wire::ParseSeconds(*ptime).value_or(stream->ptimeMs);
    }
    stream->refclk =
        audio->Attribute("ts-refclk").value_or(session->Attribute("ts-refclk").value_or(""));
    // The pictures this reader can weigh: 8-bit RGB, BGR or 4:2:2 RFC 4175 video.
    if (const wire::SdpMedia* video = first("video")) {
        const int type = video->formats.front();
        const std::optional<wire::SdpRtpMap> map = video->RtpMap(type);
        std::map<std::string, std::string> format = video->FormatParameters(type);
        const auto number = [&](const char* key) {
            return static_cast<int>(wire::ParseInteger(format[key], 0, 65535).value_or(0));
        };
        stream->sampling = format["sampling"];
        stream->width = number("width");
        stream->height = number("height");
        stream->depth = number("depth");
        const bool readable = stream->sampling == "RGB" || stream->sampling == "BGR" ||
                              stream->sampling == "YCbCr-4:2:2";
        if (map && map->encoding == "raw" && map->rate == 90000 && readable && stream->depth == 8 &&
            video->port > 0) {
            stream->videoPort = video->port;
            stream->videoPayloadType = type;
            stream->videoRtcpPort = video->RtcpPort();
        }
    }
    if (stream->port <= 0 || stream->address.empty() || stream->channels < 1 ||
        stream->channels > 64 || stream->rate < 8000) {
        *error = path + " describes no L24 or L16 audio stream that can be received";
        return false;
    }
    return true;
}

std::unique_ptr<CPcmInput> OpenRtp(const SdpStream& stream, const std::string& interfaceName,
                                   const std::string& ptpSocket, std::string* error,
                                   double mergeBufferMs) {
    const std::string firstInterface = interfaceName.substr(0, interfaceName.find(','));
    const unsigned index = firstInterface.empty() ? 0 : if_nametoindex(firstInterface.c_str());
    if (!firstInterface.empty() && index == 0) {
        *error = "no network interface " + firstInterface;
        return nullptr;
    }
    // One socket per leg, each on its own interface when two are named.
    std::vector<int> fds;
    const std::vector<SdpLeg> legs = stream.legs.empty()
                                         ? std::vector<SdpLeg>{{stream.address, stream.port, 0, ""}}
                                         : stream.legs;
    const size_t comma = interfaceName.find(',');
    for (size_t leg = 0; leg < legs.size(); ++leg) {
        const std::string name = comma == std::string::npos ? interfaceName
                                 : leg == 0                 ? interfaceName.substr(0, comma)
                                                            : interfaceName.substr(comma + 1);
        const unsigned legIndex = name.empty() ? 0 : if_nametoindex(name.c_str());
        if (!name.empty() && legIndex == 0) {
            *error = "no network interface " + name;
        }
        const int fd = legIndex == 0 && !name.empty()
                           ? -1
                           : OpenReceiver(legs[leg].address, legs[leg].port, legIndex, error);
        if (fd < 0) {
            for (const int open : fds) {
                close(open);
            }
            if (legs.size() > 1) {
                *error = "leg " + std::to_string(leg + 1) + ": " + *error;
            }
            return nullptr;
        }
        fds.push_back(fd);
    }
    // The video and both streams' sender reports, when the session has pictures; without any
    // of them the audio is read as before.
    int video = -1;
    int audioRtcp = -1;
    int videoRtcp = -1;
    if (stream.videoPort > 0) {
        std::string ignored;
        video = OpenReceiver(stream.address, stream.videoPort, index, &ignored);
        audioRtcp = OpenReceiver(stream.address, stream.rtcpPort, index, &ignored);
        videoRtcp = OpenReceiver(stream.address, stream.videoRtcpPort, index, &ignored);
    }
    return std::make_unique<CRtpInput>(stream, std::move(fds), ptpSocket, mergeBufferMs, video,
                                       audioRtcp, videoRtcp);
}

namespace {

int OpenReceiver(const std::string& address, int port, unsigned index, std::string* error) {
    in_addr v4{};
    in6_addr v6{};
    const bool isV4 = inet_pton(AF_INET, address.c_str(), &v4) == 1;
    if (!isV4 && inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
        *error = "the SDP names no numeric address: " + address;
        return -1;
    }
    if (port <= 0 || port > 65535) {
        *error = "no port to receive on";
        return -1;
    }
    const int fd = socket(isV4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &yes, sizeof yes);
    int bound = -1;
    if (isV4) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<uint16_t>(port));
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
        local.sin6_port = htons(static_cast<uint16_t>(port));
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
        *error = "cannot receive on " + address + " port " + std::to_string(port) + ": " +
                 std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace
