// Independent receivers and the program itself run as child processes in the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
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
