// Keeps time for a stream of audio frames: frame n is due at the stream's anchor plus the
// duration of the samples before it, so the cadence comes from a sample counter and never drifts
// with the wall clock. A caller that falls more than one frame behind is re-anchored to now
// rather than allowed to burst the missed frames out back to back.
//
// Threads: one pacer per stream, used by one thread at a time (the owner serialises).
#pragma once

#include "media_time.h"

#include <cstdint>

using wire::MonotonicNowNs;
// Sleeps until the absolute CLOCK_MONOTONIC time deadlineNs (returns at once when it has passed).
void SleepUntilNs(int64_t deadlineNs);

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
