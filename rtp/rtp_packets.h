// Byte-exact writing of the RTP packets the built-in runtime sends: the fixed RTP header
// (RFC 3550), L24 audio payloads (RFC 3190: big-endian 24-bit, channels interleaved) and RFC 4175
// raw video payload headers. Everything is written byte by byte in network order; nothing is
// type-punned. Sequence numbers and timestamps wrap modulo 2^16 and 2^32 in the helpers below.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kRtpHeaderBytes = 12;
constexpr uint8_t kAudioPayloadType = 96;
constexpr uint8_t kVideoPayloadType = 97;
constexpr int kAudioSampleRateHz = 48000;
constexpr int kVideoClockHz = 90000;
constexpr size_t kL24BytesPerSample = 3;
// No packet is larger than this, so nothing is fragmented on an Ethernet path.
constexpr size_t kMaxPacketBytes = 1460;

struct RtpHeader {
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

void WriteRtpHeader(uint8_t* out, const RtpHeader& header);
inline uint16_t AdvanceSequence(uint16_t sequence, uint32_t count) {
    return static_cast<uint16_t>(sequence + count);
}
inline uint32_t AdvanceTimestamp(uint32_t timestamp, uint64_t ticks) {
    return static_cast<uint32_t>(timestamp + ticks);
}

// Audio packet time: 1 ms (48 samples) for up to 8 channels, 0.125 ms (6 samples) above.
int SamplesPerAudioPacket(int channelCount);

// One float sample (1.0 = +4 dBu) as a signed 24-bit value: scaled by referenceGain of full scale
// (2^23), rounded to nearest, clamped to the 24-bit range. *clamped tells whether it had to be
// clamped (non-finite samples too; NaN becomes 0).
int32_t FloatToL24(float sample, double referenceGain, bool* clamped);
void WriteL24(uint8_t* out, int32_t value);

// Interleaves sampleCount samples from firstSample of channelCount planes (plane c starts at
// planes + c * strideBytes) into out as L24. Returns how many samples were clamped.
uint32_t WriteL24Payload(uint8_t* out, const float* planes, size_t strideBytes, int channelCount,
                         int firstSample, int sampleCount, double referenceGain);

// RFC 4175: the two-byte extended sequence number, then one six-byte line header per segment.
constexpr size_t kRfc4175ExtSeqBytes = 2;
constexpr size_t kRfc4175LineHeaderBytes = 6;
constexpr size_t kRgbBytesPerPixel = 3;
// Pixels of one segment so the packet stays within kMaxPacketBytes.
constexpr int kMaxPixelsPerVideoPacket = static_cast<int>(
    (kMaxPacketBytes - kRtpHeaderBytes - kRfc4175ExtSeqBytes - kRfc4175LineHeaderBytes) /
    kRgbBytesPerPixel);

void WriteRfc4175Header(uint8_t* out, uint16_t extendedSequence, uint16_t lengthBytes,
                        uint16_t line, uint16_t pixelOffset);

// Rows of 32-bit pixels in B,G,R,X order (or R,G,B,X when sourceIsRgb) to packed 24-bit R,G,B.
void ConvertToRgb(const uint8_t* source, size_t sourceStrideBytes, int width, int height,
                  bool sourceIsRgb, uint8_t* rgb);
