// Pacing: frame n is due at the stream's anchor plus n frame durations (CFramePacer); each of its
// packets leaves at its own absolute CLOCK_MONOTONIC deadline on the pacing thread (at 16 channels
// eight a millisecond, never eight together: AES67 and ST 2110 receivers size their buffers by the
// packet time), so the caller's own jitter never reaches the wire. A frame is converted before the
// caller is made to wait, so the ring holds at most the frame on the wire and the next one.
#include "audio_stream.h"

#include "paced_worker.h"

#include <sys/prctl.h>

#include <algorithm>

CAudioStream::CAudioStream(double referenceGain, uint32_t ssrc, uint16_t firstSequence,
                           uint32_t firstTimestamp, FormatListener onFormat)
    : m_referenceGain(referenceGain), m_ssrc(ssrc), m_onFormat(std::move(onFormat)),
      m_nextSequence(firstSequence), m_nextTimestamp(firstTimestamp) {
    // Room for the largest frame up front: the sending path never allocates.
    const size_t maxPackets = kMaxSamplesPerFrame / SamplesPerAudioPacket(kMaxChannels) + 1;
    const size_t maxBytes =
        maxPackets * kRtpHeaderBytes +
        static_cast<size_t>(kMaxSamplesPerFrame) * kMaxChannels * kL24BytesPerSample;
    for (Slot& slot : m_slots) {
        slot.bytes.reserve(maxBytes);
        slot.packets.reserve(maxPackets);
        slot.sizes.reserve(maxPackets);
    }
}

bool CAudioStream::Start(const CSocketAddress& destination, std::optional<int> ttl,
                         unsigned interfaceIndex, std::string* error) {
    if (!m_socket.Open(destination, ttl, interfaceIndex, error)) {
        return false;
    }
    return StartWorker(
        &m_thread, [this] { Run(); }, "audio", error);
}

bool CAudioStream::Accepts(const NDIlib_audio_frame_v2_t& frame) const {
    return frame.sample_rate == kAudioSampleRateHz && frame.no_channels >= 1 &&
           frame.no_channels <= kMaxChannels && frame.no_samples >= 1 &&
           frame.no_samples <= kMaxSamplesPerFrame && frame.p_data != nullptr &&
           frame.channel_stride_in_bytes >= frame.no_samples * static_cast<int>(sizeof(float));
}

void CAudioStream::Send(const NDIlib_audio_frame_v2_t& frame) {
    std::lock_guard call(m_callLock);
    if (frame.no_samples <= 0 || frame.sample_rate <= 0) {
        ++m_framesRefused;
        return; // nothing to pace by
    }
    const uint64_t reanchorsBefore = m_pacer.ReanchorCount();
    const int64_t dueNs = m_pacer.Take(MonotonicNowNs(), frame.no_samples, frame.sample_rate);
    m_reanchors += m_pacer.ReanchorCount() - reanchorsBefore;
    if (!Accepts(frame)) {
        ++m_framesRefused;
        SleepUntilNs(dueNs);
        return;
    }
    if (frame.no_channels != m_channelCount) {
        m_channelCount = frame.no_channels;
        m_onFormat(m_channelCount);
    }
    Slot* slot = nullptr;
    {
        std::unique_lock ring(m_ringLock);
        m_ringChanged.wait(ring, [this] { return m_stop || m_queued < kSlotCount; });
        if (m_stop) {
            return;
        }
        slot = &m_slots[(m_first + m_queued) % kSlotCount];
    }
    // The slot is invisible to the pacing thread until it is queued below.
    Fill(*slot, frame, dueNs);
    {
        std::lock_guard ring(m_ringLock);
        ++m_queued;
    }
    m_ringChanged.notify_all();
    ++m_framesSent;
    SleepUntilNs(dueNs);
}

void CAudioStream::Fill(Slot& slot, const NDIlib_audio_frame_v2_t& frame, int64_t dueNs) {
    const int channels = frame.no_channels;
    const int perPacket = SamplesPerAudioPacket(channels);
    const int packetCount = (frame.no_samples + perPacket - 1) / perPacket;
    const size_t strideBytes = static_cast<size_t>(frame.channel_stride_in_bytes);
    slot.bytes.resize(static_cast<size_t>(packetCount) * kRtpHeaderBytes +
                      static_cast<size_t>(frame.no_samples) * channels * kL24BytesPerSample);
    slot.packets.clear();
    slot.sizes.clear();
    slot.dueNs = dueNs;
    slot.packetNs = SamplesToNs(perPacket, kAudioSampleRateHz);
    uint8_t* out = slot.bytes.data();
    uint64_t clamped = 0;
    for (int first = 0; first < frame.no_samples; first += perPacket) {
        const int count = std::min(perPacket, frame.no_samples - first);
        RtpHeader header;
        header.payloadType = kAudioPayloadType;
        header.sequence = m_nextSequence;
        header.timestamp = m_nextTimestamp;
        header.ssrc = m_ssrc;
        WriteRtpHeader(out, header);
        clamped += WriteL24Payload(out + kRtpHeaderBytes, frame.p_data, strideBytes, channels,
                                   first, count, m_referenceGain);
        const size_t size =
            kRtpHeaderBytes + static_cast<size_t>(count) * channels * kL24BytesPerSample;
        slot.packets.push_back(out);
        slot.sizes.push_back(size);
        out += size;
        m_nextSequence = AdvanceSequence(m_nextSequence, 1);
        m_nextTimestamp = AdvanceTimestamp(m_nextTimestamp, static_cast<uint64_t>(count));
    }
    m_clampedSamples += clamped;
}

void CAudioStream::Run() {
    // A deadline 125 us apart needs the wake-up on time, not within the default 50 us of slack;
    // the sleeps are still absolute, so no core is spun.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    std::unique_lock ring(m_ringLock);
    while (true) {
        m_ringChanged.wait(ring, [this] { return m_stop || m_queued > 0; });
        if (m_stop) {
            return;
        }
        const Slot& slot = m_slots[m_first];
        ring.unlock();
        m_packetsUnsent += SendInGroups(m_socket, slot.packets.data(), slot.sizes.data(),
                                        static_cast<int>(slot.packets.size()), 1, slot.dueNs,
                                        slot.packetNs, m_ringLock, m_stop);
        ring.lock();
        m_first = (m_first + 1) % kSlotCount;
        --m_queued;
        m_ringChanged.notify_all();
    }
}

void CAudioStream::Stop() {
    StopWorker(m_ringLock, m_ringChanged, m_stop, m_thread);
}

AudioStreamStats CAudioStream::Stats() const {
    return AudioStreamStats{m_framesSent.load(), m_framesRefused.load(), m_clampedSamples.load(),
                            m_packetsUnsent.load(), m_reanchors.load()};
}
