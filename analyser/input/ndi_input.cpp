// Receives one NDI source with the vendor runtime's find and receive calls (bound by name by the
// loader; nothing of the vendor is linked). Audio is asked for as the SDK's float planes and
// handed out interleaved, in NDI's own scale (1.0 = +4 dBu); pictures and metadata are taken from
// the same capture loop and only described, never analysed.
#include "ndi_input.h"

#include "ndi_receive.h"
#include "ndi_sdk.h"
#include "ndi_sdk_recv.h"
#include "vendor_loader.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

namespace {

double NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

bool NameMatches(const std::string& sourceName, const std::string& wanted) {
    if (sourceName == wanted) {
        return true;
    }
    const size_t open = sourceName.rfind(" (");
    return open != std::string::npos && sourceName.back() == ')' &&
           sourceName.compare(open + 2, sourceName.size() - open - 3, wanted) == 0;
}

class CNdiInput : public CPcmInput {
public:
    CNdiInput(std::unique_ptr<CVendorLoader> loader, NDIlib_recv_instance_t receiver,
              std::string name, std::string address)
        : m_loader(std::move(loader)), m_ndi(m_loader->ReceiveCalls()), m_receiver(receiver) {
        m_stats.network = false;
        m_stats.ndi = true;
        m_stats.ndiSource = std::move(name);
        m_stats.ndiAddress = std::move(address);
        m_start = NowMs();
    }
    ~CNdiInput() override {
        m_ndi.recvDestroy(m_receiver);
        m_loader->Calls().destroy();
    }

    // Captures until the first audio frame, which fixes the channel count and rate.
    bool WaitForAudio(int timeoutMs) {
        const double end = NowMs() + timeoutMs;
        while (m_channels == 0 && NowMs() < end) {
            CaptureOnce(100);
        }
        return m_channels > 0;
    }

    int Channels() const override { return m_channels; }
    int Rate() const override { return m_rate; }
    double FullScale() const override { return 1.0; } // NDI carries floats

    bool Read(std::vector<double>& out, int maxFrames) override {
        const double end = NowMs() + 1000;
        while (m_pending.size() / static_cast<size_t>(m_channels) <
                   static_cast<size_t>(maxFrames) &&
               !m_formatChanged && NowMs() < end) {
            CaptureOnce(50);
        }
        const size_t take = std::min(m_pending.size(), static_cast<size_t>(maxFrames) * m_channels);
        out.insert(out.end(), m_pending.begin(), m_pending.begin() + static_cast<long>(take));
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(take));
        // A new channel count or rate is a new stream: the analysis of this one ends here.
        return !(m_formatChanged && m_pending.empty());
    }

    void TakePictures(std::vector<PictureObservation>& out) override {
        out.insert(out.end(), m_pictures.begin(), m_pictures.end());
        m_pictures.clear();
    }
    void TakeAudioTimes(std::vector<std::pair<int64_t, double>>& out) override {
        out.insert(out.end(), m_audioTimes.begin(), m_audioTimes.end());
        m_audioTimes.clear();
    }

    InputStats Stats() const override {
        InputStats stats = m_stats;
        if (!m_gapsMs.empty()) {
            std::vector<double> sorted = m_gapsMs;
            std::sort(sorted.begin(), sorted.end());
            stats.ndiJitterP99Ms = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
            stats.ndiJitterMaxMs = sorted.back();
        }
        const double seconds = (NowMs() - m_start) / 1e3;
        stats.ndiPicturesPerSecond =
            seconds > 0 ? static_cast<double>(stats.ndiPictures) / seconds : 0;
        return stats;
    }

private:
    void CaptureOnce(uint32_t timeoutMs) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        NDIlib_metadata_frame_t metadata;
        switch (m_ndi.recvCapture(m_receiver, &video, &audio, &metadata, timeoutMs)) {
        case NDIlib_frame_type_audio:
            TakeAudio(audio);
            m_ndi.recvFreeAudio(m_receiver, &audio);
            break;
        case NDIlib_frame_type_video:
            TakeVideo(video);
            m_ndi.recvFreeVideo(m_receiver, &video);
            break;
        case NDIlib_frame_type_metadata:
            if (metadata.p_data != nullptr) {
                if (!m_stats.ndiMetadata.empty()) {
                    m_stats.ndiMetadata += ' ';
                }
                m_stats.ndiMetadata += metadata.p_data;
            }
            m_ndi.recvFreeMetadata(m_receiver, &metadata);
            break;
        default:
            break;
        }
    }

    void TakeAudio(const NDIlib_audio_frame_v2_t& frame) {
        const double now = NowMs();
        if (frame.no_channels < 1 || frame.sample_rate < 1 || frame.no_samples < 1 ||
            frame.p_data == nullptr) {
            return;
        }
        if (m_channels == 0) {
            m_channels = frame.no_channels;
            m_rate = frame.sample_rate;
        } else if (frame.no_channels != m_channels || frame.sample_rate != m_rate) {
            if (!m_formatChanged) {
                std::fprintf(stderr,
                             "lirafon-check: the source changed to %d channels at %d Hz; the "
                             "analysis ends with the frames before\n",
                             frame.no_channels, frame.sample_rate);
            }
            m_formatChanged = true;
            return;
        }
        if (m_lastAudioMs > 0) {
            const double nominalMs = 1e3 * frame.no_samples / frame.sample_rate;
            m_gapsMs.push_back(std::abs(now - m_lastAudioMs - nominalMs));
        }
        m_lastAudioMs = now;
        // The sender's time of the frame places its samples on the timeline the pictures share.
        if (HasTimestamp(frame.timestamp)) {
            m_audioTimes.emplace_back(m_samplesTaken, static_cast<double>(frame.timestamp) * 1e-7);
        }
        m_samplesTaken += frame.no_samples;
        ++m_stats.ndiAudioFrames;
        m_stats.ndiFrameSamples = frame.no_samples;
        const size_t base = m_pending.size();
        m_pending.resize(base + static_cast<size_t>(frame.no_samples) * m_channels);
        for (int c = 0; c < m_channels; ++c) {
            const auto* plane = reinterpret_cast<const float*>(
                reinterpret_cast<const uint8_t*>(frame.p_data) +
                static_cast<size_t>(c) * static_cast<size_t>(frame.channel_stride_in_bytes));
            for (int i = 0; i < frame.no_samples; ++i) {
                m_pending[base + static_cast<size_t>(i) * m_channels + c] = plane[i];
            }
        }
    }

    // NDI's timestamps count 100 ns since the Unix epoch; a runtime that has none sends 0 or the
    // "undefined" value.
    static bool HasTimestamp(int64_t timestamp) { return timestamp > 0 && timestamp != INT64_MAX; }

    // The mean luma of a 4-byte-per-pixel picture (BT.709 weights), from every 8th pixel of every
    // 4th line: enough for a flash, cheap at any size.
    static std::optional<double> MeanLuma(const NDIlib_video_frame_v2_t& frame) {
        const bool bgr = frame.FourCC == NDIlib_FourCC_video_type_BGRX ||
                         frame.FourCC == NDIlib_FourCC_video_type_BGRA;
        const bool rgb = frame.FourCC == NDIlib_FourCC_video_type_RGBX ||
                         frame.FourCC == NDIlib_FourCC_video_type_RGBA;
        if ((!bgr && !rgb) || frame.p_data == nullptr || frame.xres < 1 || frame.yres < 1 ||
            frame.line_stride_in_bytes < frame.xres * 4) {
            return std::nullopt;
        }
        double sum = 0;
        int count = 0;
        for (int y = 0; y < frame.yres; y += 4) {
            const uint8_t* row = frame.p_data + static_cast<size_t>(y) *
                                                    static_cast<size_t>(frame.line_stride_in_bytes);
            for (int x = 0; x < frame.xres; x += 8) {
                const uint8_t* p = row + static_cast<size_t>(x) * 4;
                const double r = bgr ? p[2] : p[0];
                const double b = bgr ? p[0] : p[2];
                sum += 0.2126 * r + 0.7152 * p[1] + 0.0722 * b;
                ++count;
            }
        }
        return sum / (count * 255.0);
    }

    void TakeVideo(const NDIlib_video_frame_v2_t& frame) {
        ++m_stats.ndiPictures;
        const std::optional<double> luma = MeanLuma(frame);
        if (luma && HasTimestamp(frame.timestamp)) {
            // The end-to-end latency: arrival here against the sender's own time of the picture
            // (on one computer, or two whose clocks PTP or NTP keep together).
            const double nowUnixMs = std::chrono::duration<double, std::milli>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
            const double seconds = static_cast<double>(frame.timestamp) * 1e-7;
            m_pictures.push_back({seconds, *luma, nowUnixMs - seconds * 1e3});
        }
        char text[128];
        std::snprintf(text, sizeof text, "%dx%d %s %d/%d %s", frame.xres, frame.yres,
                      FourCCText(frame.FourCC).c_str(), frame.frame_rate_N, frame.frame_rate_D,
                      frame.frame_format_type == NDIlib_frame_format_type_progressive
                          ? "progressive"
                          : "interlaced or fields");
        m_stats.ndiPicture = text;
    }

    std::unique_ptr<CVendorLoader> m_loader;
    const NdiReceiveCalls& m_ndi;
    NDIlib_recv_instance_t m_receiver;
    int m_channels = 0;
    int m_rate = 0;
    bool m_formatChanged = false;
    std::vector<double> m_pending;
    double m_start = 0;
    double m_lastAudioMs = 0;
    std::vector<double> m_gapsMs;
    InputStats m_stats;
    int64_t m_samplesTaken = 0;
    std::vector<std::pair<int64_t, double>> m_audioTimes;
    std::vector<PictureObservation> m_pictures;
};

} // namespace

std::unique_ptr<CPcmInput> OpenNdi(const std::string& name, const std::string& extraIps,
                                   int timeoutMs, std::string* error, bool* noRuntime) {
    *noRuntime = false;
    auto loader = std::make_unique<CVendorLoader>();
    std::string missing;
    if (loader->Load() != CVendorLoader::Result::loaded) {
        *noRuntime = true;
        *error = "--ndi needs the vendor's NDI runtime (libndi.so.6), and none was found: install "
                 "it with scripts/install-ndi-runtime.sh, or set NDI_RUNTIME_DIR_V6";
        return nullptr;
    }
    // This program ends with its input: the runtime stays loaded to the end rather than being
    // unloaded with memory and threads of its own still about.
    loader->Pin();
    if (!loader->ResolveReceiveCalls(&missing)) {
        *noRuntime = true;
        *error = "the NDI runtime " + loader->Path() + " lacks the call " + missing;
        return nullptr;
    }
    if (!loader->Calls().initialize()) {
        *noRuntime = true;
        *error = "the NDI runtime " + loader->Path() + " does not start on this computer";
        return nullptr;
    }
    const NdiReceiveCalls& ndi = loader->ReceiveCalls();
    std::vector<std::string> seen;
    const std::optional<NdiFoundSource> source = FindNdiSource(
        ndi, [&](const std::string& candidate) { return NameMatches(candidate, name); }, extraIps,
        timeoutMs, &seen);
    if (!source) {
        std::string list;
        for (const std::string& other : seen) {
            list.append(list.empty() ? "\"" : ", \"").append(other).append("\"");
        }
        *error = "no NDI source \"" + name + "\" found in " + std::to_string(timeoutMs / 1000) +
                 " s (" + (list.empty() ? "none found at all" : "found: " + list) + ")";
        loader->Calls().destroy();
        return nullptr;
    }
    NDIlib_recv_instance_t receiver = ConnectNdiReceiver(ndi, *source, "lirafon-check");
    if (receiver == nullptr) {
        *error = "cannot connect to \"" + source->name + "\"";
        loader->Calls().destroy();
        return nullptr;
    }
    const double end = NowMs() + timeoutMs;
    auto input =
        std::make_unique<CNdiInput>(std::move(loader), receiver, source->name, source->address);
    if (!input->WaitForAudio(std::max(1000, static_cast<int>(end - NowMs())))) {
        *error = "\"" + source->name + "\" sent no audio";
        return nullptr;
    }
    return input;
}
