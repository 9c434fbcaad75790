// lirafon-check --monitor: every input judged on a thread of its own until the stop flag is set
// (SIGINT, SIGTERM), each second's conditions through its alarm board, and one JSON line on
// standard output per alarm raised and per alarm cleared, as a service's journal keeps them.
#pragma once

#include "alarms.h"
#include "open_input.h"
#include "options.h"
#include "probe_metrics.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One line of the event log: {"event":"raised","time":"2026-12-09T21:04:05.123Z",
// "ptpTime":"1796850282:123000000","input":...,"channel":3,"alarm":"tone missing",
// "value":-98.2,"limit":null,"message":"..."}; no "channel" for a stream-wide alarm, no
// "ptpTime" where the input has no PTP time (TAI nanoseconds).
std::string AlarmEventJson(const AlarmEvent& event, const std::string& input, int64_t unixMs,
                           std::optional<int64_t> ptpNs = std::nullopt);

// One input of the probe, and what it should carry (nullopt: what it carried when first heard).
struct WatchedInput {
    InputRequest request;
    std::optional<Expectation> expect;
};

// The inputs a probe judges, each on a thread of its own, which may come and go while it runs
// (a receiver a controller routes). Start, Stop and Running from any thread.
class CMonitor {
public:
    CMonitor(const Options& options, CProbeMetrics* metrics);
    ~CMonitor(); // every input stopped, nothing cleared: the probe is going, not the paths
    CMonitor(const CMonitor&) = delete;
    CMonitor& operator=(const CMonitor&) = delete;

    // Opens the input and judges it from now, in place of one of the same name; false with the
    // reason in *error and nothing changed when it cannot be opened.
    bool Start(const std::string& name, const InputRequest& request,
               const std::optional<Expectation>& expect, std::string* error);
    // Judges it no more: the alarms it raised are cleared in the event log, its figures leave
    // the metrics.
    void Stop(const std::string& name);
    // Inputs still being judged (a recording ends by itself).
    size_t Running() const;
    // Until `stop` is set, or (unless whileEmpty) no input is left running.
    void Wait(const std::atomic<bool>& stop, bool whileEmpty = false);

private:
    struct Entry;
    const Options& m_options;
    CProbeMetrics* const m_metrics;
    mutable std::mutex m_lock;
    std::map<std::string, std::unique_ptr<Entry>> m_entries;
};

// The exit status: 0 after a stop, 2 when an input cannot be opened (said on standard error).
// metrics: where each second's figures and alarms are published (nullptr: nowhere).
int RunMonitor(const Options& options, const std::vector<WatchedInput>& inputs,
               std::atomic<bool>& stop, CProbeMetrics* metrics = nullptr);
