// The cost of rebuilding the sound after a setting change, against a memset of the same bytes.
#include "lirafon_engine.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Bank {
    std::unique_ptr<CLirafonEngine> engine = std::make_unique<CLirafonEngine>();
    NDIlib_audio_frame_v2_t frames[16];
    std::vector<float> samples[16];
    Bank() {
        for (int k = 0; k < 16; ++k) {
            samples[k].assign(1920 * 16, 0.0f);
            frames[k].no_channels = 8;
            frames[k].no_samples = 1920;
            frames[k].p_data = samples[k].data();
            frames[k].channel_stride_in_bytes = 1920 * 4;
            engine->m_audioFrames[k] = &frames[k];
        }
        engine->m_sequenceMode = 1; // every frame carries one tone plane
        engine->SelectMultiFrequency();
        engine->m_sequenceMode = 0;
        for (int p = 0; p < 8; ++p) {
            engine->SetPairEnabled(p, 1);
        }
    }
    ~Bank() { engine->m_audioFrames.fill(nullptr); }
};

constexpr size_t kRefillBytes = 16 * 16 * 1920 * sizeof(float);

void BM_RefillAllFrames(benchmark::State& state) {
    Bank bank;
    for (auto _ : state) {
        bank.engine->RefillAllFrames();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRefillBytes));
}
BENCHMARK(BM_RefillAllFrames);

void BM_MemsetSameBytes(benchmark::State& state) {
    std::vector<float> samples[16];
    for (auto& s : samples) {
        s.assign(1920 * 16, 0.0f);
    }
    int value = 0;
    for (auto _ : state) {
        for (auto& s : samples) {
            std::memset(s.data(), value, s.size() * sizeof(float));
        }
        value ^= 1;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRefillBytes));
}
BENCHMARK(BM_MemsetSameBytes);

void BM_SelectFrequency100Hz(benchmark::State& state) {
    Bank bank;
    for (auto _ : state) {
        bank.engine->SelectFrequency(100);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SelectFrequency100Hz);

void BM_SelectMultiFrequency(benchmark::State& state) {
    Bank bank;
    for (auto _ : state) {
        bank.engine->SelectMultiFrequency();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SelectMultiFrequency);

} // namespace

BENCHMARK_MAIN();
