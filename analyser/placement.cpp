#include "placement.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

constexpr double kAudible = 1e-4; // samples quieter than -80 dBFS are left out of the correlation

void PlaceBySequence(const PatternResult& pattern, const std::vector<int>& nominal, int rate,
                     std::vector<ChannelReport>& reports) {
    const auto slot = static_cast<int64_t>(kSequenceSlotS * rate);
    const int slots = static_cast<int>(std::llround(static_cast<double>(pattern.cycle) / slot));
    // The cycle's start from a channel whose frequency is its own in the set.
    int64_t cycleStart = -1;
    for (size_t ch = 0; ch < reports.size() && cycleStart < 0; ++ch) {
        const int* at = std::find(kMultiFrequencySet, kMultiFrequencySet + 16, nominal[ch]);
        const bool unique =
            std::count(kMultiFrequencySet, kMultiFrequencySet + 16, nominal[ch]) == 1;
        if (unique && pattern.slotStarts[ch] >= 0) {
            cycleStart =
                pattern.slotStarts[ch] - static_cast<int64_t>(at - kMultiFrequencySet) * slot;
        }
    }
    for (size_t ch = 0; ch < reports.size(); ++ch) {
        const int64_t start = pattern.slotStarts[ch];
        if (cycleStart >= 0 && start >= 0 && slots > 0) {
            const int64_t into =
                ((start - cycleStart) % pattern.cycle + pattern.cycle) % pattern.cycle;
            reports[ch].plane =
                static_cast<int>(std::llround(static_cast<double>(into) / slot)) % slots;
            reports[ch].side = reports[ch].plane % 2;
        }
    }
}

void PlaceByFrequency(const std::vector<int>& nominal, std::vector<ChannelReport>& reports) {
    for (size_t ch = 0; ch < reports.size(); ++ch) {
        ChannelReport& r = reports[ch];
        int best = -1;
        for (int p = 0; p < 16; ++p) {
            if (kMultiFrequencySet[p] != nominal[ch]) {
                continue;
            }
            const bool sideFits = r.side < 0 || p % 2 == r.side;
            if (p == r.channel - 1 && sideFits) {
                best = p;
                break;
            }
            if (best < 0 && sideFits) {
                best = p;
            }
        }
        r.plane = best;
    }
}

double Correlation(const std::vector<double>& x, const std::vector<double>& y, size_t window) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t at = 0; at < window; ++at) {
        if (std::abs(x[at]) >= kAudible && std::abs(y[at]) >= kAudible) {
            xy += x[at] * y[at];
            xx += x[at] * x[at];
            yy += y[at] * y[at];
        }
    }
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
}

} // namespace

void PlaceChannels(const PatternResult& pattern, const std::vector<int>& nominal, int rate,
                   std::vector<ChannelReport>& reports) {
    if (pattern.ident == Ident::sequence) {
        PlaceBySequence(pattern, nominal, rate, reports);
    } else if (pattern.multiFrequency) {
        PlaceByFrequency(nominal, reports);
    }
}

void JudgePolarity(const std::vector<int>& nominal,
                   const std::vector<const std::vector<double>*>& recent, size_t window,
                   std::vector<ChannelReport>& reports) {
    std::map<int, std::vector<size_t>> byFrequency;
    for (size_t ch = 0; ch < reports.size(); ++ch) {
        if (nominal[ch] > 0 && reports[ch].tone) {
            byFrequency[nominal[ch]].push_back(ch);
        }
    }
    for (const auto& [f, members] : byFrequency) {
        if (members.size() < 2) {
            continue;
        }
        std::vector<size_t> opposite;
        for (size_t k = 1; k < members.size(); ++k) {
            if (Correlation(*recent[members[0]], *recent[members[k]], window) < -0.5) {
                opposite.push_back(members[k]);
            }
        }
        std::vector<size_t> inverted = opposite;
        if (opposite.size() * 2 > members.size()) {
            inverted.clear();
            for (const size_t ch : members) {
                if (std::find(opposite.begin(), opposite.end(), ch) == opposite.end()) {
                    inverted.push_back(ch);
                }
            }
        }
        const size_t against =
            std::find(inverted.begin(), inverted.end(), members[0]) == inverted.end()
                ? members[0]
                : opposite.front();
        for (const size_t ch : inverted) {
            reports[ch].inverted = true;
            reports[ch].invertedAgainst = static_cast<int>(against) + 1;
        }
    }
}
