// The analyser on signals made here, for what the generator never sends: the 250 ms gaps of EBU
// R49, a dropout of a few samples, a sine at a frequency no line-up uses.
#include "analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

namespace {

// Two channels for `seconds`, sample n of channel c from `value`.
AnalysisReport Analyse(double seconds, const std::function<double(int64_t, int)>& value) {
    CAnalyser analyser(2, 48000, 24.0);
    const auto frames = static_cast<int64_t>(seconds * 48000);
    std::vector<double> block;
    for (int64_t n = 0; n < frames; ++n) {
        block.push_back(value(n, 0));
        block.push_back(value(n, 1));
        if (block.size() == 9600) {
            analyser.Add(block.data(), 4800);
            block.clear();
        }
    }
    analyser.Add(block.data(), block.size() / 2);
    return analyser.Analyse();
}

double Sine(double hz, int64_t n) {
    return 0.1 * std::sin(2 * M_PI * hz * static_cast<double>(n) / 48000.0);
}

} // namespace

TEST(Analyser, NamesThePatternAndTheFaultsOfSignalsTheGeneratorNeverSends) {
    // EBU R49: the left channel silent 250 ms every 3 s (from 1 s on), the right continuous.
    const AnalysisReport r49 = Analyse(8, [](int64_t n, int c) {
        const bool gap = c == 0 && n >= 48000 && (n - 48000) % 144000 < 12000;
        return gap ? 0.0 : Sine(1000, n);
    });
    EXPECT_EQ(r49.identKey, "ebu-r49");
    EXPECT_EQ(r49.channels[0].side, 0);
    EXPECT_EQ(r49.channels[1].side, 1);
    EXPECT_EQ(r49.channels[0].dropouts, 0u);

    // A steady tone with 6 samples missing on the right channel at 2.5 s.
    const AnalysisReport dropout = Analyse(6, [](int64_t n, int c) {
        return c == 1 && n >= 120000 && n < 120030 ? 0.0 : Sine(400, n);
    });
    EXPECT_EQ(dropout.identKey, "steady");
    EXPECT_EQ(dropout.channels[1].dropouts, 1u);
    EXPECT_NEAR(dropout.channels[1].lastDropoutS, 2.5, 0.001);
    EXPECT_GE(dropout.channels[1].lastDropoutSamples, 24);
    EXPECT_NEAR(dropout.channels[0].frequencyHz, 400.0, 0.05);
    EXPECT_FALSE(dropout.channels[0].inverted || dropout.channels[1].inverted);

    // 440 Hz is no frequency of the generator's: no line-up pattern, though it is a clean tone.
    const AnalysisReport sine = Analyse(6, [](int64_t n, int) { return Sine(440, n); });
    EXPECT_EQ(sine.identKey, "none");
    EXPECT_NEAR(sine.channels[0].frequencyHz, 440.0, 0.05);
}
