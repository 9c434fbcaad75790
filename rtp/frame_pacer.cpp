// The audio call of a runtime blocks until its frame is due; this is the clock it blocks on.
#include "frame_pacer.h"

#include <cerrno>
#include <ctime>

void SleepUntilNs(int64_t deadlineNs) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1'000'000'000);
    // Absolute deadlines: a signal that interrupts the sleep does not stretch the period.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

int64_t CFramePacer::Take(int64_t nowNs, int64_t sampleCount, int64_t sampleRateHz) {
    if (sampleRateHz <= 0 || sampleCount < 0) {
        return nowNs;
    }
    int64_t dueNs = m_anchorNs + SamplesToNs(m_samplesSinceAnchor, sampleRateHz);
    const bool late = m_anchored && nowNs > dueNs + SamplesToNs(sampleCount, sampleRateHz);
    if (!m_anchored || sampleRateHz != m_sampleRateHz || late) {
        if (late) {
            ++m_reanchorCount;
        }
        m_anchored = true;
        m_anchorNs = nowNs;
        m_samplesSinceAnchor = 0;
        m_sampleRateHz = sampleRateHz;
        dueNs = nowNs;
    }
    m_samplesSinceAnchor += sampleCount;
    return dueNs;
}
