// lirafon-check: reads a line-up path's far end (an SDP-described RTP stream, an NDI source, a
// recording, raw PCM on standard input) and says, channel by channel, what arrived: tone or
// silence, frequency, level, which generator channel it is, polarity, dropouts, and what is under
// the tone. With --expect it judges the path: exit status 0 when everything matches over
// --duration, 1 when something does not (each fault on one line), 2 for bad usage or input that
// cannot be read.
#include "analyser.h"
#include "av_sync.h"
#include "http_server.h"
#include "monitor.h"
#include "ndi_input.h"
#include "open_input.h"
#include "options.h"
#include "probe_node.h"
#include "probe_server.h"
#include "report_output.h"
#include "verdict.h"

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

// Audio and pictures as they arrive, a report a second, until the input ends, the duration is
// reached or the user stops it.
struct Run {
    CPcmInput& input;
    const Options& options;
    CAnalyser& analyser;
    CAvSync& avSync;
    RunHistory history;
    int64_t analysed = 0;

    void TakePictures() {
        std::vector<PictureObservation> pictures;
        input.TakePictures(pictures);
        for (const PictureObservation& p : pictures) {
            avSync.AddPicture(p);
        }
        std::vector<std::pair<int64_t, double>> audioTimes;
        input.TakeAudioTimes(audioTimes);
        for (const auto& [sample, seconds] : audioTimes) {
            avSync.AddAudioTime(sample, seconds);
        }
    }

    // "" when the audio came, else why not.
    std::string Loop(int64_t limit, const std::string& name) {
        const bool terminal = isatty(STDOUT_FILENO) != 0;
        const bool colour = terminal && options.colourAllowed;
        int64_t nextReport = input.Rate();
        auto lastAudio = std::chrono::steady_clock::now();
        std::vector<double> block;
        while (!g_stop && (limit < 0 || analysed < limit)) {
            block.clear();
            const int64_t want =
                std::min<int64_t>(input.Rate() / 10, limit < 0 ? INT64_MAX : limit - analysed);
            const bool more = input.Read(block, static_cast<int>(want));
            const size_t frames = block.size() / static_cast<size_t>(input.Channels());
            TakePictures();
            if (frames > 0) {
                analyser.Add(block.data(), frames);
                avSync.AddAudio(block.data(), frames, input.Channels());
                analysed += static_cast<int64_t>(frames);
                lastAudio = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastAudio > std::chrono::seconds(5)) {
                if (analysed == 0) {
                    return "nothing arrived from " + name + " in 5 s";
                }
                break;
            }
            if (!more) {
                break;
            }
            if (analysed >= nextReport) {
                nextReport += input.Rate();
                const AnalysisReport report = analyser.Analyse();
                history.Add(report);
                if (options.json) {
                    std::printf("%s\n", ReportJson(report, input.Stats(), nullptr).c_str());
                    std::fflush(stdout);
                } else if (terminal) {
                    PrintTable(report, input.Stats(), colour, true);
                }
            }
        }
        return analysed == 0 ? "no audio in " + name : "";
    }
};

// The verdict on the whole run, printed; the exit status.
int Conclude(Run& run, int64_t limit, const std::string& referenceName) {
    const Options& options = run.options;
    const AnalysisReport report = run.analyser.Analyse();
    const InputStats stats = run.input.Stats();
    const int rate = run.input.Rate();
    if (run.analysed % rate != 0 || run.history.seconds == 0) {
        run.history.Add(report); // the part-second at the end counts too
    }
    run.TakePictures();
    std::optional<AvReport> av;
    if (run.avSync.HasPictures()) {
        run.avSync.SetAudioStart(run.input.AudioStartSeconds());
        av = run.avSync.Analyse(report.ident == Ident::sequence,
                                stats.ndi ? stats.ndiPicture : run.input.PictureFormat());
    }
    std::optional<Expectation> expect = options.expect;
    if (expect) {
        expect->reference = referenceName;
    }
    std::vector<std::string> faults =
        expect ? Faults(report, stats, *expect, &run.history) : std::vector<std::string>{};
    if (expect) {
        const std::vector<std::string> avFaults = AvFaults(av ? &*av : nullptr, *expect);
        faults.insert(faults.end(), avFaults.begin(), avFaults.end());
    }
    const std::vector<std::string> notes = run.history.Notes(
        report.surround.ident == Ident::none
            ? 0
            : std::min(SurroundOrder(report.surround.layout).size(), report.channels.size()));
    // The verdict claims the whole duration asked for: less audio than that is never a pass.
    if (limit > 0 && run.analysed < limit) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "input: %.2f s of audio arrived, %.2f s asked (--duration)",
                      static_cast<double>(run.analysed) / rate, options.duration);
        faults.insert(faults.begin(), text);
    }
    const bool judged = expect || limit > 0;
    if (options.json) {
        std::printf("%s\n", ReportJson(report, stats, judged ? &faults : nullptr, &notes,
                                       av ? &*av : nullptr, expect ? &*expect : nullptr)
                                .c_str());
        return faults.empty() ? 0 : 1;
    }
    const bool colour = isatty(STDOUT_FILENO) != 0 && options.colourAllowed;
    PrintTable(report, stats, colour, false);
    if (av) {
        PrintAvTable(*av);
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

} // namespace

int main(int argc, char** argv) {
    int status = 0;
    std::optional<Options> options = ParseOptions(
        argc, argv, &status, [](const char* name) -> const char* { return std::getenv(name); });
    if (!options) {
        return status;
    }
    signal(SIGINT, [](int) { g_stop = true; });
    signal(SIGTERM, [](int) { g_stop = true; });
    InputRequest request;
    request.path = options->input;
    request.ndiName = options->ndiName;
    request.ndiExtraIps = options->ndiExtraIps;
    request.raw = options->raw;
    request.format = *ParseRawFormat(options->format);
    request.channels = options->channels;
    request.rate = options->rate;
    request.interfaceName = options->interfaceName;
    request.mergeBufferMs = options->mergeBufferMs;
    request.ptpSocket = options->ptpSocket;
    if (options->monitor) {
        std::vector<WatchedInput> requests;
        for (const Options::Watched& watched : options->watched) {
            WatchedInput one{request, watched.expect};
            one.request.path = watched.path;
            one.request.ndiName = watched.ndiName;
            requests.push_back(one);
        }
        if (!options->listenPort) {
            return RunMonitor(*options, requests, g_stop);
        }
        CProbeMetrics metrics;
        if (!options->nmos) {
            return ServeWhileRunning(
                options->listenAddress, *options->listenPort, options->token, metrics, g_stop,
                [&] { return RunMonitor(*options, requests, g_stop, &metrics); });
        }
        // A node: its inputs come and go as a controller routes its receivers.
        CMonitor monitor(*options, &metrics);
        for (const WatchedInput& one : requests) {
            std::string error;
            if (!monitor.Start(one.request.path.empty() ? one.request.ndiName : one.request.path,
                               one.request, one.expect, &error)) {
                return Usage(error);
            }
        }
        return ServeWhileRunning(
            options->listenAddress, *options->listenPort, options->token, metrics, g_stop,
            [&] {
                monitor.Wait(g_stop, true);
                return 0;
            },
            [&](http::Server& server) -> std::shared_ptr<void> {
                auto node = std::make_shared<CProbeNode>(monitor, &metrics, *options,
                                                         options->listenAddress, server.Port());
                return node->Serve(server) ? node : nullptr;
            });
    }
    InputKind kind = InputKind::recording;
    std::string error;
    std::unique_ptr<CPcmInput> input = OpenInput(request, &kind, &error);
    if (!input) {
        return Usage(error);
    }
    double dbuOffset = options->dbuOffset;
    const std::string name =
        kind == InputKind::ndi ? "\"" + options->ndiName + "\"" : options->input;
    if (kind == InputKind::ndi) {
        dbuOffset = kNdiDbuOffset; // NDI's scale, whatever --reference says
    }
    // A stream with --expect is judged over 10 s unless told; a recording over its whole length.
    if (kind != InputKind::recording && options->duration == 0 && options->expect) {
        options->duration = 10;
    }
    const std::string referenceName = kind == InputKind::ndi ? "NDI's scale, +4 dBu = 1.0"
                                      : dbuOffset == 24.0 ? "the SMPTE reference, +4 dBu = -20 dBFS"
                                                          : "the EBU reference, 0 dBu = -18 dBFS";
    CAnalyser analyser(input->Channels(), input->Rate(), dbuOffset);
    analyser.SetFullScale(input->FullScale());
    CAvSync avSync(input->Rate());
    Run run{*input, *options, analyser, avSync, {}, 0};
    const int64_t limit =
        options->duration > 0 ? static_cast<int64_t>(options->duration * input->Rate()) : -1;
    const std::string failure = run.Loop(limit, name);
    if (!failure.empty()) {
        return Usage(failure);
    }
    return Conclude(run, limit, referenceName);
}
