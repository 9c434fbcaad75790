// Independent receivers and the program itself run as child processes in the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Runs a program (looked up on PATH) with its standard output and errors in logPath; returns its
// process id, or -1 when it could not be started.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& logPath) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// An independent receiver: started as Spawn does, then given a higher scheduling priority where
// the test may (as root). A receiver the rest of a loaded suite starves for hundreds of
// milliseconds overflows its socket buffers and loses packets the sender sent correctly; a
// receiver in a plant gets the CPU it needs. Without the privilege it runs at the usual priority.
inline pid_t SpawnReceiver(const std::vector<std::string>& args, const std::string& logPath) {
    const pid_t pid = Spawn(args, logPath);
    if (pid > 0) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(pid), -10);
    }
    return pid;
}

// Whether something on this computer has bound UDP port `port` on 127.0.0.1 (or any address).
inline bool UdpPortBound(int port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        const size_t local = line.find(':', line.find(':') + 1); // "sl: ADDRESS:PORT ..."
        if (local != std::string::npos && line.compare(local, 5, wanted) == 0) {
            return true;
        }
    }
    return false;
}

// Waits up to deadlineMs for a receiver to bind `port`: what is sent before that is lost to it, and
// a picture whose first packets it missed is written incomplete by FFmpeg.
inline bool WaitForUdpListener(int port, int deadlineMs) {
    for (int waited = 0; waited < deadlineMs; waited += 10) {
        if (UdpPortBound(port)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits for pid up to deadlineMs, then stops it with `stop` (and SIGKILL if that is ignored).
// Its exit status, or -1 when it had to be stopped or was killed.
inline int WaitOrStop(pid_t pid, int deadlineMs, int stop = SIGINT) {
    int status = 0;
    const auto ended = [&] { return waitpid(pid, &status, WNOHANG) == pid; };
    for (int waited = 0; waited < deadlineMs; waited += 50) {
        if (ended()) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, stop);
    for (int waited = 0; waited < 5000; waited += 50) {
        if (ended()) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// FFmpeg recording a built-in source from its SDP file on 127.0.0.1 for `seconds`: the audio as
// raw little-endian 24-bit samples into rawPath. More outputs may be appended.
inline std::vector<std::string> FfmpegRecording(const std::string& sdp, int seconds,
                                                const std::string& rawPath) {
    return {"ffmpeg",
            "-nostdin",
            "-y",
            "-loglevel",
            "warning",
            "-protocol_whitelist",
            "file,udp,rtp",
            "-localaddr",
            "127.0.0.1",
            "-buffer_size",
            "4194304",
            "-t",
            std::to_string(seconds),
            "-i",
            sdp,
            "-map",
            "0:a",
            "-c:a",
            "pcm_s24le",
            "-f",
            "s24le",
            rawPath};
}

// One sample of FFmpeg's s24le output.
inline int32_t S24le(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                static_cast<uint32_t>(p[1]) << 16 |
                                static_cast<uint32_t>(p[2]) << 24) >>
           8;
}

inline std::string ReadText(const std::filesystem::path& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}
