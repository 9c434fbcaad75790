#include "nmos_host.h"

#include "builtin_runtime.h"

#include <QNetworkInterface>

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

std::optional<BuiltinStream> StreamOfRole(const std::string& role) {
    if (role == "audio") {
        return BuiltinStream::audio;
    }
    if (role == "audio-2") {
        return BuiltinStream::secondAudio;
    }
    if (role == "video") {
        return BuiltinStream::video;
    }
    return std::nullopt;
}

} // namespace

CNmosHost::CNmosHost(NDIlib_send_instance_t sender, int copy, std::string apiHost, int apiPort,
                     bool loopbackOnly, std::function<int()> channels,
                     std::function<void()> changed)
    : m_sender(sender), m_copy(copy), m_apiHost(std::move(apiHost)), m_apiPort(apiPort),
      m_channels(std::move(channels)), m_changed(std::move(changed)), m_loopbackOnly(loopbackOnly) {
}

nmos::NodeFacts CNmosHost::Facts() {
    nmos::NodeFacts facts;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    facts.hostname = host;
    facts.copy = m_copy;
    facts.sourceName = "QEL Audio Tone " + std::to_string(m_copy);
    facts.apiHost = m_apiHost;
    facts.apiPort = m_apiPort;
    BuiltinSenderInfo info;
    if (!GetBuiltinSenderInfo(m_sender, &info)) {
        return facts;
    }
    facts.interfaceMac = "00-00-00-00-00-00";
    const QHostAddress local(QString::fromStdString(info.sourceAddress));
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : nic.addressEntries()) {
            if (entry.ip().isEqual(local)) {
                facts.interfaceName = nic.name().toStdString();
                QString mac = nic.hardwareAddress().toLower().replace(QLatin1Char(':'), '-');
                if (mac.size() == 17) {
                    facts.interfaceMac = mac.toStdString();
                }
            }
        }
    }
    int64_t ptpNow = 0;
    PtpReference reference;
    if (BuiltinPtpNow(&ptpNow, &reference) && reference.synchronised) {
        // The node's clock: IS-04 wants the grandmaster's id in lower case.
        facts.ptpLocked = true;
        facts.ptpGrandmaster =
            QString::fromStdString(reference.grandmaster).toLower().toStdString();
    }
    const bool ipv6 = info.destination.find(':') != std::string::npos;
    const int channels = m_channels();
    const bool split = info.secondAudioPort != 0 && channels > 8;
    const auto stream = [&](const std::string& role, const std::string& destination, int port,
                            BuiltinStream which) {
        nmos::StreamFacts s;
        s.role = role;
        s.ipv6 = ipv6;
        s.loopbackOnly = m_loopbackOnly;
        const auto index = static_cast<size_t>(which);
        s.transport = {info.sourceAddress, info.sourcePorts[index], destination, port,
                       info.enabled[index]};
        return s;
    };
    nmos::StreamFacts audio =
        stream("audio", info.destination, info.audioPort, BuiltinStream::audio);
    audio.channels = split ? 8 : channels;
    facts.streams.push_back(audio);
    if (split) {
        nmos::StreamFacts second = stream("audio-2", info.secondAudioDestination,
                                          info.secondAudioPort, BuiltinStream::secondAudio);
        second.channels = channels - 8;
        facts.streams.push_back(second);
    }
    nmos::StreamFacts video =
        stream("video", info.videoDestination, info.videoPort, BuiltinStream::video);
    video.video = true;
    video.width = 640;
    video.height = 360;
    facts.streams.push_back(video);
    return facts;
}

bool CNmosHost::Activate(const std::string& role, const nmos::Transport& transport, bool enabled,
                         std::string* error) {
    const std::optional<BuiltinStream> stream = StreamOfRole(role);
    const auto destination =
        CSocketAddress::Parse(transport.destinationIp, transport.destinationPort);
    if (!stream || !destination) {
        *error = "no such stream or address";
        return false;
    }
    if (!RetargetBuiltinSender(m_sender, *stream, *destination, enabled, error)) {
        return false;
    }
    std::fprintf(stderr, "ndi-lirafon: NMOS: %s %s %s\n", role.c_str(),
                 enabled ? "now to" : "stopped; staying at", destination->HostAndPort().c_str());
    m_changed();
    return true;
}

std::optional<int64_t> CNmosHost::PtpNowNs() {
    int64_t now = 0;
    PtpReference reference;
    return BuiltinPtpNow(&now, &reference) ? std::optional<int64_t>(now) : std::nullopt;
}

std::string CNmosHost::TransportFile(const std::string& role) {
    const std::optional<BuiltinStream> stream = StreamOfRole(role);
    return stream ? BuiltinStreamSdp(m_sender, *stream) : "";
}
