// The announcer thread does the slow and fallible work (files, SAP) so the audio and video calls
// never wait for a disk or print from the sending path.
#include "session_announcer.h"

#include "paced_worker.h"
#include "sap.h"

#include <unistd.h>

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
        if (!changed && !(m_published && Clock::now() >= nextRepeat)) {
            continue;
        }
        if (changed && m_published) {
            ++m_description.version; // every change after the first publication is a new version
        }
        m_changed = false;
        const std::string sdp = BuildSdp(m_description);
        const uint16_t hash = SapMessageHash(sdp);
        m_published = true;
        m_publishedHash = hash;
        lock.unlock();
        if (changed && !m_path.empty()) {
            std::string error;
            if (!WriteFileAtomically(m_path, sdp, &error)) {
                std::fprintf(stderr, "Session description not written: %s\n", error.c_str());
            }
        }
        Publish(sdp, hash);
        lock.lock();
        nextRepeat = Clock::now() + m_repeatInterval;
    }
}

void CSessionAnnouncer::Publish(const std::string& sdp, uint16_t hash) {
    const std::vector<uint8_t> packet =
        BuildSapPacket(false, hash, m_description.originAddress, sdp);
    if (!packet.empty()) {
        m_sap.Send(packet.data(), packet.size());
    }
}

void CSessionAnnouncer::Stop() {
    StopWorker(m_lock, m_wake, m_stop, m_thread);
    std::lock_guard guard(m_lock);
    if (m_published) {
        m_published = false;
        const std::vector<uint8_t> packet =
            BuildSapPacket(true, m_publishedHash, m_description.originAddress,
                           SdpOriginLine(m_description) + "\r\n");
        if (!packet.empty()) {
            m_sap.Send(packet.data(), packet.size());
        }
        if (!m_path.empty()) {
            unlink(m_path.c_str());
        }
    }
}
