// The loop at full speed on the non-blocking recording runtime while this thread, standing in for
// the window, changes every setting thousands of times. Every frame the loop sends must be one the
// bank held complete at some moment: the frames reachable by the settings cycled through are
// hashed beforehand, and the observer checks each sent frame's hash against them. A torn frame
// (planes or samples from two different fills) matches none. ThreadSanitizer watches the rest.
#include "sender_harness.h"

#include <atomic>
#include <random>
#include <unordered_set>
#include <vector>

namespace {

constexpr int32_t kSamples = 1920;
constexpr int32_t kPlanes = 16;
constexpr int32_t kChanges = 2000;

uint64_t Mix(uint64_t hash, uint64_t word) {
    hash ^= word;
    return hash * 0x100000001b3ull;
}

uint64_t PlaneHash(const float* samples) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int32_t j = 0; j < kSamples; ++j) {
        hash = Mix(hash, std::bit_cast<uint32_t>(samples[j]));
    }
    return hash;
}

uint64_t FrameHash(int32_t channels, const std::vector<uint64_t>& planes) {
    uint64_t hash = Mix(0xcbf29ce484222325ull, static_cast<uint64_t>(channels));
    for (int32_t p = 0; p < channels; ++p) {
        hash = Mix(hash, planes[p]);
    }
    return hash;
}

// Frequencies the stress cycles through: the four single ones and the multi-frequency set (0).
const std::vector<int32_t> kFrequencies = {1000, 400, 200, 100, 0};
const std::vector<int32_t> kUserLevels = {16, -3};

// Every frame the bank can hold with these settings: for each table set and level, each channel
// count, the normal variants of every enabled pair set (all, left silent, right silent, silence)
// and the sequence variants (one plane alone).
std::unordered_set<uint64_t> ReachableFrames() {
    std::vector<float> levels = {CLirafonEngine::kEbuLevel, 1.0f};
    for (int32_t dbu : kUserLevels) {
        levels.push_back(CLirafonEngine::GainForUserLevel(dbu));
    }
    std::vector<float> plane(kSamples, 0.0f);
    const uint64_t silent = PlaneHash(plane.data());
    std::unordered_set<uint64_t> frames;
    for (int32_t hz : kFrequencies) {
        CLirafonEngine tables;
        if (hz != 0) {
            tables.SelectFrequency(hz);
        } else {
            tables.SelectMultiFrequency();
        }
        for (float level : levels) {
            std::vector<uint64_t> tone(kPlanes);
            for (int32_t p = 0; p < kPlanes; ++p) {
                const ToneChannel& table = tables.m_toneChannels[p];
                for (int32_t j = 0; j < kSamples; ++j) {
                    plane[j] = static_cast<float>(table.samples[j % table.periodSamples]) * level;
                }
                tone[p] = PlaneHash(plane.data());
            }
            for (int32_t channels : {2, 4, 8, 16}) {
                auto add = [&](auto carries) {
                    std::vector<uint64_t> planes(kPlanes);
                    for (int32_t p = 0; p < channels; ++p) {
                        planes[p] = carries(p) ? tone[p] : silent;
                    }
                    frames.insert(FrameHash(channels, planes));
                };
                for (uint32_t pairs = 0; pairs < (1u << (channels / 2)); ++pairs) {
                    auto on = [pairs](int32_t p) { return ((pairs >> (p / 2)) & 1u) != 0; };
                    add(on);
                    add([&](int32_t p) { return on(p) && p % 2 == 1; });
                    add([&](int32_t p) { return on(p) && p % 2 == 0; });
                }
                for (int32_t alone = 0; alone <= channels; ++alone) { // channels: silence
                    add([alone](int32_t p) { return p == alone; });
                }
            }
        }
    }
    return frames;
}

TEST_F(SenderTest, EverySentFrameIsOneTheBankHeldComplete) {
    const std::unordered_set<uint64_t> reachable = ReachableFrames();
    TestSender sender;
    m_ndi.SetStorePayloads(false);
    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> torn{0};
    std::atomic<uint64_t> firstTorn{UINT64_MAX};
    m_ndi.SetAudioObserver([&](const NDIlib_audio_frame_v2_t& frame, uint64_t index) {
        std::vector<uint64_t> planes(kPlanes);
        for (int32_t p = 0; p < frame.no_channels; ++p) {
            planes[p] = PlaneHash(frame.p_data + static_cast<size_t>(p) * kSamples);
        }
        if (frame.no_samples != kSamples || frame.channel_stride_in_bytes != kSamples * 4 ||
            reachable.count(FrameHash(frame.no_channels, planes)) == 0) {
            if (torn.fetch_add(1) == 0) {
                firstTorn = index;
            }
        }
        ticks.fetch_add(1);
    });
    ASSERT_EQ(sender.StartSender(), 1);

    std::mt19937 random(20250708);
    auto pick = [&random](int32_t count) {
        return std::uniform_int_distribution<int32_t>(0, count - 1)(random);
    };
    for (int32_t change = 0; change < kChanges; ++change) {
        switch (pick(7)) {
        case 0:
            sender.m_levelChoice = pick(3);
            sender.m_userLevelDbu = kUserLevels[pick(2)];
            sender.ApplyLevelChoice();
            break;
        case 1: {
            const int32_t hz = kFrequencies[pick(5)];
            if (hz != 0) {
                sender.SelectFrequency(hz);
            } else {
                sender.SelectMultiFrequency();
            }
            break;
        }
        case 2:
            sender.m_channelChoice = pick(4);
            for (auto& box : sender.m_pairBoxInputs) {
                box = pick(2);
            }
            sender.SetChannelCount();
            break;
        case 3:
            sender.SetPairEnabled(pick(8), pick(2));
            break;
        case 4:
            sender.m_identChoice = pick(2);
            sender.BuildIdentSequence();
            break;
        case 5: // the frequency menu's sequence command
            sender.m_sequenceMode = sender.m_sequenceMode.load() != 0 ? 0 : 1;
            sender.SelectMultiFrequency();
            break;
        default:
            sender.m_fullRateVideo = pick(2);
            break;
        }
    }
    sender.StopSendLoop();
    m_ndi.SetAudioObserver(nullptr);
    sender.StopSender();

    EXPECT_GT(ticks.load(), 0u);
    EXPECT_EQ(torn.load(), 0u) << "first torn frame at tick " << firstTorn.load() << " of "
                               << ticks.load();
    std::printf("stress: %llu ticks during %d changes\n",
                static_cast<unsigned long long>(ticks.load()), kChanges);
}

} // namespace
