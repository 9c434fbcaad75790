#include "monitor.h"

#include "analyser.h"
#include "ndi_input.h"
#include "report_output.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

namespace {

std::string Number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string UtcText(int64_t unixMs) {
    const auto seconds = static_cast<time_t>(unixMs / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unixMs % 1000));
    return text;
}

int64_t UnixNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double SteadyNowS() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Standard output is shared by the inputs' threads: each line whole.
std::mutex g_outputLock;

void Emit(const std::vector<AlarmEvent>& events, const std::string& input, CProbeMetrics* metrics) {
    if (events.empty()) {
        return;
    }
    std::lock_guard guard(g_outputLock);
    for (const AlarmEvent& event : events) {
        const std::string line = AlarmEventJson(event, input, UnixNowMs());
        std::printf("%s\n", line.c_str());
        if (metrics != nullptr) {
            metrics->AddEvent(line);
        }
    }
    std::fflush(stdout);
}

// Each channel's peak over one block, dBFS, for the live page's meters.
std::vector<double> BlockPeaks(const std::vector<double>& block, int channels) {
    std::vector<double> peaks(static_cast<size_t>(channels), 0.0);
    for (size_t i = 0; i < block.size(); ++i) {
        double& peak = peaks[i % static_cast<size_t>(channels)];
        peak = std::max(peak, std::fabs(block[i]));
    }
    for (double& peak : peaks) {
        peak = peak > 0 ? 20.0 * std::log10(peak) : -200.0;
    }
    return peaks;
}

// One input, judged until the stop: audio in tenths of a second, the conditions every second of
// audio, and "input gone" when none comes. The board's clock is the audio's own time, run on by
// the wall clock while nothing arrives: a recording read faster than real time holds its alarms
// as long as a stream would.
void Watch(CPcmInput& input, const std::string& name, const Options& options, double dbuOffset,
           std::atomic<bool>& stop, CProbeMetrics* metrics) {
    CAnalyser analyser(input.Channels(), input.Rate(), dbuOffset);
    analyser.SetFullScale(input.FullScale());
    CConditionWatch watch(options.expect, options.alarms);
    CAlarmBoard board(options.alarms);
    int64_t analysed = 0;
    int64_t nextReport = input.Rate();
    double lastAudio = SteadyNowS();
    double lastGoneCheck = lastAudio;
    // The wall-clock time the input was gone, added so the board's clock never runs back.
    double gapsS = 0;
    std::vector<double> block;
    while (!stop) {
        block.clear();
        const bool more = input.Read(block, input.Rate() / 10);
        const size_t frames = block.size() / static_cast<size_t>(input.Channels());
        const double wall = SteadyNowS();
        const double mediaS = static_cast<double>(analysed) / input.Rate() + gapsS;
        if (frames > 0) {
            if (wall - lastAudio >= options.alarms.goneS) {
                gapsS += wall - lastAudio;
            }
            analyser.Add(block.data(), frames);
            analysed += static_cast<int64_t>(frames);
            lastAudio = wall;
            if (metrics != nullptr) {
                metrics->PublishLive(name, BlockPeaks(block, input.Channels()));
            }
        } else if (wall - lastAudio >= options.alarms.goneS && wall - lastGoneCheck >= 1.0) {
            lastGoneCheck = wall;
            Emit(board.Update(mediaS + (wall - lastAudio), {watch.Gone(wall - lastAudio)}), name,
                 metrics);
            if (metrics != nullptr) {
                metrics->Publish(name, {}, input.Stats(), board.Active(), board.RaisedTotal());
            }
        }
        if (analysed >= nextReport) {
            nextReport += input.Rate();
            const AnalysisReport report = analyser.Analyse();
            const InputStats stats = input.Stats();
            Emit(board.Update(static_cast<double>(analysed) / input.Rate() + gapsS,
                              watch.Second(report, stats)),
                 name, metrics);
            if (metrics != nullptr) {
                metrics->Publish(name, report, stats, board.Active(), board.RaisedTotal());
            }
        }
        if (!more) {
            break; // a recording ends; a stream does not
        }
    }
}

} // namespace

std::string AlarmEventJson(const AlarmEvent& event, const std::string& input, int64_t unixMs) {
    const AlarmCondition& c = event.condition;
    std::string line = "{\"event\":" + std::string(event.raised ? "\"raised\"" : "\"cleared\"");
    line += ",\"time\":" + JsonText(UtcText(unixMs));
    line += ",\"input\":" + JsonText(input);
    if (c.channel > 0) {
        line += ",\"channel\":" + std::to_string(c.channel);
    }
    line += ",\"alarm\":" + JsonText(c.alarm);
    line += ",\"value\":" + Number(c.value);
    line += ",\"limit\":" + (c.limit ? Number(*c.limit) : std::string("null"));
    line += ",\"message\":" + JsonText(c.message) + "}";
    return line;
}

int RunMonitor(const Options& options, const std::vector<InputRequest>& requests,
               std::atomic<bool>& stop, CProbeMetrics* metrics) {
    struct Opened {
        std::unique_ptr<CPcmInput> input;
        std::string name;
        double dbuOffset = 24;
    };
    std::vector<Opened> inputs;
    for (const InputRequest& request : requests) {
        InputKind kind = InputKind::recording;
        std::string error;
        std::unique_ptr<CPcmInput> input = OpenInput(request, &kind, &error);
        if (!input) {
            return Usage(error);
        }
        const bool ndi = kind == InputKind::ndi;
        inputs.push_back({std::move(input), ndi ? request.ndiName : request.path,
                          ndi ? kNdiDbuOffset : options.dbuOffset});
    }
    for (const Opened& opened : inputs) {
        std::fprintf(stderr, "lirafon-check: watching %s (%d channels at %d Hz)\n",
                     opened.name.c_str(), opened.input->Channels(), opened.input->Rate());
    }
    std::vector<std::thread> threads;
    for (Opened& opened : inputs) {
        threads.emplace_back([&options, &stop, &opened, metrics] {
            Watch(*opened.input, opened.name, options, opened.dbuOffset, stop, metrics);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return 0;
}
