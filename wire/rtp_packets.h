// RTP packets byte by byte, both ways: the fixed header (RFC 3550), L24 and L16 audio payloads
// (RFC 3190: big-endian, channels interleaved) and RFC 4175 raw video payload headers, written
// as the generator sends them and read as the analyser receives them, every length checked
// against the datagram. Nothing is type-punned. Sequence numbers and timestamps wrap modulo 2^16
// and 2^32; the unwrappers below give a receiver their whole counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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

// One received packet: its header and where its payload is in the datagram (after any CSRCs and
// header extension, before any padding). nullopt when it is not RTP version 2 or a length runs
// past the datagram.
struct RtpView {
    RtpHeader header;
    const uint8_t* payload = nullptr;
    size_t payloadBytes = 0;
};
std::optional<RtpView> ReadRtp(const uint8_t* datagram, size_t size);

// A wrapping count (16-bit sequence numbers, 32-bit timestamps) as a whole number: each value is
// taken as the nearest to the last one, either way, so reordering and loss of less than half the
// range are followed.
template <typename Wrapped, typename Difference> class CUnwrapper {
public:
    int64_t Unwrap(Wrapped value) {
        if (!m_started) {
            m_started = true;
            m_last = value;
        } else {
            m_last +=
                static_cast<Difference>(static_cast<Wrapped>(value - static_cast<Wrapped>(m_last)));
        }
        return m_last;
    }
    bool Started() const { return m_started; }

private:
    bool m_started = false;
    int64_t m_last = 0;
};
using CSequenceUnwrapper = CUnwrapper<uint16_t, int16_t>;
using CTimestampUnwrapper = CUnwrapper<uint32_t, int32_t>;
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

// A received RFC 4175 payload: the extended sequence number and each line segment, its data in
// the payload. nullopt when a header or a segment runs past the payload, or more than maxLines
// segments are chained.
struct Rfc4175Segment {
    uint16_t line = 0;
    uint16_t offset = 0;
    bool secondField = false;
    const uint8_t* data = nullptr;
    size_t bytes = 0;
};
struct Rfc4175View {
    uint16_t extendedSequence = 0;
    std::vector<Rfc4175Segment> segments;
};
std::optional<Rfc4175View> ReadRfc4175(const uint8_t* payload, size_t size, size_t maxLines = 64);

// Big-endian PCM samples (bits 16 or 24) of a payload as doubles of full scale 1.0: whole frames
// of `channels` only, a partial one at the end ignored.
void ReadLinearPcm(const uint8_t* payload, size_t size, int bits, int channels,
                   std::vector<double>* samples);

// Rows of 32-bit pixels in B,G,R,X order (or R,G,B,X when sourceIsRgb) to packed 24-bit R,G,B.
void ConvertToRgb(const uint8_t* source, size_t sourceStrideBytes, int width, int height,
                  bool sourceIsRgb, uint8_t* rgb);
