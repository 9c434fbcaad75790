// Caption surfaces that cannot be made, cannot be used, or deliver pixels of another layout: the
// window hears the two failures, the picture keeps every pixel, and the surface is released.
#include "caption_surface.h"
#include "card_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace cardtest;

// Hands out one surface over memory the test owns and notes when Qt releases it.
struct TrackedSurface {
    std::vector<uint8_t> memory = std::vector<uint8_t>(450 * 50 * 4, 0);
    bool released = false;

    card::CaptionSurfaceFactory Factory(QImage::Format format) {
        return [this, format](int32_t width, int32_t height) {
            return QImage(
                memory.data(), width, height, width * 4, format,
                [](void* info) { static_cast<TrackedSurface*>(info)->released = true; }, this);
        };
    }
};

struct FailureCase {
    const char* name;
    QImage::Format format;  // Format_Invalid: the factory gives a null image
    const wchar_t* message; // null: no message
};

class CaptionFailure : public ::testing::TestWithParam<FailureCase> {
protected:
    void TearDown() override { card::SetCaptionSurfaceFactory({}); }
};

TEST_P(CaptionFailure, PictureUnchangedSurfaceReleased) {
    const FailureCase& failure = GetParam();
    CardRecord card;
    card.StartUp();
    const std::vector<uint8_t> before = card.pixels;
    TrackedSurface surface;
    if (failure.format == QImage::Format_Invalid) {
        card::SetCaptionSurfaceFactory([](int32_t, int32_t) { return QImage(); });
    } else {
        card::SetCaptionSurfaceFactory(surface.Factory(failure.format));
    }
    RecordingSink sink;
    for (int32_t atBottom : {0, 1}) {
        card.Caption(CLirafonEngine::kSmpteCaption, atBottom, &sink);
        card.Caption(nullptr, atBottom, &sink);
    }
    EXPECT_EQ(card.pixels, before);
    if (failure.message != nullptr) {
        EXPECT_EQ(sink.messages, std::vector<std::wstring>(4, failure.message));
    } else {
        EXPECT_TRUE(sink.messages.empty());
    }
    if (failure.format != QImage::Format_Invalid) {
        EXPECT_TRUE(surface.released);
    }
    // Without a sink the failure is silent and as harmless.
    card.Caption(L"x", 1, nullptr);
    EXPECT_EQ(card.pixels, before);
}

INSTANTIATE_TEST_SUITE_P(
    Surfaces, CaptionFailure,
    ::testing::Values(
        FailureCase{"NotMade", QImage::Format_Invalid, L"CreateCB fail"},
        // QPainter cannot open an indexed image.
        FailureCase{"NotUsable", QImage::Format_Indexed8, L"SelectObject fail"},
        // Readable, but not 4-byte pixels in the card's order: nothing is copied, silently.
        FailureCase{"TwoBytePixels", QImage::Format_RGB16, nullptr},
        FailureCase{"RedFirstPixels", QImage::Format_RGBA8888, nullptr}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(CaptionSurface, AWorkingSurfaceIsReleasedToo) {
    CardRecord card;
    TrackedSurface surface;
    card::SetCaptionSurfaceFactory(surface.Factory(QImage::Format_RGB32));
    RecordingSink sink;
    card.Caption(L"", 1, &sink);
    card::SetCaptionSurfaceFactory({});
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_TRUE(surface.released);
    EXPECT_EQ(card.At(95, 290), kBlack);
}

} // namespace
