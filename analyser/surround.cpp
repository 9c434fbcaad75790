// Recognition by timing and frequency. BLITS's section 1 bursts sit in 800 ms slots of its 13.4 s
// cycle (L, R, C, LFE, Ls, Rs), its 2 kHz section starts 10.2 s into it on all legs at once, so
// the 2 kHz start (or a C or LFE burst, whose frequency is unique) anchors the cycle and every
// burst's slot names its leg. The EBU multichannel ident's 3 s section starts its cycle on all
// main legs at once; the solo bursts 3.5 s + k s later name the k-th leg clockwise from front left.
// Polarity: legs that start a shared section together, in phase, cross zero rising at the same
// point of the period; an inverted leg half a period later.
#include "surround.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kBlitsCycleS = 13.4;
constexpr double kBlitsSlotS = 0.8;
constexpr double kBlits2kS = 10.2; // into the cycle
const char* const kBlitsLegs[6] = {"L", "R", "C", "LFE", "Ls", "Rs"};
const double kBlitsHz[6] = {880, 880, 1320, 82.5, 660, 660};
const char* const kClockwise51[5] = {"L", "C", "R", "Rs", "Ls"};
const char* const kClockwise71[7] = {"L", "C", "R", "Rs", "Rrs", "Lrs", "Ls"};

bool Near(double value, double target, double tolerance) {
    return std::abs(value - target) <= tolerance;
}

bool NearHz(double hz, double target) {
    return hz > 0 && std::abs(hz / target - 1.0) <= 0.03;
}

double Median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Into the cycle, from just before its start (a burst found a little early or late is still in
// its slot) to just before its end.
double Mod(double value, double cycle) {
    double m = std::fmod(value, cycle);
    m = m < 0 ? m + cycle : m;
    return m > cycle - 0.1 * cycle / 16 ? m - cycle : m;
}

// Legs whose run starting at `start` is half a period from the majority's, at that moment.
std::vector<bool> InvertedLegs(const std::vector<SurroundChannel>& channels,
                               const std::vector<int>& legs, double start, double hz, int rate) {
    std::vector<bool> inverted(channels.size(), false);
    std::vector<std::pair<int, double>> phases;
    for (const int ch : legs) {
        for (const ToneRun& r : channels[static_cast<size_t>(ch)].runs) {
            if (std::abs(static_cast<double>(r.start) - start) <= 0.05 * rate && NearHz(r.hz, hz)) {
                const double at =
                    r.phase + 2 * kPi * r.hz * (start - static_cast<double>(r.start)) / rate;
                phases.push_back({ch, at});
                break;
            }
        }
    }
    if (phases.size() < 2) {
        return inverted;
    }
    // In phase with the first leg, or opposite: the fewer are the inverted ones.
    std::vector<int> same;
    std::vector<int> opposite;
    for (const auto& [ch, phase] : phases) {
        const double d = std::remainder(phase - phases[0].second, 2 * kPi);
        (std::abs(d) > kPi / 2 ? opposite : same).push_back(ch);
    }
    for (const int ch : (opposite.size() <= same.size() ? opposite : same)) {
        inverted[static_cast<size_t>(ch)] = true;
    }
    return inverted;
}

// Tone runs not cut by the start of the recording.
bool Whole(const ToneRun& r, int rate) {
    return r.start > rate / 20;
}

bool RecogniseBlits(const std::vector<SurroundChannel>& channels, int rate, SurroundResult* out) {
    const double cycle = kBlitsCycleS * rate;
    const double slot = kBlitsSlotS * rate;
    // Anchors: the 2 kHz section's start, else a C or LFE burst.
    std::vector<double> starts2k;
    std::vector<std::pair<int, ToneRun>> bursts;
    std::map<int, ToneRun> run2k;
    for (size_t ch = 0; ch < channels.size(); ++ch) {
        for (const ToneRun& r : channels[ch].runs) {
            const double s = static_cast<double>(r.length) / rate;
            if (Whole(r, rate) && NearHz(r.hz, 2000) && Near(s, 3.0, 0.05)) {
                starts2k.push_back(static_cast<double>(r.start));
                run2k.emplace(static_cast<int>(ch), r);
            }
            if (Whole(r, rate) && Near(s, 0.6, 0.03)) {
                for (const double f : kBlitsHz) {
                    if (NearHz(r.hz, f)) {
                        bursts.push_back({static_cast<int>(ch), r});
                        break;
                    }
                }
            }
        }
    }
    // The cycle's start: from the 2 kHz section, else from a burst whose frequency names its
    // slot (C's 1320 Hz, the LFE's 82.5 Hz), so a run need not hold a whole 2 kHz section.
    std::optional<double> anchor;
    if (!starts2k.empty()) {
        anchor = Median(starts2k) - kBlits2kS * rate;
    }
    for (const auto& [ch, r] : bursts) {
        if (!anchor && (NearHz(r.hz, 1320) || NearHz(r.hz, 82.5))) {
            anchor = static_cast<double>(r.start) - (NearHz(r.hz, 1320) ? 2 : 3) * slot;
        }
    }
    if (bursts.size() < 2 || !anchor) {
        return false;
    }
    out->ident = Ident::blits;
    out->layout = "5.1";
    for (const auto& [ch, r] : bursts) {
        const double into = Mod(static_cast<double>(r.start) - *anchor, cycle);
        const int k = static_cast<int>(std::llround(into / slot));
        if (k < 0 || k > 5 || !Near(into, k * slot, 0.05 * rate) || !NearHz(r.hz, kBlitsHz[k])) {
            continue; // a burst out of its slot or at another leg's frequency: not BLITS's
        }
        if (out->roles[static_cast<size_t>(ch)].empty()) {
            out->roles[static_cast<size_t>(ch)] = kBlitsLegs[k];
            out->levels[static_cast<size_t>(ch)] = r.level;
            out->hz[static_cast<size_t>(ch)] = r.hz;
        }
    }
    std::vector<int> legs;
    for (const auto& [ch, r] : run2k) {
        legs.push_back(ch);
    }
    if (!starts2k.empty()) {
        out->inverted = InvertedLegs(channels, legs, Median(starts2k), 2000, rate);
    }
    return std::any_of(out->roles.begin(), out->roles.end(),
                       [](const std::string& r) { return !r.empty(); });
}

// A stereo downmix: the left's 1 kHz interrupted four times (300 ms runs 600 ms apart) while the
// right's runs on for 5.1 s; then the 2 kHz on both.
bool RecogniseBlitsDownmix(const std::vector<SurroundChannel>& channels, int rate,
                           SurroundResult* out) {
    int interrupted = -1;
    int continuous = -1;
    double lineUp = 0;
    for (size_t ch = 0; ch < channels.size(); ++ch) {
        int shortRuns = 0;
        for (const ToneRun& r : channels[ch].runs) {
            const double s = static_cast<double>(r.length) / rate;
            shortRuns += NearHz(r.hz, 1000) && Near(s, 0.3, 0.03) ? 1 : 0;
            if (NearHz(r.hz, 1000) && Near(s, 5.1, 0.1)) {
                continuous = static_cast<int>(ch);
                lineUp = r.level;
            }
        }
        if (shortRuns >= 3) {
            interrupted = static_cast<int>(ch);
        }
    }
    if (interrupted < 0 || continuous < 0 || interrupted == continuous) {
        return false;
    }
    out->ident = Ident::blitsDownmix;
    out->layout = "stereo";
    out->roles[static_cast<size_t>(interrupted)] = "Lo";
    out->roles[static_cast<size_t>(continuous)] = "Ro";
    std::vector<double> levels2k;
    for (const SurroundChannel& c : channels) {
        for (const ToneRun& r : c.runs) {
            if (NearHz(r.hz, 2000) && Near(static_cast<double>(r.length) / rate, 3.0, 0.05)) {
                levels2k.push_back(r.level);
            }
        }
    }
    if (!levels2k.empty() && lineUp > 0) {
        out->downmix2kDb = 20 * std::log10(Median(levels2k) / lineUp);
    }
    return true;
}

bool RecogniseEbuSurround(const std::vector<SurroundChannel>& channels, int rate,
                          SurroundResult* out) {
    std::vector<double> starts;
    std::vector<int> mains;
    for (size_t ch = 0; ch < channels.size(); ++ch) {
        for (const ToneRun& r : channels[ch].runs) {
            if (Whole(r, rate) && NearHz(r.hz, 1000) &&
                Near(static_cast<double>(r.length) / rate, 3.0, 0.05)) {
                starts.push_back(static_cast<double>(r.start));
                mains.push_back(static_cast<int>(ch));
                break;
            }
        }
    }
    if (starts.size() < 2) {
        return false;
    }
    const double t0 = Median(starts);
    // The layout is the count of main legs the 3 s section sounds on: five for 5.1, seven for
    // 7.1 (whose cycle is then 10.5 s against 5.1's 8.5 s). The solo bursts, 1 s apart from
    // 3.5 s into the cycle, name each leg clockwise from front left.
    const bool seven = mains.size() >= 7;
    const int legs = seven ? 7 : 5;
    const double cycle = (3.5 + legs) * rate;
    std::vector<std::pair<int, int>> solos; // channel, slot
    for (size_t ch = 0; ch < channels.size(); ++ch) {
        for (const ToneRun& r : channels[ch].runs) {
            if (!NearHz(r.hz, 1000) || !Near(static_cast<double>(r.length) / rate, 0.5, 0.03)) {
                continue;
            }
            const double into = Mod(static_cast<double>(r.start) - t0 - 3.5 * rate, cycle);
            const int k = static_cast<int>(std::llround(into / rate));
            if (k < legs && Near(into, k * static_cast<double>(rate), 0.05 * rate)) {
                solos.push_back({static_cast<int>(ch), k});
                break;
            }
        }
    }
    out->ident = Ident::ebuSurround;
    out->layout = seven ? "7.1" : "5.1";
    for (const auto& [ch, k] : solos) {
        if (k < (seven ? 7 : 5) && out->roles[static_cast<size_t>(ch)].empty()) {
            out->roles[static_cast<size_t>(ch)] = seven ? kClockwise71[k] : kClockwise51[k];
            out->hz[static_cast<size_t>(ch)] = 1000;
        }
    }
    for (size_t ch = 0; ch < channels.size(); ++ch) {
        if (NearHz(channels[ch].steadyHz, 80) && out->roles[ch].empty()) {
            out->roles[ch] = "LFE";
            out->levels[ch] = channels[ch].steadyLevel;
            out->hz[ch] = channels[ch].steadyHz;
        }
        for (const ToneRun& r : channels[ch].runs) {
            if (Near(static_cast<double>(r.start), t0, 0.02 * rate) && NearHz(r.hz, 1000)) {
                out->levels[ch] = r.level;
            }
        }
    }
    out->inverted = InvertedLegs(channels, mains, t0, 1000, rate);
    return true;
}

} // namespace

const std::vector<std::string>& SurroundOrder(const std::string& layout) {
    static const std::vector<std::string> k51{"L", "R", "C", "LFE", "Ls", "Rs"};
    static const std::vector<std::string> k71{"L", "R", "C", "LFE", "Ls", "Rs", "Lrs", "Rrs"};
    static const std::vector<std::string> kStereo{"Lo", "Ro"};
    return layout == "7.1" ? k71 : layout == "stereo" ? kStereo : k51;
}

SurroundResult RecogniseSurround(const std::vector<SurroundChannel>& channels, int rate) {
    SurroundResult out;
    const size_t n = channels.size();
    const auto reset = [&] {
        out = SurroundResult{};
        out.roles.assign(n, "");
        out.inverted.assign(n, false);
        out.levels.assign(n, 0.0);
        out.hz.assign(n, 0.0);
    };
    reset();
    if (n >= 6 && RecogniseBlits(channels, rate, &out)) {
        return out;
    }
    reset();
    if (n >= 6 && RecogniseEbuSurround(channels, rate, &out)) {
        return out;
    }
    reset();
    if (n >= 2 && n < 6 && RecogniseBlitsDownmix(channels, rate, &out)) {
        return out;
    }
    reset();
    return out;
}

std::vector<std::string> SurroundFaults(const SurroundResult& result) {
    std::vector<std::string> faults;
    if (result.ident == Ident::none) {
        return faults;
    }
    const std::vector<std::string>& order = SurroundOrder(result.layout);
    const size_t legs = std::min(order.size(), result.roles.size());
    const auto name = [](size_t ch) { return "channel " + std::to_string(ch + 1); };
    const auto carrierOf = [&](const std::string& role) -> int {
        for (size_t ch = 0; ch < result.roles.size(); ++ch) {
            if (result.roles[ch] == role) {
                return static_cast<int>(ch);
            }
        }
        return -1;
    };
    std::vector<bool> said(legs, false);
    for (size_t i = 0; i < legs; ++i) {
        if (said[i] || result.roles[i] == order[i]) {
            continue;
        }
        const int j = carrierOf(order[i]);
        if (j >= 0 && static_cast<size_t>(j) < legs &&
            result.roles[static_cast<size_t>(j)] == order[i] &&
            result.roles[i] == order[static_cast<size_t>(j)]) {
            faults.push_back(name(i) + " carries " + result.roles[i] + " and " +
                             name(static_cast<size_t>(j)) + " " + order[i] + ": " + order[i] +
                             " and " + result.roles[i] + " swapped");
            said[i] = said[static_cast<size_t>(j)] = true;
        } else if (j < 0) {
            faults.push_back(order[i] + " missing" +
                             (result.roles[i].empty()
                                  ? " (" + name(i) + " carries no leg)"
                                  : " (" + name(i) + " carries " + result.roles[i] + ")"));
            said[i] = true;
        } else {
            faults.push_back(name(i) + " carries " +
                             (result.roles[i].empty() ? std::string("no leg") : result.roles[i]) +
                             ", expected " + order[i] + " (" + order[i] + " is on " +
                             name(static_cast<size_t>(j)) + ")");
            said[i] = true;
        }
    }
    for (size_t ch = 0; ch < result.inverted.size(); ++ch) {
        if (result.inverted[ch]) {
            faults.push_back(name(ch) +
                             (result.roles[ch].empty() ? "" : " (" + result.roles[ch] + ")") +
                             ": polarity inverted against the other legs");
        }
    }
    return faults;
}
