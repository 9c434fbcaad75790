// Captions on the ident card: one line of text, white on black, rendered by Qt into an off-screen
// 450 x 50 block and copied into the picture at the bottom (ident caption) or in the centre
// (level caption). Without text the block is the band's red, which makes a bottom caption vanish.
//
// Text sits in the top 450 x 46 pixels, centred both ways; with the 32-pixel character cell the
// line occupies block rows 7-38 and rows 46-49 stay black.
#include "block_copy.h"
#include "caption_font.h"
#include "caption_surface.h"
#include "ident_card.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <mutex>

namespace card {

namespace {

constexpr int32_t kTextAreaHeight = 46;
constexpr int32_t kBytesPerPixel = 4;
// One line, centred both ways, "&x" underlines x and "&&" draws one '&'. Qt clips to the
// rectangle unless told otherwise, so a text wider than the block loses both ends evenly.
constexpr int kTextFlags = Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic;
const QColor kBandRed(192, 0, 0);
constexpr qreal kMinimumWidthScale = 0.9;
constexpr qreal kNarrowedMarginPx = 4.0;

void Report(CaptionErrorSink* errors, const wchar_t* message) {
    if (errors != nullptr) {
        errors->CaptionSurfaceFailed(message);
    }
}

// The text area in coordinates scaled so that the font's cell is 32 pixels; Qt centres the line
// in it and clips to it. A line a little too wide for the block is narrowed to fit, keeping 4
// pixels of black at each end (to 90 % of its width at most), rather than losing letters at both
// ends: the substitute faces run wider than the face the captions were laid out for, and the
// fixed SMPTE caption would otherwise be cut. A line wider still is cut evenly on both sides.
void DrawCaptionText(QPainter& painter, const QString& text) {
    const qreal scale = CaptionFont::Scale();
    painter.save();
    painter.setFont(CaptionFont::Make());
    painter.setPen(Qt::white);
    const qreal naturalWidth =
        painter.boundingRect(QRectF(0, 0, 1e6, kTextAreaHeight), kTextFlags, text).width() * scale;
    const qreal fitWidth = kBlockWidth - 2 * kNarrowedMarginPx;
    const qreal widthScale =
        naturalWidth > kBlockWidth ? std::max(kMinimumWidthScale, fitWidth / naturalWidth) : 1.0;
    painter.scale(scale * widthScale, scale);
    painter.drawText(QRectF(0, 0, kBlockWidth / (scale * widthScale), kTextAreaHeight / scale),
                     kTextFlags, text);
    painter.restore();
}

// The formats whose pixels are 4 bytes in the card's order: blue, green, red, fourth byte.
bool HasCardPixels(const QImage& surface) {
    const QImage::Format format = surface.format();
    return surface.width() == kBlockWidth && surface.height() == kBlockHeight &&
           (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
            format == QImage::Format_ARGB32_Premultiplied);
}

// The finished block, or a null image when nothing may be copied. Everything made here is
// released on return, on every path.
QImage DrawCaptionBlock(const wchar_t* text, CaptionErrorSink* errors) {
    QImage surface = MakeCaptionSurface(kBlockWidth, kBlockHeight);
    if (surface.isNull()) {
        Report(errors, kSurfaceNotMadeMessage);
        return {};
    }
    QPainter painter;
    if (!painter.begin(&surface)) {
        Report(errors, kSurfaceNotUsableMessage);
        return {};
    }
    // A fresh block is black, whatever memory the surface came with.
    painter.fillRect(surface.rect(), Qt::black);
    if (text != nullptr) {
        DrawCaptionText(painter, QString::fromWCharArray(text));
    } else {
        painter.fillRect(QRect(0, 0, kBlockWidth, kBlockHeight), kBandRed);
    }
    painter.end();
    if (!HasCardPixels(surface)) {
        // Pixels of another size or order would land scrambled: keep the picture as it was.
        return {};
    }
    // The fourth byte is 255 in the whole block, also where the rasteriser left something else.
    uint8_t* bytes = surface.bits();
    const size_t pixelCount = static_cast<size_t>(kBlockWidth) * kBlockHeight;
    for (size_t i = 0; i < pixelCount; ++i) {
        bytes[i * kBytesPerPixel + 3] = 255;
    }
    return surface;
}

} // namespace

void RenderCaption(CLirafonEngine& record, const wchar_t* text, int32_t atBottom,
                   CaptionErrorSink* errors) {
    uint8_t* picture = record.m_videoFrame.p_data;
    if (picture == nullptr || record.m_videoWidth <= 0 || record.m_videoHeight <= 0) {
        return;
    }
    const QImage block = DrawCaptionBlock(text, errors);
    if (block.isNull()) {
        return;
    }
    const int32_t w = block.width();
    const int32_t h = block.height();
    const int32_t x0 = CentredOffset(record.m_videoWidth, w);
    const int32_t y0 = atBottom != 0 ? record.m_videoHeight - h - kBottomMargin
                                     : CentredOffset(record.m_videoHeight, h);
    const BlockPlacement placement =
        PlaceBlock(record.m_videoWidth, record.m_videoHeight, w, h, x0, y0);
    const std::lock_guard<std::mutex> lock(record.m_bankLock);
    CopyBlock(placement, block.constBits(), w, picture, record.m_videoWidth);
}

} // namespace card
