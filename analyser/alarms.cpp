#include "alarms.h"

#include "values.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Channel(int channel) {
    return "channel " + std::to_string(channel);
}

} // namespace

std::optional<AlarmLimits> ParseAlarmLimits(const std::string& text, std::string* error) {
    AlarmLimits limits;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const size_t equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        const double value =
            wire::ParseNumber(equals == std::string_view::npos ? std::string_view()
                                                               : item.substr(equals + 1))
                .value_or(std::nan(""));
        double* target = key == "raise"     ? &limits.raiseS
                         : key == "clear"   ? &limits.clearS
                         : key == "level"   ? &limits.levelDb
                         : key == "over"    ? &limits.overDbfs
                         : key == "latency" ? &limits.latencyMs
                         : key == "gone"    ? &limits.goneS
                                            : nullptr;
        const bool negativeAllowed = key == "over";
        if (target == nullptr || std::isnan(value) || (!negativeAllowed && value < 0) ||
            (negativeAllowed && value > 0) || (key == "gone" && value <= 0)) {
            *error = "--alarms: '" + std::string(item) +
                     "' is not accepted; expected raise=S, clear=S, level=DB, over=-DBFS, "
                     "latency=MS, gone=S";
            return std::nullopt;
        }
        *target = value;
    }
    return limits;
}

CConditionWatch::CConditionWatch(std::optional<Expectation> expect, AlarmLimits limits)
    : m_expect(std::move(expect)), m_limits(limits) {}

AlarmCondition CConditionWatch::Gone(double seconds) const {
    return {0,
            "input gone",
            seconds,
            m_limits.goneS,
            "no audio has arrived for " + Format("%.1f", seconds) + " s",
            false};
}

std::vector<AlarmCondition> CConditionWatch::Second(const AnalysisReport& report,
                                                    const InputStats& stats, const AvReport* av) {
    std::vector<AlarmCondition> seen;
    const auto& channels = report.channels;
    const bool anyTone = std::any_of(channels.begin(), channels.end(),
                                     [](const ChannelReport& c) { return c.tone; });
    // What the stream should carry: --expect's pairs, or what it carried when first heard.
    if (!m_baseline.known && anyTone) {
        m_baseline.known = true;
        for (const ChannelReport& c : channels) {
            if (c.tone) {
                m_baseline.toneChannels.insert(c.channel);
            }
        }
    }
    if (m_baseline.ident == Ident::none && report.ident != Ident::none && !report.tooShort) {
        m_baseline.ident = report.ident;
    }
    std::set<int> should = m_baseline.toneChannels;
    if (m_expect) {
        should.clear();
        for (const ChannelReport& c : channels) {
            const size_t pair = static_cast<size_t>(c.channel - 1) / 2;
            if (m_expect->pairs.empty() ||
                (pair < m_expect->pairs.size() && m_expect->pairs[pair])) {
                should.insert(c.channel);
            }
        }
    }
    if (!anyTone) {
        double loudest = -200;
        for (const ChannelReport& c : channels) {
            loudest = std::max(loudest, c.peakDbfs);
        }
        seen.push_back(
            {0, "no tone", loudest, std::nullopt,
             "no tone on any channel (loudest peak " + Format("%.1f", loudest) + " dBFS)"});
    }
    const std::optional<Ident> ident = m_expect && m_expect->ident ? m_expect->ident
                                       : m_baseline.ident != Ident::none
                                           ? std::optional<Ident>(m_baseline.ident)
                                           : std::nullopt;
    if (ident && report.ident != Ident::none && !report.tooShort && report.ident != *ident) {
        seen.push_back({0, "pattern changed", 0, std::nullopt,
                        "the pattern is now " + std::string(IdentKey(report.ident)) + ", not " +
                            IdentKey(*ident)});
    }
    const PathLimits path = m_expect ? m_expect->limits : PathLimits{};
    for (const ChannelReport& c : channels) {
        const std::string name = Channel(c.channel);
        if (anyTone && !c.tone && should.count(c.channel) != 0) {
            seen.push_back({c.channel, "tone missing", c.peakDbfs, std::nullopt,
                            name + ": no tone where there should be (peak " +
                                Format("%.1f", c.peakDbfs) + " dBFS)"});
        }
        if (c.peakDbfs > m_limits.overDbfs) {
            seen.push_back({c.channel, "over level", c.peakDbfs, m_limits.overDbfs,
                            name + ": peak " + Format("%.1f", c.peakDbfs) +
                                " dBFS, over the limit of " + Format("%.1f", m_limits.overDbfs) +
                                " dBFS"});
        }
        if (!m_first && c.clipped > m_clipped[c.channel]) {
            const double count = static_cast<double>(c.clipped - m_clipped[c.channel]);
            seen.push_back({c.channel, "clipping", count, 0,
                            name + ": " + Format("%.0f", count) + " samples at full scale", true});
        }
        if (!c.tone) {
            m_lastWithoutTone[c.channel] = m_second;
        }
        // A tone that comes back after seconds away is counted as a dropout when it returns: that
        // is the missing tone already alarmed, not another fault.
        const auto without = m_lastWithoutTone.find(c.channel);
        const bool returning =
            without != m_lastWithoutTone.end() && m_second - without->second <= 5;
        if (!m_first && c.dropouts > m_dropouts[c.channel] && !returning) {
            const double count = static_cast<double>(c.dropouts - m_dropouts[c.channel]);
            seen.push_back({c.channel, "dropout", count, 0,
                            name + ": " + Format("%.0f", count) + " dropout" +
                                (count > 1 ? "s" : "") + " (" + c.lastDropoutKind + ")",
                            true});
        }
        m_clipped[c.channel] = c.clipped;
        m_dropouts[c.channel] = c.dropouts;
        if (!c.tone) {
            continue;
        }
        if (m_expect && (m_expect->dbu || m_expect->dbfs)) {
            const bool inDbu = m_expect->dbu.has_value();
            const double level = inDbu ? c.dbu : c.levelDbfs;
            const double wanted = inDbu ? *m_expect->dbu : *m_expect->dbfs;
            const char* unit = inDbu ? " dBu" : " dBFS";
            if (std::fabs(level - wanted) > m_limits.levelDb) {
                seen.push_back({c.channel, "level", level, m_limits.levelDb,
                                name + ": tone at " + Format("%+.1f", level) + unit + ", " +
                                    Format("%.1f", std::fabs(level - wanted)) +
                                    " dB off the line-up level of " + Format("%+.1f", wanted) +
                                    unit + "; the limit is " + Format("%.1f", m_limits.levelDb) +
                                    " dB"});
            }
        }
        if (c.inverted) {
            seen.push_back({c.channel, "polarity", 1, std::nullopt,
                            name + ": polarity inverted against " + Channel(c.invertedAgainst)});
        }
        if (c.plane >= 0 && c.plane != c.channel - 1 && report.surround.ident == Ident::none) {
            seen.push_back(
                {c.channel, "mis-route", static_cast<double>(c.plane + 1), std::nullopt,
                 name + " carries the generator's channel " + std::to_string(c.plane + 1)});
        }
        if (c.snrDb && *c.snrDb < path.snrDb) {
            seen.push_back({c.channel, "noise", *c.snrDb, path.snrDb,
                            name + ": SNR " + Format("%.1f", *c.snrDb) + " dB (noise " +
                                Format("%.1f", c.noiseDbfs.value_or(-200)) +
                                " dBFS RMS); the least is " + Format("%.0f", path.snrDb) + " dB"});
        }
        if (c.hum) {
            double loudest = c.hum->fundamentalDbfs;
            for (const auto& [hz, dbfs] : c.hum->harmonics) {
                loudest = std::max(loudest, dbfs);
            }
            const double under = c.levelDbfs - loudest;
            if (under < path.humDb) {
                seen.push_back({c.channel, "hum", under, path.humDb,
                                name + ": hum " + std::to_string(c.hum->mainsHz) + " Hz " +
                                    Format("%.1f", under) + " dB under the tone; the limit is " +
                                    Format("%.0f", path.humDb) + " dB"});
            }
        }
        const Crosstalk* worst = nullptr;
        for (const Crosstalk& x : c.crosstalk) {
            if (x.relativeDb > path.crosstalkDb &&
                (worst == nullptr || x.relativeDb > worst->relativeDb)) {
                worst = &x;
            }
        }
        if (worst != nullptr) {
            seen.push_back({c.channel, "crosstalk", worst->relativeDb, path.crosstalkDb,
                            name + ": crosstalk from " + Channel(worst->fromChannel) + " at " +
                                Format("%.1f", worst->relativeDb) + " dB; the limit is " +
                                Format("%.0f", path.crosstalkDb) + " dB"});
        }
    }
    if (stats.network && !m_first) {
        if (stats.lost > m_previous.lost) {
            const double count = static_cast<double>(stats.lost - m_previous.lost);
            seen.push_back({0, "packet loss", count, 0,
                            Format("%.0f", count) + " packets lost in the last second", true});
        }
        if (stats.late > m_previous.late) {
            const double count = static_cast<double>(stats.late - m_previous.late);
            seen.push_back(
                {0, "late packets", count, 0,
                 Format("%.0f", count) + " packets arrived after their place was played out",
                 true});
        }
    }
    // ST 2022-7: a leg down or losing packets is no loss yet (the other leg's copies fill in),
    // but the next fault on the other leg would be.
    if (stats.legs.size() > 1) {
        std::string down;
        std::string losing;
        double silent = 0;
        double lost = 0;
        bool delivering = false;
        for (size_t n = 0; n < stats.legs.size(); ++n) {
            const LegStats& leg = stats.legs[n];
            const std::string name = "leg " + std::to_string(n + 1);
            delivering = delivering || leg.silentS == 0;
            if (leg.silentS >= m_limits.goneS) {
                down += (down.empty() ? "" : ", ") + name;
                silent = std::max(silent, leg.silentS);
            }
            const uint64_t before =
                !m_first && n < m_previous.legs.size() ? m_previous.legs[n].lost : leg.lost;
            if (leg.lost > before) {
                losing +=
                    (losing.empty() ? "" : ", ") + name + " " + std::to_string(leg.lost - before);
                lost += static_cast<double>(leg.lost - before);
            }
        }
        if (!down.empty() && delivering) {
            seen.push_back({0, "leg down", silent, m_limits.goneS,
                            down + ": nothing for " + Format("%.1f", silent) +
                                " s; the stream has one leg left"});
        }
        if (!losing.empty()) {
            seen.push_back({0, "leg loss", lost, 0,
                            "packets lost in the last second on " + losing +
                                " (the other leg's copies filled in)",
                            true});
        }
        if (stats.differentialKnown && stats.differentialRecentMs > stats.mergeBufferMs) {
            seen.push_back({0, "differential delay", stats.differentialRecentMs,
                            stats.mergeBufferMs,
                            "the legs arrive up to " + Format("%.1f", stats.differentialRecentMs) +
                                " ms apart; the merge buffer holds " +
                                Format("%.0f", stats.mergeBufferMs) + " ms"});
        }
    }
    // The newest marker decides: an offset that slid out raises, one back inside clears.
    if (av != nullptr && !av->markers.empty()) {
        const AvTolerance tolerance = m_expect ? m_expect->av : AvTolerance{};
        const double offset = av->markers.back().offsetMs;
        if (offset > tolerance.aheadMs || -offset > tolerance.behindMs) {
            const bool ahead = offset > 0;
            seen.push_back({0, "A/V offset", offset,
                            ahead ? tolerance.aheadMs : -tolerance.behindMs,
                            "sound " + Format("%.1f", std::fabs(offset)) + " ms " +
                                (ahead ? "ahead of" : "behind") + " the picture; the limit is " +
                                Format("%.0f", ahead ? tolerance.aheadMs : tolerance.behindMs) +
                                " ms " + (ahead ? "ahead" : "behind")});
        }
    }
    // PTP lost: the stream names a PTP reference, ptp4l here followed a grandmaster, and does
    // no more. A probe that never had PTP says so once at start, not as an alarm all night.
    if (stats.ptpFollowed && stats.ptpLocked) {
        m_ptpGrandmaster = stats.ptpGrandmaster;
    } else if (stats.ptpFollowed && !m_ptpGrandmaster.empty()) {
        seen.push_back({0, "PTP lost", 0, std::nullopt,
                        "PTP lost: ptp4l no longer follows a grandmaster (last " +
                            m_ptpGrandmaster + "); latency is not measured"});
    }
    if (stats.latencyKnown && stats.latencyMaxMs > m_limits.latencyMs) {
        seen.push_back({0, "latency", stats.latencyMaxMs, m_limits.latencyMs,
                        "latency up to " + Format("%.2f", stats.latencyMaxMs) +
                            " ms from timestamp to arrival; the limit is " +
                            Format("%.1f", m_limits.latencyMs) + " ms"});
    }
    m_previous = stats;
    m_first = false;
    ++m_second;
    return seen;
}

std::vector<AlarmEvent> CAlarmBoard::Update(double nowS, const std::vector<AlarmCondition>& seen) {
    std::vector<AlarmEvent> events;
    std::set<std::pair<int, std::string>> present;
    for (const AlarmCondition& condition : seen) {
        const auto key = std::make_pair(condition.channel, condition.alarm);
        present.insert(key);
        auto [found, added] = m_states.try_emplace(key);
        State& state = found->second;
        if (added) {
            state.since = nowS;
        }
        state.last = condition;
        state.absentSince.reset();
        // A hundredth of a second of slack: updates a second apart must raise a 2 s hold on the
        // third, however the clock rounds.
        if (!state.raised && (condition.instant || nowS - state.since >= m_limits.raiseS - 0.01)) {
            state.raised = true;
            ++m_raisedTotal;
            events.push_back({true, condition});
        }
    }
    for (auto it = m_states.begin(); it != m_states.end();) {
        State& state = it->second;
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (!state.raised) {
            it = m_states.erase(it); // it must hold without a break to raise
            continue;
        }
        if (!state.absentSince) {
            state.absentSince = nowS;
        }
        if (nowS - *state.absentSince >= m_limits.clearS - 0.01) {
            events.push_back({false, state.last});
            it = m_states.erase(it);
        } else {
            ++it;
        }
    }
    return events;
}

std::vector<AlarmCondition> CAlarmBoard::Active() const {
    std::vector<AlarmCondition> active;
    for (const auto& [key, state] : m_states) {
        if (state.raised) {
            active.push_back(state.last);
        }
    }
    return active;
}
