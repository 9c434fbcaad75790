// Assembles one built-in source. Start order: announcer, video, audio; stop order the reverse,
// so no packet leaves after the SAP deletion that says the source is gone.
#include "builtin_sender.h"

#include "paced_worker.h"
#include "session_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

SdpClockReference ClockReference(const PtpReference& ptp, const std::string& localMac,
                                 uint32_t audioOffset, uint32_t videoOffset) {
    SdpClockReference clock;
    clock.ptp = ptp.synchronised;
    clock.grandmaster = ptp.grandmaster;
    clock.domain = ptp.domain;
    clock.localMac = localMac;
    // On the PTP timescale, synchronised or not, a timestamp of 0 is the PTP epoch.
    clock.audioOffset = ptp.available ? 0 : audioOffset;
    clock.videoOffset = ptp.available ? 0 : videoOffset;
    return clock;
}

} // namespace

std::unique_ptr<CBuiltinSender> CBuiltinSender::Create(const CRuntimeConfig& config,
                                                       const std::string& sourceName,
                                                       std::shared_ptr<CPtpClock> ptp,
                                                       std::string* error) {
    const int copy = CopyNumberOfSource(sourceName);
    const long audioPort = config.basePort + static_cast<long>(config.PortsPerCopy()) * (copy - 1);
    const long videoPort = audioPort + CRuntimeConfig::kVideoPortOffset;
    const long secondAudioPort =
        config.Split() ? audioPort + CRuntimeConfig::kSecondAudioPortOffset : 0;
    if (std::max(videoPort, secondAudioPort) > 65535) {
        *error = "copy " + std::to_string(copy) + " has no room for its ports above " +
                 std::to_string(config.basePort);
        return nullptr;
    }
    // The second leg's ports stand to its base port as the first leg's to theirs.
    const long legOffset = config.secondLeg ? config.secondLeg->basePort - config.basePort : 0;
    if (std::max(videoPort, secondAudioPort) + legOffset > 65535) {
        *error = "copy " + std::to_string(copy) + " has no room for its second leg's ports above " +
                 std::to_string(config.secondLeg->basePort);
        return nullptr;
    }
    std::unique_ptr<CBuiltinSender> sender(new CBuiltinSender());
    sender->m_ptp = std::move(ptp);
    BuiltinSenderInfo& info = sender->m_info;
    info.sourceName = sourceName;
    info.destination = config.destination.Host();
    info.audioPort = static_cast<int>(audioPort);
    info.secondAudioPort = static_cast<int>(secondAudioPort);
    info.videoPort = static_cast<int>(videoPort);
    info.sapDestination = config.sapDestination.HostAndPort();
    info.secondAudioDestination = info.videoDestination = info.destination;
    info.interfaceName = config.interfaceName;
    if (config.secondLeg) {
        BuiltinLegInfo leg;
        leg.destination = leg.secondAudioDestination = leg.videoDestination =
            config.secondLeg->destination.Host();
        leg.audioPort = static_cast<int>(audioPort + legOffset);
        leg.secondAudioPort =
            secondAudioPort != 0 ? static_cast<int>(secondAudioPort + legOffset) : 0;
        leg.videoPort = static_cast<int>(videoPort + legOffset);
        leg.interfaceName = config.secondLeg->interfaceName;
        info.secondLeg = leg;
    }
    const CSocketAddress audioDestination = config.destination.WithPort(info.audioPort);
    const CSocketAddress videoDestination = config.destination.WithPort(info.videoPort);
    std::optional<CSocketAddress> secondDestination;
    if (config.Split()) {
        secondDestination = config.destination.WithPort(info.secondAudioPort);
    }

    std::string folderError;
    const std::string folder = SessionFolder(&folderError);
    if (folder.empty()) {
        std::fprintf(stderr, "Session description not written: %s\n", folderError.c_str());
    } else {
        info.sdpPath = folder + "/" + SdpFileName(sourceName);
    }

    std::random_device entropy;
    std::mt19937_64 random(static_cast<uint64_t>(entropy()) << 32 | entropy());
    SdpDescription description;
    description.sourceName = sourceName;
    description.sessionId = random() & 0x7fffffffffffull;
    description.destinationHost = config.destination.Host();
    description.destinationIpv6 = config.destination.IsIpv6();
    description.destinationMulticast = config.destination.IsMulticast();
    description.ttl = config.ttl;
    description.audioPort = info.audioPort;
    description.secondAudioPort = info.secondAudioPort;
    description.streamChannels = config.streamChannels;
    description.videoPort = info.videoPort;

    CUdpSocket probe;
    if (probe.Open(audioDestination, std::nullopt, config.interfaceIndex, error)) {
        const std::string local = probe.LocalAddress();
        description.originAddress = local.empty() ? config.destination.Host() : local;
    }
    if (config.secondLeg) {
        const CRuntimeConfig::Leg& leg = *config.secondLeg;
        CUdpSocket legProbe;
        std::string local;
        if (legProbe.Open(leg.destination.WithPort(info.secondLeg->audioPort), std::nullopt,
                          leg.interfaceIndex, error)) {
            local = legProbe.LocalAddress();
        }
        info.secondLeg->sourceAddress = local.empty() ? leg.destination.Host() : local;
        description.secondLeg = SdpSecondLeg{leg.destination.Host(),
                                             leg.destination.IsMulticast(),
                                             info.secondLeg->sourceAddress,
                                             static_cast<int>(legOffset),
                                             {},
                                             {}};
    }
    const std::string localMac = CUdpSocket::InterfaceMac(description.originAddress);
    const auto audioTimestamp = static_cast<uint32_t>(random());
    const auto videoTimestamp = static_cast<uint32_t>(random());
    const PtpReference reference = sender->m_ptp ? sender->m_ptp->Reference() : PtpReference{};
    description.clock = ClockReference(reference, localMac, audioTimestamp, videoTimestamp);

    sender->m_announcer = std::make_unique<CSessionAnnouncer>(description, info.sdpPath);
    CSessionAnnouncer* announcer = sender->m_announcer.get();
    for (const SdpSession& session : BuildSdpSessions([&] {
             SdpDescription all = description;
             all.channelCount = CAudioStream::kMaxChannels; // every file it may write
             return all;
         }())) {
        if (!info.sdpPath.empty()) {
            info.sdpFiles.push_back(announcer->PartPath(session.part));
        }
    }
    const CPtpClock* clock = sender->m_ptp.get();
    sender->m_video = std::make_unique<CVideoStream>(
        static_cast<uint32_t>(random()), static_cast<uint32_t>(random()), videoTimestamp,
        MonotonicNowNs(),
        [announcer](int w, int h, int n, int d) { announcer->SetVideoFormat(w, h, n, d); }, clock);
    sender->m_audio = std::make_unique<CAudioStream>(
        config.ReferenceGain(), static_cast<uint32_t>(random()), static_cast<uint16_t>(random()),
        audioTimestamp, [announcer](int channels) { announcer->SetAudioFormat(channels); }, clock,
        config.streamChannels);
    if (sender->m_ptp) {
        sender->m_ptpListener = sender->m_ptp->Subscribe(
            [announcer, localMac, audioTimestamp, videoTimestamp](const PtpReference& now) {
                announcer->SetClockReference(
                    ClockReference(now, localMac, audioTimestamp, videoTimestamp));
            });
    }
    // Packets leave from their destination port, except to this computer itself, where a local
    // receiver (ffplay on the session file) must be free to bind that very port.
    const bool fromDestinationPort = !config.destination.IsLoopback();
    if (!announcer->Start(config.sapDestination, config.ttl, config.interfaceIndex, error) ||
        !sender->m_video->Start(videoDestination, config.ttl, config.interfaceIndex, error,
                                fromDestinationPort) ||
        !sender->m_audio->Start(audioDestination, config.ttl, config.interfaceIndex, error,
                                secondDestination, fromDestinationPort)) {
        return nullptr;
    }
    if (config.secondLeg) {
        // Every packet of every stream, and every sender report, also on the second leg.
        const CRuntimeConfig::Leg& leg = *config.secondLeg;
        const BuiltinLegInfo& legInfo = *info.secondLeg;
        if (!sender->m_video->AddLeg(leg.destination.WithPort(legInfo.videoPort),
                                     leg.interfaceIndex, error) ||
            !sender->m_audio->AddLeg(0, leg.destination.WithPort(legInfo.audioPort),
                                     leg.interfaceIndex, error) ||
            (secondDestination &&
             !sender->m_audio->AddLeg(1, leg.destination.WithPort(legInfo.secondAudioPort),
                                      leg.interfaceIndex, error))) {
            return nullptr;
        }
    }
    // RTCP beside each stream, on its port + 1 (RFC 3550's rule, which the session description
    // states too); a stream on the last port has none. A socket the system refuses costs only
    // the reports: the media still flow.
    sender->m_cname = "lirafon@" + description.originAddress;
    const std::array<long, kRtcpSockets> rtpPorts{audioPort, secondAudioPort, videoPort};
    for (size_t i = 0; i < rtpPorts.size(); ++i) {
        if (rtpPorts[i] <= 0 || rtpPorts[i] + 1 > 65535) {
            continue;
        }
        const int port = static_cast<int>(rtpPorts[i] + 1);
        std::string why;
        if (!sender->m_rtcpSockets[i].Open(
                config.destination.WithPort(port), config.ttl, config.interfaceIndex, &why,
                fromDestinationPort ? std::optional<int>(port) : std::nullopt)) {
            std::fprintf(stderr, "%s: no RTCP to port %d: %s\n", sourceName.c_str(), port,
                         why.c_str());
        } else if (config.secondLeg &&
                   !sender->m_rtcpSockets[i].AddLeg(
                       config.secondLeg->destination.WithPort(static_cast<int>(port + legOffset)),
                       config.secondLeg->interfaceIndex, &why)) {
            std::fprintf(stderr, "%s: no RTCP on the second leg: %s\n", sourceName.c_str(),
                         why.c_str());
        }
    }
    info.sourceAddress = description.originAddress;
    CBuiltinSender* self = sender.get();
    if (!StartWorker(
            &sender->m_rtcpThread, [self] { self->RunRtcp(); }, "RTCP", error)) {
        return nullptr;
    }
    return sender;
}

CBuiltinSender::~CBuiltinSender() {
    StopWorker(m_rtcpLock, m_rtcpWake, m_rtcpStop, m_rtcpThread);
    if (m_ptp) {
        m_ptp->Unsubscribe(m_ptpListener);
    }
    if (m_audio) {
        m_audio->Stop();
        const uint64_t clamped = m_audio->Stats().clampedSamples;
        if (clamped > 0) {
            std::fprintf(stderr, "%s: %llu samples beyond full scale were clamped\n",
                         m_info.sourceName.c_str(), static_cast<unsigned long long>(clamped));
        }
    }
    if (m_video) {
        m_video->Stop();
    }
    if (m_announcer) {
        m_announcer->Stop();
    }
}

void CBuiltinSender::SendVideo(const NDIlib_video_frame_v2_t& frame) {
    std::optional<int64_t> atNs;
    if (frame.timecode != NDIlib_send_timecode_synthesize) {
        const AudioClockPoint audio = m_audio->LastFrame();
        // Timecodes count 100 ns. A picture more than a second from the last audio frame is not
        // of that frame's instant: it keeps its own time.
        const int64_t apartNs = (frame.timecode - audio.timecode) * 100;
        if (audio.valid && apartNs > -1'000'000'000 && apartNs < 1'000'000'000) {
            atNs = audio.monotonicNs + apartNs;
        }
    }
    m_video->Send(frame, atNs);
}

BuiltinSenderInfo CBuiltinSender::Info() const {
    std::lock_guard guard(m_infoLock);
    BuiltinSenderInfo info = m_info;
    // A socket the system binds at its first packet has a port only from then on.
    info.sourcePorts = {m_audio->LocalPort(0), m_audio->LocalPort(1), m_video->LocalPort()};
    return info;
}

bool CBuiltinSender::Retarget(BuiltinStream stream, const CSocketAddress& destination, bool enabled,
                              std::string* error, int leg) {
    std::lock_guard guard(m_infoLock);
    const auto index = static_cast<size_t>(stream);
    if (stream == BuiltinStream::secondAudio && m_info.secondAudioPort == 0) {
        *error = "this source sends its channels as one stream";
        return false;
    }
    if (leg != 0 && (leg != 1 || !m_info.secondLeg)) {
        *error = "this source sends its streams on one leg";
        return false;
    }
    const auto current = CSocketAddress::Parse(m_info.destination, 0);
    if (!current || current->Family() != destination.Family()) {
        *error = std::string("the streams of this source go over ") +
                 (current && current->IsIpv6() ? "IPv6" : "IPv4");
        return false;
    }
    if (destination.Port() < 1 || destination.Port() > 65535) {
        *error = "no such port";
        return false;
    }
    const bool moved = stream == BuiltinStream::video
                           ? m_video->Retarget(destination, enabled, leg)
                           : m_audio->Retarget(static_cast<int>(index), destination, enabled, leg);
    if (!moved) {
        *error = "the stream is not open";
        return false;
    }
    // The reports follow to the port above; on the last port there is none, as at the start.
    CUdpSocket& rtcp = m_rtcpSockets[stream == BuiltinStream::video ? kRtcpSockets - 1 : index];
    if (rtcp.IsOpen()) {
        rtcp.Retarget(destination.WithPort(std::min(destination.Port() + 1, 65535)),
                      enabled && destination.Port() < 65535, leg);
    }
    m_announcer->SetStreamDestination(static_cast<int>(index), destination.Host(),
                                      destination.Port(), leg);
    const auto note = [&](auto& where) {
        where.enabled[index] = enabled;
        StreamHost(where, stream) = destination.Host();
        StreamPort(where, stream) = destination.Port();
    };
    if (leg == 1) {
        note(*m_info.secondLeg);
    } else {
        note(m_info);
    }
    return true;
}

std::string CBuiltinSender::StreamSdp(BuiltinStream stream) {
    const BuiltinSenderInfo info = Info();
    const bool split = info.secondAudioPort != 0;
    switch (stream) {
    case BuiltinStream::audio: {
        // Split streams have parts of their own once the channels need both.
        const std::string one = m_announcer->SessionText("audio");
        return one.empty() ? m_announcer->SessionText("audio-1") : one;
    }
    case BuiltinStream::secondAudio:
        return split ? m_announcer->SessionText("audio-2") : "";
    case BuiltinStream::video:
        return m_announcer->SessionText("video");
    }
    return "";
}

BuiltinSenderStats CBuiltinSender::Stats() const {
    std::array<uint64_t, 2> refused{};
    for (int leg = 0; leg < 2; ++leg) {
        refused[static_cast<size_t>(leg)] =
            m_audio->Refused(0, leg) + m_audio->Refused(1, leg) + m_video->Refused(leg);
    }
    return {m_audio->Stats(), m_video->Stats(),
            RtcpStats{m_rtcpSent.load(), m_rtcpReceiverReports.load(), m_rtcpByes.load(),
                      m_rtcpMalformed.load()},
            refused};
}

void CBuiltinSender::RunRtcp() {
    std::unique_lock lock(m_rtcpLock);
    // The first reports a fifth of an interval in, when the first frames have left.
    auto next = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kRtcpIntervalNs / 5);
    std::chrono::nanoseconds interval(kRtcpIntervalNs);
    while (!m_rtcpStop) {
        if (m_rtcpWake.wait_until(lock, next, [this] { return m_rtcpStop; })) {
            return;
        }
        lock.unlock();
        ReadFeedback();
        SendReports();
        lock.lock();
        next += interval;
    }
}

// Both streams' reports name one instant, on one wallclock: PTP time when the clock has it (the
// streams' timestamps are PTP time then), else the monotonic clock on the real-time clock's
// reading at the first report. The instant is an audio sample's own, so every report maps a
// whole timestamp to the wallclock and successive reports agree to the nanosecond: a receiver
// that rescales their difference to the sample rate (FFmpeg) moves no sample back or forth.
void CBuiltinSender::SendReports() {
    int64_t atNs = MonotonicNowNs();
    const AudioClockPoint frame = m_audio->LastFrame();
    if (frame.valid) {
        const int64_t samples = NsToSamplesRounded(atNs - frame.monotonicNs, kAudioSampleRateHz);
        atNs = frame.monotonicNs + (samples >= 0 ? SamplesToNs(samples, kAudioSampleRateHz)
                                                 : -SamplesToNs(-samples, kAudioSampleRateHz));
    }
    const std::optional<int64_t> ptpOffset = m_ptp ? m_ptp->OffsetNs() : std::nullopt;
    int64_t wallclockNs = 0;
    if (ptpOffset) {
        wallclockNs = atNs + *ptpOffset;
    } else {
        if (!m_wallclockOffsetNs) {
            const int64_t beforeNs = MonotonicNowNs();
            timespec real{};
            clock_gettime(CLOCK_REALTIME, &real);
            const int64_t afterNs = MonotonicNowNs();
            // The real-time reading stands for the middle of the two monotonic ones.
            m_wallclockOffsetNs = real.tv_sec * int64_t{1'000'000'000} + real.tv_nsec -
                                  (beforeNs + (afterNs - beforeNs) / 2);
        }
        wallclockNs = atNs + *m_wallclockOffsetNs;
    }
    for (size_t i = 0; i < m_rtcpSockets.size(); ++i) {
        if (!m_rtcpSockets[i].IsOpen()) {
            continue;
        }
        StreamReport report;
        const bool known = i < CAudioStream::kMaxStreams
                               ? m_audio->Report(static_cast<int>(i), atNs, &report)
                               : m_video->Report(atNs, ptpOffset, &report);
        if (!known) {
            continue;
        }
        RtcpSenderInfo info;
        info.ssrc = report.ssrc;
        info.wallclockNs = wallclockNs;
        info.rtpTimestamp = report.timestamp;
        info.packetCount = static_cast<uint32_t>(report.packets);
        info.octetCount = static_cast<uint32_t>(report.payloadOctets);
        const std::vector<uint8_t> packet = BuildSenderReport(info, m_cname);
        if (m_rtcpSockets[i].Send(packet.data(), packet.size())) {
            ++m_rtcpSent;
        }
    }
}

// Receiver reports and BYEs are read so they do not pile up, and counted; nothing in them
// changes what is sent.
void CBuiltinSender::ReadFeedback() {
    std::array<uint8_t, 1500> buffer{};
    for (CUdpSocket& socket : m_rtcpSockets) {
        for (int i = 0; i < 64; ++i) {
            const long got = socket.ReceiveNow(buffer.data(), buffer.size());
            if (got < 0) {
                break;
            }
            const RtcpReading reading = ReadRtcp(buffer.data(), static_cast<size_t>(got));
            m_rtcpReceiverReports += static_cast<uint64_t>(reading.receiverReports);
            m_rtcpByes += static_cast<uint64_t>(reading.byes);
            if (reading.malformed) {
                ++m_rtcpMalformed;
            }
        }
    }
}

void CBuiltinSender::AddMetadata(const NDIlib_metadata_frame_t& metadata) {
    if (metadata.p_data == nullptr) {
        return;
    }
    const size_t length = metadata.length > 0
                              ? strnlen(metadata.p_data, static_cast<size_t>(metadata.length))
                              : std::strlen(metadata.p_data);
    std::lock_guard guard(m_metadataLock);
    // Every text added is offered to receivers, as the NDI runtime offers each one to every
    // connection: the description carries them all, in order.
    m_metadata.append(metadata.p_data, length);
    m_announcer->SetMetadata(m_metadata);
}
