// The program as a user runs it: --version and --help, a refused argument, and a run on the
// built-in runtime to 127.0.0.1 that SIGTERM ends cleanly, announcing the session's deletion.
#include "http_client.h"
#include "loopback_receiver.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

extern char** environ;

namespace {

// Generous: the program may be built with sanitizers. Nothing here asserts on speed.
constexpr auto kDeadline = std::chrono::seconds(60);

struct Output {
    int status = -1;
    std::string text;
};

// Runs the program with the arguments and collects its standard output.
Output RunProgram(const std::string& arguments) {
    Output out;
    const std::string command = std::string("'") + LIRAFON_PROGRAM + "' " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    std::array<char, 4096> buffer{};
    size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        out.text.append(buffer.data(), read);
    }
    const int status = pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// Waits for the child to end; its exit status, or -1 when it was killed or the deadline passed
// (the child is then killed).
int WaitForExit(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Waits until the file exists and, when `text` is given, holds it.
bool WaitForFile(const std::string& path, const std::string& text = "") {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path)) {
            std::ifstream in(path);
            const std::string content((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            if (content.find(text) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

TEST(Program, VersionPrintsTheVersion) {
    const Output out = RunProgram("--version");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.text, "ndi-lirafon 1.1.0.16\n");
}

TEST(Program, HelpNamesEveryVariableAndHowToMonitor) {
    const Output out = RunProgram("--help");
    EXPECT_EQ(out.status, 0);
    for (const char* name : {"LIRAFON_NDI_RUNTIME",
                             "NDI_RUNTIME_DIR_V6",
                             "NDI_RUNTIME_DIR_V5",
                             "LIRAFON_RTP_DESTINATION",
                             "LIRAFON_RTP_PORT",
                             "LIRAFON_RTP_TTL",
                             "LIRAFON_RTP_INTERFACE",
                             "LIRAFON_SAP_DESTINATION",
                             "LIRAFON_RTP_REFERENCE",
                             "LIRAFON_RTP_STREAM_CHANNELS",
                             "LIRAFON_PTP",
                             "LIRAFON_NMOS",
                             "LIRAFON_NMOS_REGISTRY",
                             "QT_QPA_PLATFORM",
                             "XDG_RUNTIME_DIR",
                             "ffplay -protocol_whitelist file,udp,rtp",
                             "SIGTERM",
                             "--channels",
                             "LIRAFON_CHANNELS",
                             "--pairs",
                             "LIRAFON_PAIRS",
                             "--level",
                             "LIRAFON_LEVEL",
                             "--ident",
                             "LIRAFON_IDENT",
                             "--frequency",
                             "LIRAFON_FREQUENCY",
                             "--ident-text",
                             "LIRAFON_IDENT_TEXT",
                             "--no-ident-text",
                             "LIRAFON_SHOW_IDENT_TEXT",
                             "--full-rate-video",
                             "LIRAFON_FULL_RATE_VIDEO",
                             "--control-port",
                             "LIRAFON_CONTROL_PORT",
                             "LIRAFON_CONTROL_ADDRESS",
                             "LIRAFON_CONTROL_TOKEN"}) {
        EXPECT_NE(out.text.find(name), std::string::npos) << name;
    }
}

TEST(Program, RefusesAnArgumentOfItsOwn) {
    const Output out = RunProgram("--loud 2>/dev/null");
    EXPECT_EQ(out.status, 2);
    EXPECT_TRUE(out.text.empty());
}

// SIGTERM takes the exit path without the confirmation: the loop is joined, the sender destroyed
// (the SAP deletion goes out), and the program exits 0.
TEST(Program, SigtermEndsTheRunCleanlyAndDeletesTheSession) {
    LoopbackReceivers receivers; // the environment now points the built-in runtime at them
    ScopedEnv env;
    env.Set("QT_QPA_PLATFORM", "offscreen").Set("LIRAFON_CONTROL_PORT", "0");

    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(LIRAFON_PROGRAM), nullptr};
    ASSERT_EQ(posix_spawn(&pid, LIRAFON_PROGRAM, nullptr, nullptr, argv, environ), 0);
    const bool published = WaitForFile(receivers.SdpPath("QEL Audio Tone 1"));
    if (!published) {
        kill(pid, SIGKILL);
    }
    ASSERT_TRUE(published);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(WaitForExit(pid), 0);

    // Each announced session (audio, video) is deleted once, by the identifier last announced.
    std::set<uint16_t> announced;
    std::set<uint16_t> deleted;
    for (const std::vector<uint8_t>& packet : receivers.sap.ReceiveAll()) {
        ASSERT_GE(packet.size(), 8u);
        EXPECT_EQ(packet[0] >> 5, 1) << "SAP version 1";
        const uint16_t hash = static_cast<uint16_t>(BigEndian(packet, 2, 2));
        if ((packet[0] & 0x04) != 0) {
            EXPECT_TRUE(announced.count(hash)) << "a deletion of a session never announced";
            deleted.insert(hash);
        } else {
            announced.insert(hash);
        }
    }
    EXPECT_GE(announced.size(), 2u);
    EXPECT_EQ(deleted.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(receivers.SdpPath("QEL Audio Tone 1")))
        << "the session description is removed with the session";
}

// Headless, a runtime that cannot start leaves its message waiting for a click that never comes:
// SIGTERM must still end the program, at the first signal.
// Without a display nobody can answer the start-up failure message: the program says it on
// stderr and ends with a failure status by itself, so a service manager sees the failure.
TEST(Program, HeadlessRunWhoseRuntimeFailedEndsWithAFailure) {
    const std::string folder = std::filesystem::temp_directory_path() / "lirafon-no-runtime-XXXXXX";
    std::string pattern = folder;
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    ScopedEnv env;
    env.Set("QT_QPA_PLATFORM", "offscreen")
        .Set("XDG_RUNTIME_DIR", pattern)
        .Set("LIRAFON_NDI_RUNTIME", "vendor")
        // A runtime that lacks a call is refused whole, even where a real one is installed.
        .Set("NDI_RUNTIME_DIR_V6", LIRAFON_RECORDING_NDI_INCOMPLETE_DIR)
        .Set("NDI_RUNTIME_DIR_V5", pattern);
    const std::string errors = pattern + "/stderr.txt";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(LIRAFON_PROGRAM), nullptr};
    const int spawned = posix_spawn(&pid, LIRAFON_PROGRAM, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    const bool said = WaitForFile(errors, "Cannot run NDI for some reason.");
    const int status = WaitForExit(pid);
    EXPECT_TRUE(said);
    EXPECT_EQ(status, 1);
    std::filesystem::remove_all(pattern);
}

// A refused start-up value: one line naming it, status 2, and nothing published (no session
// description, no announcement).
TEST(Program, ARefusedSettingPublishesNothing) {
    LoopbackReceivers receivers;
    ScopedEnv env;
    env.Set("QT_QPA_PLATFORM", "offscreen").Set("LIRAFON_CONTROL_PORT", "0");
    for (const char* arguments : {"--channels 3", "--pairs 2-3", "--level +100", "--ident bbc",
                                  "--frequency 500", "--control-port 70000"}) {
        const Output out = RunProgram(std::string(arguments) + " 2>&1");
        EXPECT_EQ(out.status, 2) << arguments;
        EXPECT_NE(out.text.find("is not accepted; expected"), std::string::npos) << out.text;
        EXPECT_EQ(std::count(out.text.begin(), out.text.end(), '\n'), 1) << out.text;
    }
    env.Set("LIRAFON_IDENT", "bbc");
    const Output out = RunProgram("2>&1");
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.text,
              "ndi-lirafon: LIRAFON_IDENT: 'bbc' is not accepted; expected ebu, glits, blits or "
              "ebu-surround (the surround idents with 8 or 16 channels)\n");
    env.Set("LIRAFON_IDENT", "blits");
    const Output surround = RunProgram("--channels 4 2>&1");
    EXPECT_EQ(surround.status, 2);
    EXPECT_EQ(surround.text, "ndi-lirafon: --ident: blits is a 5.1 ident and needs 6 channels; 4 "
                             "cannot carry it: choose 8 or 16 channels, or ebu or glits\n");
    EXPECT_FALSE(std::filesystem::exists(receivers.SdpPath("QEL Audio Tone 1")));
    EXPECT_TRUE(receivers.sap.ReceiveAll(300, 300).empty()) << "nothing announced";
}

// Options reach the record through the window: the first session description already has 16
// channels, and the control server reports what was asked.
TEST(Program, StartupOptionsShapeTheFirstSessionAndTheState) {
    LoopbackReceivers receivers;
    ScopedEnv env;
    env.Set("QT_QPA_PLATFORM", "offscreen").Set("LIRAFON_CONTROL_PORT", "0");
    env.Set("LIRAFON_LEVEL", "smpte");
    const std::string errors = receivers.folder + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    const char* argv[] = {LIRAFON_PROGRAM, "--channels",   "16",       "--pairs=all", "--ident",
                          "glits",         "--ident-text", "Studio 4", nullptr};
    ASSERT_EQ(
        posix_spawn(&pid, LIRAFON_PROGRAM, &actions, nullptr, const_cast<char**>(argv), environ),
        0);
    posix_spawn_file_actions_destroy(&actions);
    const bool published = WaitForFile(receivers.SdpPath("QEL Audio Tone 1"), "L24/48000/16");
    const bool listening = WaitForFile(errors, "control panel: http://127.0.0.1:");
    std::ifstream in(errors);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = said.find("control panel: http://127.0.0.1:");
    std::string state;
    if (at != std::string::npos) {
        const int port = std::atoi(said.c_str() + at + 32);
        state = HttpExchange(port, HttpRequestText("GET", "/api/state", port)).body;
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForExit(pid), 0);
    EXPECT_TRUE(published) << said;
    EXPECT_TRUE(listening) << said;
    for (const char* expected :
         {"\"channels\":16", "\"pairs\":\"all\"", "\"level\":\"smpte\"", "\"ident\":\"glits\"",
          "\"identText\":\"Studio 4\"", "\"peakDbfs\":-20"}) {
        EXPECT_NE(state.find(expected), std::string::npos) << expected << " in " << state;
    }
}
