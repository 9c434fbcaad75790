#include "probe_metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

// A label value: backslash, quote and line feed escaped, as the format asks.
std::string Label(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Value(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

} // namespace

const std::vector<std::string>& CProbeMetrics::ChannelAlarms() {
    static const std::vector<std::string> kinds{
        "tone missing", "level",     "over level", "clipping", "dropout",
        "polarity",     "mis-route", "noise",      "hum",      "crosstalk"};
    return kinds;
}

const std::vector<std::string>& CProbeMetrics::StreamAlarms() {
    static const std::vector<std::string> kinds{"no tone",      "pattern changed",   "packet loss",
                                                "late packets", "A/V offset",        "PTP lost",
                                                "latency",      "input gone",        "leg down",
                                                "leg loss",     "differential delay"};
    return kinds;
}

void CProbeMetrics::Publish(const std::string& input, ProbeSecond second) {
    std::lock_guard guard(m_lock);
    if (m_inputs.count(input) == 0) {
        m_order.push_back(input);
    }
    ProbeSecond& slot = m_inputs[input].last;
    // A gone input keeps its last second's figures: its alarms say it is gone.
    if (second.report.channels.empty() && !slot.report.channels.empty()) {
        second.report = std::move(slot.report);
        second.stats = std::move(slot.stats);
        second.avMarkers = std::move(slot.avMarkers);
        second.avOffsetMs = slot.avOffsetMs;
    }
    slot = std::move(second);
}

void CProbeMetrics::Remove(const std::string& input) {
    std::lock_guard guard(m_lock);
    m_inputs.erase(input);
    m_senders.erase(input);
    std::erase(m_order, input);
}

void CProbeMetrics::SetSender(const std::string& input, const std::string& senderId) {
    std::lock_guard guard(m_lock);
    m_senders[input] = senderId;
}

std::string CProbeMetrics::Text() const {
    std::lock_guard guard(m_lock);
    std::string out;
    const auto family = [&](const Family& f, const std::function<void()>& samples) {
        out += std::string("# HELP ") + f.name + " " + f.help + "\n";
        out += std::string("# TYPE ") + f.name + " " + f.type + "\n";
        samples();
    };
    const auto sample = [&](const char* name, const std::string& labels, double value) {
        out += std::string(name) + "{" + labels + "} " + Value(value) + "\n";
    };
    const auto inputLabels = [this](const std::string& input) {
        std::string labels = "input=\"" + Label(input) + "\"";
        const auto sender = m_senders.find(input);
        if (sender != m_senders.end() && !sender->second.empty()) {
            labels += ",sender_id=\"" + Label(sender->second) + "\"";
        }
        return labels;
    };
    const auto channelLabels = [&](const std::string& input, const ChannelReport& c) {
        std::string labels = inputLabels(input) + ",channel=\"" + std::to_string(c.channel) + "\"";
        if (!c.role.empty()) {
            labels += ",role=\"" + Label(c.role) + "\"";
        }
        return labels;
    };
    const auto perChannel = [&](const Family& f,
                                const std::function<double(const ChannelReport&)>& of) {
        family(f, [&] {
            for (const std::string& input : m_order) {
                for (const ChannelReport& c : m_inputs.at(input).last.report.channels) {
                    const double value = of(c);
                    if (!std::isnan(value)) {
                        sample(f.name, channelLabels(input, c), value);
                    }
                }
            }
        });
    };
    const double none = std::nan("");
    perChannel(
        {"lirafon_channel_peak_dbfs", "gauge", "The loudest sample of the last second, dBFS."},
        [](const ChannelReport& c) { return c.peakDbfs; });
    perChannel(
        {"lirafon_channel_rms_dbfs", "gauge", "The whole signal's RMS over the last second, dBFS."},
        [](const ChannelReport& c) { return c.rmsDbfs; });
    perChannel({"lirafon_channel_tone_hz", "gauge", "The tone's frequency; 0 without tone."},
               [](const ChannelReport& c) { return c.tone ? c.frequencyHz : 0.0; });
    perChannel({"lirafon_channel_tone_dbfs", "gauge", "The tone's own peak level, dBFS."},
               [none](const ChannelReport& c) { return c.tone ? c.levelDbfs : none; });
    perChannel({"lirafon_channel_thdn_db", "gauge", "THD+N of the tone, dB re the tone."},
               [none](const ChannelReport& c) { return c.thdnDb.value_or(none); });
    perChannel({"lirafon_channel_noise_dbfs", "gauge",
                "The noise floor under the tone, unweighted RMS, dBFS."},
               [none](const ChannelReport& c) { return c.noiseDbfs.value_or(none); });
    perChannel(
        {"lirafon_channel_true_peak_dbtp", "gauge", "True peak since the probe started, dBTP."},
        [](const ChannelReport& c) { return c.truePeakDbtp; });
    family({"lirafon_channel_loudness_lufs", "gauge",
            "The channel's loudness, LUFS (window: momentary 400 ms, short-term 3 s, integrated "
            "since the probe started)."},
           [&] {
               for (const std::string& input : m_order) {
                   for (const ChannelReport& c : m_inputs.at(input).last.report.channels) {
                       const std::string labels = channelLabels(input, c);
                       sample("lirafon_channel_loudness_lufs", labels + ",window=\"momentary\"",
                              c.momentaryLufs);
                       sample("lirafon_channel_loudness_lufs", labels + ",window=\"short-term\"",
                              c.shortTermLufs);
                       sample("lirafon_channel_loudness_lufs", labels + ",window=\"integrated\"",
                              c.loudnessLufs);
                   }
               }
           });
    family({"lirafon_alarm_active", "gauge", "1 while the alarm is raised, else 0."}, [&] {
        for (const std::string& input : m_order) {
            const ProbeSecond& in = m_inputs.at(input).last;
            const auto active = [&](int channel, const std::string& alarm) {
                return std::any_of(in.active.begin(), in.active.end(),
                                   [&](const AlarmCondition& a) {
                                       return a.channel == channel && a.alarm == alarm;
                                   });
            };
            for (const std::string& alarm : StreamAlarms()) {
                sample("lirafon_alarm_active",
                       inputLabels(input) + ",channel=\"\",alarm=\"" + alarm + "\"",
                       active(0, alarm) ? 1 : 0);
            }
            for (const ChannelReport& c : in.report.channels) {
                for (const std::string& alarm : ChannelAlarms()) {
                    sample("lirafon_alarm_active",
                           channelLabels(input, c) + ",alarm=\"" + alarm + "\"",
                           active(c.channel, alarm) ? 1 : 0);
                }
            }
        }
    });
    const auto perInput = [&](const Family& f,
                              const std::function<double(const ProbeSecond&)>& of) {
        family(f, [&] {
            for (const std::string& input : m_order) {
                const double value = of(m_inputs.at(input).last);
                if (!std::isnan(value)) {
                    sample(f.name, inputLabels(input), value);
                }
            }
        });
    };
    perInput({"lirafon_alarms_raised_total", "counter", "Alarms raised since the probe started."},
             [](const ProbeSecond& in) { return static_cast<double>(in.raisedTotal); });
    perInput({"lirafon_rtp_packets_received_total", "counter", "RTP packets received."},
             [none](const ProbeSecond& in) {
                 return in.stats.network ? static_cast<double>(in.stats.packets) : none;
             });
    perInput({"lirafon_rtp_packets_lost_total", "counter", "RTP packets never received."},
             [none](const ProbeSecond& in) {
                 return in.stats.network ? static_cast<double>(in.stats.lost) : none;
             });
    perInput({"lirafon_rtp_packets_late_total", "counter",
              "RTP packets that arrived after their place was played out."},
             [none](const ProbeSecond& in) {
                 return in.stats.network ? static_cast<double>(in.stats.late) : none;
             });
    // ST 2022-7: each leg before the merge, and what the merge made of them.
    const auto perLeg = [&](const Family& f, const std::function<double(const LegStats&)>& of) {
        family(f, [&] {
            for (const std::string& input : m_order) {
                const std::vector<LegStats>& legs = m_inputs.at(input).last.stats.legs;
                for (size_t n = 0; n < legs.size(); ++n) {
                    sample(f.name, inputLabels(input) + ",leg=\"" + std::to_string(n + 1) + "\"",
                           of(legs[n]));
                }
            }
        });
    };
    perLeg({"lirafon_rtp_leg_packets_received_total", "counter",
            "RTP packets received on each leg of an ST 2022-7 stream."},
           [](const LegStats& leg) { return static_cast<double>(leg.packets); });
    perLeg({"lirafon_rtp_leg_packets_lost_total", "counter",
            "RTP packets a leg never delivered (the other leg may have)."},
           [](const LegStats& leg) { return static_cast<double>(leg.lost); });
    perInput({"lirafon_rtp_packets_rescued_total", "counter",
              "RTP packets one leg lost and the other delivered."},
             [none](const ProbeSecond& in) {
                 return in.stats.legs.empty() ? none : static_cast<double>(in.stats.rescued);
             });
    perInput({"lirafon_rtp_differential_delay_ms", "gauge",
              "The legs' arrival difference over the last second, the most, ms."},
             [none](const ProbeSecond& in) {
                 return in.stats.differentialKnown ? in.stats.differentialRecentMs : none;
             });
    perInput({"lirafon_latency_ms", "gauge",
              "Timestamp to arrival, the most of the run, where PTP gives both."},
             [none](const ProbeSecond& in) {
                 return in.stats.latencyKnown ? in.stats.latencyMaxMs : none;
             });
    perInput({"lirafon_av_offset_ms", "gauge",
              "Sound against picture at the newest A/V marker, ms (sound ahead positive)."},
             [none](const ProbeSecond& in) { return in.avOffsetMs.value_or(none); });
    perInput({"lirafon_ptp_locked", "gauge",
              "1 while ptp4l follows a grandmaster, for a stream that names a PTP reference."},
             [none](const ProbeSecond& in) {
                 return in.stats.ptpFollowed ? (in.stats.ptpLocked ? 1.0 : 0.0) : none;
             });
    return out;
}

void CProbeMetrics::PublishLive(const std::string& input, const std::vector<double>& peaksDbfs) {
    std::lock_guard guard(m_lock);
    if (m_inputs.count(input) == 0) {
        m_order.push_back(input);
    }
    m_inputs[input].livePeaks = peaksDbfs;
}

void CProbeMetrics::AddEvent(const std::string& eventJson) {
    std::lock_guard guard(m_lock);
    m_events.push_back(eventJson);
    if (m_events.size() > 50) {
        m_events.erase(m_events.begin());
    }
}

std::string CProbeMetrics::LiveJson() const {
    std::lock_guard guard(m_lock);
    std::string out;
    const auto text = [&out](const std::string& value) {
        out.append("\"").append(Label(value)).append("\"");
    };
    const auto number = [&out](double value) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.2f", std::isfinite(value) ? value : -200.0);
        out.append(digits);
    };
    out.append("{\"inputs\":[");
    for (size_t i = 0; i < m_order.size(); ++i) {
        const std::vector<double>& livePeaks = m_inputs.at(m_order[i]).livePeaks;
        const ProbeSecond& in = m_inputs.at(m_order[i]).last;
        out.append(i > 0 ? ",{\"input\":" : "{\"input\":");
        text(m_order[i]);
        const auto sender = m_senders.find(m_order[i]);
        out.append(",\"senderId\":");
        if (sender != m_senders.end() && !sender->second.empty()) {
            text(sender->second);
        } else {
            out.append("null");
        }
        out.append(",\"pattern\":");
        text(in.report.pattern);
        const auto optional = [&](const char* key, const std::optional<double>& value) {
            out.append(key);
            if (value) {
                number(*value);
            } else {
                out.append("null");
            }
        };
        optional(",\"lineUpDbfs\":", in.lineUpDbfs);
        optional(",\"avOffsetMs\":", in.avOffsetMs);
        // An ST 2022-7 stream's legs: what each brought and whether it is quiet now.
        out.append(",\"legs\":[");
        for (size_t n = 0; n < in.stats.legs.size(); ++n) {
            const LegStats& leg = in.stats.legs[n];
            out.append(n > 0 ? ",{\"packets\":" : "{\"packets\":")
                .append(std::to_string(leg.packets))
                .append(",\"lost\":")
                .append(std::to_string(leg.lost))
                .append(",\"silentS\":");
            number(leg.silentS);
            out.append("}");
        }
        out.append("]");
        if (!in.stats.legs.empty()) {
            out.append(",\"rescued\":").append(std::to_string(in.stats.rescued));
        }
        out.append(",\"av\":[");
        for (size_t m = 0; m < in.avMarkers.size(); ++m) {
            out.append(m > 0 ? ",[" : "[");
            number(in.avMarkers[m].seconds);
            out.append(",");
            number(in.avMarkers[m].offsetMs);
            out.append("]");
        }
        out.append("]");
        out.append(",\"channels\":[");
        for (size_t c = 0; c < in.report.channels.size(); ++c) {
            const ChannelReport& r = in.report.channels[c];
            out.append(c > 0 ? ",{\"channel\":" : "{\"channel\":");
            out.append(std::to_string(r.channel));
            out.append(",\"peakDbfs\":");
            number(c < livePeaks.size() ? livePeaks[c] : r.peakDbfs);
            out.append(r.tone ? ",\"tone\":true,\"toneHz\":" : ",\"tone\":false,\"toneHz\":");
            number(r.tone ? r.frequencyHz : 0);
            out.append(",\"role\":");
            text(r.role);
            out.append(",\"correlation\":");
            if (r.correlation) {
                number(*r.correlation);
            } else {
                out.append("null");
            }
            out.append("}");
        }
        out.append("],\"alarms\":[");
        for (size_t a = 0; a < in.active.size(); ++a) {
            out.append(a > 0 ? ",{\"channel\":" : "{\"channel\":");
            out.append(std::to_string(in.active[a].channel));
            out.append(",\"alarm\":");
            text(in.active[a].alarm);
            out.append(",\"message\":");
            text(in.active[a].message);
            out.append("}");
        }
        out.append("]}");
    }
    out.append("],\"events\":[");
    for (size_t e = 0; e < m_events.size(); ++e) {
        out.append(e > 0 ? "," : "").append(m_events[e]);
    }
    out.append("]}");
    return out;
}
