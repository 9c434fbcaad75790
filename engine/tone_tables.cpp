// One period of a unit sine per channel plane, built by the quarter-wave construction: the sine is
// evaluated for the first quarter only and the rest of the period is copies and sign flips, so the
// table is exactly symmetric with peaks of exactly +1.0 and -1.0 and a negative zero at the half.
#include "lirafon_engine.h"

#include <cmath>

namespace {

// The float64 value of pi the construction is specified with.
constexpr double kPi = 3.141592653589793;

} // namespace

// A period outside the table's domain is rejected and the table left as it was: it could not be
// held in 2048 entries, built from a quarter, or repeated seamlessly across a 1920-sample frame.
bool CLirafonEngine::BuildToneTable(int32_t frequencyHz, int32_t channel) {
    if (channel < 0 || channel >= kMaxPlanes || frequencyHz <= 0 || m_sampleRate <= 0) {
        return false;
    }
    const int32_t period = m_sampleRate / frequencyHz;
    if (period < 4 || period > kToneTableEntries || period % 4 != 0 ||
        m_samplesPerFrame % period != 0) {
        return false;
    }
    const int32_t quarter = period / 4;
    const int32_t half = 2 * quarter;

    ToneChannel& tone = m_toneChannels[channel];
    tone.frequencyHz = frequencyHz;
    tone.periodSamples = period;
    double* samples = tone.samples.data();

    for (int32_t i = 0; i <= quarter; ++i) {
        const double s = std::sin((static_cast<double>(i) * kPi) / static_cast<double>(half));
        samples[i] = s;
        samples[half + i] = -s;
    }
    for (int32_t i = quarter + 1; i <= half - 1; ++i) {
        samples[i] = samples[half - i];
        samples[half + i] = -samples[half - i];
    }
    return true;
}

void CLirafonEngine::SelectFrequency(int32_t hz) {
    m_frequency = hz;
    for (int32_t plane = 0; plane < kMaxPlanes; ++plane) {
        BuildToneTable(hz, plane);
    }
    RefillAllFrames();
}

void CLirafonEngine::SelectMultiFrequency() {
    for (int32_t plane = 0; plane < kMaxPlanes; ++plane) {
        BuildToneTable(MultiFrequencyTable[plane], plane);
    }
    m_frequency = 1000;
    RefillAllFrames();
}
