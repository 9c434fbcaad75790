// One running lirafon-instance-probe: a real copy with its own stdin and stdout pipes and the
// test's XDG_RUNTIME_DIR.
#pragma once

#include <string>
#include <sys/types.h>

class CProbeProcess {
public:
    // Starts the probe; with gated it waits for Go() before it starts numbering.
    CProbeProcess(const std::string& runtimeDir, bool gated);
    // Kills and reaps the probe when it is still running.
    ~CProbeProcess();
    CProbeProcess(const CProbeProcess&) = delete;
    CProbeProcess& operator=(const CProbeProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Go();
    // The next line of its stdout without the newline; empty when none came within timeoutMs or
    // stdout ended.
    std::string ReadLine(int timeoutMs);
    // Everything it writes until it exits; empty string and timedOut when it did not end in time.
    std::string ReadToEnd(int timeoutMs, bool* timedOut);
    void Signal(int signalNumber);
    // Waits for the exit (after stdout ended) and returns the waitpid status.
    int Reap();

private:
    bool FillBuffer(int timeoutMs);

    pid_t m_pid = -1;
    int m_stdinFd = -1;
    int m_stdoutFd = -1;
    bool m_stdoutEnded = false;
    std::string m_buffer;
};
