#include "sender_harness.h"

#include <QGuiApplication>

#include <cstring>
#include <memory>

namespace {

// The card rasterises with Qt Gui, which needs an application object for the whole run.
class GuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "sender_tests";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QGuiApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QGuiApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const gGui =
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

constexpr int32_t kWidth = 640;
constexpr int32_t kHeight = 360;
constexpr size_t kPictureBytes = size_t{kWidth} * kHeight * 4;

} // namespace

int SenderTest::RunTicks(
    TestSender& sender, uint64_t ticks,
    const std::function<void(const NDIlib_audio_frame_v2_t&, uint64_t)>& perTick) {
    m_ndi.SetAudioObserver([&](const NDIlib_audio_frame_v2_t& frame, uint64_t index) {
        if (perTick) {
            perTick(frame, index);
        }
        if (index + 1 >= ticks) {
            sender.m_running = 0;
        }
    });
    const int started = sender.StartSender();
    if (sender.m_sendThread.joinable()) {
        sender.m_sendThread.join();
    }
    m_ndi.SetAudioObserver(nullptr);
    return started;
}

int32_t MatchBankFrame(const CLirafonEngine& record, const NDIlib_audio_frame_v2_t& frame) {
    for (int32_t k = 0; k < CLirafonEngine::kFrameCount; ++k) {
        const NDIlib_audio_frame_v2_t* bank = record.m_audioFrames[k];
        if (bank == nullptr || bank->no_channels != frame.no_channels ||
            bank->no_samples != frame.no_samples) {
            continue;
        }
        bool same = true;
        for (int32_t plane = 0; plane < frame.no_channels && same; ++plane) {
            const auto* sent = reinterpret_cast<const uint8_t*>(frame.p_data) +
                               static_cast<size_t>(plane) * frame.channel_stride_in_bytes;
            const auto* held = reinterpret_cast<const uint8_t*>(bank->p_data) +
                               static_cast<size_t>(plane) * bank->channel_stride_in_bytes;
            same = std::memcmp(sent, held, static_cast<size_t>(frame.no_samples) * 4) == 0;
        }
        if (same) {
            return k;
        }
    }
    return -1;
}

std::vector<uint8_t> ReferencePicture(const std::function<void(CLirafonEngine&)>& extra) {
    std::vector<uint8_t> pixels(kPictureBytes, 0);
    CLirafonEngine record;
    record.m_videoFrame.p_data = pixels.data();
    card::DrawTestCard(record, pixels.data());
    card::DrawLogo(record);
    if (extra) {
        extra(record);
    }
    record.m_videoFrame.p_data = nullptr;
    return pixels;
}

std::vector<uint8_t> Block(const std::vector<uint8_t>& picture, bool atBottom) {
    const int32_t x0 = (kWidth - card::kBlockWidth) / 2;
    const int32_t y0 = atBottom ? kHeight - card::kBottomMargin - card::kBlockHeight
                                : (kHeight - card::kBlockHeight) / 2;
    std::vector<uint8_t> block;
    for (int32_t y = y0; y < y0 + card::kBlockHeight; ++y) {
        const size_t start = (static_cast<size_t>(y) * kWidth + x0) * 4;
        block.insert(block.end(), picture.begin() + static_cast<std::ptrdiff_t>(start),
                     picture.begin() + static_cast<std::ptrdiff_t>(start + card::kBlockWidth * 4));
    }
    return block;
}
