// The line-up pattern, from every channel's gaps and tone runs together: the EBU stereo ident (a
// 280 ms gap on the left channels every 3 s, or 250 ms as EBU R49 has it), GLITS (left gap at 0,
// right gaps one and two steps on, in a 4 s cycle: 250 ms at 500 and 1000 ms by its public
// definition, 280 ms at 560 and 1120 ms in this generator's), the sequence (one channel at a time
// for 480 ms), a steady tone; and from the ident, each channel's side.
#pragma once

#include "ident.h"
#include "tone_tracker.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct PatternChannel {
    const std::deque<Gap>* gaps = nullptr;
    const std::deque<ToneRun>* runs = nullptr;
    int nominal = 0; // the offered frequency it carries, 0 none
    bool tone = false;
};

struct PatternResult {
    Ident ident = Ident::none;
    bool glitsPublic = false; // GLITS by its public timing rather than this generator's
    bool multiFrequency = false;
    bool tooShort = false;
    double neededSeconds = 0;
    std::vector<int> sides; // per channel: 0 left, 1 right, -1 unknown
    // The sequence: each channel's slot start (-1 none), and the cycle, in samples.
    std::vector<int64_t> slotStarts;
    int64_t cycle = 0;
    // The ident-length gaps no pattern explains are dropouts; these are the ones it does.
    bool gapsExplained = false;
};

PatternResult RecognisePattern(const std::vector<PatternChannel>& channels, int rate,
                               int64_t samples);

// The pattern for people: "EBU stereo ident (EBU R49, 250 ms)", "multi-frequency set, GLITS".
std::string PatternName(const PatternResult& pattern);

// The generator's frequencies, and its multi-frequency set by generator channel.
extern const int kOfferedFrequencies[11];
extern const int kMultiFrequencySet[16];
// The offered frequency within 0.1 %, else 0: a tone further off is another frequency (997 Hz is
// not a 1000 Hz tone 3000 ppm slow), not a clock error.
int Nominal(double hz);
constexpr double kSequenceSlotS = 0.48;
