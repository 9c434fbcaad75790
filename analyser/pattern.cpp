#include "pattern.h"

#include <algorithm>
#include <cmath>
#include <set>

const int kOfferedFrequencies[11] = {1000, 800, 600, 500, 400, 300, 250, 200, 150, 125, 100};
const int kMultiFrequencySet[16] = {1000, 800, 600, 500, 400, 300, 250, 200,
                                    150,  125, 100, 125, 150, 200, 250, 300};

namespace {

constexpr double kClockLimit = 0.001;
constexpr double kGlitsStepS = 0.56;
constexpr double kGlitsPublicStepS = 0.5;
constexpr double kGlitsCycleS = 4.0;
constexpr double kEbuCycleS = 3.0;
constexpr double kConfirmMarginS = 0.05; // the tolerance a repeated gap is looked for within
constexpr double kIdentGapShortestS = 0.2;
constexpr double kIdentGapLongestS = 0.33;
constexpr double kR49GapS = 0.25;
constexpr double kSteadyAfterS = 4.5; // a tone this long with no ident gap is a steady tone

struct IdentGap {
    int channel;
    int64_t start;
    int64_t length;
};

class CRecogniser {
public:
    CRecogniser(const std::vector<PatternChannel>& channels, int rate, int64_t samples)
        : m_channels(channels), m_rate(rate), m_samples(samples) {
        for (size_t ch = 0; ch < channels.size(); ++ch) {
            for (const Gap& gap : *channels[ch].gaps) {
                if (gap.length >= Samples(kIdentGapShortestS) &&
                    gap.length <= Samples(kIdentGapLongestS)) {
                    m_identGaps.push_back({static_cast<int>(ch), gap.start, gap.length});
                }
            }
        }
    }

    PatternResult Recognise() {
        PatternResult result;
        result.sides.assign(m_channels.size(), -1);
        result.slotStarts.assign(m_channels.size(), -1);
        std::set<int> offered;
        for (const PatternChannel& c : m_channels) {
            if (c.nominal > 0) {
                offered.insert(c.nominal);
            }
        }
        result.multiFrequency = offered.size() >= 3;
        const bool sequence = FindSequence(result);
        FindGlits();
        const bool glits = (m_glitsGenerator || m_glitsPublic) && Repeated(kGlitsCycleS);
        const bool ebu = !sequence && !glits && m_rightStarts.empty() && Repeated(kEbuCycleS);
        const bool shortGaps =
            !m_identGaps.empty() &&
            std::all_of(m_identGaps.begin(), m_identGaps.end(),
                        [&](const IdentGap& g) { return Near(g.length, kR49GapS, 0.015); });
        const double seconds = static_cast<double>(m_samples) / m_rate;
        if (offered.empty()) {
            result.ident = Ident::none;
        } else if (sequence) {
            result.ident = Ident::sequence;
        } else if (glits) {
            result.ident = Ident::glits;
            result.glitsPublic = m_glitsPublic;
        } else if (ebu) {
            result.ident = shortGaps ? Ident::ebuR49 : Ident::ebu;
        } else if (seconds >= kSteadyAfterS) {
            result.ident = Ident::steady;
        }
        CheckTooShort(result, !offered.empty());
        if (IsStereoIdent(result.ident)) {
            PlaceSides(result);
        }
        result.gapsExplained = IsStereoIdent(result.ident) || result.tooShort;
        return result;
    }

private:
    int64_t Samples(double seconds) const { return static_cast<int64_t>(seconds * m_rate); }
    bool Near(int64_t value, double seconds, double tolerance) const {
        return std::abs(value - Samples(seconds)) <= Samples(tolerance);
    }

    // A pattern counts only with its period confirmed: a gap of one channel again one cycle on.
    // A single mute is a dropout, whatever its length.
    bool Repeated(double cycleS) const {
        for (const IdentGap& a : m_identGaps) {
            for (const IdentGap& b : m_identGaps) {
                if (a.channel == b.channel && Near(b.start - a.start, cycleS, 0.05)) {
                    return true;
                }
            }
        }
        return false;
    }

    bool FindSequence(PatternResult& result) const {
        int sequenceLike = 0;
        for (size_t ch = 0; ch < m_channels.size(); ++ch) {
            bool slot = false;
            for (const ToneRun& run : *m_channels[ch].runs) {
                if (Near(run.length, kSequenceSlotS, 0.03)) {
                    slot = true;
                    result.slotStarts[ch] = run.start;
                }
            }
            sequenceLike += slot ? 1 : 0;
            for (const Gap& gap : *m_channels[ch].gaps) {
                if (slot && gap.length > Samples(0.4)) {
                    result.cycle = std::max(result.cycle, gap.length + Samples(kSequenceSlotS));
                }
            }
        }
        return sequenceLike >= 2 && result.cycle > 0;
    }

    void FindGlits() {
        for (const IdentGap& a : m_identGaps) {
            for (const IdentGap& b : m_identGaps) {
                const bool generator = Near(b.start - a.start, kGlitsStepS, 0.03);
                const bool published = Near(b.start - a.start, kGlitsPublicStepS, 0.03);
                if (generator || published) {
                    m_glitsGenerator = m_glitsGenerator || generator;
                    m_glitsPublic = m_glitsPublic || published;
                    m_rightStarts.insert(b.start);
                }
            }
        }
    }

    // Ident-length gaps, but the run ended before the ident's period could be confirmed: the
    // gap again one cycle (EBU 3 s; GLITS 4 s, told by its right gaps) after the first one.
    void CheckTooShort(PatternResult& result, bool anyOffered) const {
        if ((result.ident != Ident::steady && result.ident != Ident::none) || !anyOffered ||
            m_identGaps.empty()) {
            return;
        }
        const IdentGap first = *std::min_element(
            m_identGaps.begin(), m_identGaps.end(),
            [](const IdentGap& a, const IdentGap& b) { return a.start < b.start; });
        const double cycleS = m_rightStarts.empty() ? kEbuCycleS : kGlitsCycleS;
        const int64_t needed = first.start + Samples(cycleS + kConfirmMarginS) + first.length;
        if (m_samples < needed) {
            result.tooShort = true;
            result.neededSeconds = static_cast<double>(needed) / m_rate;
            result.ident = Ident::unconfirmed;
        }
    }

    // Left or right, from the ident gaps; toned right through the left channels' gaps.
    void PlaceSides(PatternResult& result) const {
        std::set<int> left;
        std::set<int> right;
        for (const IdentGap& g : m_identGaps) {
            (m_rightStarts.count(g.start) ? right : left).insert(g.channel);
        }
        for (size_t ch = 0; ch < m_channels.size(); ++ch) {
            const int c = static_cast<int>(ch);
            if (left.count(c) && !right.count(c)) {
                result.sides[ch] = 0;
            } else if (right.count(c)) {
                result.sides[ch] = 1;
            } else if (m_channels[ch].tone && result.ident != Ident::glits) {
                result.sides[ch] = 1;
            }
        }
    }

    const std::vector<PatternChannel>& m_channels;
    int m_rate;
    int64_t m_samples;
    std::vector<IdentGap> m_identGaps;
    bool m_glitsGenerator = false;
    bool m_glitsPublic = false;
    std::set<int64_t> m_rightStarts;
};

} // namespace

int Nominal(double hz) {
    for (const int f : kOfferedFrequencies) {
        if (std::abs(hz - f) <= f * kClockLimit) {
            return f;
        }
    }
    return 0;
}

PatternResult RecognisePattern(const std::vector<PatternChannel>& channels, int rate,
                               int64_t samples) {
    return CRecogniser(channels, rate, samples).Recognise();
}

std::string PatternName(const PatternResult& pattern) {
    std::string name;
    switch (pattern.ident) {
    case Ident::sequence:
        name = "sequence, one channel at a time";
        break;
    case Ident::glits:
        name = pattern.glitsPublic
                   ? "GLITS (250 ms gaps, right at 500 and 1000 ms)"
                   : "GLITS (this generator's: 280 ms gaps, right at 560 and 1120 ms)";
        break;
    case Ident::ebu:
        name = "EBU stereo ident";
        break;
    case Ident::ebuR49:
        name = "EBU stereo ident (EBU R49, 250 ms)";
        break;
    case Ident::steady:
        name = "steady tone";
        break;
    case Ident::unconfirmed:
        name = "an ident's gap, but too short a run to confirm the ident";
        break;
    default:
        name = "no line-up pattern";
        break;
    }
    if (pattern.multiFrequency && pattern.ident != Ident::none &&
        pattern.ident != Ident::sequence) {
        name = "multi-frequency set, " + name;
    }
    return name;
}
