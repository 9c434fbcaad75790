// Keeps one source's session descriptions current: each written to its SDP file (the combined one
// at sdpPath, the others beside it) and the audio and video sessions announced by SAP when they are
// first complete (the first audio frame tells the channel count), again at every change (each
// change is a new SDP version) and every 30 s; a SAP deletion and the files' removal when a session
// ends (the second audio stream when the channels no longer need it) or the source stops.
//
// Threads: the Set* calls come from the sending threads and only take a short lock; file writing
// and SAP sending happen on the announcer's own thread.
#pragma once

#include "sdp_writer.h"
#include "udp_socket.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CSessionAnnouncer {
public:
    static constexpr std::chrono::milliseconds kRepeatInterval{30'000};

    CSessionAnnouncer(const SdpDescription& description, std::string sdpPath,
                      std::chrono::milliseconds repeatInterval = kRepeatInterval);
    ~CSessionAnnouncer() { Stop(); }
    CSessionAnnouncer(const CSessionAnnouncer&) = delete;
    CSessionAnnouncer& operator=(const CSessionAnnouncer&) = delete;

    bool Start(const CSocketAddress& sapDestination, std::optional<int> ttl,
               unsigned interfaceIndex, std::string* error);
    void SetMetadata(const std::string& text);
    void SetAudioFormat(int channelCount);
    void SetVideoFormat(int width, int height, int frameRateN, int frameRateD);
    void SetClockReference(const SdpClockReference& clock);
    // Stream 0 or 1 (the audio streams) or kVideoStream now goes to host:port on leg 0, or on
    // the second leg (leg 1, when the description has one): a new version.
    static constexpr int kVideoStream = 2;
    void SetStreamDestination(int stream, const std::string& host, int port, int leg = 0);
    // The description of a session part ("audio", "audio-1", "video", ...; "" the combined one)
    // as it stands now; "" when there is no such part.
    std::string SessionText(const std::string& part);
    // Idempotent: ends the thread, sends the deletion and removes the file.
    void Stop();

    const std::string& SdpPath() const { return m_path; }
    // Where the file of a session part is kept ("" when the combined file has no path).
    std::string PartPath(const std::string& part) const;

private:
    void Run();
    struct Published {
        std::string part;
        std::string originLine;
        uint16_t hash = 0;
        bool announced = false;
    };
    void Send(bool deletion, uint16_t hash, const std::string& payload);
    // Deletes and removes every published session whose part is not in `keep`.
    void Withdraw(const std::vector<SdpSession>& keep);
    void MarkChanged();

    const std::string m_path;
    const std::chrono::milliseconds m_repeatInterval;
    CUdpSocket m_sap;
    std::thread m_thread;

    std::mutex m_lock; // guards everything below
    std::condition_variable m_wake;
    SdpDescription m_description;
    bool m_audioKnown = false;
    bool m_changed = false;
    bool m_stop = false;
    std::vector<Published> m_published;
};
