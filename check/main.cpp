// lirafon-check: reads a line-up path's far end (an SDP-described RTP stream, a WAV file, raw PCM
// or standard input) and says, channel by channel, what arrived: tone or silence, frequency,
// level, which generator channel it is, polarity and dropouts. With --expect it judges the path:
// exit status 0 when everything matches over --duration, 1 when something does not (each fault on
// one line), 2 for bad usage or input that cannot be read.
#include "analysis.h"
#include "av_sync.h"
#include "expectation.h"
#include "media_input.h"
#include "ndi_input.h"
#include "pcm_input.h"
#include "rtp_input.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> g_stop{false};

const char* kUsage =
    R"(Usage: lirafon-check [options] INPUT

Checks what arrives at the far end of a line-up path: per channel, tone or silence, frequency,
peak and RMS level (dBFS, and dBu on the chosen reference), which generator channel it carries
(left or right of which pair, its multi-frequency or sequence position), polarity and dropouts;
and the line-up pattern (EBU stereo ident, EBU R49, GLITS, the sequence, the multi-frequency
set, a steady tone).

INPUT
  FILE.sdp               receive the RTP L24 or L16 stream the SDP file describes (and
                         its RFC 4175 video, with RTCP, for the A/V offset)
  FILE.wav               a WAV recording (PCM 16, 24, 32 bits or 32-bit float)
  FILE.mkv, .mp4, .mov, .mxf, .ts, ...
                         a recording in any container FFmpeg reads: its audio stream,
                         and with a video stream the A/V offset (below)
  FILE or -              raw little-endian PCM from a file or standard input, e.g.
                         ffmpeg ... -f s24le - | lirafon-check --channels 16 -
                         (a WAV file on standard input is recognised by its header)
  --ndi NAME             an NDI source, through the vendor's NDI runtime: its whole name,
                         e.g. STUDIO-4 (QEL Audio Tone 1), or the part in parentheses; found
                         by mDNS, or at the addresses of --ndi-extra-ips. Levels are on
                         NDI's own scale (1.0 = +4 dBu); also reported: the audio frame
                         size, the frames' arrival jitter, the source's metadata, the
                         picture's format and rate

Options
  --format F             raw input: s16le, s24le (default), s32le or f32le
  --channels N           raw input: channel count (default 2)
  --rate HZ              raw input: sample rate (default 48000)
  --ndi-extra-ips LIST   comma-separated addresses of computers mDNS cannot reach
  --interface NAME       network interface to join a multicast group on
                         (a stream with a PTP reference: the latency from timestamp to arrival
                         is measured when ptp4l answers on LIRAFON_PTP, default /var/run/ptp4l)
  --reference R          smpte (default: +4 dBu = -20 dBFS) or ebu (0 dBu = -18 dBFS)
  --expect LIST          what the path should carry, comma-separated:
                           channels=N, level=ebu|smpte|DBU, ident=ebu|ebu-r49|glits|sequence|steady,
                           frequency=HZ|multi|sequence, pairs=all|none|1-2+9-10 (default all),
                           av=+AHEAD/-BEHIND: how far (ms) the sound may lead and lag the
                           picture (default +45/-125, ITU-R BT.1359's detectability)
  --duration S           seconds of audio to judge (default: the whole file; 10 for a stream
                         with --expect; until Ctrl-C otherwise); less audio than that is a fault
  --json                 JSON lines only: one a second, and the verdict (with its faults) last
  --help, --version

A/V offset: where pictures arrive with the sound (a recording with a video stream, an NDI
source), the generator's A/V sync mode (--av-sync) is measured: each black flash against the
audio marker it goes with (where channel 1's ident gap starts; the sequence's first tone).
Reported: each marker's offset (sound ahead of the picture positive), their median, minimum
and maximum, the drift (ms per hour, fitted over the run), the latency where the sender's
time is known (NDI), the pictures' format and rate, lost and repeated pictures.

Exit status: 0 everything matched, 1 a fault (each on one line), 2 bad usage or unreadable input.
)";

int Usage(const std::string& message) {
    std::fprintf(stderr, "lirafon-check: %s\n", message.c_str());
    return 2;
}

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

std::string Fixed(double value, const char* format) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
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

std::string Json(const AnalysisReport& report, const InputStats& input,
                 const std::vector<std::string>* faults,
                 const std::vector<std::string>* notes = nullptr, const AvReport* av = nullptr,
                 const Expectation* expect = nullptr) {
    std::string out = "{\"seconds\":" + std::to_string(report.seconds) + ",\"pattern\":\"" +
                      report.pattern + "\",\"ident\":\"" + report.identKey +
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

// Rounded to the hundredth shown, without a "-0.00".
double Shown(double value) {
    return std::round(std::max(value, -99.99) * 100.0) / 100.0 + 0.0;
}

void AvTable(const AvReport& av) {
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

void Table(const AnalysisReport& report, const InputStats& input, bool colour, bool refresh) {
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
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::string inputPath;
    std::string formatText = "s24le";
    int channels = 2;
    int rate = 48000;
    std::string interfaceName;
    double dbuOffset = 24.0;
    std::optional<Expectation> expect;
    double duration = 0;
    bool json = false;
    std::string ndiName;
    std::string ndiExtraIps;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            (void)name;
            return std::string(argv[++i]);
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("lirafon-check %s\n", LIRAFON_VERSION);
            return 0;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--format" || arg == "--channels" || arg == "--rate" ||
                   arg == "--interface" || arg == "--reference" || arg == "--expect" ||
                   arg == "--duration" || arg == "--ndi" || arg == "--ndi-extra-ips") {
            const std::optional<std::string> v = value(arg.c_str());
            if (!v) {
                return Usage(arg + " needs a value");
            }
            if (arg == "--ndi") {
                ndiName = *v;
            } else if (arg == "--ndi-extra-ips") {
                ndiExtraIps = *v;
            } else if (arg == "--format") {
                formatText = *v;
            } else if (arg == "--channels") {
                channels = std::atoi(v->c_str());
                if (channels < 1 || channels > kMaxInputChannels) {
                    return Usage("--channels: '" + *v + "' is not accepted; expected 1 to " +
                                 std::to_string(kMaxInputChannels));
                }
            } else if (arg == "--rate") {
                rate = std::atoi(v->c_str());
                if (rate < 8000 || rate > 384000) {
                    return Usage("--rate: '" + *v + "' is not accepted; expected 8000 to 384000");
                }
            } else if (arg == "--interface") {
                interfaceName = *v;
            } else if (arg == "--reference") {
                if (*v != "smpte" && *v != "ebu") {
                    return Usage("--reference: '" + *v +
                                 "' is not accepted; expected smpte or ebu");
                }
                dbuOffset = *v == "smpte" ? 24.0 : 18.0;
            } else if (arg == "--expect") {
                std::string error;
                expect = ParseExpectation(*v, &error);
                if (!expect) {
                    return Usage(error);
                }
            } else {
                duration = std::atof(v->c_str());
                if (duration <= 0) {
                    return Usage("--duration: '" + *v + "' is not accepted; expected seconds");
                }
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return Usage("unknown option " + arg + " (see --help)");
        } else if (inputPath.empty()) {
            inputPath = arg;
        } else {
            return Usage("one input only (see --help)");
        }
    }
    if (inputPath.empty() && ndiName.empty()) {
        return Usage("no input given (see --help)");
    }
    if (!inputPath.empty() && !ndiName.empty()) {
        return Usage("one input only: --ndi or a file (see --help)");
    }
    std::string error;
    std::unique_ptr<CPcmInput> input;
    const auto endsWith = [&](const char* suffix) {
        const std::string s(suffix);
        return inputPath.size() >= s.size() &&
               inputPath.compare(inputPath.size() - s.size(), s.size(), s) == 0;
    };
    if (!ndiName.empty()) {
        bool noRuntime = false;
        input = OpenNdi(ndiName, ndiExtraIps, 20000, &error, &noRuntime);
        inputPath = "\"" + ndiName + "\"";
        dbuOffset = kNdiDbuOffset; // NDI's scale, whatever --reference says
        if (duration == 0 && expect) {
            duration = 10;
        }
    } else if (endsWith(".sdp")) {
        SdpStream stream;
        if (ParseSdpFile(inputPath, &stream, &error)) {
            // PTP as the generator asks for it: LIRAFON_PTP names ptp4l's socket, or off.
            const char* ptp = std::getenv("LIRAFON_PTP");
            const std::string socket =
                ptp == nullptr || std::strcmp(ptp, "auto") == 0 || ptp[0] == '\0'
                    ? std::string("/var/run/ptp4l")
                : std::strcmp(ptp, "off") == 0 ? std::string()
                                               : std::string(ptp);
            input = OpenRtp(stream, interfaceName, socket, &error);
        }
        if (duration == 0 && expect) {
            duration = 10;
        }
    } else if (endsWith(".wav")) {
        input = OpenWav(inputPath, &error);
    } else if (IsMediaFile(inputPath)) {
        input = OpenMedia(inputPath, &error);
    } else {
        const std::optional<RawFormat> format = ParseRawFormat(formatText);
        if (!format) {
            return Usage("--format: '" + formatText +
                         "' is not accepted; expected s16le, s24le, s32le or f32le");
        }
        input = OpenRaw(inputPath, *format, channels, rate, &error);
    }
    if (!input) {
        return Usage(error);
    }
    signal(SIGINT, [](int) { g_stop = true; });
    signal(SIGTERM, [](int) { g_stop = true; });

    if (expect) {
        expect->reference = !ndiName.empty()    ? "NDI's scale, +4 dBu = 1.0"
                            : dbuOffset == 24.0 ? "the SMPTE reference, +4 dBu = -20 dBFS"
                                                : "the EBU reference, 0 dBu = -18 dBFS";
    }
    CAnalyser analyser(input->Channels(), input->Rate(), dbuOffset);
    CAvSync avSync(input->Rate());
    std::vector<PictureObservation> pictures;
    std::vector<std::pair<int64_t, double>> audioTimes;
    const auto takePictures = [&] {
        pictures.clear();
        input->TakePictures(pictures);
        for (const PictureObservation& p : pictures) {
            avSync.AddPicture(p);
        }
        audioTimes.clear();
        input->TakeAudioTimes(audioTimes);
        for (const auto& [sample, seconds] : audioTimes) {
            avSync.AddAudioTime(sample, seconds);
        }
    };
    RunHistory history;
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const bool colour = terminal && std::getenv("NO_COLOR") == nullptr;
    const int64_t limit = duration > 0 ? static_cast<int64_t>(duration * input->Rate()) : -1;
    int64_t analysed = 0;
    int64_t nextReport = input->Rate();
    auto lastAudio = std::chrono::steady_clock::now();
    std::vector<double> block;
    while (!g_stop && (limit < 0 || analysed < limit)) {
        block.clear();
        const int64_t want =
            std::min<int64_t>(input->Rate() / 10, limit < 0 ? INT64_MAX : limit - analysed);
        const bool more = input->Read(block, static_cast<int>(want));
        const size_t frames = block.size() / static_cast<size_t>(input->Channels());
        takePictures();
        if (frames > 0) {
            analyser.Add(block.data(), frames);
            avSync.AddAudio(block.data(), frames, input->Channels());
            analysed += static_cast<int64_t>(frames);
            lastAudio = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastAudio > std::chrono::seconds(5)) {
            if (analysed == 0) {
                return Usage("nothing arrived from " + inputPath + " in 5 s");
            }
            break;
        }
        if (!more) {
            break;
        }
        if (analysed >= nextReport) {
            nextReport += input->Rate();
            const AnalysisReport report = analyser.Analyse();
            history.Add(report);
            if (json) {
                std::printf("%s\n", Json(report, input->Stats(), nullptr).c_str());
                std::fflush(stdout);
            } else if (terminal) {
                Table(report, input->Stats(), colour, true);
            }
        }
    }
    if (analysed == 0) {
        return Usage("no audio in " + inputPath);
    }
    const AnalysisReport report = analyser.Analyse();
    const InputStats stats = input->Stats();
    if (analysed % input->Rate() != 0 || history.seconds == 0) {
        history.Add(report); // the part-second at the end counts too
    }
    takePictures();
    std::optional<AvReport> av;
    if (avSync.HasPictures()) {
        avSync.SetAudioStart(input->AudioStartSeconds());
        av = avSync.Analyse(report.identKey == "sequence",
                            stats.ndi ? stats.ndiPicture : input->PictureFormat());
    }
    std::vector<std::string> faults =
        expect ? Faults(report, stats, *expect, &history) : std::vector<std::string>{};
    if (expect) {
        const std::vector<std::string> avFaults = AvFaults(av ? &*av : nullptr, *expect);
        faults.insert(faults.end(), avFaults.begin(), avFaults.end());
    }
    const std::vector<std::string> notes = history.Notes(
        report.surround.ident.empty()
            ? 0
            : std::min(SurroundOrder(report.surround.layout).size(), report.channels.size()));
    // The verdict claims the whole duration asked for: less audio than that is never a pass.
    if (limit > 0 && analysed < limit) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "input: %.2f s of audio arrived, %.2f s asked (--duration)",
                      static_cast<double>(analysed) / input->Rate(), duration);
        faults.insert(faults.begin(), text);
    }
    const bool judged = expect || limit > 0;
    if (json) {
        std::printf("%s\n", Json(report, stats, judged ? &faults : nullptr, &notes,
                                 av ? &*av : nullptr, expect ? &*expect : nullptr)
                                .c_str());
        return faults.empty() ? 0 : 1;
    }
    Table(report, stats, colour, false);
    if (av) {
        AvTable(*av);
    }
    for (const std::string& note : notes) {
        std::printf("NOTE %s\n", note.c_str());
    }
    for (const std::string& fault : faults) {
        std::printf("FAULT %s\n", fault.c_str());
    }
    if (expect && faults.empty()) {
        if (av && av->offsetMs) {
            std::printf("OK: sound and picture within %s\n", AvToleranceName(expect->av).c_str());
        }
        std::printf("OK: everything matched over %.1f s\n", report.seconds);
    }
    return faults.empty() ? 0 : 1;
}
