// The surround idents as the send loop sends them, sample for sample over two whole cycles,
// against their published timing written out here (EBU Tech 3304: BLITS's bursts, its 1 kHz
// stereo section with the left leg's four interruptions, its 2 kHz 6 dB down; the EBU
// multichannel ident's clockwise walk with 80 Hz on the LFE), the planes after the group on the
// EBU stereo ident, and an unticked pair inside the group silent.
#include "sender_harness.h"

#include <cmath>
#include <vector>

namespace {

struct Tone {
    double startS;
    double lengthS;
    double hz;
    double gain;
};

// BLITS on L, R, C, LFE, Ls, Rs, from the published description.
std::vector<std::vector<Tone>> Blits() {
    std::vector<std::vector<Tone>> legs(6);
    const double burstHz[6] = {880, 880, 1320, 82.5, 660, 660};
    for (int leg = 0; leg < 6; ++leg) {
        legs[leg].push_back({0.8 * leg, 0.6, burstHz[leg], 1.0});
        legs[leg].push_back({10.2, 3.0, 2000, std::pow(10.0, -6.0 / 20)});
    }
    legs[1].push_back({4.8, 5.1, 1000, 1.0});
    // The left leg: tone from 4.8 s, interrupted for 300 ms at 5.8, 6.4, 7.0 and 7.6 s.
    double at = 4.8;
    for (const double stop : {5.8, 6.4, 7.0, 7.6, 9.9}) {
        legs[0].push_back({at, stop - at, 1000, 1.0});
        at = stop + 0.3;
    }
    return legs;
}

// The EBU multichannel ident, 7.1 (L, R, C, LFE, Ls, Rs, Lrs, Rrs): clockwise L C R Rs Rrs Lrs Ls.
std::vector<std::vector<Tone>> EbuSurround71() {
    std::vector<std::vector<Tone>> legs(8);
    const int clockwise[7] = {0, 2, 1, 5, 7, 6, 4};
    for (int k = 0; k < 7; ++k) {
        legs[clockwise[k]].push_back({0, 3.0, 1000, 1.0});
        legs[clockwise[k]].push_back({3.5 + k, 0.5, 1000, 1.0});
    }
    legs[3].push_back({0, 10.5, 80, 1.0});
    return legs;
}

// Sample n of a leg: the sine of the tone sounding then, from phase 0 at its first sample.
double Expected(const std::vector<Tone>& leg, int64_t n, float level) {
    for (const Tone& t : leg) {
        const int64_t start = std::llround(t.startS * 48000);
        const int64_t length = std::llround(t.lengthS * 48000);
        if (n >= start && n < start + length) {
            return std::sin(2 * M_PI * t.hz * static_cast<double>(n - start) / 48000) * t.gain *
                   level;
        }
    }
    return 0;
}

struct SurroundCase {
    const char* name;
    int32_t ident;
    std::vector<std::vector<Tone>> (*legs)();
    double cycleS;
};

class SurroundCycles : public SenderTest, public ::testing::WithParamInterface<SurroundCase> {};

TEST_P(SurroundCycles, EveryLegToTheSampleAndTheStereoPairBeside) {
    const SurroundCase& c = GetParam();
    TestSender sender;
    sender.m_channelChoice = 3; // 16 channels: the group, then stereo pairs
    sender.m_pairBoxInputs.fill(1);
    sender.m_pairBoxInputs[1] = 0; // pair 3-4 (C and LFE) unticked: silent inside the group
    sender.SetChannelCount();
    sender.m_identChoice = c.ident;
    sender.BuildIdentSequence();
    m_ndi.SetStorePayloads(false);

    const auto cycle = static_cast<int64_t>(std::llround(c.cycleS * 48000));
    const int64_t ticks = 2 * cycle / 1920 + 2;
    std::vector<std::vector<float>> planes(10);
    ASSERT_EQ(RunTicks(sender, static_cast<uint64_t>(ticks),
                       [&](const NDIlib_audio_frame_v2_t& frame, uint64_t) {
                           for (int p = 0; p < 10; ++p) {
                               const float* at =
                                   frame.p_data + p * frame.channel_stride_in_bytes / 4;
                               planes[p].insert(planes[p].end(), at, at + frame.no_samples);
                           }
                       }),
              1);
    sender.StopSender();
    const std::vector<std::vector<Tone>> legs = c.legs();
    const float level = CLirafonEngine::kEbuLevel;
    for (size_t p = 0; p < legs.size(); ++p) {
        const bool unticked = p == 2 || p == 3;
        int wrong = 0;
        for (int64_t n = 0; n < 2 * cycle && wrong < 3; ++n) {
            const double want = unticked ? 0.0 : Expected(legs[p], n % cycle, level);
            const float got = planes[p][static_cast<size_t>(n)];
            // Silence exactly silent; tone within float32 rounding of the sine.
            if ((want == 0.0 && got != 0.0f) || std::abs(got - want) > 2e-6) {
                ADD_FAILURE() << c.name << " plane " << p << " sample " << n << ": " << got
                              << ", expected " << want;
                ++wrong;
            }
        }
    }
    // The first pair after the group: the EBU stereo ident (left silent in ticks 0 to 6 of 75).
    const size_t left = legs.size();
    for (int64_t tick = 0; tick < ticks; ++tick) {
        const float peak =
            std::abs(planes[left][static_cast<size_t>(tick * 1920 + 12)]); // a 1 kHz peak
        EXPECT_EQ(peak == 0.0f, tick % 75 < 7) << c.name << " tick " << tick;
        EXPECT_NE(planes[left + 1][static_cast<size_t>(tick * 1920 + 12)], 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Idents, SurroundCycles,
                         ::testing::Values(SurroundCase{"Blits", 2, Blits, 13.4},
                                           SurroundCase{"EbuSurround71", 3, EbuSurround71, 10.5}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
