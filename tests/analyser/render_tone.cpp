// Renders the generator's own tone to a 24-bit WAV file, tick by tick as the send loop plays it
// and with the built-in runtime's conversion to fixed point (SMPTE reference), for the analyser's
// tests. Faults are then made by FFmpeg, a tool we did not write.
//   render_tone OUT.wav SECONDS CHANNELS PAIRS(all|1-2) IDENT(ebu|glits)
//   FREQUENCY(1000|multi|sequence)
//               LEVEL(ebu|smpte)
#include "engine_fixture.h"
#include "rtp_packets.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Put(FILE* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        std::fputc(static_cast<int>(value >> (8 * i) & 0xff), out);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: render_tone OUT.wav SECONDS CHANNELS PAIRS IDENT FREQUENCY LEVEL\n");
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    const int channels = std::atoi(argv[3]);
    const std::string pairs = argv[4];
    const std::string ident = argv[5];
    const std::string frequency = argv[6];
    const std::string level = argv[7];
    EngineWithFrames bank;
    CLirafonEngine& e = *bank.engine;
    e.m_channelChoice = channels == 2 ? 0 : channels == 4 ? 1 : channels == 8 ? 2 : 3;
    e.m_pairBoxInputs.fill(pairs == "all" ? 1 : 0);
    e.m_pairBoxInputs[0] = 1;
    e.SetChannelCount();
    e.m_levelChoice = level == "smpte" ? 1 : 0;
    e.ApplyLevelChoice();
    e.m_identChoice = ident == "glits" ? 1 : 0;
    e.BuildIdentSequence();
    if (frequency == "multi" || frequency == "sequence") {
        e.m_sequenceMode = frequency == "sequence" ? 1 : 0;
        e.SelectMultiFrequency();
    } else {
        e.SelectFrequency(std::atoi(frequency.c_str()));
    }
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        return 1;
    }
    const int ticks = static_cast<int>(seconds * 25);
    const uint32_t dataBytes = static_cast<uint32_t>(ticks) * 1920 * channels * 3;
    std::fwrite("RIFF", 1, 4, out);
    Put(out, 36 + dataBytes, 4);
    std::fwrite("WAVEfmt ", 1, 8, out);
    Put(out, 16, 4);
    Put(out, 1, 2);
    Put(out, static_cast<uint32_t>(channels), 2);
    Put(out, 48000, 4);
    Put(out, 48000u * channels * 3, 4);
    Put(out, static_cast<uint32_t>(channels * 3), 2);
    Put(out, 24, 2);
    std::fwrite("data", 1, 4, out);
    Put(out, dataBytes, 4);
    const int32_t mode = e.m_sequenceMode;
    int32_t n = 0;
    for (int tick = 0; tick < ticks; ++tick) {
        const NDIlib_audio_frame_v2_t* frame = e.m_audioFrames[e.FrameIndexForTick(n, mode)];
        for (int s = 0; s < 1920; ++s) {
            for (int c = 0; c < channels; ++c) {
                bool clamped = false;
                const float x = frame->p_data[c * 1920 + s];
                Put(out, static_cast<uint32_t>(FloatToL24(x, 0.1, &clamped)), 3);
            }
        }
        n = e.NextTick(n, mode);
    }
    std::fclose(out);
    return 0;
}
