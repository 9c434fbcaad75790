// One sine period per channel plane, and the fixed multi-frequency set.
#pragma once

#include <array>
#include <cstdint>

constexpr int32_t kToneTableEntries = 2048;

struct ToneChannel {
    std::array<double, kToneTableEntries> samples{};
    int32_t frequencyHz = 0;
    int32_t periodSamples = 0;
};

// Entry k is the frequency of plane k: falling from 1000 Hz to 100 Hz on plane 10, then rising.
constexpr std::array<int32_t, 16> MultiFrequencyTable = {1000, 800, 600, 500, 400, 300, 250, 200,
                                                         150,  125, 100, 125, 150, 200, 250, 300};
