// A probe left on a path: what each second of a stream shows against what it should carry, as
// alarms an engineer can act on. A condition must hold for the raise hold before its alarm is
// raised, and be gone for the clear hold before it clears, so one bad second of a long night is
// not an alarm and one good second does not clear one. Each alarm is one (channel, kind): the
// channel 0 for a stream-wide one.
#pragma once

#include "pcm_input.h"
#include "report.h"
#include "verdict.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The limits and hold times of every alarm, changeable by --alarms.
struct AlarmLimits {
    double raiseS = 2;       // a condition held this long raises its alarm
    double clearS = 3;       // ... and gone this long clears it
    double levelDb = 1.0;    // off the expected line-up level by more than this
    double overDbfs = -1.0;  // a peak above this (a line-up tone sits far under it)
    double latencyMs = 10.0; // timestamp to arrival, where PTP gives both
    double goneS = 2.0;      // no audio this long: the input is gone
};

// "raise=2,clear=3,level=1,over=-1,latency=10,gone=2": nullopt with the reason in *error.
std::optional<AlarmLimits> ParseAlarmLimits(const std::string& text, std::string* error);

// One condition seen in one second.
struct AlarmCondition {
    int channel = 0;   // received, from 1; 0 for the stream
    std::string alarm; // "no tone", "tone missing", ...
    double value = 0;
    std::optional<double> limit;
    std::string message; // in an engineer's words, naming the channel
    // Something that happens rather than holds (a dropout, a lost packet): raised at once, and
    // cleared once the clear hold passes without another.
    bool instant = false;
};

struct AlarmEvent {
    bool raised = true; // else cleared
    AlarmCondition condition;
};

// What a stream should carry, learnt from its first seconds where --expect does not say: the
// channels that carried tone and the pattern, once a pattern was confirmed.
struct StreamBaseline {
    bool known = false;
    std::set<int> toneChannels;
    Ident ident = Ident::none;
};

// The conditions a second shows. previous: the input's counters a second ago (loss, late
// packets, dropouts and clips count only when they grow).
class CConditionWatch {
public:
    CConditionWatch(std::optional<Expectation> expect, AlarmLimits limits);
    // av: the sound against the picture over the last stretch, where pictures arrive.
    std::vector<AlarmCondition> Second(const AnalysisReport& report, const InputStats& stats,
                                       const AvReport* av = nullptr);
    // No audio for `seconds`: the one condition of a gone input.
    AlarmCondition Gone(double seconds) const;
    const StreamBaseline& Baseline() const { return m_baseline; }

private:
    std::optional<Expectation> m_expect;
    AlarmLimits m_limits;
    StreamBaseline m_baseline;
    InputStats m_previous;
    std::map<int, uint64_t> m_dropouts; // by channel, a second ago
    std::map<int, uint64_t> m_clipped;
    std::map<int, int64_t> m_lastWithoutTone; // by channel: the second it last had none
    int64_t m_second = 0;
    bool m_first = true;
    std::string m_ptpGrandmaster; // the last one followed; "" never
};

// The alarms of one input: raised after the raise hold, cleared after the clear hold.
class CAlarmBoard {
public:
    explicit CAlarmBoard(AlarmLimits limits) : m_limits(limits) {}
    // The conditions seen at nowS (seconds on any steady clock); the raises and clears they make.
    std::vector<AlarmEvent> Update(double nowS, const std::vector<AlarmCondition>& seen);
    // Every alarm raised now, by (channel, alarm).
    std::vector<AlarmCondition> Active() const;
    uint64_t RaisedTotal() const { return m_raisedTotal; }

private:
    struct State {
        AlarmCondition last;
        double since = 0;                  // continuously seen from
        std::optional<double> absentSince; // raised, and not seen from
        bool raised = false;
    };
    AlarmLimits m_limits;
    std::map<std::pair<int, std::string>, State> m_states;
    uint64_t m_raisedTotal = 0;
};
