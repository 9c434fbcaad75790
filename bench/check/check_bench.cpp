// The analyser's cost per second of 16-channel audio: the multi-frequency set under the GLITS
// ident at the SMPTE line-up level, fed in 100 ms blocks with one full analysis a second, as
// lirafon-check runs it. Real time needs well under 1 s of CPU per second of audio.
#include "analysis.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

std::vector<double> SixteenChannelSecond(int second) {
    std::vector<double> samples(48000 * 16);
    for (int i = 0; i < 48000; ++i) {
        const int64_t n = static_cast<int64_t>(second) * 48000 + i;
        const int64_t inCycle = n % (4 * 48000);
        for (int c = 0; c < 16; ++c) {
            const bool left = c % 2 == 0;
            const bool gap = left ? inCycle < 13440
                                  : (inCycle >= 26880 && inCycle < 40320) ||
                                        (inCycle >= 53760 && inCycle < 67200);
            const double hz = kMultiFrequencySet[c];
            samples[static_cast<size_t>(i) * 16 + c] =
                gap ? 0.0 : 0.1 * std::sin(2 * M_PI * hz * static_cast<double>(n) / 48000.0);
        }
    }
    return samples;
}

void BM_AnalyseOneSecondOf16Channels(benchmark::State& state) {
    std::vector<std::vector<double>> seconds;
    for (int s = 0; s < 8; ++s) {
        seconds.push_back(SixteenChannelSecond(s));
    }
    CAnalyser analyser(16, 48000, 24.0);
    size_t second = 0;
    for (auto _ : state) {
        const std::vector<double>& audio = seconds[second++ % seconds.size()];
        for (int block = 0; block < 10; ++block) {
            analyser.Add(audio.data() + static_cast<size_t>(block) * 4800 * 16, 4800);
        }
        benchmark::DoNotOptimize(analyser.Analyse());
    }
    state.SetLabel("CPU per second of 16-channel audio");
}
BENCHMARK(BM_AnalyseOneSecondOf16Channels)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
