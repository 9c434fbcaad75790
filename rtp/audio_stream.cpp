// Pacing: frame n is due at the stream's anchor plus n frame durations (CFramePacer); each of its
// packets leaves at its own absolute CLOCK_MONOTONIC deadline on the pacing thread (at 16 channels
// eight a millisecond, never eight together: AES67 and ST 2110 receivers size their buffers by the
// packet time), so the caller's own jitter never reaches the wire. A frame is converted before the
// caller is made to wait, so the ring holds at most the frame on the wire and the next one.
#include "audio_stream.h"

#include "paced_worker.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

CAudioStream::CAudioStream(double referenceGain, uint32_t ssrc, uint16_t firstSequence,
                           uint32_t firstTimestamp, FormatListener onFormat, const CPtpClock* clock,
                           int streamChannels)
    : m_referenceGain(referenceGain), m_streamChannels(std::clamp(streamChannels, 1, kMaxChannels)),
      m_clock(clock), m_onFormat(std::move(onFormat)), m_nextTimestamp(firstTimestamp),
      m_random(ssrc) {
    for (int s = 0; s < kMaxStreams; ++s) {
        m_streams[static_cast<size_t>(s)].ssrc = ssrc + static_cast<uint32_t>(s) * 0x9e3779b9u;
        m_streams[static_cast<size_t>(s)].nextSequence =
            static_cast<uint16_t>(firstSequence + s * 0x5555);
    }
    // Room for the largest frame up front: the sending path never allocates.
    const size_t maxPackets = kMaxSamplesPerFrame / SamplesPerAudioPacket(kMaxChannels) + 1;
    const size_t maxBytes =
        kMaxStreams * maxPackets * kRtpHeaderBytes +
        static_cast<size_t>(kMaxSamplesPerFrame) * kMaxChannels * kL24BytesPerSample;
    for (Slot& slot : m_slots) {
        slot.bytes.reserve(maxBytes);
        for (int s = 0; s < kMaxStreams; ++s) {
            slot.packets[static_cast<size_t>(s)].reserve(maxPackets);
            slot.sizes[static_cast<size_t>(s)].reserve(maxPackets);
        }
    }
}

bool CAudioStream::Start(const CSocketAddress& destination, std::optional<int> ttl,
                         unsigned interfaceIndex, std::string* error,
                         const std::optional<CSocketAddress>& secondDestination,
                         bool fromDestinationPort) {
    const auto port = [&](const CSocketAddress& to) {
        return fromDestinationPort ? std::optional<int>(to.Port()) : std::nullopt;
    };
    if (!m_streams[0].socket.Open(destination, ttl, interfaceIndex, error, port(destination)) ||
        (secondDestination && !m_streams[1].socket.Open(*secondDestination, ttl, interfaceIndex,
                                                        error, port(*secondDestination)))) {
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
    const std::optional<int64_t> offset = m_clock ? m_clock->OffsetNs() : std::nullopt;
    const bool ptp = offset && frame.sample_rate == kAudioSampleRateHz;
    int64_t dueNs = 0;
    if (ptp) {
        dueNs = TakePtp(MonotonicNowNs(), *offset, frame.no_samples);
    } else {
        m_sentFreeRunning = true;
        const uint64_t reanchorsBefore = m_pacer.ReanchorCount();
        dueNs = m_pacer.Take(MonotonicNowNs(), frame.no_samples, frame.sample_rate);
        m_reanchors += m_pacer.ReanchorCount() - reanchorsBefore;
    }
    if (!Accepts(frame)) {
        ++m_framesRefused;
        SleepUntilNs(dueNs);
        return;
    }
    {
        std::lock_guard point(m_pointLock);
        m_lastFrame = AudioClockPoint{true, dueNs, m_nextTimestamp, frame.timecode};
        for (size_t s = 0; s < kMaxStreams; ++s) {
            m_reportedSsrc[s] = m_streams[s].ssrc;
        }
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
    // The slot is invisible to the pacing thread until it is queued below. On PTP time a packet
    // leaves when its last sample's time has come.
    Fill(*slot, frame,
         ptp ? dueNs +
                   SamplesToNs(SamplesPerAudioPacket(std::min(frame.no_channels, m_streamChannels)),
                               kAudioSampleRateHz)
             : dueNs);
    {
        std::lock_guard ring(m_ringLock);
        ++m_queued;
    }
    m_ringChanged.notify_all();
    ++m_framesSent;
    SleepUntilNs(dueNs);
}

int64_t CAudioStream::TakePtp(int64_t nowNs, int64_t offsetNs, int64_t sampleCount) {
    const int64_t frameNs = SamplesToNs(sampleCount, kAudioSampleRateHz);
    const int64_t ptpNowNs = nowNs + offsetNs;
    const int64_t dueNs = SamplesSinceEpochToNs(m_ptpSample, kAudioSampleRateHz);
    // Late by more than a frame (the caller stalled, or PTP time jumped ahead), or early by more
    // than two (PTP time jumped back): start again from the sample now.
    if (!m_ptpAnchored || ptpNowNs - dueNs > frameNs || dueNs - ptpNowNs > 2 * frameNs) {
        const int64_t sample = NsToSamplesSinceEpoch(ptpNowNs, kAudioSampleRateHz) + 1;
        if (m_ptpAnchored) {
            ++m_reanchors;
        }
        // A jump back, or the first move from the free-running count to PTP time (ptp4l
        // started after the program): a receiver locked to the stream must not see its
        // timestamps leap by hours, so a new stream begins.
        if ((m_ptpAnchored && sample < m_ptpSample) || (!m_ptpAnchored && m_sentFreeRunning)) {
            for (Stream& stream : m_streams) {
                stream.ssrc = static_cast<uint32_t>(m_random());
            }
            ++m_newStreams;
        }
        m_ptpAnchored = true;
        m_ptpSample = sample;
    }
    m_nextTimestamp = static_cast<uint32_t>(m_ptpSample);
    const int64_t frameDueNs = SamplesSinceEpochToNs(m_ptpSample, kAudioSampleRateHz) - offsetNs;
    m_ptpSample += sampleCount;
    return frameDueNs;
}

void CAudioStream::Fill(Slot& slot, const NDIlib_audio_frame_v2_t& frame, int64_t dueNs) {
    const int channels = frame.no_channels;
    const bool connected = m_streams[1].socket.IsOpen();
    slot.streams = channels > m_streamChannels && connected ? 2 : 1;
    const int perStream = slot.streams == 2 ? m_streamChannels : channels;
    const int perPacket = SamplesPerAudioPacket(perStream);
    const int packetCount = (frame.no_samples + perPacket - 1) / perPacket;
    const size_t strideBytes = static_cast<size_t>(frame.channel_stride_in_bytes);
    slot.bytes.resize(static_cast<size_t>(packetCount * slot.streams) * kRtpHeaderBytes +
                      static_cast<size_t>(frame.no_samples) * channels * kL24BytesPerSample);
    slot.dueNs = dueNs;
    slot.packetNs = SamplesToNs(perPacket, kAudioSampleRateHz);
    uint8_t* out = slot.bytes.data();
    uint64_t clamped = 0;
    for (int s = 0; s < kMaxStreams; ++s) {
        slot.packets[static_cast<size_t>(s)].clear();
        slot.sizes[static_cast<size_t>(s)].clear();
    }
    for (int s = 0; s < slot.streams; ++s) {
        Stream& stream = m_streams[static_cast<size_t>(s)];
        const int firstChannel = s * m_streamChannels;
        const int streamChannels = s == 0 ? perStream : channels - firstChannel;
        const float* planes =
            reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(frame.p_data) +
                                           static_cast<size_t>(firstChannel) * strideBytes);
        uint32_t timestamp = m_nextTimestamp;
        for (int first = 0; first < frame.no_samples; first += perPacket) {
            const int count = std::min(perPacket, frame.no_samples - first);
            RtpHeader header;
            header.payloadType = kAudioPayloadType;
            header.sequence = stream.nextSequence;
            header.timestamp = timestamp;
            header.ssrc = stream.ssrc;
            WriteRtpHeader(out, header);
            clamped += WriteL24Payload(out + kRtpHeaderBytes, planes, strideBytes, streamChannels,
                                       first, count, m_referenceGain);
            const size_t size =
                kRtpHeaderBytes + static_cast<size_t>(count) * streamChannels * kL24BytesPerSample;
            slot.packets[static_cast<size_t>(s)].push_back(out);
            slot.sizes[static_cast<size_t>(s)].push_back(size);
            out += size;
            stream.nextSequence = AdvanceSequence(stream.nextSequence, 1);
            timestamp = AdvanceTimestamp(timestamp, static_cast<uint64_t>(count));
        }
    }
    m_nextTimestamp = AdvanceTimestamp(m_nextTimestamp, static_cast<uint64_t>(frame.no_samples));
    m_clampedSamples += clamped;
}

void CAudioStream::Run() {
    // A deadline 125 us apart needs the wake-up on time, not within the default 50 us of slack;
    // the sleeps are still absolute, so no core is spun.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    // Ahead of the window's thread when the control server is busy (best effort: refused without
    // the privilege). Real-time priority is not asked for: on a 2-core machine it made the
    // stream fall tens of milliseconds behind.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
    std::unique_lock ring(m_ringLock);
    while (true) {
        m_ringChanged.wait(ring, [this] { return m_stop || m_queued > 0; });
        if (m_stop) {
            return;
        }
        const Slot& slot = m_slots[m_first];
        ring.unlock();
        bool stopped = false;
        for (size_t i = 0; i < slot.packets[0].size() && !stopped; ++i) {
            SleepUntilNs(slot.dueNs + static_cast<int64_t>(i) * slot.packetNs);
            for (size_t s = 0; s < static_cast<size_t>(slot.streams); ++s) {
                Stream& stream = m_streams[s];
                if (stream.socket.Send(slot.packets[s][i], slot.sizes[s][i])) {
                    ++stream.packets;
                    stream.payloadOctets += slot.sizes[s][i] - kRtpHeaderBytes;
                } else {
                    ++m_packetsUnsent;
                }
            }
            std::lock_guard guard(m_ringLock);
            stopped = m_stop;
        }
        ring.lock();
        m_first = (m_first + 1) % kSlotCount;
        --m_queued;
        m_ringChanged.notify_all();
    }
}

void CAudioStream::Stop() {
    StopWorker(m_ringLock, m_ringChanged, m_stop, m_thread);
}

bool CAudioStream::Retarget(int s, const CSocketAddress& destination, bool enabled, int leg) {
    return s >= 0 && s < kMaxStreams &&
           m_streams[static_cast<size_t>(s)].socket.Retarget(destination, enabled, leg);
}

bool CAudioStream::AddLeg(int s, const CSocketAddress& destination, unsigned interfaceIndex,
                          std::string* error) {
    if (s < 0 || s >= kMaxStreams || !m_streams[static_cast<size_t>(s)].socket.IsOpen()) {
        *error = "no such stream";
        return false;
    }
    return m_streams[static_cast<size_t>(s)].socket.AddLeg(destination, interfaceIndex, error);
}

AudioClockPoint CAudioStream::LastFrame() const {
    std::lock_guard point(m_pointLock);
    return m_lastFrame;
}

bool CAudioStream::Report(int s, int64_t atNs, StreamReport* report) const {
    if (s < 0 || s >= kMaxStreams || !m_streams[static_cast<size_t>(s)].socket.IsOpen()) {
        return false;
    }
    std::lock_guard point(m_pointLock);
    if (!m_lastFrame.valid) {
        return false;
    }
    const Stream& stream = m_streams[static_cast<size_t>(s)];
    report->ssrc = m_reportedSsrc[static_cast<size_t>(s)];
    // Split streams carry the same timestamps.
    const int64_t samples = NsToSamplesRounded(atNs - m_lastFrame.monotonicNs, kAudioSampleRateHz);
    report->timestamp = m_lastFrame.timestamp + static_cast<uint32_t>(samples);
    report->packets = stream.packets.load();
    report->payloadOctets = stream.payloadOctets.load();
    return true;
}

AudioStreamStats CAudioStream::Stats() const {
    return AudioStreamStats{m_framesSent.load(),    m_framesRefused.load(), m_clampedSamples.load(),
                            m_packetsUnsent.load(), m_reanchors.load(),     m_newStreams.load()};
}
