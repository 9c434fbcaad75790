// Keeps time for a stream of audio frames: frame n is due at the stream's anchor plus the
// duration of the samples before it, so the cadence comes from a sample counter and never drifts
// with the wall clock. A caller that falls more than one frame behind is re-anchored to now
// rather than allowed to burst the missed frames out back to back.
//
// Threads: one pacer per stream, used by one thread at a time (the owner serialises).
#pragma once

#include <cstdint>

// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNowNs();
// Sleeps until the absolute CLOCK_MONOTONIC time deadlineNs (returns at once when it has passed).
void SleepUntilNs(int64_t deadlineNs);
// Duration of sampleCount samples at sampleRateHz, in nanoseconds, rounded down.
constexpr int64_t SamplesToNs(int64_t sampleCount, int64_t sampleRateHz) {
    return sampleCount * 1'000'000'000 / sampleRateHz;
}

// Media time on an epoch far from 0 (PTP counts from 1970): whole seconds and the rest apart, so
// neither product can leave 64 bits. Samples are counted down (the sample at or before the time),
// times of samples rounded down to the nanosecond.
constexpr int64_t NsToSamplesSinceEpoch(int64_t ns, int64_t rateHz) {
    return ns / 1'000'000'000 * rateHz + ns % 1'000'000'000 * rateHz / 1'000'000'000;
}
constexpr int64_t SamplesSinceEpochToNs(int64_t samples, int64_t rateHz) {
    return samples / rateHz * 1'000'000'000 + samples % rateHz * 1'000'000'000 / rateHz;
}

// A span of time (of either sign, within hours) in ticks of rateHz, rounded to the nearest.
constexpr int64_t NsToSamplesRounded(int64_t spanNs, int64_t rateHz) {
    const int64_t magnitude =
        ((spanNs < 0 ? -spanNs : spanNs) * rateHz + 500'000'000) / 1'000'000'000;
    return spanNs < 0 ? -magnitude : magnitude;
}

class CFramePacer {
public:
    // Takes the next frame of sampleCount samples at sampleRateHz, offered at nowNs, and returns
    // the CLOCK_MONOTONIC time it is due. The first frame, a frame at a new rate and a frame
    // offered more than one frame late start a new anchor at nowNs.
    int64_t Take(int64_t nowNs, int64_t sampleCount, int64_t sampleRateHz);

    void Reset() { m_anchored = false; }
    // How many times a late caller made the pacer start again from now.
    uint64_t ReanchorCount() const { return m_reanchorCount; }

private:
    bool m_anchored = false;
    int64_t m_anchorNs = 0;
    int64_t m_samplesSinceAnchor = 0;
    int64_t m_sampleRateHz = 0;
    uint64_t m_reanchorCount = 0;
};
