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

std::optional<RtpView> ReadRtp(const uint8_t* datagram, size_t size) {
    if (size < kRtpHeaderBytes || (datagram[0] >> 6) != 2) {
        return std::nullopt;
    }
    RtpView view;
    view.header.marker = (datagram[1] & 0x80) != 0;
    view.header.payloadType = datagram[1] & 0x7f;
    view.header.sequence = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
    view.header.timestamp = static_cast<uint32_t>(datagram[4]) << 24 |
                            static_cast<uint32_t>(datagram[5]) << 16 |
                            static_cast<uint32_t>(datagram[6]) << 8 | datagram[7];
    view.header.ssrc = static_cast<uint32_t>(datagram[8]) << 24 |
                       static_cast<uint32_t>(datagram[9]) << 16 |
                       static_cast<uint32_t>(datagram[10]) << 8 | datagram[11];
    size_t at = kRtpHeaderBytes + 4 * static_cast<size_t>(datagram[0] & 0x0f); // the CSRCs
    if (at > size) {
        return std::nullopt;
    }
    if ((datagram[0] & 0x10) != 0) { // a header extension: 4 bytes, then its length in words
        if (size - at < 4) {
            return std::nullopt;
        }
        const size_t words = static_cast<size_t>(datagram[at + 2]) << 8 | datagram[at + 3];
        at += 4;
        if (words * 4 > size - at) {
            return std::nullopt;
        }
        at += words * 4;
    }
    size_t end = size;
    if ((datagram[0] & 0x20) != 0) { // padding: its count is the last byte, itself included
        const size_t padding = datagram[size - 1];
        if (padding == 0 || padding > end - at) {
            return std::nullopt;
        }
        end -= padding;
    }
    view.payload = datagram + at;
    view.payloadBytes = end - at;
    return view;
}

std::optional<Rfc4175View> ReadRfc4175(const uint8_t* payload, size_t size, size_t maxLines) {
    if (size < kRfc4175ExtSeqBytes) {
        return std::nullopt;
    }
    Rfc4175View view;
    view.extendedSequence = static_cast<uint16_t>(payload[0] << 8 | payload[1]);
    size_t at = kRfc4175ExtSeqBytes;
    bool more = true;
    while (more) {
        if (view.segments.size() == maxLines || size - at < kRfc4175LineHeaderBytes) {
            return std::nullopt;
        }
        const uint8_t* header = payload + at;
        Rfc4175Segment segment;
        segment.bytes = static_cast<size_t>(header[0]) << 8 | header[1];
        segment.secondField = (header[2] & 0x80) != 0;
        segment.line = static_cast<uint16_t>((header[2] & 0x7f) << 8 | header[3]);
        segment.offset = static_cast<uint16_t>((header[4] & 0x7f) << 8 | header[5]);
        more = (header[4] & 0x80) != 0; // the continuation bit: another header follows
        view.segments.push_back(segment);
        at += kRfc4175LineHeaderBytes;
    }
    for (Rfc4175Segment& segment : view.segments) {
        if (segment.bytes > size - at) {
            return std::nullopt;
        }
        segment.data = payload + at;
        at += segment.bytes;
    }
    return view;
}

void ReadLinearPcm(const uint8_t* payload, size_t size, int bits, int channels,
                   std::vector<double>* samples) {
    const auto width = static_cast<size_t>(bits / 8);
    if ((bits != 16 && bits != 24) || channels < 1) {
        samples->clear();
        return;
    }
    const size_t frames = size / (width * static_cast<size_t>(channels));
    samples->resize(frames * static_cast<size_t>(channels));
    const double scale = 1.0 / static_cast<double>(1u << (bits - 1));
    for (size_t i = 0; i < samples->size(); ++i) {
        const uint8_t* p = payload + i * width;
        uint32_t v = 0;
        for (size_t b = 0; b < width; ++b) {
            v = v << 8 | p[b];
        }
        // Sign-extended from its top bit.
        const auto value = static_cast<int32_t>(v << (32 - bits)) >> (32 - bits);
        (*samples)[i] = value * scale;
    }
}
