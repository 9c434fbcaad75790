// A receiver written against the NDI SDK's find and receive calls, run with the vendor's runtime
// on the far side of the real-runtime test. It reports what it found and received as one JSON
// object per line on stdout, flushed at once, so the test can judge while it drives the sender:
//
//   ndi_probe version                                  the runtime's version (exit 77: none)
//   ndi_probe find NAME [--timeout-ms N] [--extra-ips A]
//   ndi_probe receive NAME --seconds S [--reference card.png] [--samples-every K]
//                          [--timeout-ms N] [--extra-ips A]
//
// Lines: {"event":"source"...} when NAME is found (milliseconds from start), then while
// receiving "metadata", "audio" (format, per-channel peak and silence, the first 48 samples of
// every channel on every K-th frame, arrival time), "video" (format, rate, aspect, a hash of the
// pixels, the difference from a reference picture) and "webcontrol" (the sender's web page as
// this receiver is told it) lines. Times are CLOCK_MONOTONIC milliseconds, which the namespaces
// of the test share.
#include "media_time.h"
#include "ndi_receive.h"
#include "ndi_sdk.h"
#include "ndi_sdk_recv.h"
#include "vendor_loader.h"

#include <QImage>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

namespace {

constexpr int kSkipped = 77;

double NowMs() {
    return static_cast<double>(wire::MonotonicNowNs()) / 1e6;
}

std::string JsonString(const char* text, size_t length) {
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonString(const char* text) {
    return text == nullptr ? "null" : JsonString(text, std::strlen(text));
}

std::string Float(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void Emit(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Options {
    std::string command;
    std::string name;
    double seconds = 5;
    int timeoutMs = 20000;
    int samplesEvery = 25;
    std::string extraIps;
    std::string reference;
};

bool Parse(int argc, char** argv, Options* options) {
    if (argc < 2) {
        return false;
    }
    options->command = argv[1];
    int i = 2;
    if (options->command != "version") {
        if (argc < 3) {
            return false;
        }
        options->name = argv[i++];
    }
    for (; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char* value = argv[i + 1];
        if (flag == "--seconds") {
            options->seconds = std::atof(value);
        } else if (flag == "--timeout-ms") {
            options->timeoutMs = std::atoi(value);
        } else if (flag == "--samples-every") {
            options->samplesEvery = std::max(1, std::atoi(value));
        } else if (flag == "--extra-ips") {
            options->extraIps = value;
        } else if (flag == "--reference") {
            options->reference = value;
        } else {
            return false;
        }
    }
    return i == argc;
}

// The source whose whole name is NAME, waited for up to the timeout.
bool FindSource(const NdiReceiveCalls& ndi, const Options& options, NdiFoundSource* found) {
    const std::optional<NdiFoundSource> source = FindNdiSource(
        ndi, [&](const std::string& name) { return name == options.name; }, options.extraIps,
        options.timeoutMs);
    if (!source) {
        Emit("{\"event\":\"notfound\",\"name\":" + JsonString(options.name.c_str()) + "}");
        return false;
    }
    *found = *source;
    Emit("{\"event\":\"source\",\"name\":" + JsonString(source->name.c_str()) + ",\"url\":" +
         JsonString(source->address.c_str()) + ",\"ms\":" + Float(source->waitedMs) + "}");
    return true;
}

std::string AudioLine(const NDIlib_audio_frame_v2_t& frame, bool withSamples) {
    std::string peaks;
    std::string zeros;
    std::string samples;
    for (int c = 0; c < frame.no_channels; ++c) {
        const auto* plane = reinterpret_cast<const float*>(
            reinterpret_cast<const uint8_t*>(frame.p_data) +
            static_cast<size_t>(c) * static_cast<size_t>(frame.channel_stride_in_bytes));
        float peak = 0;
        bool zero = true;
        for (int i = 0; i < frame.no_samples; ++i) {
            peak = std::max(peak, std::fabs(plane[i]));
            zero = zero && plane[i] == 0.0f;
        }
        // Appended piece by piece: "," + a temporary trips GCC 12's -Wrestrict at -O3.
        peaks.append(c ? "," : "").append(Float(peak));
        zeros.append(c ? "," : "").append(zero ? "true" : "false");
        if (withSamples) {
            samples.append(c ? ",[" : "[");
            for (int i = 0; i < std::min(48, frame.no_samples); ++i) {
                samples.append(i ? "," : "").append(Float(plane[i]));
            }
            samples.append("]");
        }
    }
    std::string line = "{\"event\":\"audio\",\"ms\":" + Float(NowMs()) +
                       ",\"rate\":" + std::to_string(frame.sample_rate) +
                       ",\"channels\":" + std::to_string(frame.no_channels) +
                       ",\"samples\":" + std::to_string(frame.no_samples) +
                       ",\"timecode\":" + std::to_string(frame.timecode) +
                       ",\"timestamp\":" + std::to_string(frame.timestamp) + ",\"peak\":[" + peaks +
                       "],\"zero\":[" + zeros + "]";
    if (withSamples) {
        line += ",\"head\":[" + samples + "]";
    }
    return line + "}";
}

// How far a received BGRX picture is from the reference, per colour component: mean, 99th
// percentile and largest absolute difference (the runtime's video codec is lossy).
std::string Difference(const NDIlib_video_frame_v2_t& frame, const QImage& reference) {
    if (reference.isNull() || reference.width() != frame.xres || reference.height() != frame.yres) {
        return "null";
    }
    std::vector<int> histogram(256, 0);
    double sum = 0;
    size_t count = 0;
    for (int y = 0; y < frame.yres; ++y) {
        const uint8_t* row = frame.p_data + static_cast<size_t>(y) * frame.line_stride_in_bytes;
        const auto* expected = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
        for (int x = 0; x < frame.xres; ++x) {
            const int want[3] = {qBlue(expected[x]), qGreen(expected[x]), qRed(expected[x])};
            for (int k = 0; k < 3; ++k) {
                const int d = std::abs(row[4 * x + k] - want[k]);
                ++histogram[d];
                sum += d;
                ++count;
            }
        }
    }
    size_t seen = 0;
    int p99 = 0;
    int largest = 0;
    for (int d = 0; d < 256; ++d) {
        if (histogram[d] == 0) {
            continue;
        }
        largest = d;
        if (seen < count * 99 / 100) {
            p99 = d;
        }
        seen += histogram[d];
    }
    return "{\"mean\":" + Float(sum / static_cast<double>(count)) +
           ",\"p99\":" + std::to_string(p99) + ",\"max\":" + std::to_string(largest) + "}";
}

std::string VideoLine(const NDIlib_video_frame_v2_t& frame, const QImage& reference) {
    uint64_t hash = 1469598103934665603ull; // FNV-1a over the visible pixels
    for (int y = 0; y < frame.yres; ++y) {
        const uint8_t* row = frame.p_data + static_cast<size_t>(y) * frame.line_stride_in_bytes;
        for (int x = 0; x < frame.xres * 4; ++x) {
            hash = (hash ^ row[x]) * 1099511628211ull;
        }
    }
    char hashText[24];
    std::snprintf(hashText, sizeof hashText, "%016llx", static_cast<unsigned long long>(hash));
    return "{\"event\":\"video\",\"ms\":" + Float(NowMs()) +
           ",\"xres\":" + std::to_string(frame.xres) + ",\"yres\":" + std::to_string(frame.yres) +
           ",\"fourcc\":" + JsonString(FourCCText(frame.FourCC).c_str()) +
           ",\"rate_n\":" + std::to_string(frame.frame_rate_N) +
           ",\"rate_d\":" + std::to_string(frame.frame_rate_D) +
           ",\"aspect\":" + Float(frame.picture_aspect_ratio) +
           ",\"format\":" + std::to_string(static_cast<int>(frame.frame_format_type)) +
           ",\"stride\":" + std::to_string(frame.line_stride_in_bytes) +
           ",\"timecode\":" + std::to_string(frame.timecode) +
           ",\"timestamp\":" + std::to_string(frame.timestamp) + ",\"hash\":\"" + hashText +
           "\",\"difference\":" + Difference(frame, reference) + "}";
}

int Receive(const NdiReceiveCalls& ndi, const Options& options) {
    NdiFoundSource source;
    if (!FindSource(ndi, options, &source)) {
        return 1;
    }
    QImage reference;
    if (!options.reference.empty()) {
        reference =
            QImage(QString::fromStdString(options.reference)).convertToFormat(QImage::Format_RGB32);
    }
    NDIlib_recv_instance_t receiver = ConnectNdiReceiver(ndi, source, "Lirafon test receiver");
    if (receiver == nullptr) {
        Emit("{\"event\":\"error\",\"what\":\"NDIlib_recv_create_v3 failed\"}");
        return 1;
    }
    const double end = NowMs() + options.seconds * 1e3;
    long audioFrames = 0;
    bool webControlSaid = false;
    while (NowMs() < end) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        NDIlib_metadata_frame_t metadata;
        switch (ndi.recvCapture(receiver, &video, &audio, &metadata, 100)) {
        case NDIlib_frame_type_audio:
            Emit(AudioLine(audio, audioFrames % options.samplesEvery == 0));
            ++audioFrames;
            ndi.recvFreeAudio(receiver, &audio);
            break;
        case NDIlib_frame_type_video:
            Emit(VideoLine(video, reference));
            ndi.recvFreeVideo(receiver, &video);
            break;
        case NDIlib_frame_type_metadata:
            Emit("{\"event\":\"metadata\",\"ms\":" + Float(NowMs()) + ",\"text\":" +
                 JsonString(metadata.p_data,
                            metadata.p_data != nullptr ? std::strlen(metadata.p_data) : 0) +
                 "}");
            ndi.recvFreeMetadata(receiver, &metadata);
            break;
        default:
            break;
        }
        // The web page arrives with the connection metadata; say it once, when first known.
        if (!webControlSaid && audioFrames > 0) {
            if (const char* page = ndi.recvGetWebControl(receiver)) {
                Emit("{\"event\":\"webcontrol\",\"url\":" + JsonString(page) + "}");
                ndi.recvFreeString(receiver, page);
                webControlSaid = true;
            }
        }
    }
    ndi.recvDestroy(receiver);
    Emit("{\"event\":\"end\",\"audio_frames\":" + std::to_string(audioFrames) + "}");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: ndi_probe version | find NAME [flags] | receive NAME "
                             "[--seconds S] [--reference PNG] [flags]\n");
        return 2;
    }
    CVendorLoader loader;
    if (loader.Load() != CVendorLoader::Result::loaded) {
        std::printf("no vendor NDI runtime found\n");
        return kSkipped;
    }
    loader.Pin(); // the runtime's own leftovers stay attributable (tests/lsan.supp)
    std::string missing;
    if (!loader.ResolveReceiveCalls(&missing)) {
        std::printf("the NDI runtime %s lacks %s\n", loader.Path().c_str(), missing.c_str());
        return kSkipped;
    }
    if (options.command == "version") {
        std::printf("%s\n", loader.Calls().version());
        return 0;
    }
    if (!loader.Calls().initialize()) {
        Emit("{\"event\":\"error\",\"what\":\"NDIlib_initialize failed\"}");
        return 1;
    }
    int status = 1;
    if (options.command == "find") {
        NdiFoundSource source;
        status = FindSource(loader.ReceiveCalls(), options, &source) ? 0 : 1;
    } else if (options.command == "receive") {
        status = Receive(loader.ReceiveCalls(), options);
    }
    loader.Calls().destroy();
    return status;
}
