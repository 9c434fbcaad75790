// What a probe shows Prometheus: each input's channels as they measured in the last second, its
// alarms (every kind on every channel, 0 or 1, so a dashboard sees a clear as well as a raise)
// and its counters, in the text exposition format with Prometheus' naming rules. Written by the
// inputs' threads each second, read by the server's thread at each scrape.
#pragma once

#include "alarms.h"
#include "pcm_input.h"
#include "report.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What one input showed in its last second, as published.
struct ProbeSecond {
    AnalysisReport report;
    InputStats stats;
    std::vector<AlarmCondition> active;
    uint64_t raisedTotal = 0;
    std::optional<double> avOffsetMs; // the newest A/V marker's, where pictures carry them
    std::vector<AvMarker> avMarkers;  // the last minute's, for the page
    std::optional<double> lineUpDbfs; // the tone's expected peak, where --expect names a level
};

class CProbeMetrics {
public:
    // Every kind of alarm, per channel and for the stream, in the order they are exported.
    static const std::vector<std::string>& ChannelAlarms();
    static const std::vector<std::string>& StreamAlarms();

    void Publish(const std::string& input, ProbeSecond second);
    // An input no longer judged: its figures and alarms leave the exposition and the page.
    void Remove(const std::string& input);
    // The NMOS sender an input is routed to: every sample of that input carries it as the
    // sender_id label, and the page names it. Until it is removed.
    void SetSender(const std::string& input, const std::string& senderId);
    // The exposition text, every input in the order first published.
    std::string Text() const;

    // For the live page: each channel's peak over the last tenth of a second, and the event log.
    void PublishLive(const std::string& input, const std::vector<double>& peaksDbfs);
    void AddEvent(const std::string& eventJson);
    // {"inputs":[{"input":...,"senderId":... or
    // null,"pattern":...,"lineUpDbfs":-18.0,"avOffsetMs":12.0,
    // "av":[[seconds,offsetMs],...],"channels":[{"channel":1,"peakDbfs":-24.0,"toneHz":1000,
    // "role":"","correlation":0.99}],"alarms":[{"channel":3,"alarm":...,"message":...}]}],
    // "events":[the last 50 event lines]}
    std::string LiveJson() const;

private:
    struct Input {
        ProbeSecond last;
        std::vector<double> livePeaks;
    };
    std::vector<std::string> m_events; // the newest last
    mutable std::mutex m_lock;
    std::vector<std::string> m_order;
    std::map<std::string, Input> m_inputs;
    std::map<std::string, std::string> m_senders;
};
