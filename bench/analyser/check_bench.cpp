// The analyser's cost per second of 16-channel audio: the multi-frequency set under the GLITS
// ident at the SMPTE line-up level, fed in 100 ms blocks with one full analysis a second, as
// lirafon-check runs it. Real time needs well under 1 s of CPU per second of audio.
#include "analyser.h"
#include "av_sync.h"
#include "loudness.h"
#include "pattern.h"
#include "probe_metrics.h"
#include "true_peak.h"

#include <ebur128.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
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

// The same with 25 pictures a second for the A/V offset: the analyser and the marker search over
// the audio, the pictures' lumas (a flash with the first of every 100), and the A/V report at the
// end of each second. Decoding a recording's pictures is FFmpeg's work, not counted here.
void BM_AnalyseOneSecondOf16ChannelsWithPictures(benchmark::State& state) {
    std::vector<std::vector<double>> seconds;
    for (int s = 0; s < 8; ++s) {
        seconds.push_back(SixteenChannelSecond(s));
    }
    CAnalyser analyser(16, 48000, 24.0);
    CAvSync av(48000);
    size_t second = 0;
    int picture = 0;
    for (auto _ : state) {
        const std::vector<double>& audio = seconds[second++ % seconds.size()];
        for (int block = 0; block < 10; ++block) {
            analyser.Add(audio.data() + static_cast<size_t>(block) * 4800 * 16, 4800);
            av.AddAudio(audio.data() + static_cast<size_t>(block) * 4800 * 16, 4800, 16);
        }
        for (int p = 0; p < 25; ++p, ++picture) {
            av.AddPicture({picture * 0.04, picture % 100 == 0 ? 0.06 : 0.45, {}});
        }
        benchmark::DoNotOptimize(analyser.Analyse());
        benchmark::DoNotOptimize(av.Analyse(false, "640x360"));
    }
    state.SetLabel("CPU per second of 16-channel audio and 25 pictures");
}
BENCHMARK(BM_AnalyseOneSecondOf16ChannelsWithPictures)->Unit(benchmark::kMillisecond);

// Its parts, per second of 16 channels: the true peak and the loudness by the analyser's own
// meters and by libebur128's.
void BM_TruePeakOwnMeter(benchmark::State& state) {
    const std::vector<double> audio = SixteenChannelSecond(0);
    std::vector<CTruePeakMeter> meters(16);
    for (auto _ : state) {
        for (int c = 0; c < 16; ++c) {
            for (int block = 0; block < 10; ++block) {
                meters[static_cast<size_t>(c)].Add(
                    audio.data() + static_cast<size_t>(block) * 4800 * 16 + c, 16, 4800);
            }
        }
        benchmark::DoNotOptimize(meters[0].Peak());
    }
}
BENCHMARK(BM_TruePeakOwnMeter)->Unit(benchmark::kMillisecond);

void Libebur128(benchmark::State& state, int mode) {
    const std::vector<double> audio = SixteenChannelSecond(0);
    std::vector<ebur128_state*> meters;
    for (int c = 0; c < 16; ++c) {
        meters.push_back(ebur128_init(1, 48000, mode));
    }
    std::vector<double> channel(4800);
    for (auto _ : state) {
        for (int c = 0; c < 16; ++c) {
            for (int block = 0; block < 10; ++block) {
                for (size_t i = 0; i < 4800; ++i) {
                    channel[i] = audio[(static_cast<size_t>(block) * 4800 + i) * 16 + c];
                }
                ebur128_add_frames_double(meters[static_cast<size_t>(c)], channel.data(), 4800);
            }
        }
    }
    for (ebur128_state*& meter : meters) {
        ebur128_destroy(&meter);
    }
}
void BM_TruePeakLibebur128(benchmark::State& state) {
    Libebur128(state, EBUR128_MODE_TRUE_PEAK);
}
BENCHMARK(BM_TruePeakLibebur128)->Unit(benchmark::kMillisecond);
void BM_LoudnessLibebur128(benchmark::State& state) {
    Libebur128(state, EBUR128_MODE_I);
}
BENCHMARK(BM_LoudnessLibebur128)->Unit(benchmark::kMillisecond);

// The analyser's own BS.1770 loudness meter, two channels a register, on the same second.
void BM_LoudnessOwnMeter(benchmark::State& state) {
    const std::vector<double> audio = SixteenChannelSecond(0);
    std::vector<double> planes(audio.size());
    for (size_t i = 0; i < 48000; ++i) {
        for (size_t c = 0; c < 16; ++c) {
            planes[c * 48000 + i] = audio[i * 16 + c];
        }
    }
    std::vector<CLoudnessMeter> meters(16, CLoudnessMeter(48000));
    for (auto _ : state) {
        for (size_t c = 0; c < 16; c += 2) {
            CLoudnessMeter::AddTwo(meters[c], planes.data() + c * 48000, meters[c + 1],
                                   planes.data() + (c + 1) * 48000, 48000);
        }
        benchmark::DoNotOptimize(meters[0].Integrated());
    }
}
BENCHMARK(BM_LoudnessOwnMeter)->Unit(benchmark::kMillisecond);

// A probe's scrape at the size one probe is meant for: 8 inputs of 16 channels, every alarm of
// every channel exported.
static void BM_ProbeMetricsEightInputsOf16Channels(benchmark::State& state) {
    CProbeMetrics metrics;
    AnalysisReport report;
    for (int channel = 1; channel <= 16; ++channel) {
        ChannelReport c;
        c.channel = channel;
        c.tone = true;
        c.frequencyHz = 1000;
        c.peakDbfs = -24;
        c.thdnDb = -90;
        c.noiseDbfs = -140;
        report.channels.push_back(c);
    }
    InputStats stats;
    stats.network = true;
    for (int input = 0; input < 8; ++input) {
        metrics.Publish("studio-" + std::to_string(input) + ".sdp",
                        {report,
                         stats,
                         {{3, "tone missing", -200, std::nullopt, "channel 3"}},
                         1,
                         -12.0,
                         {},
                         -18.0});
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = metrics.Text();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ProbeMetricsEightInputsOf16Channels)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
