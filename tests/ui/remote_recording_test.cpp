// The program on the built-in runtime, recorded by FFmpeg from its SDP file on 127.0.0.1 while the
// control API changes pairs, level and ident and then the channel count. What FFmpeg wrote must
// change whole frames at a time: every silence begins and ends on one 1920-sample grid, the level
// switches once between two exact peaks, and the API's own per-channel peak is the recorded one.
#include "child_process.h"
#include "http_client.h"
#include "loopback_receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

namespace {

namespace fs = std::filesystem;

constexpr int kChannels = 16;
constexpr int kFrame = 1920;
constexpr int kRecordSeconds = 8;
constexpr int kDeadlineMs = 60000; // sanitizer builds are slow; nothing here judges speed

// A 1 kHz tone is exactly zero on single samples; a silence is a run this long or longer.
constexpr size_t kSilentRun = 48;

bool WaitFor(const std::function<bool()>& ready) {
    for (int waited = 0; waited < kDeadlineMs; waited += 20) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct Silence {
    size_t first; // first silent sample; kFromStart when the recording began in it
    size_t end;   // first sample after it
};
constexpr size_t kFromStart = SIZE_MAX;

// Runs of silence in one channel that end inside the recording.
std::vector<Silence> Silences(const std::vector<int32_t>& samples) {
    std::vector<Silence> found;
    size_t run = 0;
    for (size_t i = 0; i <= samples.size(); ++i) {
        if (i < samples.size() && samples[i] == 0) {
            ++run;
            continue;
        }
        // A run still going when the recording ends does not show where it ends.
        if (run >= kSilentRun && i < samples.size()) {
            found.push_back({i == run ? kFromStart : i - run, i});
        }
        run = 0;
    }
    return found;
}

double ToDbfs(int32_t peak) {
    return 20.0 * std::log10(static_cast<double>(peak) / 8388608.0);
}

} // namespace

TEST(RemoteRecording, ApiChangesReachTheRecordingFromTheNextFrame) {
    LoopbackReceivers receivers;
    receivers.audio.reset(); // FFmpeg binds these ports itself
    receivers.video.reset();
    receivers.env.Set("QT_QPA_PLATFORM", "offscreen");
    const fs::path out = receivers.folder;
    const pid_t program =
        Spawn({LIRAFON_PROGRAM, "--channels", "16", "--pairs", "1-2", "--control-port", "0"},
              (out / "program.log").string());
    ASSERT_GT(program, 0);
    const std::string sdp = receivers.SdpPath("QEL Audio Tone 1");
    const std::string panel = "control panel: http://127.0.0.1:";
    const bool started = WaitFor([&] {
        return ReadText(sdp).find("L24/48000/16") != std::string::npos &&
               ReadText(out / "program.log").find(panel) != std::string::npos;
    });
    const std::string said = ReadText(out / "program.log");
    if (!started) {
        WaitOrStop(program, 0, SIGTERM);
        FAIL() << said;
    }
    const int port = std::atoi(said.c_str() + said.find(panel) + panel.size());
    const auto patch = [port](const std::string& json) {
        return HttpExchange(port, HttpRequestText("PATCH", "/api/settings", port,
                                                  "Content-Type: application/json\r\n", json));
    };
    const auto peakDbfs = [](const std::string& state, int channel) {
        const std::string row = "\"channel\":" + std::to_string(channel) + ",";
        const size_t at = state.find("\"peakDbfs\":", state.find(row));
        return at == std::string::npos ? 0.0 : std::atof(state.c_str() + at + 11);
    };

    const fs::path raw = out / "a.raw";
    const pid_t ffmpeg = SpawnReceiver(FfmpegRecording(sdp, kRecordSeconds, raw.string()),
                                       (out / "ffmpeg.log").string());
    ASSERT_GT(ffmpeg, 0);
    // A second of the start-up settings, then one change every 700 ms; GLITS then runs for the
    // rest of the recording, longer than one of its 4 s cycles.
    const bool recording = WaitFor(
        [&] { return fs::exists(raw) && fs::file_size(raw) >= size_t{48000} * kChannels * 3; });
    const std::string before = HttpExchange(port, HttpRequestText("GET", "/api/state", port)).body;
    std::vector<std::string> states;
    for (const char* change :
         {R"({"pairs":"all"})", R"({"level":"smpte"})", R"({"ident":"glits"})"}) {
        states.push_back(patch(change).body);
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    WaitOrStop(ffmpeg, kDeadlineMs);
    // A new channel count is a new stream format: the session description says so at once.
    const int status = patch(R"({"channels":8})").status;
    const bool described =
        WaitFor([&] { return ReadText(sdp).find("L24/48000/8") != std::string::npos; });
    EXPECT_EQ(WaitOrStop(program, 0, SIGTERM), -1); // still running when asked to stop
    ASSERT_TRUE(recording) << ReadText(out / "ffmpeg.log");
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(described) << ReadText(sdp);

    const std::vector<uint8_t> bytes = ReadBytes(raw);
    const size_t frames = bytes.size() / (kChannels * 3);
    std::vector<std::vector<int32_t>> channel(kChannels, std::vector<int32_t>(frames));
    for (size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < kChannels; ++c) {
            channel[static_cast<size_t>(c)][i] =
                S24le(&bytes[(i * kChannels + static_cast<size_t>(c)) * 3]);
        }
    }

    // Every silence, whether an ident gap or a pair switched on, begins and ends on the frame grid
    // that the first gap's beginning shows.
    std::set<size_t> edges;
    size_t grid = kFromStart;
    for (const auto& samples : channel) {
        for (const Silence& s : Silences(samples)) {
            if (s.first != kFromStart) {
                grid = std::min(grid, s.first);
                edges.insert(s.first % kFrame);
            }
            edges.insert(s.end % kFrame);
        }
    }
    ASSERT_NE(grid, kFromStart) << "no ident gap recorded";
    grid %= kFrame;
    for (const size_t edge : edges) {
        // The tone starts each frame at phase 0, so a silence may end one sample late.
        const size_t apart = (edge + kFrame - grid) % kFrame;
        EXPECT_LE(std::min(apart, kFrame - apart), 1u) << "a change inside a frame, at " << edge;
    }

    // Pair 2 was silent until "all": one silence from the start, ending on the grid.
    size_t paired = 0;
    for (size_t i = 0; i < frames && paired == 0; ++i) {
        paired = channel[3][i] != 0 ? i : 0;
    }
    EXPECT_GT(paired, size_t{48000} / 2) << "channel 4 carried tone before the change";

    // Channel 2 (right of pair 1) carries no ident gap under EBU: each whole frame's peak is the
    // EBU peak, then the SMPTE peak, switching once; GLITS then gaps it for the first time.
    std::vector<int32_t> framePeaks;
    for (size_t start = grid; start + kFrame <= frames; start += kFrame) {
        int32_t peak = 0;
        for (size_t i = start; i < start + kFrame; ++i) {
            peak = std::max(peak, std::abs(channel[1][i]));
        }
        framePeaks.push_back(peak);
    }
    std::map<int32_t, int> seen;
    std::vector<int32_t> order;
    for (const int32_t peak : framePeaks) {
        if (peak != 0 && (order.empty() || order.back() != peak)) {
            order.push_back(peak);
        }
        ++seen[peak];
    }
    ASSERT_EQ(order.size(), 2u) << "the level switched once, between whole frames";
    EXPECT_NEAR(ToDbfs(order[0]), peakDbfs(before, 2), 0.011);
    EXPECT_NEAR(ToDbfs(order[1]), peakDbfs(states[1], 2), 0.011);
    EXPECT_GT(seen[0], 0) << "GLITS gaps the right channel";
    const auto firstGap = std::find(framePeaks.begin(), framePeaks.end(), 0);
    const auto firstSmpte = std::find(framePeaks.begin(), framePeaks.end(), order[1]);
    EXPECT_LT(firstSmpte, firstGap) << "the ident changed after the level";
    EXPECT_LT(paired, static_cast<size_t>(firstSmpte - framePeaks.begin()) * kFrame + grid)
        << "the pairs changed before the level";
}
