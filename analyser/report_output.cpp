#include "report_output.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {
std::string ImpairmentJson(const ChannelReport& r);
void PrintImpairments(const AnalysisReport& report);
double Shown(double value);
} // namespace

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

namespace {

std::string Fixed(double value, const char* format) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// An ST 2022-7 stream's legs, in the session's order, and what the merge made of them.
std::string LegsJson(const InputStats& input) {
    if (input.legs.empty()) {
        return {};
    }
    std::string out = ",\"rescued\":" + std::to_string(input.rescued) +
                      ",\"mergeBufferMs\":" + Fixed(input.mergeBufferMs, "%.0f") + ",\"legs\":[";
    for (size_t n = 0; n < input.legs.size(); ++n) {
        const LegStats& leg = input.legs[n];
        out += std::string(n > 0 ? "," : "") + "{\"packets\":" + std::to_string(leg.packets) +
               ",\"lost\":" + std::to_string(leg.lost) + ",\"late\":" + std::to_string(leg.late) +
               ",\"silentS\":" + Fixed(leg.silentS, "%.3f");
        if (leg.latencyKnown) {
            out += ",\"latencyMedianMs\":" + Fixed(leg.latencyMedianMs, "%.3f") +
                   ",\"latencyMaxMs\":" + Fixed(leg.latencyMaxMs, "%.3f");
        }
        out += "}";
    }
    out += "]";
    if (input.differentialKnown) {
        out += ",\"differentialDelayMs\":{\"min\":" + Fixed(input.differentialMinMs, "%.3f") +
               ",\"median\":" + Fixed(input.differentialMedianMs, "%.3f") +
               ",\"max\":" + Fixed(input.differentialMaxMs, "%.3f") + "}";
    }
    return out;
}

std::string NdiJson(const InputStats& input) {
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  ",\"frameSamples\":%d,\"audioFrames\":%llu,\"jitterP99Ms\":%.2f,"
                  "\"jitterMaxMs\":%.2f,\"pictures\":%llu,\"picturesPerSecond\":%.2f",
                  input.ndiFrameSamples, static_cast<unsigned long long>(input.ndiAudioFrames),
                  input.ndiJitterP99Ms, input.ndiJitterMaxMs,
                  static_cast<unsigned long long>(input.ndiPictures), input.ndiPicturesPerSecond);
    return ",\"ndi\":{\"source\":" + JsonText(input.ndiSource) +
           ",\"address\":" + JsonText(input.ndiAddress) + numbers +
           ",\"picture\":" + JsonText(input.ndiPicture) +
           ",\"metadata\":" + JsonText(input.ndiMetadata) + "}";
}

std::string AvJson(const AvReport& av, const Expectation* expect) {
    std::string out = ",\"av\":{\"markers\":" + std::to_string(av.markers.size());
    if (expect != nullptr) {
        out += ",\"tolerance\":" + JsonText(AvToleranceName(expect->av));
    }
    if (av.offsetMs) {
        out += ",\"offsetMs\":" + Fixed(*av.offsetMs, "%.1f") +
               ",\"minOffsetMs\":" + Fixed(av.minOffsetMs, "%.1f") +
               ",\"maxOffsetMs\":" + Fixed(av.maxOffsetMs, "%.1f");
    }
    if (av.driftMsPerHour) {
        out += ",\"driftMsPerHour\":" + Fixed(*av.driftMsPerHour, "%.1f");
    }
    if (av.latencyMs) {
        out += ",\"latencyMs\":" + Fixed(*av.latencyMs, "%.1f");
    }
    out += ",\"flashes\":" + std::to_string(av.flashes) +
           ",\"audioMarkers\":" + std::to_string(av.audioMarkers) +
           ",\"missingFlashes\":" + std::to_string(av.missingFlashes) +
           ",\"pictures\":" + std::to_string(av.pictures) +
           ",\"picturesPerSecond\":" + Fixed(av.picturesPerSecond, "%.3f") +
           ",\"lostPictures\":" + std::to_string(av.lost) +
           ",\"repeatedPictures\":" + std::to_string(av.repeated) +
           ",\"pictureFormat\":" + JsonText(av.pictureFormat) +
           ",\"problem\":" + JsonText(av.problem) + ",\"perMarker\":[";
    for (size_t i = 0; i < av.markers.size(); ++i) {
        out.append(i ? "," : "")
            .append("{\"atSeconds\":")
            .append(Fixed(av.markers[i].seconds, "%.4f"))
            .append(",\"offsetMs\":")
            .append(Fixed(av.markers[i].offsetMs, "%.1f"))
            .append("}");
    }
    return out + "]}";
}

} // namespace

std::string ReportJson(const AnalysisReport& report, const InputStats& input,
                       const std::vector<std::string>* faults,
                       const std::vector<std::string>* notes, const AvReport* av,
                       const Expectation* expect) {
    std::string out = "{\"seconds\":" + std::to_string(report.seconds) + ",\"pattern\":\"" +
                      report.pattern + "\",\"ident\":\"" + IdentKey(report.ident) +
                      "\",\"multiFrequency\":" + (report.multiFrequency ? "true" : "false");
    if (!report.surround.layout.empty()) {
        out += ",\"layout\":\"" + report.surround.layout + "\"";
    }
    if (report.surround.downmix2kDb) {
        out += ",\"downmix2kDb\":" + std::to_string(*report.surround.downmix2kDb);
    }
    if (report.tooShort) {
        out += ",\"neededSeconds\":" + std::to_string(report.neededSeconds);
    }
    if (report.clockKnown) {
        out += ",\"clockPpm\":" + std::to_string(report.clockPpm);
    }
    if (input.network) {
        out += ",\"packets\":" + std::to_string(input.packets) +
               ",\"lost\":" + std::to_string(input.lost);
        if (input.driftKnown) {
            out += ",\"driftPpm\":" + std::to_string(input.driftPpm) +
                   ",\"driftUncertaintyPpm\":" + std::to_string(input.driftUncertaintyPpm);
        }
        if (input.latencyKnown) {
            out += ",\"latencyMedianMs\":" + std::to_string(input.latencyMedianMs) +
                   ",\"latencyMaxMs\":" + std::to_string(input.latencyMaxMs);
        }
        out += LegsJson(input);
    }
    if (input.ndi) {
        out += NdiJson(input);
    }
    if (av != nullptr) {
        out += AvJson(*av, expect);
    }
    out += ",\"channels\":[";
    for (const ChannelReport& r : report.channels) {
        char row[512];
        std::snprintf(row, sizeof row,
                      "%s{\"channel\":%d,\"tone\":%s,\"frequencyHz\":%.2f,\"peakDbfs\":%.2f,"
                      "\"rmsDbfs\":%.2f,\"dbu\":%.2f,\"side\":\"%s\",\"generatorChannel\":%d,"
                      "\"role\":\"%s\",\"inverted\":%s,\"dropouts\":%llu}",
                      r.channel == 1 ? "" : ",", r.channel, r.tone ? "true" : "false",
                      r.frequencyHz, r.peakDbfs, r.rmsDbfs, r.dbu,
                      r.side == 0   ? "left"
                      : r.side == 1 ? "right"
                                    : "",
                      r.plane + 1, r.role.c_str(), r.inverted ? "true" : "false",
                      static_cast<unsigned long long>(r.dropouts));
        out += row;
        out.pop_back(); // the figures below join the channel's object
        const auto optional = [](const std::optional<double>& v, const char* format) {
            if (!v) {
                return std::string("null");
            }
            char text[32];
            std::snprintf(text, sizeof text, format, *v);
            return std::string(text);
        };
        char more[256];
        std::snprintf(more, sizeof more,
                      ",\"truePeakDbtp\":%.2f,\"loudnessLufs\":%.2f,\"clipped\":%llu,"
                      "\"dcDbfs\":%.1f,",
                      r.truePeakDbtp, r.loudnessLufs, static_cast<unsigned long long>(r.clipped),
                      r.dcDbfs);
        out.append(more)
            .append("\"thdnDb\":")
            .append(optional(r.thdnDb, "%.1f"))
            .append(",\"correlation\":")
            .append(optional(r.correlation, "%.3f"))
            .append(",\"legDelaySamples\":")
            .append(optional(r.legDelaySamples, "%.3f"))
            .append(ImpairmentJson(r))
            .append("}");
    }
    out += "]";
    if (notes != nullptr) {
        out += ",\"notes\":[";
        for (size_t i = 0; i < notes->size(); ++i) {
            out.append(i ? "," : "").append(JsonText((*notes)[i]));
        }
        out += "]";
    }
    if (faults != nullptr) {
        out += ",\"faults\":[";
        for (size_t i = 0; i < faults->size(); ++i) {
            out.append(i ? "," : "").append(JsonText((*faults)[i]));
        }
        out += "]";
    }
    return out + "}";
}

namespace {

// Rounded to the hundredth shown, without a "-0.00".
double Shown(double value) {
    return std::round(std::max(value, -99.99) * 100.0) / 100.0 + 0.0;
}

} // namespace

void PrintAvTable(const AvReport& av) {
    std::printf("  A/V: %llu pictures, %.3f a second (%s), %llu lost, %llu repeated\n",
                static_cast<unsigned long long>(av.pictures), av.picturesPerSecond,
                av.pictureFormat.c_str(), static_cast<unsigned long long>(av.lost),
                static_cast<unsigned long long>(av.repeated));
    if (av.offsetMs) {
        std::printf("  A/V offset %+.1f ms (sound %s), min %+.1f, max %+.1f over %zu markers",
                    *av.offsetMs, *av.offsetMs >= 0 ? "ahead" : "behind", av.minOffsetMs,
                    av.maxOffsetMs, av.markers.size());
        if (av.driftMsPerHour) {
            std::printf(", drift %+.1f ms per hour", *av.driftMsPerHour);
        }
        if (av.latencyMs) {
            std::printf(", latency %.1f ms", *av.latencyMs);
        }
        std::printf("\n");
        for (const AvMarker& m : av.markers) {
            std::printf("    marker at %9.3f s: %+7.1f ms\n", m.seconds, m.offsetMs);
        }
    }
    if (!av.problem.empty()) {
        std::printf("  A/V: %s\n", av.problem.c_str());
    }
}

void PrintTable(const AnalysisReport& report, const InputStats& input, bool colour, bool refresh) {
    const char* green = colour ? "\033[32m" : "";
    const char* red = colour ? "\033[31m" : "";
    const char* grey = colour ? "\033[90m" : "";
    const char* plain = colour ? "\033[0m" : "";
    if (refresh) {
        std::printf("\033[H\033[2J");
    }
    std::printf("%.0f s  pattern: %s", report.seconds, report.pattern.c_str());
    if (report.clockKnown) {
        std::printf("  clock %+.1f ppm", report.clockPpm);
    }
    if (input.network) {
        std::printf("  packets %llu, lost %llu", static_cast<unsigned long long>(input.packets),
                    static_cast<unsigned long long>(input.lost));
        if (!input.legs.empty()) {
            std::printf(" after the merge (%llu rescued by the other leg)",
                        static_cast<unsigned long long>(input.rescued));
        }
        if (input.driftKnown) {
            std::printf(", sender %+.1f ± %.1f ppm", input.driftPpm, input.driftUncertaintyPpm);
        } else if (report.seconds >= 2) {
            std::printf(", sender clock: too soon to tell");
        }
        if (input.latencyKnown) {
            std::printf(", PTP latency %.3f ms (max %.3f)", input.latencyMedianMs,
                        input.latencyMaxMs);
        }
    }
    for (size_t n = 0; n < input.legs.size(); ++n) {
        const LegStats& leg = input.legs[n];
        std::printf("\n  leg %zu: packets %llu, lost %llu, late %llu", n + 1,
                    static_cast<unsigned long long>(leg.packets),
                    static_cast<unsigned long long>(leg.lost),
                    static_cast<unsigned long long>(leg.late));
        if (leg.latencyKnown) {
            std::printf(", PTP latency %.3f ms (max %.3f)", leg.latencyMedianMs, leg.latencyMaxMs);
        }
        if (leg.silentS > 0) {
            std::printf(", nothing for %.1f s", leg.silentS);
        }
    }
    if (!input.legs.empty()) {
        if (input.differentialKnown) {
            std::printf("\n  leg 2 against leg 1: %+.2f ms median (%+.2f to %+.2f); merge buffer "
                        "%.0f ms",
                        input.differentialMedianMs, input.differentialMinMs,
                        input.differentialMaxMs, input.mergeBufferMs);
        } else {
            std::printf("\n  leg 2 against leg 1: no packet on both yet; merge buffer %.0f ms",
                        input.mergeBufferMs);
        }
    }
    if (input.ndi) {
        std::printf("\n  NDI \"%s\" at %s: %d-sample frames, arrival jitter p99 %.1f ms "
                    "(max %.1f)",
                    input.ndiSource.c_str(), input.ndiAddress.c_str(), input.ndiFrameSamples,
                    input.ndiJitterP99Ms, input.ndiJitterMaxMs);
        if (!input.ndiPicture.empty()) {
            std::printf("; pictures %s, %.1f a second", input.ndiPicture.c_str(),
                        input.ndiPicturesPerSecond);
        }
        if (!input.ndiMetadata.empty()) {
            std::printf("\n  metadata: %s", input.ndiMetadata.c_str());
        }
    }
    // RMS as a mean square re full scale: a full-scale sine reads -3.01 dBFS.
    std::printf("\n  ch  signal   frequency  peak dBFS  RMS dBFS     dBu  carries    polarity  "
                "dropouts\n");
    for (const ChannelReport& r : report.channels) {
        std::string place = "?";
        if (!r.role.empty()) {
            place = r.role;
        } else if (r.plane >= 0) {
            place = "gen " + std::to_string(r.plane + 1);
        } else if (r.side >= 0) {
            place = r.side == 0 ? "left" : "right";
        }
        const bool wrong = r.inverted || r.dropouts > 0 ||
                           (r.plane >= 0 && r.plane != r.channel - 1) ||
                           (r.side >= 0 && r.side != (r.channel - 1) % 2);
        const char* shade = !r.tone ? grey : wrong ? red : green;
        std::printf(
            "%s%4d  %-7s %8.1f Hz %9.2f %9.2f %7.2f  %-9s  %-8s  %8llu%s\n", shade, r.channel,
            r.tone             ? "tone"
            : r.peakDbfs > -80 ? "signal"
                               : "silent",
            r.frequencyHz, Shown(r.peakDbfs), Shown(r.rmsDbfs), Shown(r.dbu), place.c_str(),
            r.inverted ? "inverted" : "", static_cast<unsigned long long>(r.dropouts), plain);
    }
    // What the path does besides: true peak and loudness (EBU R128, over the run), clips, DC,
    // THD+N of the last steady second, and each pair's legs against each other.
    std::printf("  ch  true peak     loudness  clipped   DC dBFS   THD+N dB  pair\n");
    for (const ChannelReport& r : report.channels) {
        if (!r.tone) {
            continue;
        }
        char thdn[16] = "-";
        if (r.thdnDb) {
            std::snprintf(thdn, sizeof thdn, "%.1f", *r.thdnDb);
        }
        std::string pair;
        if (r.correlation && r.legDelaySamples) {
            char text[96];
            std::snprintf(text, sizeof text, "%d-%d: correlation %+.2f, right leg %+.3f samples",
                          r.channel, r.channel + 1, *r.correlation, *r.legDelaySamples);
            pair = text;
        }
        std::printf("%4d  %6.2f dBTP  %6.1f LUFS  %7llu  %8.1f  %9s  %s\n", r.channel,
                    Shown(r.truePeakDbtp), r.loudnessLufs < -199 ? -99.9 : r.loudnessLufs,
                    static_cast<unsigned long long>(r.clipped), Shown(r.dcDbfs), thdn,
                    pair.c_str());
    }
    PrintImpairments(report);
    std::fflush(stdout);
}

namespace {

std::string OptionalJson(const std::optional<double>& v, const char* format) {
    if (!v) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof text, format, *v);
    return text;
}

// The tone's own level and what is under it, joined to the channel's object.
std::string ImpairmentJson(const ChannelReport& r) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  ",\"toneLevelDbfs\":%.2f,\"toneRmsDbfs\":%.2f,\"lastDropoutKind\":", r.levelDbfs,
                  r.toneRmsDbfs);
    std::string out = numbers;
    out += r.dropouts > 0 ? JsonText(r.lastDropoutKind) : "null";
    out += ",\"noiseDbfs\":" + OptionalJson(r.noiseDbfs, "%.1f") +
           ",\"noiseWeightedDbfs\":" + OptionalJson(r.noiseWeightedDbfs, "%.1f") +
           ",\"snrDb\":" + OptionalJson(r.snrDb, "%.1f") + ",\"hum\":";
    if (r.hum) {
        out += "{\"hz\":" + std::to_string(r.hum->mainsHz) +
               ",\"dbfs\":" + OptionalJson(r.hum->fundamentalDbfs, "%.1f") +
               ",\"underToneDb\":" + OptionalJson(r.levelDbfs - r.hum->fundamentalDbfs, "%.1f") +
               ",\"harmonics\":[";
        for (size_t i = 0; i < r.hum->harmonics.size(); ++i) {
            out += (i ? ",{\"hz\":" : "{\"hz\":") + std::to_string(r.hum->harmonics[i].first) +
                   ",\"dbfs\":" + OptionalJson(r.hum->harmonics[i].second, "%.1f") + "}";
        }
        out += "]}";
    } else {
        out += "null";
    }
    out += ",\"crosstalk\":[";
    for (size_t i = 0; i < r.crosstalk.size(); ++i) {
        const Crosstalk& c = r.crosstalk[i];
        char item[160];
        std::snprintf(item, sizeof item,
                      "%s{\"fromChannel\":%d,\"hz\":%.1f,\"dbfs\":%.1f,\"relativeDb\":%.1f}",
                      i ? "," : "", c.fromChannel, c.hz, c.dbfs, c.relativeDb);
        out += item;
    }
    return out + "]";
}

// What is under each steady tone: its own level, the noise floor (unweighted and BS.468
// weighted) and SNR, hum and crosstalk.
void PrintImpairments(const AnalysisReport& report) {
    bool header = false;
    for (const ChannelReport& r : report.channels) {
        if (!r.tone || !r.noiseDbfs) {
            continue;
        }
        if (!header) {
            std::printf("  ch  tone peak  tone RMS  noise RMS  BS.468  SNR dB  hum, crosstalk\n");
            header = true;
        }
        std::string under;
        if (r.hum) {
            char text[96];
            std::snprintf(text, sizeof text, "hum %d Hz at %.1f dBFS (%.1f dB under)",
                          r.hum->mainsHz, r.hum->fundamentalDbfs,
                          r.levelDbfs - r.hum->fundamentalDbfs);
            under = text;
        }
        for (const Crosstalk& c : r.crosstalk) {
            char text[96];
            std::snprintf(text, sizeof text, "%sfrom ch %d at %.1f dB", under.empty() ? "" : "; ",
                          c.fromChannel, c.relativeDb);
            under += text;
        }
        std::printf("%4d  %9.2f %9.2f %10.1f %7.1f %7.1f  %s\n", r.channel, Shown(r.levelDbfs),
                    Shown(r.toneRmsDbfs), *r.noiseDbfs, r.noiseWeightedDbfs.value_or(-200),
                    r.snrDb.value_or(0), under.c_str());
    }
}

} // namespace
