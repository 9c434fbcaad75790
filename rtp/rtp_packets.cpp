// Wire formats of the built-in runtime, in one place so receivers we did not write see exactly
// what the standards say.
#include "rtp_packets.h"

#include <cmath>
#include <cstring>

void WriteRtpHeader(uint8_t* out, const RtpHeader& header) {
    out[0] = 0x80; // version 2, no padding, no extension, no contributing sources
    out[1] = static_cast<uint8_t>((header.marker ? 0x80 : 0x00) | (header.payloadType & 0x7f));
    out[2] = static_cast<uint8_t>(header.sequence >> 8);
    out[3] = static_cast<uint8_t>(header.sequence);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<uint8_t>(header.timestamp >> (24 - 8 * i));
        out[8 + i] = static_cast<uint8_t>(header.ssrc >> (24 - 8 * i));
    }
}

int SamplesPerAudioPacket(int channelCount) {
    return channelCount <= 8 ? 48 : 6;
}

int32_t FloatToL24(float sample, double referenceGain, bool* clamped) {
    constexpr double kFullScale = 8388608.0; // 2^23
    constexpr int32_t kHighest = 8388607;
    constexpr int32_t kLowest = -8388608;
    if (std::isnan(sample)) {
        *clamped = true;
        return 0;
    }
    const double scaled = static_cast<double>(sample) * referenceGain * kFullScale;
    if (scaled >= kHighest + 0.5) {
        *clamped = true;
        return kHighest;
    }
    if (scaled < kLowest - 0.5) {
        *clamped = true;
        return kLowest;
    }
    *clamped = false;
    return static_cast<int32_t>(std::lrint(scaled));
}

void WriteL24(uint8_t* out, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    out[0] = static_cast<uint8_t>(bits >> 16);
    out[1] = static_cast<uint8_t>(bits >> 8);
    out[2] = static_cast<uint8_t>(bits);
}

uint32_t WriteL24Payload(uint8_t* out, const float* planes, size_t strideBytes, int channelCount,
                         int firstSample, int sampleCount, double referenceGain) {
    const auto* base = reinterpret_cast<const uint8_t*>(planes);
    uint32_t clampedCount = 0;
    for (int c = 0; c < channelCount; ++c) {
        float plane[48];
        std::memcpy(plane,
                    base + static_cast<size_t>(c) * strideBytes + firstSample * sizeof(float),
                    static_cast<size_t>(sampleCount) * sizeof(float));
        uint8_t* slot = out + static_cast<size_t>(c) * kL24BytesPerSample;
        for (int s = 0; s < sampleCount; ++s) {
            bool clamped = false;
            WriteL24(slot, FloatToL24(plane[s], referenceGain, &clamped));
            clampedCount += clamped ? 1 : 0;
            slot += static_cast<size_t>(channelCount) * kL24BytesPerSample;
        }
    }
    return clampedCount;
}

void WriteRfc4175Header(uint8_t* out, uint16_t extendedSequence, uint16_t lengthBytes,
                        uint16_t line, uint16_t pixelOffset) {
    out[0] = static_cast<uint8_t>(extendedSequence >> 8);
    out[1] = static_cast<uint8_t>(extendedSequence);
    out[2] = static_cast<uint8_t>(lengthBytes >> 8);
    out[3] = static_cast<uint8_t>(lengthBytes);
    // Field bit 0 (progressive), continuation bit 0: one segment per packet.
    out[4] = static_cast<uint8_t>((line >> 8) & 0x7f);
    out[5] = static_cast<uint8_t>(line);
    out[6] = static_cast<uint8_t>((pixelOffset >> 8) & 0x7f);
    out[7] = static_cast<uint8_t>(pixelOffset);
}

void ConvertToRgb(const uint8_t* source, size_t sourceStrideBytes, int width, int height,
                  bool sourceIsRgb, uint8_t* rgb) {
    const int red = sourceIsRgb ? 0 : 2;
    const int blue = sourceIsRgb ? 2 : 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = source + static_cast<size_t>(y) * sourceStrideBytes;
        for (int x = 0; x < width; ++x) {
            rgb[0] = in[red];
            rgb[1] = in[1];
            rgb[2] = in[blue];
            rgb += 3;
            in += 4;
        }
    }
}
