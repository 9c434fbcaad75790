// Publishes a steady tone through the built-in runtime for a given time, the way the send loop
// does: one prebuilt 40 ms frame per audio call, the call's blocking as the only clock. For the
// timing and CPU measurements; where it sends comes from the runtime's environment variables.
//   rtp_send_tone SECONDS CHANNELS [--video]
#include "builtin_runtime.h"
#include "ndi_dispatch.h"
#include "ndi_sdk.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: rtp_send_tone SECONDS CHANNELS [--video]\n");
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const int channels = std::atoi(argv[2]);
    const bool video = argc > 3 && std::strcmp(argv[3], "--video") == 0;
    if (seconds < 1 || channels < 1 || channels > 16) {
        std::fprintf(stderr, "rtp_send_tone: SECONDS >= 1, CHANNELS 1 to 16\n");
        return 2;
    }
    setenv("LIRAFON_NDI_RUNTIME", "builtin", 1);
    if (!NDIlib_initialize()) {
        return 1;
    }
    NDIlib_send_create_t create{"QEL Audio Tone 1", nullptr, false, true};
    NDIlib_send_instance_t sender = NDIlib_send_create(&create);
    if (sender == nullptr) {
        return 1;
    }
    // 1 kHz at the +4 dBu line-up level on every channel: 48 samples a period, 40 in a frame.
    std::vector<float> samples(1920 * 16);
    for (int c = 0; c < 16; ++c) {
        for (int s = 0; s < 1920; ++s) {
            samples[static_cast<size_t>(c) * 1920 + s] =
                static_cast<float>(std::sin(2.0 * M_PI * (s % 48) / 48.0));
        }
    }
    NDIlib_audio_frame_v2_t audio;
    audio.no_channels = channels;
    audio.no_samples = 1920;
    audio.timecode = 0;
    audio.p_data = samples.data();
    audio.channel_stride_in_bytes = 1920 * 4;
    std::vector<uint8_t> pixels(640 * 360 * 4, 128);
    NDIlib_video_frame_v2_t picture;
    picture.xres = 640;
    picture.yres = 360;
    picture.FourCC = NDIlib_FourCC_video_type_BGRX;
    picture.p_data = pixels.data();
    picture.line_stride_in_bytes = 2560;
    const int ticks = seconds * 25;
    for (int tick = 0; tick < ticks; ++tick) {
        NDIlib_send_send_audio_v2(sender, &audio);
        if (video && tick % 13 == 0) {
            NDIlib_send_send_video_v2(sender, &picture);
        }
    }
    BuiltinSenderStats stats;
    if (GetBuiltinSenderStats(sender, &stats)) {
        std::fprintf(stderr,
                     "sent %llu frames, %llu re-anchors, %llu packets refused by the socket\n",
                     static_cast<unsigned long long>(stats.audio.framesSent),
                     static_cast<unsigned long long>(stats.audio.reanchors),
                     static_cast<unsigned long long>(stats.audio.packetsUnsent));
    }
    NDIlib_send_destroy(sender);
    NDIlib_destroy();
    return 0;
}
