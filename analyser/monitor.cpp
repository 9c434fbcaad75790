#include "monitor.h"

#include "analyser.h"
#include "media_time.h"
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

void Emit(const std::vector<AlarmEvent>& events, const std::string& input,
          std::optional<int64_t> ptpNs, CProbeMetrics* metrics) {
    if (events.empty()) {
        return;
    }
    std::lock_guard guard(g_outputLock);
    for (const AlarmEvent& event : events) {
        const std::string line = AlarmEventJson(event, input, UnixNowMs(), ptpNs);
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

// How much of the pictures' past the A/V offset is judged over: the page draws the last minute,
// and a day's pictures are never held.
constexpr double kAvKeptS = 70;
constexpr double kAvDrawnS = 60;

// One input, judged until the stop: audio in tenths of a second, the conditions every second of
// audio, and "input gone" when none comes. The board's clock is the audio's own time, run on by
// the wall clock while nothing arrives: a recording read faster than real time holds its alarms
// as long as a stream would.
class CWatch {
public:
    CWatch(CPcmInput& input, std::string name, const Options& options,
           const std::optional<Expectation>& expect, double dbuOffset, CProbeMetrics* metrics)
        : m_input(input), m_name(std::move(name)), m_limits(options.alarms), m_expect(expect),
          m_dbuOffset(dbuOffset), m_metrics(metrics),
          m_analyser(input.Channels(), input.Rate(), dbuOffset), m_watch(expect, options.alarms),
          m_board(options.alarms), m_avSync(input.Rate()) {
        m_analyser.SetFullScale(input.FullScale());
    }

    void Run(std::atomic<bool>& stop) {
        const int rate = m_input.Rate();
        int64_t nextReport = rate;
        double lastAudio = SteadyNowS();
        double lastGoneCheck = lastAudio;
        std::vector<double> block;
        while (!stop) {
            block.clear();
            const bool more = m_input.Read(block, rate / 10);
            const size_t frames = block.size() / static_cast<size_t>(m_input.Channels());
            const double wall = SteadyNowS();
            TakePictures();
            if (frames > 0) {
                if (wall - lastAudio >= m_limits.goneS) {
                    m_gapsS += wall - lastAudio;
                }
                m_analyser.Add(block.data(), frames);
                m_avSync.AddAudio(block.data(), frames, m_input.Channels());
                m_analysed += static_cast<int64_t>(frames);
                lastAudio = wall;
                if (m_metrics != nullptr) {
                    m_metrics->PublishLive(m_name, BlockPeaks(block, m_input.Channels()));
                }
            } else if (wall - lastAudio >= m_limits.goneS && wall - lastGoneCheck >= 1.0) {
                lastGoneCheck = wall;
                const double mediaS = static_cast<double>(m_analysed) / rate + m_gapsS;
                Emit(m_board.Update(mediaS + (wall - lastAudio), {m_watch.Gone(wall - lastAudio)}),
                     m_name, m_input.PtpNowNs(), m_metrics);
                Publish({}, m_input.Stats(), std::nullopt);
            }
            if (m_analysed >= nextReport) {
                nextReport += rate;
                Second();
            }
            if (!more) {
                break; // a recording ends; a stream does not
            }
        }
    }

private:
    void TakePictures() {
        std::vector<PictureObservation> pictures;
        m_input.TakePictures(pictures);
        for (const PictureObservation& p : pictures) {
            m_avSync.AddPicture(p);
            m_newestPictureS = std::max(m_newestPictureS, p.seconds);
        }
        std::vector<std::pair<int64_t, double>> audioTimes;
        m_input.TakeAudioTimes(audioTimes);
        for (const auto& [sample, seconds] : audioTimes) {
            m_avSync.AddAudioTime(sample, seconds);
        }
    }

    void Second() {
        const AnalysisReport report = m_analyser.Analyse();
        const InputStats stats = m_input.Stats();
        std::optional<AvReport> av;
        if (m_avSync.HasPictures()) {
            m_avSync.SetAudioStart(m_input.AudioStartSeconds());
            av = m_avSync.Analyse(report.ident == Ident::sequence,
                                  stats.ndi ? stats.ndiPicture : m_input.PictureFormat());
            m_avSync.Forget(m_newestPictureS - kAvKeptS);
        }
        Emit(m_board.Update(static_cast<double>(m_analysed) / m_input.Rate() + m_gapsS,
                            m_watch.Second(report, stats, av ? &*av : nullptr)),
             m_name, m_input.PtpNowNs(), m_metrics);
        Publish(report, stats, av);
    }

    void Publish(const AnalysisReport& report, const InputStats& stats,
                 const std::optional<AvReport>& av) {
        if (m_metrics == nullptr) {
            return;
        }
        ProbeSecond second;
        second.report = report;
        second.stats = stats;
        second.active = m_board.Active();
        second.raisedTotal = m_board.RaisedTotal();
        if (av && !av->markers.empty()) {
            second.avOffsetMs = av->markers.back().offsetMs;
            for (const AvMarker& marker : av->markers) {
                if (marker.seconds >= av->markers.back().seconds - kAvDrawnS) {
                    second.avMarkers.push_back(marker);
                }
            }
        }
        if (m_expect && m_expect->dbfs) {
            second.lineUpDbfs = m_expect->dbfs;
        } else if (m_expect && m_expect->dbu) {
            second.lineUpDbfs = *m_expect->dbu - m_dbuOffset;
        }
        m_metrics->Publish(m_name, std::move(second));
    }

    CPcmInput& m_input;
    const std::string m_name;
    const AlarmLimits m_limits;
    const std::optional<Expectation> m_expect;
    const double m_dbuOffset;
    CProbeMetrics* const m_metrics;
    CAnalyser m_analyser;
    CConditionWatch m_watch;
    CAlarmBoard m_board;
    CAvSync m_avSync;
    double m_newestPictureS = -1e300;
    int64_t m_analysed = 0;
    // The wall-clock time the input was gone, added so the board's clock never runs back.
    double m_gapsS = 0;
};

} // namespace

std::string AlarmEventJson(const AlarmEvent& event, const std::string& input, int64_t unixMs,
                           std::optional<int64_t> ptpNs) {
    const AlarmCondition& c = event.condition;
    std::string line = "{\"event\":" + std::string(event.raised ? "\"raised\"" : "\"cleared\"");
    line += ",\"time\":" + JsonText(UtcText(unixMs));
    if (ptpNs) {
        line += ",\"ptpTime\":" + JsonText(wire::TaiText(*ptpNs));
    }
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

int RunMonitor(const Options& options, const std::vector<WatchedInput>& watched,
               std::atomic<bool>& stop, CProbeMetrics* metrics) {
    struct Opened {
        std::unique_ptr<CPcmInput> input;
        std::string name;
        double dbuOffset = 24;
        std::optional<Expectation> expect;
    };
    std::vector<Opened> inputs;
    for (const WatchedInput& one : watched) {
        InputKind kind = InputKind::recording;
        std::string error;
        std::unique_ptr<CPcmInput> input = OpenInput(one.request, &kind, &error);
        if (!input) {
            return Usage(error);
        }
        const bool ndi = kind == InputKind::ndi;
        inputs.push_back({std::move(input), ndi ? one.request.ndiName : one.request.path,
                          ndi ? kNdiDbuOffset : options.dbuOffset, one.expect});
    }
    for (const Opened& opened : inputs) {
        std::fprintf(stderr, "lirafon-check: watching %s (%d channels at %d Hz)\n",
                     opened.name.c_str(), opened.input->Channels(), opened.input->Rate());
    }
    std::vector<std::thread> threads;
    for (Opened& opened : inputs) {
        threads.emplace_back([&options, &stop, &opened, metrics] {
            CWatch(*opened.input, opened.name, options, opened.expect, opened.dbuOffset, metrics)
                .Run(stop);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return 0;
}
