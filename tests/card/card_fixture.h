// A record with a picture of its own, and pixel helpers for the card tests.
#pragma once

#include "ident_card.h"
#include "lirafon_engine.h"

#include <QImage>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace cardtest {

using Pixel = std::array<uint8_t, 4>; // bytes in memory: blue, green, red, fourth

inline constexpr Pixel kWhite{192, 192, 192, 255};
inline constexpr Pixel kYellow{0, 192, 192, 255};
inline constexpr Pixel kCyan{192, 192, 0, 255};
inline constexpr Pixel kGreen{0, 192, 0, 255};
inline constexpr Pixel kMagenta{192, 0, 192, 255};
inline constexpr Pixel kRed{0, 0, 192, 255};
inline constexpr Pixel kBlue{192, 0, 0, 255};
inline constexpr Pixel kBlack{0, 0, 0, 255};
inline constexpr std::array<Pixel, 8> kBars{kWhite,   kYellow, kCyan, kGreen,
                                            kMagenta, kRed,    kBlue, kBlack};

// Collects the caption surface failures the window would show.
class RecordingSink : public card::CaptionErrorSink {
public:
    std::vector<std::wstring> messages;
    void CaptionSurfaceFailed(const wchar_t* message) override { messages.emplace_back(message); }
};

// The record with a W x H picture block, filled with fill (0 like StartSender's fresh block).
class CardRecord {
public:
    std::unique_ptr<CLirafonEngine> record = std::make_unique<CLirafonEngine>();
    std::vector<uint8_t> pixels;

    explicit CardRecord(int32_t width = 640, int32_t height = 360, uint8_t fill = 0) {
        record->m_videoWidth = width;
        record->m_videoHeight = height;
        pixels.assign(static_cast<size_t>(width) * height * 4, fill);
        record->m_videoFrame.p_data = pixels.data();
    }
    ~CardRecord() { record->m_videoFrame.p_data = nullptr; }

    int32_t Width() const { return record->m_videoWidth; }
    int32_t Height() const { return record->m_videoHeight; }

    Pixel At(int32_t x, int32_t y) const {
        Pixel p;
        std::memcpy(p.data(), pixels.data() + (static_cast<size_t>(y) * Width() + x) * 4, 4);
        return p;
    }

    // The sender's first picture: test card and logo.
    void FirstPicture() {
        card::DrawTestCard(*record, pixels.data());
        card::DrawLogo(*record);
    }

    // The sender's start-up picture: the first picture, then the ident caption (or none).
    void StartUp(const wchar_t* ident = L"QEL NDI\u00AE Reza Radidired No1") {
        FirstPicture();
        card::RenderCaption(*record, ident, 1, nullptr);
    }

    void Caption(const wchar_t* text, int32_t atBottom, card::CaptionErrorSink* sink = nullptr) {
        card::RenderCaption(*record, text, atBottom, sink);
    }
};

// The logo as the card library holds it, in the card's byte order.
inline QImage Logo() {
    card::InitResources();
    return QImage(QStringLiteral(":/lirafon/logo.png")).convertToFormat(QImage::Format_ARGB32);
}

inline Pixel LogoAt(const QImage& logo, int32_t x, int32_t y) {
    Pixel p;
    std::memcpy(p.data(), logo.constScanLine(y) + static_cast<size_t>(x) * 4, 4);
    return p;
}

// Is every pixel outside the w x h rectangle at (x0, y0) the same in both pictures?
inline bool SameOutside(const CardRecord& a, const std::vector<uint8_t>& before, int32_t x0,
                        int32_t y0, int32_t w, int32_t h) {
    for (int32_t y = 0; y < a.Height(); ++y) {
        for (int32_t x = 0; x < a.Width(); ++x) {
            if (x >= x0 && x < x0 + w && y >= y0 && y < y0 + h) {
                continue;
            }
            const size_t at = (static_cast<size_t>(y) * a.Width() + x) * 4;
            if (std::memcmp(a.pixels.data() + at, before.data() + at, 4) != 0) {
                return false;
            }
        }
    }
    return true;
}

} // namespace cardtest
