// lirafon-check --monitor: every input judged on a thread of its own until the stop flag is set
// (SIGINT, SIGTERM), each second's conditions through its alarm board, and one JSON line on
// standard output per alarm raised and per alarm cleared, as a service's journal keeps them.
#pragma once

#include "alarms.h"
#include "open_input.h"
#include "options.h"
#include "probe_metrics.h"

#include <atomic>
#include <string>
#include <vector>

// One line of the event log: {"event":"raised","time":"2026-12-09T21:04:05.123Z","input":...,
// "channel":3,"alarm":"tone missing","value":-98.2,"limit":null,"message":"..."}; no "channel"
// for a stream-wide alarm.
std::string AlarmEventJson(const AlarmEvent& event, const std::string& input, int64_t unixMs);

// The exit status: 0 after a stop, 2 when an input cannot be opened (said on standard error).
// metrics: where each second's figures and alarms are published (nullptr: nowhere).
int RunMonitor(const Options& options, const std::vector<InputRequest>& inputs,
               std::atomic<bool>& stop, CProbeMetrics* metrics = nullptr);
