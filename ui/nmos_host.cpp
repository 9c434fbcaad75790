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
    // The interface that holds an address the streams leave from: its name and MAC.
    const auto interfaceOf = [](const std::string& address, std::string* name, std::string* mac) {
        *mac = "00-00-00-00-00-00";
        const QHostAddress local(QString::fromStdString(address));
        for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
            for (const QNetworkAddressEntry& entry : nic.addressEntries()) {
                if (entry.ip().isEqual(local)) {
                    *name = nic.name().toStdString();
                    QString hardware =
                        nic.hardwareAddress().toLower().replace(QLatin1Char(':'), '-');
                    if (hardware.size() == 17) {
                        *mac = hardware.toStdString();
                    }
                }
            }
        }
    };
    interfaceOf(info.sourceAddress, &facts.interfaceName, &facts.interfaceMac);
    if (info.secondLeg) {
        facts.secondInterfaceName = facts.interfaceName;
        interfaceOf(info.secondLeg->sourceAddress, &facts.secondInterfaceName,
                    &facts.secondInterfaceMac);
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
        if (info.secondLeg) {
            // Both legs leave from one socket: the same source port.
            const BuiltinLegInfo& leg = *info.secondLeg;
            s.secondLeg =
                nmos::Transport{leg.sourceAddress, info.sourcePorts[index], StreamHost(leg, which),
                                StreamPort(leg, which), leg.enabled[index]};
        }
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

bool CNmosHost::Activate(const std::string& role, const std::vector<nmos::Transport>& legs,
                         bool masterEnable, std::string* error) {
    const std::optional<BuiltinStream> stream = StreamOfRole(role);
    std::vector<CSocketAddress> destinations;
    for (const nmos::Transport& leg : legs) {
        const auto destination = CSocketAddress::Parse(leg.destinationIp, leg.destinationPort);
        if (!destination) {
            *error = "no such address: " + leg.destinationIp;
            return false;
        }
        destinations.push_back(*destination);
    }
    if (!stream || destinations.empty()) {
        *error = "no such stream";
        return false;
    }
    BuiltinSenderInfo before;
    GetBuiltinSenderInfo(m_sender, &before);
    for (size_t l = 0; l < destinations.size(); ++l) {
        const bool enabled = masterEnable && legs[l].rtpEnabled;
        if (!RetargetBuiltinSender(m_sender, *stream, destinations[l], enabled, error,
                                   static_cast<int>(l))) {
            if (l > 0) {
                // The first leg moved and the second cannot: the first goes back, so the
                // stream stays as it was.
                const auto index = static_cast<size_t>(*stream);
                std::string ignored;
                if (const auto back = CSocketAddress::Parse(StreamHost(before, *stream),
                                                            StreamPort(before, *stream))) {
                    RetargetBuiltinSender(m_sender, *stream, *back, before.enabled[index], &ignored,
                                          0);
                }
            }
            return false;
        }
        std::fprintf(stderr, "ndi-lirafon: NMOS: %s%s %s %s\n", role.c_str(),
                     l == 0 ? "" : " (second leg)", enabled ? "now to" : "stopped; staying at",
                     destinations[l].HostAndPort().c_str());
    }
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
