// The clock that carries PTP time on this computer, chosen from what ptp4l reports, and a thread
// that re-reads ptp4l every second. A new grandmaster, a lost or regained synchronisation and a
// ptp4l that starts or stops answering are one stderr line each and reach every listener (the
// session announcers, which start a new SDP version).
//
// Which clock: with software timestamps ptp4l steers CLOCK_REALTIME, which keeps UTC, so PTP time
// is CLOCK_REALTIME plus the UTC offset on the PTP timescale (plus nothing on an arbitrary one);
// with hardware timestamps the interface's PTP hardware clock carries PTP time itself (CLOCK_TAI
// when that clock cannot be opened and the timescale is PTP).
//
// Threads: OffsetNs and Reference from any thread; listeners run on the clock's own thread.
#pragma once

#include "ptp_client.h"

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct PtpReference {
    bool available = false;    // a PTP clock is chosen: timestamps are on the PTP timescale
    bool synchronised = false; // ...and ptp4l follows (or is) a grandmaster now
    std::string grandmaster;   // "XX-XX-XX-XX-XX-XX-XX-XX"
    int domain = 0;
};

class CPtpClock {
public:
    static constexpr std::chrono::milliseconds kPollInterval{1000};
    using Listener = std::function<void(const PtpReference&)>;

    // socketPath: ptp4l's management socket. required: say so when it does not answer at start.
    CPtpClock(std::string socketPath, bool required,
              std::chrono::milliseconds pollInterval = kPollInterval);
    ~CPtpClock();
    CPtpClock(const CPtpClock&) = delete;
    CPtpClock& operator=(const CPtpClock&) = delete;

    // Asks ptp4l once (so the first frame is already stamped right), then starts the thread.
    void Start();
    void Stop();

    // PTP time minus CLOCK_MONOTONIC, in nanoseconds, read now; nullopt while no PTP clock is
    // chosen (the streams then run free on CLOCK_MONOTONIC).
    std::optional<int64_t> OffsetNs() const;
    PtpReference Reference() const;

    int Subscribe(Listener listener);
    void Unsubscribe(int id);

private:
    void Poll();
    void Run();
    void Choose(const PtpStatus& status);

    CPtpClient m_client;
    const bool m_required;
    const std::chrono::milliseconds m_pollInterval;
    std::thread m_thread;

    std::mutex m_callLock;     // held while listeners run, so Unsubscribe waits for them
    mutable std::mutex m_lock; // guards everything below
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_answering = false;
    bool m_saidAbsent = false;     // "running free" is said once, not at every poll
    bool m_saidCannotAsk = false;  // so is a socket of ours that cannot be opened
    std::string m_lastGrandmaster; // the last one ptp4l was synchronised to
    PtpReference m_reference;
    clockid_t m_clock = CLOCK_REALTIME;
    int m_clockFd = -1;           // the hardware clock's device, when open
    std::string m_clockInterface; // whose hardware clock that is
    int64_t m_addNs = 0;          // added to m_clock's reading
    std::map<int, Listener> m_listeners;
    int m_nextListener = 1;
};
