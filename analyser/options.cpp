#include "options.h"

#include "address.h"
#include "nmos_settings.h"
#include "pcm_input.h"
#include "runtime_config.h"
#include "values.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

const char* const kUsage =
    R"(Usage: lirafon-check [options] INPUT
       lirafon-check --monitor [--listen ADDR:PORT] [--alarms LIST] [--expect LIST]
                     INPUT|--ndi NAME [[--expect LIST] INPUT|--ndi NAME]...
       lirafon-check --monitor --listen ADDR:PORT --nmos [--receivers N] [--expect LIST]

Checks what arrives at the far end of a line-up path: per channel, tone or silence, frequency,
peak and RMS level (dBFS, and dBu on the chosen reference), which generator channel it carries
(left or right of which pair, its multi-frequency or sequence position), polarity and dropouts;
and the line-up pattern (EBU stereo ident, EBU R49, GLITS, the sequence, the multi-frequency
set, a steady tone).

INPUT (a file is read as what it holds, whatever its name)
  an SDP file            receive the RTP L24 or L16 stream it describes (and its RFC 4175
                         video, with RTCP, for the A/V offset)
  a WAV file             PCM 16, 24, 32 bits or 32-bit float
  any other recording    anything FFmpeg reads (FLAC, MP3, AAC, Opus, AC-3, AIFF, W64,
                         CAF, Matroska, MP4, MOV, MXF, MPEG-TS, ...): its audio stream,
                         and with a video stream the A/V offset (below)
  -                      raw little-endian PCM from standard input, e.g.
                         ffmpeg ... -f s24le - | lirafon-check --channels 16 -
                         (a WAV file on standard input is recognised by its header)
  FILE with --format, --channels or --rate
                         a file of raw little-endian PCM
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
  --interface NAME       network interface to join a multicast group on; for a stream of
                         two legs (ST 2022-7, a=group:DUP) IF_A,IF_B names each leg's
  --merge-buffer MS      two legs: how far (ms) one may lag the other and still fill its
                         gaps, 1 to 1000 (default 50: ST 2022-7's class B, moderate skew)
                         (a stream with a PTP reference: the latency from timestamp to arrival
                         is measured when ptp4l answers on LIRAFON_PTP, default /var/run/ptp4l)
  --reference R          smpte (default: +4 dBu = -20 dBFS) or ebu (0 dBu = -18 dBFS)
  --expect LIST          what the path should carry, comma-separated:
                           channels=N, level=ebu|smpte|DBU, ident=ebu|ebu-r49|glits|sequence|steady,
                           frequency=HZ|multi|sequence, pairs=all|none|1-2+9-10 (default all),
                           av=+AHEAD/-BEHIND: how far (ms) the sound may lead and lag the
                           picture (default +45/-125, ITU-R BT.1359's detectability),
                           noise=DB: the least SNR, the tone's RMS over the noise floor's
                           (default 50), hum=DB: how far under the tone hum and each of its
                           harmonics must stay (default 60), crosstalk=-DB: how far under
                           another channel's tone its leak must stay (default -60)
  --duration S           seconds of audio to judge (default: the whole file; 10 for a stream
                         with --expect; until Ctrl-C otherwise); less audio than that is a fault
  --json                 JSON lines only: one a second, and the verdict (with its faults) last
  --monitor              a probe left on the path: every INPUT and every --ndi NAME (each
                         may be given many times) judged until SIGINT or SIGTERM (then exit
                         0). Each input is judged against the nearest --expect before it
                         on the line (inputs before the first --expect: the first), e.g.
                         --expect pairs=1-2 a.sdp b.sdp --expect pairs=all c.sdp
                         One JSON line on standard output per alarm raised and per alarm
                         cleared: "event" (raised, cleared), "time" (UTC), "ptpTime" (PTP
                         time, TAI seconds:nanoseconds, where the stream follows PTP),
                         "input", "channel" (absent for the whole stream), "alarm", "value",
                         "limit", "message". The alarms: no tone; tone missing (on a channel
                         --expect's pairs name, else one that carried tone when the probe
                         first heard the stream); level (off --expect's level by more than
                         level=); over level (a peak above over=); clipping; dropout;
                         polarity; mis-route (a channel carrying another generator
                         channel's tone); pattern changed; noise, hum, crosstalk (--expect's
                         limits); packet loss; late packets; A/V offset (outside --expect's
                         av=, where pictures with A/V markers arrive); PTP lost (the stream
                         names a PTP reference and ptp4l, once followed, no longer is);
                         latency (over latency=, where PTP gives it); input gone (no audio
                         for gone=)
  --listen ADDR:PORT     with --monitor: Prometheus metrics at http://ADDR:PORT/metrics
                         (per channel: peak, RMS, tone Hz and level, THD+N, noise, true
                         peak, loudness momentary and short-term; every alarm 0 or 1;
                         alarms raised; RTP packets received, lost, late; A/V offset;
                         latency; PTP locked), and a live page of meters, alarms and events
                         at http://ADDR:PORT/. Any address but loopback needs
                         LIRAFON_CHECK_TOKEN, sent as "Authorization: Bearer TOKEN"
  --nmos                 with --monitor and --listen: the probe as an NMOS node there (IS-04
                         v1.3 at /x-nmos/node/v1.3/, IS-05 v1.1 at /x-nmos/connection/v1.1/),
                         with --receivers audio receivers (L24 or L16, up to 16 channels) a
                         controller routes: an activation with a sender's transport file
                         judges that stream from its next packet, against --expect;
                         master_enable false stops it and clears its alarms. No INPUT is
                         needed. Registered as the generator is (LIRAFON_NMOS_REGISTRY, else
                         DNS-SD where --listen is not loopback); LIRAFON_NMOS=off: no node;
                         LIRAFON_NMOS_ALLOWED_ORIGINS: browser origins that may change it
  --receivers N          with --nmos: how many receivers (default 1, at most 16)
  --alarms LIST          hold times and limits, comma-separated: raise=S (a condition held
                         this long raises its alarm, default 2), clear=S (gone this long
                         clears it, default 3; dropouts, clips and lost or late packets
                         raise at once and clear after it), level=DB (default 1),
                         over=-DBFS (default -1), latency=MS (default 10), gone=S (default 2)
  --help, --version

A/V offset: where pictures arrive with the sound (a recording with a video stream, an NDI
source), the generator's A/V sync mode (--av-sync) is measured: each black flash against the
audio marker it goes with (where channel 1's ident gap starts; the sequence's first tone).
Reported: each marker's offset (sound ahead of the picture positive), their median, minimum
and maximum, the drift (ms per hour, fitted over the run), the latency where the sender's
time is known (NDI), the pictures' format and rate, lost and repeated pictures.

What is measured, per channel. The tone is found by its own narrow-band envelope: the
channel demodulated at the tone's frequency (found by an FFT, refined from the phase), a
least-squares sine every half millisecond. A gap or dropout is that envelope falling 20 dB or
more under the tone's level, never the waveform falling quiet, so noise, hum and crosstalk under
the tone move none of them. Dropouts also: one value held for 1 ms or more, or a break in the
waveform (a lost or repeated packet). Over the last steady second of each tone: its own peak and
RMS level; THD+N (everything not the tone); the noise floor with the tone, its harmonics, hum
and other channels' tones set aside, RMS over the whole band unweighted and ITU-R BS.468
weighted, and the SNR (tone RMS over noise RMS); hum at 50 or 60 Hz with its 2nd to 5th
harmonics; crosstalk: each other channel's tone heard here, and how far under that channel's
own level. Measurements as AES17 defines them; the limits above are this analyser's defaults
for a line-up check of a professional path (a 16-bit path has more than 75 dB SNR at line-up).

Exit status: 0 everything matched, 1 a fault (each on one line), 2 bad usage or unreadable input.
)";

namespace {

constexpr int kMaxReceivers = 16;

// A whole number and nothing else.
std::optional<int> Integer(const std::string& text) {
    const std::optional<int64_t> value = wire::ParseInteger(text, INT32_MIN, INT32_MAX);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

std::optional<double> Seconds(const std::string& text) {
    const std::optional<double> value = wire::ParseNumber(text);
    return value && *value > 0 ? value : std::nullopt;
}

// One option's value into the options; "" on success, else the reason.
std::string Take(const std::string& name, const std::string& v, Options& o) {
    const auto refused = [&](const std::string& expected) {
        return name + ": '" + v + "' is not accepted; expected " + expected;
    };
    if (name == "--ndi") {
        o.ndiName = v;
    } else if (name == "--ndi-extra-ips") {
        o.ndiExtraIps = v;
    } else if (name == "--format") {
        if (!ParseRawFormat(v)) {
            return refused("s16le, s24le, s32le or f32le");
        }
        o.format = v;
        o.raw = true;
    } else if (name == "--channels") {
        const std::optional<int> n = Integer(v);
        if (!n || *n < 1 || *n > kMaxInputChannels) {
            return refused("1 to " + std::to_string(kMaxInputChannels));
        }
        o.channels = *n;
        o.raw = true;
    } else if (name == "--rate") {
        const std::optional<int> n = Integer(v);
        if (!n || *n < 8000 || *n > 384000) {
            return refused("8000 to 384000");
        }
        o.rate = *n;
        o.raw = true;
    } else if (name == "--interface") {
        o.interfaceName = v;
    } else if (name == "--merge-buffer") {
        const std::optional<int> n = Integer(v);
        if (!n || *n < 1 || *n > 1000) {
            return refused("1 to 1000 (ms)");
        }
        o.mergeBufferMs = *n;
    } else if (name == "--reference") {
        if (v != "smpte" && v != "ebu") {
            return refused("smpte or ebu");
        }
        o.dbuOffset = v == "smpte" ? 24.0 : 18.0;
    } else if (name == "--expect") {
        std::string error;
        o.expect = ParseExpectation(v, &error);
        if (!o.expect) {
            return error;
        }
    } else if (name == "--duration") {
        const std::optional<double> s = Seconds(v);
        if (!s) {
            return refused("seconds");
        }
        o.duration = *s;
    }
    return "";
}

} // namespace

int Usage(const std::string& message) {
    std::fprintf(stderr, "lirafon-check: %s\n", message.c_str());
    return 2;
}

std::optional<Options> ParseOptions(int argc, char** argv, int* exitCode,
                                    wire::EnvironmentReader getenv) {
    Options o;
    *exitCode = 2;
    std::string error;
    const std::optional<PtpSetting> ptp = ParsePtpSetting(getenv("LIRAFON_PTP"), &error);
    if (!ptp) {
        Usage(error);
        return std::nullopt;
    }
    o.ptpSocket = ptp->off ? std::string() : ptp->socket;
    o.colourAllowed = getenv("NO_COLOR") == nullptr;
    // Each --expect, with the number of inputs named before it.
    std::vector<std::pair<size_t, Expectation>> expects;
    int ndiCount = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            *exitCode = 0;
            return std::nullopt;
        }
        if (arg == "--version") {
            std::printf("lirafon-check %s\n", LIRAFON_VERSION);
            *exitCode = 0;
            return std::nullopt;
        }
        if (arg == "--json") {
            o.json = true;
        } else if (arg == "--nmos") {
            o.nmos = true;
        } else if (arg == "--receivers") {
            const std::optional<int> n = i + 1 < argc ? Integer(argv[++i]) : std::nullopt;
            if (!n || *n < 1 || *n > kMaxReceivers) {
                Usage("--receivers: expected 1 to " + std::to_string(kMaxReceivers));
                return std::nullopt;
            }
            o.receivers = *n;
        } else if (arg == "--monitor") {
            o.monitor = true;
        } else if (arg == "--listen") {
            // ADDRESS:PORT, [V6]:PORT; port 0 takes any free one (tests).
            const std::string text = i + 1 < argc ? argv[++i] : "";
            const size_t colon = text.rfind(':');
            std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
            if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
                host = host.substr(1, host.size() - 2);
            }
            const std::optional<int> port = colon == std::string::npos
                                                ? std::nullopt
                                                : wire::ParsePort(text.substr(colon + 1), true);
            if (host.empty() || !port) {
                Usage("--listen: '" + text +
                      "' is not accepted; expected ADDRESS:PORT, e.g. "
                      "127.0.0.1:9180");
                return std::nullopt;
            }
            o.listenAddress = host;
            o.listenPort = *port;
        } else if (arg == "--alarms") {
            if (i + 1 >= argc) {
                Usage(arg + " needs a value");
                return std::nullopt;
            }
            const std::optional<AlarmLimits> alarms = ParseAlarmLimits(argv[++i], &error);
            if (!alarms) {
                Usage(error);
                return std::nullopt;
            }
            o.alarms = *alarms;
        } else if (arg == "--format" || arg == "--channels" || arg == "--rate" ||
                   arg == "--interface" || arg == "--merge-buffer" || arg == "--reference" ||
                   arg == "--expect" || arg == "--duration" || arg == "--ndi" ||
                   arg == "--ndi-extra-ips") {
            if (i + 1 >= argc) {
                Usage(arg + " needs a value");
                return std::nullopt;
            }
            error = Take(arg, argv[++i], o);
            if (!error.empty()) {
                Usage(error);
                return std::nullopt;
            }
            if (arg == "--expect") {
                expects.emplace_back(o.watched.size(), *o.expect);
            } else if (arg == "--ndi") {
                o.watched.push_back({"", o.ndiName, std::nullopt});
                ++ndiCount;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            Usage("unknown option " + arg + " (see --help)");
            return std::nullopt;
        } else {
            if (o.input.empty()) {
                o.input = arg;
            }
            o.watched.push_back({arg, "", std::nullopt});
        }
    }
    if (!o.monitor && o.watched.size() > 1) {
        Usage(ndiCount > 0 && ndiCount < static_cast<int>(o.watched.size())
                  ? "one input only: --ndi or a file (see --help)"
                  : "one input only (see --help; --monitor watches several)");
        return std::nullopt;
    }
    if (o.monitor && !expects.empty()) {
        // The nearest --expect before each input, the first for those before any; one after the
        // last input, when others came before it, would judge nothing.
        if (expects.size() > 1 && expects.back().first == o.watched.size()) {
            Usage("--expect after the last input applies to no input: an --expect applies to "
                  "the inputs after it (see --help)");
            return std::nullopt;
        }
        for (size_t n = 0; n < o.watched.size(); ++n) {
            const Expectation* chosen = &expects.front().second;
            for (const auto& [position, expectation] : expects) {
                if (position <= n) {
                    chosen = &expectation;
                }
            }
            o.watched[n].expect = *chosen;
        }
    }
    if (const char* token = getenv("LIRAFON_CHECK_TOKEN"); token != nullptr) {
        o.token = token;
    }
    if (o.listenPort && !o.monitor) {
        Usage("--listen serves a probe's metrics: use it with --monitor");
        return std::nullopt;
    }
    if (o.listenPort && !wire::IsLoopbackAddress(o.listenAddress) && o.token.size() < 16) {
        Usage("--listen " + o.listenAddress +
              ": refusing to serve on an address other computers "
              "reach without LIRAFON_CHECK_TOKEN (16 characters or more)");
        return std::nullopt;
    }
    if (o.nmos && (!o.monitor || !o.listenPort)) {
        Usage("--nmos makes the probe a node on its --listen address: use it with --monitor "
              "and --listen");
        return std::nullopt;
    }
    if (o.nmos && !nmos::ReadSettings(getenv, &o.nmosSettings, &error)) {
        Usage(error);
        return std::nullopt;
    }
    if (o.nmos && !o.nmosSettings.enabled) {
        std::fprintf(stderr, "lirafon-check: LIRAFON_NMOS=off: no NMOS node\n");
        o.nmos = false;
    }
    // A node waits to be routed: it needs no input of its own.
    if (o.input.empty() && o.ndiName.empty() && !o.nmos) {
        Usage("no input given (see --help)");
        return std::nullopt;
    }
    return o;
}
