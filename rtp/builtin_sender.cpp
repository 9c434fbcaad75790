// Assembles one built-in source. Start order: announcer, video, audio; stop order the reverse,
// so no packet leaves after the SAP deletion that says the source is gone.
#include "builtin_sender.h"

#include <algorithm>
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
    std::unique_ptr<CBuiltinSender> sender(new CBuiltinSender());
    sender->m_ptp = std::move(ptp);
    BuiltinSenderInfo& info = sender->m_info;
    info.sourceName = sourceName;
    info.destination = config.destination.Host();
    info.audioPort = static_cast<int>(audioPort);
    info.secondAudioPort = static_cast<int>(secondAudioPort);
    info.videoPort = static_cast<int>(videoPort);
    info.sapDestination = config.sapDestination.HostAndPort();
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
    return sender;
}

CBuiltinSender::~CBuiltinSender() {
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
