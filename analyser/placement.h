// Which generator channel each received channel carries, and its polarity: by the multi-frequency
// set (each generator channel its own frequency), by the sequence's turn, and for polarity by the
// channels that carry one frequency, which the generator sends in phase.
#pragma once

#include "pattern.h"
#include "report.h"

#include <vector>

// Sets each report's plane (and in the sequence its side) from the pattern and the channels'
// offered frequencies.
void PlaceChannels(const PatternResult& pattern, const std::vector<int>& nominal, int rate,
                   std::vector<ChannelReport>& reports);

// Channels of one frequency against each other over the last second (`recent`: each channel's
// last second of samples, in the same order): the fewer that are opposite are inverted.
void JudgePolarity(const std::vector<int>& nominal,
                   const std::vector<const std::vector<double>*>& recent, size_t window,
                   std::vector<ChannelReport>& reports);
