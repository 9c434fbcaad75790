// Starting and talking to lirafon-instance-probe processes for the tests.
#include "probe_process.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

CProbeProcess::CProbeProcess(const std::string& runtimeDir, bool gated) {
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    // Close-on-exec, so no other probe inherits these ends and holds a pipe open.
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return;
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "XDG_RUNTIME_DIR=", 16) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = LIRAFON_INSTANCE_PROBE;
    std::string gateFlag = "--gate";
    std::vector<char*> argv{program.data()};
    if (gated) {
        argv.push_back(gateFlag.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (spawned != 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return;
    }
    m_pid = pid;
    m_stdinFd = toChild[1];
    m_stdoutFd = fromChild[0];
}

CProbeProcess::~CProbeProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_stdinFd >= 0) {
        ::close(m_stdinFd);
    }
    if (m_stdoutFd >= 0) {
        ::close(m_stdoutFd);
    }
}

void CProbeProcess::Go() {
    const char byte = 'g';
    if (m_stdinFd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(m_stdinFd, &byte, 1);
    }
}

bool CProbeProcess::FillBuffer(int timeoutMs) {
    if (m_stdoutEnded || m_stdoutFd < 0) {
        return false;
    }
    pollfd fd{m_stdoutFd, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0) {
        return false;
    }
    char chunk[256];
    const ssize_t got = ::read(m_stdoutFd, chunk, sizeof(chunk));
    if (got <= 0) {
        m_stdoutEnded = true;
        return false;
    }
    m_buffer.append(chunk, static_cast<size_t>(got));
    return true;
}

std::string CProbeProcess::ReadLine(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        if (!FillBuffer(RemainingMs(deadline))) {
            return {};
        }
    }
}

std::string CProbeProcess::ReadToEnd(int timeoutMs, bool* timedOut) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_stdoutEnded) {
        if (!FillBuffer(RemainingMs(deadline)) && !m_stdoutEnded) {
            *timedOut = true;
            return {};
        }
    }
    *timedOut = false;
    std::string all;
    all.swap(m_buffer);
    return all;
}

void CProbeProcess::Signal(int signalNumber) {
    if (m_pid > 0) {
        ::kill(m_pid, signalNumber);
    }
}

int CProbeProcess::Reap() {
    int status = -1;
    if (m_pid > 0) {
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    return status;
}
