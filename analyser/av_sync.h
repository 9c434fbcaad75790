// Sound against picture: the A/V offset from a source whose pictures flash black where its audio
// carries a marker (the generator's A/V sync mode), measured wherever both arrive with times on
// one timeline: a recording's presentation times, NDI's per-frame timestamps.
//
// The audio marker is on the first channel: where the stereo idents' left gap begins (the first
// silent sample), or, for the sequence, where the first channel's tone begins. A flash is the
// first of a run of pictures far darker than the rest (a black picture stays black through
// scaling, compression and colour conversion). Each flash is paired with the marker nearest to
// it, within half the markers' spacing; the offset is the flash's time minus the marker's, so
// sound ahead of the picture is positive (ITU-R BT.1359's sign).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

struct PictureObservation {
    double seconds = 0;              // on the audio's timeline
    double luma = 0;                 // mean, 0 (black) to 1 (white)
    std::optional<double> latencyMs; // arrival minus the sender's time, where both are known
};

struct AvMarker {
    double seconds = 0; // the audio marker's time
    double offsetMs = 0;
};

struct AvReport {
    // Pictures.
    uint64_t pictures = 0;
    double picturesPerSecond = 0; // from their times
    uint64_t lost = 0;            // intervals longer than one picture's, in pictures
    uint64_t repeated = 0;        // pictures on the time of the one before
    std::string pictureFormat;    // as the input names it
    // Markers.
    int flashes = 0;
    int audioMarkers = 0;   // within the span of the pictures
    int missingFlashes = 0; // markers inside the pictures' span with no flash near them
    int unpairedFlashes = 0;
    std::vector<AvMarker> markers;  // paired, in time order
    std::optional<double> offsetMs; // the median; absent without a pair
    double minOffsetMs = 0;
    double maxOffsetMs = 0;
    std::optional<double> driftMsPerHour; // the fitted slope, from 3 markers over 5 s or more
    std::optional<double> latencyMs;      // median, where the input knows it
    // Why there is no offset, or what stands beside it, for people ("" when all is well).
    std::string problem;
};

// What --expect av= asks for: the sound may lead by up to aheadMs and lag by up to behindMs
// (both positive numbers), and which standard that is, when it is one.
struct AvTolerance {
    double aheadMs = 45;
    double behindMs = 125;
    std::string standard = "ITU-R BT.1359 detectability";
};
// "+45/-125"; nullopt when it cannot be read.
std::optional<AvTolerance> ParseAvTolerance(const std::string& text);

class CAvSync {
public:
    // rate: the audio's; startSeconds: the time of its first sample.
    explicit CAvSync(int rate);
    void SetAudioStart(double seconds) { m_audioStart = seconds; }
    // The first channel of each block of interleaved samples, in order.
    void AddAudio(const double* interleaved, size_t frames, int channels);
    void AddPicture(const PictureObservation& picture) { m_pictures.push_back(picture); }
    // Where a block of the audio begins on the timeline (a recording's audio frames carry their
    // own times, which a gap or a jump in the recording moves); without any, the audio runs on
    // from its start.
    void AddAudioTime(int64_t sample, double seconds) { m_audioTimes.push_back({sample, seconds}); }
    bool HasPictures() const { return !m_pictures.empty(); }
    // The ident gaps' first samples found so far (the markers of the stereo idents).
    const std::vector<int64_t>& GapStarts() const { return m_gapStarts; }
    // sequence: the audio's pattern is the sequence (its markers are tone starts).
    AvReport Analyse(bool sequence, const std::string& pictureFormat) const;
    // Drops the pictures and markers before `seconds` on the timeline, so a probe that runs for
    // days judges the last stretch only and its memory stays flat.
    void Forget(double seconds);

private:
    void OnSample(double x);
    double SampleTime(int64_t sample) const;
    int64_t GapStart(int64_t lastLoud) const;
    double Ring(int64_t index) const { return m_ring[static_cast<size_t>(index) & (kRing - 1)]; }

    static constexpr int64_t kRing = 8192;
    int m_rate;
    double m_decay; // the level follower's factor per sample: it halves in a second
    double m_audioStart = 0;
    int64_t m_index = 0;
    std::vector<double> m_ring = std::vector<double>(kRing);
    double m_level = 0;       // a peak follower of the first channel
    int64_t m_lastLoud = -1;  // the last sample above a quarter of the level
    int64_t m_toneStart = -1; // where the tone sounding now began
    int64_t m_gapStart = -1;  // the refined start of the quiet stretch going on, -1 unknown
    double m_levelAtLoud = 0;
    std::vector<int64_t> m_gapStarts;  // ident-length gaps after a tone, by first silent sample
    std::vector<int64_t> m_toneStarts; // tones after an ident-length gap, by first sample
    std::vector<PictureObservation> m_pictures;
    std::vector<std::pair<int64_t, double>> m_audioTimes;
};
