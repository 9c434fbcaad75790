// Where the analyser's samples come from: a WAV file, raw PCM from a file or standard input, or
// an RTP stream described by an SDP file. Every input hands out interleaved samples scaled to
// full scale = 1.0, the channel count and rate known before the first block.
#pragma once

#include "av_sync.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One leg of an ST 2022-7 stream, as it arrived before the merge.
struct LegStats {
    uint64_t packets = 0;
    uint64_t lost = 0; // gaps in this leg's own sequence numbers
    uint64_t late = 0; // copies that came after their place was played out
    bool latencyKnown = false;
    double latencyMedianMs = 0;
    double latencyMaxMs = 0;
    double silentS = 0; // since this leg's last packet (0 while it delivers)
};

struct InputStats {
    bool network = false;
    // ST 2022-7: each leg in the session description's order, and the merge. One leg: empty.
    std::vector<LegStats> legs;
    uint64_t rescued = 0;     // packets one leg lost and the other delivered
    double mergeBufferMs = 0; // how far behind the other a leg may be and still be merged
    bool differentialKnown = false;
    double differentialMinMs = 0; // the second leg's arrival minus the first's, per packet
    double differentialMedianMs = 0;
    double differentialMaxMs = 0;
    double differentialRecentMs = 0; // the largest magnitude over the last second
    uint64_t packets = 0;
    uint64_t lost = 0;              // missing sequence numbers, filled with silence
    uint64_t late = 0;              // arrived after their place was played out
    double driftPpm = 0;            // sender's media clock against ours (network only)
    double driftUncertaintyPpm = 0; // about 95 %: twice the standard error
    bool driftKnown = false;        // false too while the uncertainty is beyond kDriftWithheldPpm
    // PTP time of arrival minus the time of the packet's RTP timestamp, when the stream names a
    // PTP reference and ptp4l answers here.
    bool latencyKnown = false;
    double latencyMedianMs = 0;
    double latencyMaxMs = 0;
    // The stream names a PTP reference and ptp4l is asked for PTP time; whether it follows (or
    // is) a grandmaster now, and which.
    bool ptpFollowed = false;
    bool ptpLocked = false;
    std::string ptpGrandmaster;
    // An NDI source: what only NDI carries.
    bool ndi = false;
    std::string ndiSource;   // its whole name
    std::string ndiAddress;  // where the runtime reached it
    int ndiFrameSamples = 0; // samples per audio frame (the last one)
    uint64_t ndiAudioFrames = 0;
    double ndiJitterP99Ms = 0; // |arrival interval - frame duration|, 99th percentile
    double ndiJitterMaxMs = 0;
    std::string ndiMetadata; // the connection metadata, as received
    std::string ndiPicture;  // "640x360 BGRX 30000/1200 progressive"; "" without pictures
    uint64_t ndiPictures = 0;
    double ndiPicturesPerSecond = 0;
};

// The largest positive sample of a signed integer of `bits` bits, scaled to full scale 1.0.
constexpr double FullScaleOfBits(int bits) {
    return 1.0 - 1.0 / static_cast<double>(1ULL << (bits - 1));
}

class CPcmInput {
public:
    virtual ~CPcmInput() = default;
    virtual int Channels() const = 0;
    virtual int Rate() const = 0;
    // Appends up to maxFrames frames (all channels) to `out`; false at the end of the input.
    virtual bool Read(std::vector<double>& out, int maxFrames) = 0;
    virtual InputStats Stats() const { return {}; }
    // The largest positive sample the input can carry (32767/32768 for 16 bits, 1 for float):
    // a sample there, or at -1, is clipped.
    virtual double FullScale() const { return FullScaleOfBits(24); }
    // Inputs that carry pictures: those seen since the last call, on the audio's timeline; the
    // time of the first audio sample on it; the pictures' format as received.
    virtual void TakePictures(std::vector<PictureObservation>& /*out*/) {}
    // Inputs whose audio carries times: (first sample of a block, counted from 0; its time).
    virtual void TakeAudioTimes(std::vector<std::pair<int64_t, double>>& /*out*/) {}
    virtual double AudioStartSeconds() const { return 0; }
    // PTP time now (TAI nanoseconds), where the input follows PTP and ptp4l gives it.
    virtual std::optional<int64_t> PtpNowNs() const { return std::nullopt; }
    virtual std::string PictureFormat() const { return {}; }
};

// A sender drift less certain than this is withheld, not printed.
constexpr double kDriftWithheldPpm = 20.0;

// The most channels any input hands out (and --channels and --expect channels= accept).
constexpr int kMaxInputChannels = 64;

enum class RawFormat { s16le, s24le, s32le, f32le };
std::optional<RawFormat> ParseRawFormat(const std::string& text);

// A WAV file (PCM 16, 24 or 32 bits, or 32-bit float; plain or extensible header); "" error on
// success.
std::unique_ptr<CPcmInput> OpenWav(const std::string& path, std::string* error);
// Raw little-endian PCM from a file, or standard input for "-"; a WAV file there (RIFF) is read
// as one.
std::unique_ptr<CPcmInput> OpenRaw(const std::string& path, RawFormat format, int channels,
                                   int rate, std::string* error);
