// An engine with its 16 audio frames allocated the way sender start allocates them, for tests
// that exercise the frame bank without a sender.
#pragma once

#include "lirafon_engine.h"

#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

class EngineWithFrames {
public:
    EngineWithFrames() : engine(std::make_unique<CLirafonEngine>()) {
        for (int32_t k = 0; k < CLirafonEngine::kFrameCount; ++k) {
            auto& frame = frames[k];
            samples[k].assign(1920 * 16, 12345.0f); // garbage, so a missed write shows
            frame.sample_rate = 48000;
            frame.no_channels = engine->m_channelCounts[engine->m_channelChoice];
            frame.no_samples = 1920;
            frame.timecode = 0;
            frame.p_data = samples[k].data();
            frame.channel_stride_in_bytes = 1920 * 4;
            engine->m_audioFrames[k] = &frame;
        }
        for (int32_t plane = 0; plane < 16; ++plane) {
            engine->BuildToneTable(engine->m_frequency, plane);
        }
        engine->RefillAllFrames();
    }
    ~EngineWithFrames() { engine->m_audioFrames.fill(nullptr); }

    const float* Plane(int32_t frame, int32_t plane) const {
        return samples[frame].data() + static_cast<size_t>(plane) * 1920;
    }
    bool PlaneSilent(int32_t frame, int32_t plane) const {
        const float* p = Plane(frame, plane);
        for (int32_t j = 0; j < 1920; ++j) {
            if (std::bit_cast<uint32_t>(p[j]) != 0u) {
                return false;
            }
        }
        return true;
    }
    // Tone: every sample equals float32(table[j mod P]) * level, bit for bit.
    bool PlaneIsTone(int32_t frame, int32_t plane) const {
        const float* p = Plane(frame, plane);
        const ToneChannel& tone = engine->m_toneChannels[plane];
        const int32_t period = 48000 / tone.frequencyHz;
        for (int32_t j = 0; j < 1920; ++j) {
            const float want = static_cast<float>(tone.samples[j % period]) * engine->m_level;
            if (std::bit_cast<uint32_t>(p[j]) != std::bit_cast<uint32_t>(want)) {
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<CLirafonEngine> engine;
    NDIlib_audio_frame_v2_t frames[CLirafonEngine::kFrameCount];
    std::vector<float> samples[CLirafonEngine::kFrameCount];
};
