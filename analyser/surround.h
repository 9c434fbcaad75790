// The surround line-up idents of EBU Tech 3304, recognised from each received channel's tone runs:
// BLITS (600 ms bursts naming L, R, C, LFE, Ls, Rs in turn, 1 kHz on L and R with the left
// interrupted four times, 2 kHz on all six), the EBU multichannel ident (3 s of 1 kHz on every main
// channel, then each alone, clockwise from front left, with 80 Hz on the LFE throughout), and a
// stereo downmix of BLITS. Each channel's role comes from the time slot its burst sits in, not from
// its position, so a mis-routed leg is named by what it carries.
#pragma once

#include "ident.h"
#include "tone_tracker.h"

#include <optional>
#include <string>
#include <vector>

struct SurroundChannel {
    std::vector<ToneRun> runs; // closed tone runs, oldest first
    double steadyHz = 0;       // the channel's one steady frequency, 0 if none (LFE's 80 Hz)
    double steadyLevel = 0;    // its level, when steady
};

struct SurroundResult {
    Ident ident = Ident::none;         // blits, ebuSurround, blitsDownmix; none
    std::string layout;                // "5.1", "7.1", "stereo"
    std::vector<std::string> roles;    // per received channel: "L", "R", "C", "LFE", "Ls", "Rs",
                                       // "Lrs", "Rrs" ("Lo", "Ro" of a downmix); "" nothing
    std::vector<bool> inverted;        // against the majority of the legs, in the section all share
    std::vector<double> levels;        // each leg's line-up level (linear peak), 0 unknown
    std::vector<double> hz;            // each leg's ident frequency, 0 unknown
    std::optional<double> downmix2kDb; // BLITS downmix: the 2 kHz re the 1 kHz line-up section
};

// The roles of a layout in SMPTE / ITU order: what channel k should carry.
const std::vector<std::string>& SurroundOrder(const std::string& layout);

SurroundResult RecogniseSurround(const std::vector<SurroundChannel>& channels, int rate);

// The lines an engineer would say about the legs against the layout's order: swaps ("channel 3
// carries LFE and channel 4 C: C and LFE swapped"), legs missing, legs misplaced, inverted legs.
std::vector<std::string> SurroundFaults(const SurroundResult& result);
