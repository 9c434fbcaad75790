// The probe's run on two recordings at once, each on its own thread, the event lines written
// whole: a steady path raises nothing, and a path whose tone goes for five seconds raises "no
// tone" after the raise hold and clears it after the clear hold, timed on the audio's own clock
// (the recordings are read far faster than real time). Run under ThreadSanitizer by CI.
#include "monitor.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A 16-bit mono 48 kHz WAV file of the samples (full scale 1.0).
std::string WriteWav(const char* name, const std::vector<double>& samples) {
    std::vector<uint8_t> w;
    const auto data = static_cast<uint32_t>(samples.size() * 2);
    const auto text = [&w](const char* t) {
        for (; *t != 0; ++t) {
            w.push_back(static_cast<uint8_t>(*t));
        }
    };
    text("RIFF");
    Put(w, 36 + data, 4);
    text("WAVEfmt ");
    Put(w, 16, 4);
    Put(w, 1, 2);
    Put(w, 1, 2);
    Put(w, 48000, 4);
    Put(w, 96000, 4);
    Put(w, 2, 2);
    Put(w, 16, 2);
    text("data");
    Put(w, data, 4);
    for (const double s : samples) {
        Put(w, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))), 2);
    }
    const std::string path = testing::TempDir() + "/" + std::to_string(getpid()) + "-" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(w.data(), 1, w.size(), f);
    std::fclose(f);
    return path;
}

TEST(MonitorRunTest, TwoInputsOnTheirOwnThreadsAndTheHoldsOnTheAudiosClock) {
    constexpr int kRate = 48000;
    const std::vector<double> tone = signals::Sine(14 * kRate, kRate, 1000, signals::FromDb(-18));
    std::vector<double> broken = tone;
    std::fill(broken.begin() + 3 * kRate, broken.begin() + 8 * kRate, 0.0);
    const std::string steady = WriteWav("steady.wav", tone);
    const std::string gap = WriteWav("gap.wav", broken);
    Options options;
    options.monitor = true;
    std::vector<WatchedInput> requests(2);
    requests[0].request.path = steady;
    requests[1].request.path = gap;
    std::atomic<bool> stop{false};
    CProbeMetrics metrics;
    testing::internal::CaptureStdout();
    const int status = RunMonitor(options, requests, stop, &metrics);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    std::istringstream lines(out);
    std::vector<std::string> events;
    for (std::string line; std::getline(lines, line);) {
        events.push_back(line);
    }
    ASSERT_EQ(events.size(), 2u) << out;
    EXPECT_NE(events[0].find(R"("event":"raised")"), std::string::npos) << events[0];
    EXPECT_NE(events[0].find(R"("alarm":"no tone")"), std::string::npos) << events[0];
    EXPECT_NE(events[0].find(gap), std::string::npos) << events[0];
    EXPECT_NE(events[1].find(R"("event":"cleared")"), std::string::npos) << events[1];
    EXPECT_EQ(out.find(steady), std::string::npos) << "the steady path raised nothing";
    const std::string text = metrics.Text();
    EXPECT_NE(text.find(steady), std::string::npos);
    EXPECT_NE(text.find("lirafon_alarms_raised_total{input=\"" + gap + "\"} 1\n"),
              std::string::npos);
    std::remove(steady.c_str());
    std::remove(gap.c_str());
}

// An input that comes and goes while the probe runs, as a receiver a controller routes: raw
// PCM from a FIFO, written without end by a thread of the test. Silence raises "no tone"; the
// input stopped clears it in the event log and takes its figures out of the metrics; an input
// that cannot be opened changes nothing.
TEST(MonitorRunTest, AnInputStartedAndStoppedWhileTheProbeRuns) {
    signal(SIGPIPE, SIG_IGN);
    const std::string fifo = testing::TempDir() + "/" + std::to_string(getpid()) + "-live.pcm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        const std::vector<int16_t> silence(4800);
        while (writing && write(fd, silence.data(), silence.size() * 2) > 0) {
        }
        close(fd);
    });
    Options options;
    options.monitor = true;
    CProbeMetrics metrics;
    testing::internal::CaptureStdout();
    {
        CMonitor monitor(options, &metrics);
        InputRequest live;
        live.path = fifo;
        live.raw = true;
        live.format = RawFormat::s16le;
        live.channels = 1;
        std::string error;
        ASSERT_TRUE(monitor.Start("receiver-1", live, std::nullopt, &error)) << error;
        InputRequest missing;
        missing.path = testing::TempDir() + "/no-such-file.sdp";
        EXPECT_FALSE(monitor.Start("receiver-1", missing, std::nullopt, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(monitor.Running(), 1u) << "the running input is untouched";
        // Silence read flat out: the raise hold passes on the audio's clock within moments.
        for (int i = 0; i < 400 && metrics.Text().find("alarm=\"no tone\"} 1") == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        EXPECT_NE(metrics.Text().find("input=\"receiver-1\""), std::string::npos);
        monitor.Stop("receiver-1");
        EXPECT_EQ(monitor.Running(), 0u);
        EXPECT_EQ(metrics.Text().find("receiver-1"), std::string::npos);
        writing = false;
    }
    writer.join();
    const std::string out = testing::internal::GetCapturedStdout();
    std::remove(fifo.c_str());
    const size_t raised = out.find(R"("event":"raised")");
    const size_t cleared = out.find(R"("event":"cleared")");
    ASSERT_NE(raised, std::string::npos) << out;
    ASSERT_NE(cleared, std::string::npos) << out;
    EXPECT_LT(raised, cleared);
    EXPECT_NE(out.find(R"("alarm":"no tone")", cleared), std::string::npos) << out;
}

} // namespace
