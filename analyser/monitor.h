// lirafon-check --monitor: every input judged on a thread of its own until the stop flag is set
// (SIGINT, SIGTERM), each second's conditions through its alarm board, and one JSON line on
// standard output per alarm raised and per alarm cleared, as a service's journal keeps them.
#pragma once

#include "alarms.h"
#include "open_input.h"
#include "options.h"
#include "probe_metrics.h"

#include <atomic>
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

// The exit status: 0 after a stop, 2 when an input cannot be opened (said on standard error).
// metrics: where each second's figures and alarms are published (nullptr: nowhere).
int RunMonitor(const Options& options, const std::vector<WatchedInput>& inputs,
               std::atomic<bool>& stop, CProbeMetrics* metrics = nullptr);
