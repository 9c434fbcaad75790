// The surround line-up idents (EBU Tech 3304): BLITS on 5.1, and the EBU multichannel ident on
// 5.1 or 7.1. Each is one whole cycle per plane, built here on the user-interface thread whenever
// the ident, the level, the pairs or the channel count change, and played by the send thread a
// 40 ms slice at a time from a running position (the cycles, 13.4 s, 8.5 s and 10.5 s, are not
// whole numbers of ticks, and their tones are not whole periods per tick).
//
// Layout, in SMPTE / ITU order: plane 0 L, 1 R, 2 C, 3 LFE, 4 Ls, 5 Rs, 6 Lrs, 7 Rrs. The planes
// after the group carry what they carry without it (the chosen frequency under the EBU stereo
// ident), so a 16-channel source carries 5.1 and stereo pairs side by side.
//
// Shape: every tone segment starts at phase 0 on its first sample and holds a whole or half
// number of periods, so it starts and ends on a zero crossing: gated tones, as the standard draws
// them, with no step in the waveform at either edge. The 1 kHz legs of BLITS and the 2 kHz of all
// six legs are in phase with one another, as a downmix and the polarity check need.
#include "lirafon_engine.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr int32_t kRate = 48000;
constexpr int32_t kMs = kRate / 1000;

// A stretch of tone on one plane: from `startMs` for `lengthMs`, at `tenthsHz` / 10 Hz, `lowered`
// by 6 dB (BLITS's 2 kHz, so that a downmix of six legs lands near line-up level).
struct Segment {
    int32_t plane;
    int32_t startMs;
    int32_t lengthMs;
    int32_t tenthsHz;
    bool lowered;
};

// BLITS. Section 1: 600 ms bursts 800 ms apart in the order L, R, C, LFE, Ls, Rs (L/R 880 Hz,
// C 1320 Hz, LFE 82.5 Hz, Ls/Rs 660 Hz). Section 2 (from 4.8 s): 1 kHz on R for 5.1 s; on L the
// same 5.1 s with four 300 ms interruptions 600 ms apart after its first second; 300 ms of
// silence. Section 3 (from 10.2 s): 2 kHz on all six for 3 s, 6 dB down; 200 ms of silence.
constexpr Segment kBlits[] = {
    {0, 0, 600, 8800, false},      {1, 800, 600, 8800, false},    {2, 1600, 600, 13200, false},
    {3, 2400, 600, 825, false},    {4, 3200, 600, 6600, false},   {5, 4000, 600, 6600, false},
    {0, 4800, 1000, 10000, false}, {0, 6100, 300, 10000, false},  {0, 6700, 300, 10000, false},
    {0, 7300, 300, 10000, false},  {0, 7900, 2000, 10000, false}, {1, 4800, 5100, 10000, false},
    {0, 10200, 3000, 20000, true}, {1, 10200, 3000, 20000, true}, {2, 10200, 3000, 20000, true},
    {3, 10200, 3000, 20000, true}, {4, 10200, 3000, 20000, true}, {5, 10200, 3000, 20000, true},
};
constexpr int32_t kBlitsCycleMs = 13400;

// The EBU multichannel ident: 3 s of 1 kHz on every main channel, 0.5 s of silence, then each
// main channel alone for 0.5 s with 0.5 s of silence after, clockwise from front left; 80 Hz on
// the LFE throughout.
constexpr int32_t kEbuAllMs = 3000;
constexpr int32_t kEbuFirstSlotMs = 3500;
constexpr int32_t kEbuSlotMs = 1000;
constexpr int32_t kEbuToneMs = 500;
constexpr int32_t kClockwise51[] = {0, 2, 1, 5, 4};       // L, C, R, Rs, Ls
constexpr int32_t kClockwise71[] = {0, 2, 1, 5, 7, 6, 4}; // L, C, R, Rs, Rrs, Lrs, Ls

// One pattern of a unit sine that repeats seamlessly: the fewest samples holding a whole number
// of periods (600 for 880 Hz, 6400 for 82.5 Hz).
std::vector<double> SinePattern(int32_t tenthsHz) {
    const int32_t length = kRate * 10 / std::gcd(kRate * 10, tenthsHz);
    std::vector<double> pattern(static_cast<size_t>(length));
    for (int32_t n = 0; n < length; ++n) {
        pattern[static_cast<size_t>(n)] =
            std::sin(2.0 * 3.141592653589793 * tenthsHz * n / (10.0 * kRate));
    }
    return pattern;
}

std::vector<Segment> SurroundSegments(int32_t ident, int32_t planes, int32_t* cycleMs) {
    std::vector<Segment> segments;
    if (ident == CLirafonEngine::kIdentBlits) {
        segments.assign(std::begin(kBlits), std::end(kBlits));
        *cycleMs = kBlitsCycleMs;
        return segments;
    }
    const bool seven = planes == 8;
    const int32_t* order = seven ? kClockwise71 : kClockwise51;
    const int32_t mains = seven ? 7 : 5;
    *cycleMs = kEbuFirstSlotMs + mains * kEbuSlotMs;
    for (int32_t k = 0; k < mains; ++k) {
        segments.push_back({order[k], 0, kEbuAllMs, 10000, false});
        segments.push_back({order[k], kEbuFirstSlotMs + k * kEbuSlotMs, kEbuToneMs, 10000, false});
    }
    segments.push_back({3, 0, *cycleMs, 800, false});
    return segments;
}

} // namespace

int32_t CLirafonEngine::SurroundPlanesFor(int32_t ident, int32_t channels) {
    if ((ident != kIdentBlits && ident != kIdentEbuSurround) || channels < 6) {
        return 0;
    }
    return ident == kIdentEbuSurround && channels >= 8 ? 8 : 6;
}

const wchar_t* CLirafonEngine::SurroundIdentName(int32_t ident, int32_t channels) {
    switch (SurroundPlanesFor(ident, channels)) {
    case 6:
        return ident == kIdentBlits ? L"BLITS 5.1" : L"EBU surround ident 5.1";
    case 8:
        return L"EBU surround ident 7.1";
    default:
        return nullptr;
    }
}

int32_t CLirafonEngine::ChannelCount() const {
    return m_channelChoice >= 0 && m_channelChoice <= 3 ? m_channelCounts[m_channelChoice] : 0;
}

const wchar_t* CLirafonEngine::PlayingSurroundName() const {
    return SurroundIdentName(m_identChoice.load(), ChannelCount());
}

void CLirafonEngine::BuildSurroundIdent() {
    const int32_t ident = m_identChoice.load();
    const int32_t planes = SurroundPlanesFor(ident, ChannelCount());
    std::array<std::vector<float>, kSurroundPlanes> built;
    int32_t cycleMs = 0;
    if (planes > 0) {
        const std::vector<Segment> segments = SurroundSegments(ident, planes, &cycleMs);
        const size_t cycle = static_cast<size_t>(cycleMs) * kMs;
        for (int32_t p = 0; p < planes; ++p) {
            built[static_cast<size_t>(p)].assign(cycle, 0.0f);
        }
        for (const Segment& s : segments) {
            if (s.plane >= planes || m_channelEnabled[static_cast<size_t>(s.plane)] == 0) {
                continue; // an unticked pair is silent, inside the group too
            }
            const std::vector<double> pattern = SinePattern(s.tenthsHz);
            // Sample j of a segment is float32(sine) * level, the product in float32, as the
            // frame bank makes its tones.
            const float gain = s.lowered ? m_level * 0.50118723f : m_level; // -6 dB
            float* out =
                built[static_cast<size_t>(s.plane)].data() + static_cast<size_t>(s.startMs) * kMs;
            const size_t length = static_cast<size_t>(s.lengthMs) * kMs;
            for (size_t j = 0; j < length; ++j) {
                out[j] = static_cast<float>(pattern[j % pattern.size()]) * gain;
            }
        }
    }
    bool shown = false;
    {
        std::lock_guard<std::mutex> lock(m_bankLock);
        // Another ident or layout starts its cycle from the top; a new level or pair keeps its
        // place.
        const bool changed = planes != m_surroundPlaneCount || ident != m_surroundIdent;
        if (changed) {
            m_surroundPosition = 0;
        }
        shown = changed && (planes > 0 || m_surroundPlaneCount > 0);
        m_surroundIdent = ident;
        m_surroundPlaneCount = planes;
        m_surroundCycleSamples = static_cast<int64_t>(cycleMs) * kMs;
        for (size_t p = 0; p < built.size(); ++p) {
            m_surroundCycle[p].swap(built[p]);
        }
    }
    // The card says which surround ident plays, from the picture after the change.
    if (shown && m_senderStarted != 0) {
        DrawCentre();
        SendPictureNow();
    }
}

// Under m_bankLock, on the send thread: the group's planes of the frame about to be sent, from
// the running position, which then moves on by the frame's length.
void CLirafonEngine::CopySurroundSliceLocked(float* planes, int32_t strideFloats,
                                             int32_t sampleCount) {
    if (m_surroundPlaneCount <= 0 || m_surroundCycleSamples <= 0 || sampleCount <= 0) {
        return;
    }
    for (int32_t p = 0; p < m_surroundPlaneCount; ++p) {
        const std::vector<float>& cycle = m_surroundCycle[static_cast<size_t>(p)];
        float* out = planes + static_cast<std::ptrdiff_t>(p) * strideFloats;
        int64_t at = m_surroundPosition;
        for (int32_t done = 0; done < sampleCount;) {
            const int32_t run = static_cast<int32_t>(
                std::min<int64_t>(sampleCount - done, m_surroundCycleSamples - at));
            std::copy(cycle.begin() + at, cycle.begin() + at + run, out + done);
            done += run;
            at = (at + run) % m_surroundCycleSamples;
        }
    }
    m_surroundPosition = (m_surroundPosition + sampleCount) % m_surroundCycleSamples;
}
