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
#include <map>
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

    // The input is no longer judged (routed away): every alarm it has raised is cleared in the
    // event log, so nothing stays raised for a path nobody watches.
    void ClearAll() {
        std::vector<AlarmEvent> cleared;
        for (const AlarmCondition& active : m_board.Active()) {
            cleared.push_back({false, active});
        }
        Emit(cleared, m_name, m_input.PtpNowNs(), m_metrics);
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

struct CMonitor::Entry {
    std::unique_ptr<CPcmInput> input;
    std::unique_ptr<CWatch> watch;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

CMonitor::CMonitor(const Options& options, CProbeMetrics* metrics)
    : m_options(options), m_metrics(metrics) {}

CMonitor::~CMonitor() {
    std::map<std::string, std::unique_ptr<Entry>> entries;
    {
        std::lock_guard guard(m_lock);
        entries.swap(m_entries);
    }
    for (auto& [name, entry] : entries) {
        entry->stop = true;
    }
    for (auto& [name, entry] : entries) {
        entry->thread.join();
    }
}

bool CMonitor::Start(const std::string& name, const InputRequest& request,
                     const std::optional<Expectation>& expect, std::string* error) {
    InputKind kind = InputKind::recording;
    auto entry = std::make_unique<Entry>();
    entry->input = OpenInput(request, &kind, error);
    if (!entry->input) {
        return false;
    }
    Stop(name);
    const double dbuOffset = kind == InputKind::ndi ? kNdiDbuOffset : m_options.dbuOffset;
    entry->watch =
        std::make_unique<CWatch>(*entry->input, name, m_options, expect, dbuOffset, m_metrics);
    std::fprintf(stderr, "lirafon-check: watching %s (%d channels at %d Hz)\n", name.c_str(),
                 entry->input->Channels(), entry->input->Rate());
    Entry* running = entry.get();
    running->thread = std::thread([running] {
        running->watch->Run(running->stop);
        running->done = true;
    });
    std::lock_guard guard(m_lock);
    m_entries[name] = std::move(entry);
    return true;
}

void CMonitor::Stop(const std::string& name) {
    std::unique_ptr<Entry> entry;
    {
        std::lock_guard guard(m_lock);
        const auto found = m_entries.find(name);
        if (found == m_entries.end()) {
            return;
        }
        entry = std::move(found->second);
        m_entries.erase(found);
    }
    entry->stop = true;
    entry->thread.join();
    entry->watch->ClearAll();
    if (m_metrics != nullptr) {
        m_metrics->Remove(name);
    }
}

size_t CMonitor::Running() const {
    std::lock_guard guard(m_lock);
    return static_cast<size_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                             [](const auto& e) { return !e.second->done; }));
}

void CMonitor::Wait(const std::atomic<bool>& stop, bool whileEmpty) {
    while (!stop && (whileEmpty || Running() > 0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int RunMonitor(const Options& options, const std::vector<WatchedInput>& watched,
               std::atomic<bool>& stop, CProbeMetrics* metrics) {
    CMonitor monitor(options, metrics);
    for (const WatchedInput& one : watched) {
        std::string error;
        const std::string name = one.request.path.empty() ? one.request.ndiName : one.request.path;
        if (!monitor.Start(name, one.request, one.expect, &error)) {
            return Usage(error);
        }
    }
    monitor.Wait(stop);
    return 0;
}
