// The bank of 16 prebuilt audio frames. Frame k always holds variant k: in the normal modes
// 0 = every enabled plane, 1 = left planes silent, 2 = right planes silent, 3 to 15 = silence; in
// sequence mode variant k is plane k alone. All arithmetic happens here, when a setting changes;
// the send thread only copies a finished frame.
#include "lirafon_engine.h"

#include <algorithm>
#include <cstring>

namespace {

// Whether plane `plane` of variant `variant` carries tone.
bool PlaneCarriesTone(int32_t variant, int32_t plane, bool sequenceMode, bool enabled) {
    if (sequenceMode) {
        return plane == variant;
    }
    switch (variant) {
    case 0:
        return enabled;
    case 1:
        return enabled && (plane % 2) == 1; // left (even) planes silent
    case 2:
        return enabled && (plane % 2) == 0; // right (odd) planes silent
    default:
        return false;
    }
}

} // namespace

void CLirafonEngine::FillAudioFrame(NDIlib_audio_frame_v2_t* frame, int32_t variant) {
    std::lock_guard<std::mutex> lock(m_bankLock);
    FillAudioFrameLocked(frame, variant);
}

// Sample j of a tone plane is float32(table[j mod P]) * m_level, the product in float32. One
// period is scaled once and then repeated, which gives the same bits as scaling every sample.
void CLirafonEngine::FillAudioFrameLocked(NDIlib_audio_frame_v2_t* frame, int32_t variant) {
    if (frame == nullptr || frame->p_data == nullptr || frame->no_samples <= 0) {
        return;
    }
    const bool sequenceMode = m_sequenceMode.load() != 0;
    const int32_t sampleCount = frame->no_samples;
    const int32_t planeStrideFloats =
        frame->channel_stride_in_bytes / static_cast<int32_t>(sizeof(float));
    std::array<float, kToneTableEntries> period{};

    for (int32_t plane = 0; plane < kMaxPlanes; ++plane) {
        float* out = frame->p_data + static_cast<std::ptrdiff_t>(plane) * planeStrideFloats;
        const ToneChannel& tone = m_toneChannels[plane];
        const int32_t periodSamples = tone.frequencyHz > 0 ? m_sampleRate / tone.frequencyHz : 0;
        const bool tonePlane =
            PlaneCarriesTone(variant, plane, sequenceMode, m_channelEnabled[plane] != 0) &&
            periodSamples > 0 && periodSamples <= kToneTableEntries;
        if (!tonePlane) {
            std::fill(out, out + sampleCount, 0.0f);
            continue;
        }
        for (int32_t i = 0; i < periodSamples; ++i) {
            period[i] = static_cast<float>(tone.samples[i]) * m_level;
        }
        for (int32_t j = 0; j < sampleCount; j += periodSamples) {
            const int32_t run = std::min(periodSamples, sampleCount - j);
            std::memcpy(out + j, period.data(), static_cast<size_t>(run) * sizeof(float));
        }
    }
}

void CLirafonEngine::RefillAllFrames() {
    {
        std::lock_guard<std::mutex> lock(m_bankLock);
        for (int32_t k = 0; k < kFrameCount; ++k) {
            FillAudioFrameLocked(m_audioFrames[k], k);
        }
    }
    // The level, the pairs and the channel count shape the surround ident's cycle too.
    BuildSurroundIdent();
}

void CLirafonEngine::SetPairEnabled(int32_t pair, int32_t on) {
    if (pair < 0 || pair >= kPairCount) {
        return;
    }
    m_channelEnabled[2 * pair] = on;
    m_channelEnabled[2 * pair + 1] = on;
    RefillAllFrames();
}

void CLirafonEngine::SetChannelCount() {
    TakeControlValues();
    const int32_t choice = m_channelChoice;
    if (choice < 0 || choice > 3) {
        RefillAllFrames();
        return;
    }
    const int32_t channels = m_channelCounts[choice];
    m_sequenceCycle = kTicksPerSequenceStep * channels;
    EnablePairBoxesFor(choice);
    if (choice >= 1) {
        for (int32_t pair = 1; pair < kPairCount; ++pair) {
            SetPairEnabled(pair, ReadPairBox(pair));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_bankLock);
        for (auto* frame : m_audioFrames) {
            if (frame != nullptr) {
                frame->no_channels = channels;
            }
        }
    }
    // 2 channels clear planes 2 to 15, 4 channels planes 4 to 15; 8 and 16 clear nothing.
    const int32_t firstCleared = channels < 8 ? channels : kMaxPlanes;
    for (int32_t plane = firstCleared; plane < kMaxPlanes; ++plane) {
        m_channelEnabled[plane] = 0;
    }
    RefillAllFrames();
}
