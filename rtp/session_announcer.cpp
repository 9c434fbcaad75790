// The announcer thread does the slow and fallible work (files, SAP) so the audio and video calls
// never wait for a disk or print from the sending path.
#include "session_announcer.h"

#include "paced_worker.h"
#include "sap.h"
#include "session_files.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

CSessionAnnouncer::CSessionAnnouncer(const SdpDescription& description, std::string sdpPath,
                                     std::chrono::milliseconds repeatInterval)
    : m_path(std::move(sdpPath)), m_repeatInterval(repeatInterval), m_description(description) {}

bool CSessionAnnouncer::Start(const CSocketAddress& sapDestination, std::optional<int> ttl,
                              unsigned interfaceIndex, std::string* error) {
    if (!m_sap.Open(sapDestination, ttl, interfaceIndex, error)) {
        return false;
    }
    return StartWorker(
        &m_thread, [this] { Run(); }, "announcer", error);
}

void CSessionAnnouncer::MarkChanged() {
    m_changed = true;
    m_wake.notify_all();
}

void CSessionAnnouncer::SetMetadata(const std::string& text) {
    std::lock_guard guard(m_lock);
    if (m_description.metadata != text) {
        m_description.metadata = text;
        MarkChanged();
    }
}

void CSessionAnnouncer::SetAudioFormat(int channelCount) {
    std::lock_guard guard(m_lock);
    if (!m_audioKnown || m_description.channelCount != channelCount) {
        m_audioKnown = true;
        m_description.channelCount = channelCount;
        MarkChanged();
    }
}

void CSessionAnnouncer::SetVideoFormat(int width, int height, int frameRateN, int frameRateD) {
    std::lock_guard guard(m_lock);
    SdpDescription& d = m_description;
    if (d.width != width || d.height != height || d.frameRateN != frameRateN ||
        d.frameRateD != frameRateD) {
        d.width = width;
        d.height = height;
        d.frameRateN = frameRateN;
        d.frameRateD = frameRateD;
        MarkChanged();
    }
}

void CSessionAnnouncer::SetStreamDestination(int stream, const std::string& host, int port,
                                             int leg) {
    std::lock_guard guard(m_lock);
    SdpDescription& d = m_description;
    if (leg == 1) {
        if (!d.secondLeg || stream < 0 || stream > kVideoStream) {
            return;
        }
        // Each stream's copies on this leg keep their own place from the first move on.
        SdpSecondLeg& second = *d.secondLeg;
        const std::array<int, 3> firstLegPorts{d.audioPort, d.secondAudioPort, d.videoPort};
        for (size_t s = 0; s < second.movedHosts.size(); ++s) {
            if (second.movedHosts[s].empty()) {
                second.movedHosts[s] = second.destinationHost;
            }
            if (second.movedPorts[s] == 0 && firstLegPorts[s] != 0) {
                second.movedPorts[s] = firstLegPorts[s] + second.portOffset;
            }
        }
        second.movedHosts[static_cast<size_t>(stream)] = host;
        second.movedPorts[static_cast<size_t>(stream)] = port;
        MarkChanged();
        return;
    }
    if (stream == 0 && host != d.destinationHost) {
        // The others stay where they are: they followed the first stream's host until now.
        for (std::string* other : {&d.secondAudioHost, &d.videoHost}) {
            if (other->empty()) {
                *other = d.destinationHost;
            }
        }
        d.destinationHost = host;
        const auto address = CSocketAddress::Parse(host, 0);
        d.destinationMulticast = address && address->IsMulticast();
    } else if (stream == 1) {
        d.secondAudioHost = host;
    } else if (stream == kVideoStream) {
        d.videoHost = host;
    }
    for (std::string* other : {&d.secondAudioHost, &d.videoHost}) {
        if (*other == d.destinationHost) {
            other->clear();
        }
    }
    (stream == 0 ? d.audioPort : stream == 1 ? d.secondAudioPort : d.videoPort) = port;
    MarkChanged();
}

std::string CSessionAnnouncer::SessionText(const std::string& part) {
    std::lock_guard guard(m_lock);
    for (const SdpSession& session : BuildSdpSessions(m_description)) {
        if (session.part == part) {
            return session.text;
        }
    }
    return "";
}

void CSessionAnnouncer::SetClockReference(const SdpClockReference& clock) {
    std::lock_guard guard(m_lock);
    const SdpClockReference& now = m_description.clock;
    if (now.ptp != clock.ptp || now.grandmaster != clock.grandmaster ||
        now.domain != clock.domain || now.localMac != clock.localMac ||
        now.audioOffset != clock.audioOffset || now.videoOffset != clock.videoOffset) {
        m_description.clock = clock;
        MarkChanged();
    }
}

std::string CSessionAnnouncer::PartPath(const std::string& part) const {
    if (m_path.empty() || part.empty()) {
        return m_path;
    }
    return m_path.substr(0, m_path.size() - 4) + "-" + part + ".sdp";
}

void CSessionAnnouncer::Run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_lock);
    Clock::time_point nextRepeat = Clock::now() + m_repeatInterval;
    while (!m_stop) {
        m_wake.wait_until(lock, nextRepeat,
                          [this] { return m_stop || (m_changed && m_audioKnown); });
        if (m_stop) {
            break;
        }
        const bool changed = m_changed && m_audioKnown;
        if (!changed && !(!m_published.empty() && Clock::now() >= nextRepeat)) {
            continue;
        }
        if (changed && !m_published.empty()) {
            ++m_description.version; // every change after the first publication is a new version
        }
        m_changed = false;
        const std::vector<SdpSession> sessions = BuildSdpSessions(m_description);
        if (changed) {
            Withdraw(sessions);
        }
        m_published.clear();
        for (const SdpSession& session : sessions) {
            m_published.push_back({session.part, session.originLine, SapMessageHash(session.text),
                                   session.announced});
        }
        const std::vector<Published> published = m_published;
        lock.unlock();
        for (size_t i = 0; i < sessions.size(); ++i) {
            const std::string path = PartPath(sessions[i].part);
            std::string error;
            if (changed && !path.empty() && !WriteFileAtomically(path, sessions[i].text, &error)) {
                std::fprintf(stderr, "Session description not written: %s\n", error.c_str());
            }
            if (published[i].announced) {
                Send(false, published[i].hash, sessions[i].text);
            }
        }
        lock.lock();
        nextRepeat = Clock::now() + m_repeatInterval;
    }
}

void CSessionAnnouncer::Send(bool deletion, uint16_t hash, const std::string& payload) {
    const std::vector<uint8_t> packet =
        BuildSapPacket(deletion, hash, m_description.originAddress, payload);
    if (!packet.empty()) {
        m_sap.Send(packet.data(), packet.size());
    }
}

void CSessionAnnouncer::Withdraw(const std::vector<SdpSession>& keep) {
    for (const Published& old : m_published) {
        const bool kept = std::any_of(keep.begin(), keep.end(),
                                      [&](const SdpSession& s) { return s.part == old.part; });
        if (kept) {
            continue;
        }
        if (old.announced) {
            Send(true, old.hash, old.originLine + "\r\n");
        }
        const std::string path = PartPath(old.part);
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
}

void CSessionAnnouncer::Stop() {
    StopWorker(m_lock, m_wake, m_stop, m_thread);
    std::lock_guard guard(m_lock);
    Withdraw({});
    m_published.clear();
}
