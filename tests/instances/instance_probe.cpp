// lirafon-instance-probe: one copy's instance numbering without a window, so the tests can run
// many real copies side by side. It drives the numbering from a poll loop the way the window does
// from its event loop, prints its number (1 to 8) on stdout when it would start its sender, and
// then keeps answering the other copies until SIGTERM, SIGINT or the end of stdin.
// A ninth copy prints "closed" and exits with kExitClosed, having started nothing.
//
//   lirafon-instance-probe [--gate]
//     --gate   wait for one byte on stdin before starting, so a test can start many copies at
//              the same moment.
#include "instance_numbering.h"
#include "lirafon_engine.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr int kExitClosed = 3;
constexpr int kExitUsage = 2;

using Clock = std::chrono::steady_clock;

class CProbeHost : public CInstanceHost {
public:
    explicit CProbeHost(const CLirafonEngine& record) : m_record(record) {}

    void StartSlotTimer(int32_t timerId, int32_t periodMs) override {
        m_timerId = timerId;
        m_deadline = Clock::now() + std::chrono::milliseconds(periodMs);
    }
    void StopSlotTimer(int32_t /*timerId*/) override { m_deadline.reset(); }
    void ShowNumberedTitle(const std::wstring& /*title*/) override {}
    void CloseWindowAtOnce() override { closed = true; }
    int32_t StartNumberedSender() override {
        std::printf("%d\n", m_record.m_instanceIndex + 1);
        std::fflush(stdout);
        return 1;
    }

    // Milliseconds until the timer fires, or -1 (poll's "forever") when it is stopped.
    int TimeoutMs() const {
        if (!m_deadline) {
            return -1;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    bool TimerDue() const { return m_deadline && Clock::now() >= *m_deadline; }
    int32_t TimerId() const { return m_timerId; }

    bool closed = false;

private:
    const CLirafonEngine& m_record;
    std::optional<Clock::time_point> m_deadline;
    int32_t m_timerId = 0;
};

bool WaitForGate() {
    char byte = 0;
    ssize_t got = 0;
    do {
        got = ::read(STDIN_FILENO, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
}

} // namespace

int main(int argc, char** argv) {
    const bool gated = argc == 2 && std::strcmp(argv[1], "--gate") == 0;
    if (argc > 2 || (argc == 2 && !gated)) {
        std::fprintf(stderr, "usage: lirafon-instance-probe [--gate]\n");
        return kExitUsage;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    auto record = std::make_unique<CLirafonEngine>();
    CProbeHost host(*record);
    CInstanceNumbering numbering(*record, host);
    std::string error;
    if (!numbering.Open(&error)) {
        std::fprintf(stderr, "running alone: %s\n", error.c_str());
    }
    if (gated && !WaitForGate()) {
        return 0;
    }
    numbering.StartNumbering();

    for (;;) {
        pollfd fds[3] = {
            {numbering.SocketFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
        const int ready = ::poll(fds, 3, host.TimeoutMs());
        if (ready < 0 && errno != EINTR) {
            std::perror("poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            numbering.ReadPendingMessages();
        }
        if (host.TimerDue()) {
            numbering.ChooseInstanceSlot(host.TimerId());
            if (host.closed) {
                std::printf("closed\n");
                return kExitClosed;
            }
        }
        if (fds[2].revents & POLLIN) {
            return 0;
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buffer[64];
            if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) {
                return 0;
            }
        }
    }
}
