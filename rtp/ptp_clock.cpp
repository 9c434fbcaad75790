#include "ptp_clock.h"

#include "frame_pacer.h"
#include "paced_worker.h"

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The index of the interface's PTP hardware clock (/dev/ptpN), or -1.
int HardwareClockIndex(const std::string& interfaceName) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || interfaceName.size() >= IFNAMSIZ) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    ethtool_ts_info info{};
    info.cmd = ETHTOOL_GET_TS_INFO;
    ifreq request{};
    std::memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size() + 1);
    request.ifr_data = reinterpret_cast<char*>(&info);
    const int result = ioctl(fd, SIOCETHTOOL, &request);
    close(fd);
    return result == 0 ? info.phc_index : -1;
}

int64_t ReadNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

CPtpClock::CPtpClock(std::string socketPath, bool required, std::chrono::milliseconds pollInterval)
    : m_client(std::move(socketPath)), m_required(required), m_pollInterval(pollInterval) {}

CPtpClock::~CPtpClock() {
    Stop();
    if (m_clockFd >= 0) {
        close(m_clockFd);
    }
}

void CPtpClock::Start() {
    Poll();
    std::string error;
    if (!StartWorker(
            &m_thread, [this] { Run(); }, "PTP", &error)) {
        std::fprintf(stderr, "PTP: %s; the grandmaster is not followed\n", error.c_str());
    }
}

void CPtpClock::Stop() {
    StopWorker(m_lock, m_wake, m_stop, m_thread);
}

void CPtpClock::Run() {
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, m_pollInterval, [this] { return m_stop; })) {
        lock.unlock();
        Poll();
        lock.lock();
    }
}

void CPtpClock::Choose(const PtpStatus& status) {
    if (!status.hardwareTimestamps) {
        m_clock = CLOCK_REALTIME;
        m_addNs = status.ptpTimescale ? int64_t{status.utcOffset} * 1'000'000'000 : 0;
        return;
    }
    m_addNs = 0;
    if (m_clockFd >= 0 && m_clockInterface == status.interfaceName) {
        return;
    }
    if (m_clockFd >= 0) {
        close(m_clockFd);
        m_clockFd = -1;
    }
    const int index = HardwareClockIndex(status.interfaceName);
    if (index >= 0) {
        m_clockFd = open(("/dev/ptp" + std::to_string(index)).c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (m_clockFd >= 0) {
        // A dynamic POSIX clock: the kernel's encoding of the descriptor as a clock id.
        m_clock = static_cast<clockid_t>((~static_cast<unsigned>(m_clockFd) << 3) | 3);
        m_clockInterface = status.interfaceName;
    } else {
        m_clock = status.ptpTimescale ? CLOCK_TAI : CLOCK_REALTIME;
    }
}

void CPtpClock::Poll() {
    std::string error;
    const std::optional<PtpStatus> status = m_client.Query(&error);
    std::vector<Listener> listeners;
    PtpReference reference;
    {
        std::lock_guard guard(m_lock);
        const PtpReference before = m_reference;
        const bool answeredBefore = m_answering;
        m_answering = status.has_value();
        if (status) {
            Choose(*status);
            m_reference.available = true;
            m_reference.synchronised = status->Synchronised();
            m_reference.grandmaster = status->GrandmasterText();
            m_reference.domain = status->domain;
        } else {
            // The chosen clock runs on: timestamps stay on the PTP timescale, unreferenced.
            m_reference.synchronised = false;
        }
        reference = m_reference;
        if (reference.synchronised) {
            m_lastGrandmaster = reference.grandmaster;
        }
        const bool changed = before.available != reference.available ||
                             before.synchronised != reference.synchronised ||
                             before.grandmaster != reference.grandmaster ||
                             before.domain != reference.domain;
        // One line per change of state. A ptp4l that stops answering says both what happened
        // and what follows; a newly started one still listening has no grandmaster of ours yet
        // (the clock it names then is its own).
        if (answeredBefore && !m_answering) {
            std::fprintf(
                stderr, "PTP: %s; holding the last clock (last grandmaster %s, domain %d)\n",
                error.c_str(), m_lastGrandmaster.empty() ? "none" : m_lastGrandmaster.c_str(),
                reference.domain);
        } else if (!m_answering && !m_client.CanAsk() && !m_saidCannotAsk &&
                   (m_required || m_client.ServerExists())) {
            // Said also where PTP is optional, when ptp4l is there: PTP time is expected.
            std::fprintf(stderr, "PTP: cannot ask ptp4l (%s); no PTP time\n", error.c_str());
            m_saidCannotAsk = true;
            m_saidAbsent = true;
        } else if (!m_answering && m_required && !before.available && !m_saidAbsent) {
            std::fprintf(stderr, "PTP: %s; running free until it does\n", error.c_str());
            m_saidAbsent = true;
        } else if (changed && reference.synchronised) {
            std::fprintf(stderr, "PTP: synchronised to grandmaster %s in domain %d\n",
                         reference.grandmaster.c_str(), reference.domain);
        } else if (changed && reference.available && m_lastGrandmaster.empty()) {
            std::fprintf(stderr, "PTP: not synchronised yet (domain %d)\n", reference.domain);
        } else if (changed && reference.available) {
            std::fprintf(stderr, "PTP: not synchronised (last grandmaster %s, domain %d)\n",
                         m_lastGrandmaster.c_str(), reference.domain);
        }
        if (!changed) {
            return;
        }
        for (const auto& entry : m_listeners) {
            listeners.push_back(entry.second);
        }
    }
    std::lock_guard calling(m_callLock);
    for (const Listener& listener : listeners) {
        listener(reference);
    }
}

std::optional<int64_t> CPtpClock::OffsetNs() const {
    std::lock_guard guard(m_lock);
    if (!m_reference.available) {
        return std::nullopt;
    }
    return ReadNs(m_clock) + m_addNs - MonotonicNowNs();
}

PtpReference CPtpClock::Reference() const {
    std::lock_guard guard(m_lock);
    return m_reference;
}

int CPtpClock::Subscribe(Listener listener) {
    std::lock_guard guard(m_lock);
    m_listeners.emplace(m_nextListener, std::move(listener));
    return m_nextListener++;
}

void CPtpClock::Unsubscribe(int id) {
    {
        std::lock_guard guard(m_lock);
        m_listeners.erase(id);
    }
    std::lock_guard calling(m_callLock);
}
