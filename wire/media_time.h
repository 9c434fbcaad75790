// Media time: sample counts and nanoseconds, on epochs far from 0 (PTP counts from 1970), and
// TAI as NMOS writes it ("seconds:nanoseconds"). Whole seconds and the rest are kept apart so no
// product leaves 64 bits.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wire {

constexpr int64_t kNsPerSecond = 1'000'000'000;
// TAI was 37 s ahead of UTC at the last leap second (2017) and stays so until the next one.
constexpr int64_t kTaiMinusUtcSeconds = 37;

// CLOCK_MONOTONIC in nanoseconds. Inline: the recording runtime, a shared library that must
// unload, uses it without the rest of this library.
inline int64_t MonotonicNowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}
// The system clock as TAI, in nanoseconds: what a node without PTP calls now.
int64_t TaiNowNs();
// "seconds:nanoseconds", and back (nullopt when malformed or beyond what 64 bits hold).
std::string TaiText(int64_t ns);
std::optional<int64_t> ParseTaiText(std::string_view text);

} // namespace wire

// Duration of sampleCount samples at sampleRateHz, in nanoseconds, rounded down.
constexpr int64_t SamplesToNs(int64_t sampleCount, int64_t sampleRateHz) {
    return sampleCount * 1'000'000'000 / sampleRateHz;
}

// Samples are counted down (the sample at or before the time), times of samples rounded down to
// the nanosecond.
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

// How far a timestamp of a stream whose timestamps are its sample count since the epoch modulo
// 2^32 (ST 2110-10, AES67) lies behind the time nowNs, in nanoseconds: the arrival's own count
// supplies the high bits, so a packet's latency is read from its timestamp alone.
int64_t TimestampAgeNs(int64_t nowNs, uint32_t timestamp, int64_t rateHz);
