// The fixed content of the ident card: the colour bars and band, and the logo in the centre.
// The caption blocks are drawn by caption_overlay.cpp; both place their blocks with block_copy.
#include "ident_card.h"

#include "block_copy.h"
#include "caption_font.h"

#include <QImage>
#include <QString>

#include <array>
#include <cstring>
#include <mutex>

// Q_INIT_RESOURCE names a global function, so it must be used outside any namespace.
static void RegisterCardResources() {
    Q_INIT_RESOURCE(lirafon_card);
}

namespace card {

namespace {

constexpr int32_t kBytesPerPixel = 4;
constexpr int32_t kBarCount = 8;

// 75 % bars in the usual order, as 32-bit words 0xXXRRGGBB (bytes in memory: B, G, R, X).
constexpr std::array<uint32_t, kBarCount> kBarColours{
    0xFFC0C0C0, // white
    0xFFC0C000, // yellow
    0xFF00C0C0, // cyan
    0xFF00C000, // green
    0xFFC000C0, // magenta
    0xFFC00000, // red
    0xFF0000C0, // blue
    0xFF000000, // black
};
// The band's red is bar 5's word: an empty bottom caption (band red) restores the band exactly.
constexpr uint32_t kBandColour = 0xFFC00000;

void FillPixels(uint8_t* first, int32_t count, uint32_t word) {
    const uint8_t bytes[kBytesPerPixel] = {
        static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
        static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    for (int32_t i = 0; i < count; ++i) {
        std::memcpy(first + static_cast<size_t>(i) * kBytesPerPixel, bytes, kBytesPerPixel);
    }
}

uint8_t* PixelAt(uint8_t* pixels, int32_t width, int32_t x, int32_t y) {
    return pixels + (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) *
                        kBytesPerPixel;
}

} // namespace

void DrawTestCard(const CLirafonEngine& record, uint8_t* pixels) {
    const int32_t width = record.m_videoWidth;
    const int32_t height = record.m_videoHeight;
    if (pixels == nullptr || width <= 0 || height <= 0) {
        return;
    }
    const int32_t barWidth = width / kBarCount;
    const int32_t barRows = static_cast<int32_t>((3 * static_cast<int64_t>(height)) / 4);
    for (int32_t y = 0; y < barRows; ++y) {
        for (int32_t bar = 0; bar < kBarCount; ++bar) {
            FillPixels(PixelAt(pixels, width, bar * barWidth, y), barWidth, kBarColours[bar]);
        }
    }
    for (int32_t y = barRows; y < height; ++y) {
        FillPixels(PixelAt(pixels, width, 0, y), width, kBandColour);
    }
}

void DrawLogo(CLirafonEngine& record) {
    uint8_t* picture = record.m_videoFrame.p_data;
    if (picture == nullptr || record.m_videoWidth <= 0 || record.m_videoHeight <= 0) {
        return;
    }
    InitResources();
    // Loaded anew each time and released on return; ARGB32 keeps the image's own fourth byte
    // (255 throughout) in the card's byte order whatever format the file decodes to.
    const QImage logo =
        QImage(QStringLiteral(":/lirafon/logo.png")).convertToFormat(QImage::Format_ARGB32);
    if (logo.isNull()) {
        return;
    }
    const int32_t w = logo.width();
    const int32_t h = logo.height();
    const BlockPlacement placement =
        PlaceBlock(record.m_videoWidth, record.m_videoHeight, w, h,
                   CentredOffset(record.m_videoWidth, w), CentredOffset(record.m_videoHeight, h));
    // 32-bit QImage rows are w x 4 bytes apart, as the copy expects.
    const std::lock_guard<std::mutex> lock(record.m_bankLock);
    CopyBlock(placement, logo.constBits(), w, picture, record.m_videoWidth);
}

std::string CaptionFontDescription() {
    return CaptionFont::Description().toStdString();
}

void InitResources() {
    static const bool registered = (RegisterCardResources(), true);
    (void)registered;
}

} // namespace card
