// The picture goes out as RFC 4175 RGB because every receiver we test with decodes that
// bit-exactly; one line segment per packet keeps the headers simple for them.
#include "video_stream.h"

#include "frame_pacer.h"
#include "paced_worker.h"
#include "rtp_packets.h"

#include <algorithm>
#include <cstring>

namespace {

// Groups of at most 9 packets (the 640 x 360 card's 720 packets) every 462.5 us leave at 19.5
// packets a millisecond, under the 19.8 at which ST 2110-21's wide sender model drains them, so no
// more than a group waits there (it allows 16); the 37 ms leave a 40 ms tick time to cut the next
// picture, so pictures never queue behind one another.
constexpr int64_t kGroupNs = 462'500;
constexpr int kGroups = static_cast<int>(CVideoStream::kSpreadNs / kGroupNs);

bool IsSupported(NDIlib_FourCC_video_type_e fourCC, bool* isRgb) {
    *isRgb = fourCC == NDIlib_FourCC_video_type_RGBX || fourCC == NDIlib_FourCC_video_type_RGBA;
    return *isRgb || fourCC == NDIlib_FourCC_video_type_BGRX ||
           fourCC == NDIlib_FourCC_video_type_BGRA;
}

} // namespace

CVideoStream::CVideoStream(uint32_t ssrc, uint32_t firstSequence, uint32_t firstTimestamp,
                           int64_t startNs, FormatListener onFormat, const CPtpClock* clock)
    : m_ssrc(ssrc), m_firstTimestamp(firstTimestamp), m_startNs(startNs), m_clock(clock),
      m_onFormat(std::move(onFormat)), m_sequence(firstSequence) {}

bool CVideoStream::Start(const CSocketAddress& destination, std::optional<int> ttl,
                         unsigned interfaceIndex, std::string* error, bool fromDestinationPort) {
    if (!m_socket.Open(destination, ttl, interfaceIndex, error,
                       fromDestinationPort ? std::optional<int>(destination.Port())
                                           : std::nullopt)) {
        return false;
    }
    return StartWorker(
        &m_thread, [this] { Run(); }, "video", error);
}

void CVideoStream::Send(const NDIlib_video_frame_v2_t& frame, std::optional<int64_t> atNs) {
    std::lock_guard call(m_callLock);
    bool isRgb = false;
    const int stride = frame.line_stride_in_bytes > 0 ? frame.line_stride_in_bytes : frame.xres * 4;
    if (!IsSupported(frame.FourCC, &isRgb) || frame.p_data == nullptr || frame.xres < 1 ||
        frame.yres < 1 || frame.xres > kMaxWidth || frame.yres > kMaxHeight ||
        stride < frame.xres * 4) {
        ++m_picturesRefused;
        return;
    }
    if (frame.xres != m_width || frame.yres != m_height || frame.frame_rate_N != m_rateN ||
        frame.frame_rate_D != m_rateD) {
        m_width = frame.xres;
        m_height = frame.yres;
        m_rateN = frame.frame_rate_N;
        m_rateD = frame.frame_rate_D;
        m_onFormat(m_width, m_height, m_rateN, m_rateD);
    }
    // The 90 kHz timestamp follows the monotonic clock from the sender's start, so pictures sent
    // at irregular ticks keep their true spacing; a picture tied to an audio frame takes that
    // frame's time, so both streams' timestamps name the same instant.
    const int64_t nowNs = atNs.value_or(MonotonicNowNs());
    uint32_t timestamp = 0;
    if (const std::optional<int64_t> offset = m_clock ? m_clock->OffsetNs() : std::nullopt) {
        if (!m_onPtp && m_sentFreeRunning) {
            // From the free-running count to PTP time: a new stream, as for the audio.
            m_ssrc = m_ssrc * 1664525u + 1013904223u;
        }
        m_onPtp = true;
        m_lastPtpTicks =
            std::max(m_lastPtpTicks, NsToSamplesSinceEpoch(nowNs + *offset, kVideoClockHz));
        timestamp = static_cast<uint32_t>(m_lastPtpTicks);
    } else {
        m_sentFreeRunning = true;
        timestamp = AdvanceTimestamp(m_firstTimestamp, static_cast<uint64_t>(NsToSamplesRounded(
                                                           nowNs - m_startNs, kVideoClockHz)));
    }
    std::lock_guard pending(m_pendingLock);
    m_pending.rgb.resize(static_cast<size_t>(frame.xres) * frame.yres * kRgbBytesPerPixel);
    ConvertToRgb(frame.p_data, static_cast<size_t>(stride), frame.xres, frame.yres, isRgb,
                 m_pending.rgb.data());
    m_pending.width = frame.xres;
    m_pending.height = frame.yres;
    m_pending.timestamp = timestamp;
    m_pending.ssrc = m_ssrc;
    if (m_hasPending) {
        ++m_picturesReplaced;
    }
    m_hasPending = true;
    m_pendingChanged.notify_all();
}

void CVideoStream::Packetise(const Picture& picture) {
    const int segmentsPerLine =
        (picture.width + kMaxPixelsPerVideoPacket - 1) / kMaxPixelsPerVideoPacket;
    const size_t packetCount = static_cast<size_t>(segmentsPerLine) * picture.height;
    const size_t headerBytes = kRtpHeaderBytes + kRfc4175ExtSeqBytes + kRfc4175LineHeaderBytes;
    m_packetBytes.resize(packetCount * headerBytes + picture.rgb.size());
    m_packets.clear();
    m_sizes.clear();
    uint8_t* out = m_packetBytes.data();
    for (int line = 0; line < picture.height; ++line) {
        for (int offset = 0; offset < picture.width; offset += kMaxPixelsPerVideoPacket) {
            const int pixels = std::min(kMaxPixelsPerVideoPacket, picture.width - offset);
            const size_t dataBytes = static_cast<size_t>(pixels) * kRgbBytesPerPixel;
            RtpHeader header;
            header.payloadType = kVideoPayloadType;
            header.marker = line == picture.height - 1 && offset + pixels == picture.width;
            header.sequence = static_cast<uint16_t>(m_sequence);
            header.timestamp = picture.timestamp;
            header.ssrc = picture.ssrc;
            WriteRtpHeader(out, header);
            WriteRfc4175Header(out + kRtpHeaderBytes, static_cast<uint16_t>(m_sequence >> 16),
                               static_cast<uint16_t>(dataBytes), static_cast<uint16_t>(line),
                               static_cast<uint16_t>(offset));
            const size_t source =
                (static_cast<size_t>(line) * picture.width + offset) * kRgbBytesPerPixel;
            std::memcpy(out + headerBytes, picture.rgb.data() + source, dataBytes);
            m_packets.push_back(out);
            m_sizes.push_back(headerBytes + dataBytes);
            out += headerBytes + dataBytes;
            ++m_sequence;
        }
    }
}

void CVideoStream::Run() {
    std::unique_lock pending(m_pendingLock);
    while (true) {
        m_pendingChanged.wait(pending, [this] { return m_stop || m_hasPending; });
        if (m_stop) {
            return;
        }
        std::swap(m_pending, m_leaving);
        m_hasPending = false;
        pending.unlock();
        Packetise(m_leaving);
        const int total = static_cast<int>(m_packets.size());
        const int perGroup = (total + kGroups - 1) / kGroups;
        const uint64_t unsent =
            SendInGroups(m_socket, m_packets.data(), m_sizes.data(), total, perGroup,
                         MonotonicNowNs(), kGroupNs, m_pendingLock, m_stop);
        m_packetsUnsent += unsent;
        const uint64_t sent = static_cast<uint64_t>(total) - std::min<uint64_t>(unsent, total);
        m_packetsSent += sent;
        if (total > 0) { // everything after the RTP headers is payload
            m_payloadOctets +=
                (m_packetBytes.size() - static_cast<size_t>(total) * kRtpHeaderBytes) * sent /
                static_cast<uint64_t>(total);
        }
        ++m_picturesSent;
        pending.lock();
    }
}

void CVideoStream::Stop() {
    StopWorker(m_pendingLock, m_pendingChanged, m_stop, m_thread);
}

bool CVideoStream::Report(int64_t atNs, std::optional<int64_t> ptpOffsetNs, StreamReport* report) {
    std::lock_guard call(m_callLock);
    if (!m_sentFreeRunning && !m_onPtp) {
        return false;
    }
    report->ssrc = m_ssrc;
    if (m_onPtp && ptpOffsetNs) {
        report->timestamp =
            static_cast<uint32_t>(NsToSamplesSinceEpoch(atNs + *ptpOffsetNs, kVideoClockHz));
    } else if (!m_onPtp) {
        report->timestamp = AdvanceTimestamp(
            m_firstTimestamp,
            static_cast<uint64_t>(NsToSamplesRounded(atNs - m_startNs, kVideoClockHz)));
    } else {
        return false; // on PTP time, which the clock no longer has
    }
    report->packets = m_packetsSent.load();
    report->payloadOctets = m_payloadOctets.load();
    return true;
}

VideoStreamStats CVideoStream::Stats() const {
    return VideoStreamStats{m_picturesSent.load(), m_picturesRefused.load(),
                            m_picturesReplaced.load(), m_packetsUnsent.load()};
}
