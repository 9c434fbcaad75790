// Captions: where the block lands and what it leaves alone, no text versus empty text, the text's
// geometry inside the block (not its grey levels, which belong to the font), the ampersand rule,
// and the surface failures.
#include "caption_font.h"
#include "caption_surface.h"
#include "card_fixture.h"

#include <QPainter>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace cardtest;

constexpr const wchar_t* kIdent = L"QEL NDI\u00AE Reza Radidired No1";

// Ink (any non-black pixel) inside a 450 x 50 block at (x0, y0) of the picture.
struct Ink {
    int32_t top = 1000, bottom = -1, left = 1000, right = -1;
    bool grey = true;
    bool Any() const { return bottom >= 0; }
};

Ink InkIn(const CardRecord& card, int32_t x0, int32_t y0, int32_t fromRow = 0, int32_t toRow = 50) {
    Ink ink;
    for (int32_t y = fromRow; y < toRow; ++y) {
        for (int32_t x = 0; x < 450; ++x) {
            const Pixel p = card.At(x0 + x, y0 + y);
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) {
                continue;
            }
            ink.top = std::min(ink.top, y);
            ink.bottom = std::max(ink.bottom, y);
            ink.left = std::min(ink.left, x);
            ink.right = std::max(ink.right, x);
            ink.grey = ink.grey && p[0] == p[1] && p[1] == p[2];
        }
    }
    return ink;
}

TEST(Caption, IdentOffLeavesTheBandAsItWas) {
    CardRecord card;
    card.FirstPicture();
    const std::vector<uint8_t> startPicture = card.pixels;
    card.Caption(nullptr, 1);
    EXPECT_EQ(card.At(300, 300), kRed);
    EXPECT_EQ(card.pixels, startPicture);
}

TEST(Caption, IdentOnFillsTheBottomBlockOnly) {
    CardRecord card;
    card.FirstPicture();
    const std::vector<uint8_t> before = card.pixels;
    card.Caption(kIdent, 1);

    EXPECT_EQ(card.At(95, 339), kBlack); // block row 49
    EXPECT_EQ(card.At(94, 339), kRed);
    EXPECT_EQ(card.At(95, 340), kRed);
    EXPECT_EQ(card.At(544, 290), kBlack);
    EXPECT_EQ(card.At(545, 290), kRed);
    EXPECT_EQ(card.At(544, 289), kRed);
    EXPECT_TRUE(SameOutside(card, before, 95, 290, 450, 50));
    for (int32_t y = 290; y < 340; ++y) {
        for (int32_t x = 95; x < 545; ++x) {
            ASSERT_EQ(card.At(x, y)[3], 255);
        }
    }
    // The line's cell is rows 7-38 of the block; the text is white-grey, and centred.
    const Ink ink = InkIn(card, 95, 290);
    ASSERT_TRUE(ink.Any());
    EXPECT_GE(ink.top, 7);
    EXPECT_LE(ink.bottom, 38);
    EXPECT_GE(ink.bottom - ink.top, 20); // capitals and descenders span most of the cell
    EXPECT_TRUE(ink.grey);
    EXPECT_LE(std::abs(ink.left - (449 - ink.right)), 3);
}

TEST(Caption, EmptyTextIsBlackAndNoTextIsBandRed) {
    CardRecord card;
    card.StartUp(L"");
    for (int32_t y = 290; y < 340; ++y) {
        for (int32_t x = 95; x < 545; ++x) {
            ASSERT_EQ(card.At(x, y), kBlack) << x << "," << y;
        }
    }
    card.Caption(nullptr, 1);
    for (int32_t y = 270; y < 360; ++y) {
        for (int32_t x = 0; x < 640; ++x) {
            ASSERT_EQ(card.At(x, y), kRed) << x << "," << y;
        }
    }
}

TEST(Caption, SmpteThenUserThenEbuRestoresTheStartUpPicture) {
    CardRecord card;
    card.StartUp();
    const std::vector<uint8_t> startPicture = card.pixels;

    card.Caption(CLirafonEngine::kSmpteCaption, 0);
    EXPECT_EQ(card.At(95, 155), kBlack);
    EXPECT_EQ(card.At(94, 155), kYellow);
    EXPECT_EQ(card.At(544, 204), kBlack);
    EXPECT_EQ(card.At(545, 204), kBlue);
    EXPECT_TRUE(SameOutside(card, startPicture, 95, 155, 450, 50));
    const Ink smpte = InkIn(card, 95, 155);
    EXPECT_GE(smpte.top, 7);
    EXPECT_LE(smpte.bottom, 38);
    const std::vector<uint8_t> smptePicture = card.pixels;

    card.Caption(CLirafonEngine::UserLevelText(16).c_str(), 0);
    EXPECT_NE(card.pixels, smptePicture);
    EXPECT_TRUE(SameOutside(card, startPicture, 95, 155, 450, 50));

    card::DrawLogo(*card.record);
    EXPECT_EQ(card.pixels, startPicture);
}

// Renders text into a 450 x 50 picture, which the centre block covers exactly.
std::vector<uint8_t> Block(const wchar_t* text) {
    CardRecord card(450, 50, 0x55);
    card.Caption(text, 0);
    return card.pixels;
}

// The same line drawn by the test with Qt directly: the caption font at its scale, centred in the
// text area, with extraFlags added to one line, centred.
std::vector<uint8_t> Reference(const QString& text, int extraFlags) {
    QImage reference(450, 50, QImage::Format_RGB32);
    reference.fill(Qt::black);
    QPainter painter(&reference);
    const qreal scale = card::CaptionFont::Scale();
    painter.scale(scale, scale);
    painter.setFont(card::CaptionFont::Make());
    painter.setPen(Qt::white);
    painter.drawText(QRectF(0, 0, 450 / scale, 46 / scale),
                     Qt::AlignCenter | Qt::TextSingleLine | extraFlags, text);
    painter.end();
    return std::vector<uint8_t>(reference.constBits(), reference.constBits() + 450 * 50 * 4);
}

// "AB" laid out by the test with QTextLayout, optionally with B underlined, placed as a centred
// line of the text area. Its glyph positions may differ from the card's by a fraction of a pixel,
// so it serves to say where the underline belongs, not to compare pixels one for one.
std::vector<uint8_t> LayoutAB(bool underlineB) {
    QImage image(450, 50, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    const qreal scale = card::CaptionFont::Scale();
    painter.scale(scale, scale);
    painter.setPen(Qt::white);
    QTextLayout layout(QStringLiteral("AB"), card::CaptionFont::Make());
    if (underlineB) {
        QTextCharFormat underline;
        underline.setFontUnderline(true);
        layout.setFormats({QTextLayout::FormatRange{1, 1, underline}});
    }
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1e6);
    layout.endLayout();
    const QSizeF area(450 / scale, 46 / scale);
    layout.draw(&painter, QPointF((area.width() - line.naturalTextWidth()) / 2,
                                  (area.height() - line.height()) / 2));
    painter.end();
    return std::vector<uint8_t>(image.constBits(), image.constBits() + 450 * 50 * 4);
}

// The bounding box of the pixels where two 450 x 50 blocks differ.
Ink Difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    Ink box;
    for (int32_t y = 0; y < 50; ++y) {
        for (int32_t x = 0; x < 450; ++x) {
            const size_t at = (static_cast<size_t>(y) * 450 + x) * 4;
            if (std::memcmp(&a[at], &b[at], 4) != 0) {
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
                box.left = std::min(box.left, x);
                box.right = std::max(box.right, x);
            }
        }
    }
    return box;
}

TEST(Caption, AmpersandUnderlinesTheNextCharacter) {
    const std::vector<uint8_t> marked = Block(L"A&B");
    const std::vector<uint8_t> plain = Block(L"AB");

    // "A&B" is "AB" plus a line under B: the two differ only where "AB" with B underlined
    // differs from "AB" (within a pixel), and not at all above the underline (no '&' drawn).
    const Ink underline = Difference(marked, plain);
    const Ink expected = Difference(LayoutAB(true), LayoutAB(false));
    ASSERT_TRUE(expected.Any());
    ASSERT_TRUE(underline.Any());
    EXPECT_NEAR(underline.top, expected.top, 1);
    EXPECT_NEAR(underline.bottom, expected.bottom, 1);
    EXPECT_NEAR(underline.left, expected.left, 1);
    EXPECT_NEAR(underline.right, expected.right, 1);
    EXPECT_LE(underline.bottom, 38);
}

TEST(Caption, DoubleAmpersandDrawsOneAmpersand) {
    // The reference draws "A&B" literally, without the ampersand rule.
    EXPECT_EQ(Block(L"AB"), Reference(QStringLiteral("AB"), 0)); // the reference is faithful
    EXPECT_EQ(Block(L"A&&B"), Reference(QStringLiteral("A&B"), 0));
    EXPECT_NE(Block(L"A&&B"), Block(L"AB"));
}

TEST(Caption, TooWideTextIsCutEvenlyInsideTheBlock) {
    CardRecord card;
    card.StartUp();
    const std::vector<uint8_t> before = card.pixels;
    card.Caption(std::wstring(80, L'W').c_str(), 0);
    EXPECT_TRUE(SameOutside(card, before, 95, 155, 450, 50));
    const Ink ink = InkIn(card, 95, 155);
    EXPECT_LE(ink.left, 2);
    EXPECT_GE(ink.right, 447);
    EXPECT_GE(ink.top, 7);
    EXPECT_LE(ink.bottom, 38);
}

TEST(Caption, LineBreaksDoNotStartANewLine) {
    CardRecord card;
    card.StartUp(L"Studio A\nStudio B");
    const Ink ink = InkIn(card, 95, 290);
    EXPECT_GE(ink.top, 7);
    EXPECT_LE(ink.bottom, 38);
}

TEST(Caption, BottomBlockIsClippedInAShortPicture) {
    // H = 60: the block would start at row -10; its rows 10-49 land on picture rows 0-39.
    CardRecord card(640, 60, 0xAB);
    card.Caption(L"", 1);
    EXPECT_EQ(card.At(95, 0), kBlack);
    EXPECT_EQ(card.At(95, 39), kBlack);
    EXPECT_EQ(card.At(95, 40), (Pixel{0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(card.At(94, 0), (Pixel{0xAB, 0xAB, 0xAB, 0xAB}));
}

TEST(Caption, NoPictureNoDrawingNoMessage) {
    CLirafonEngine record;
    RecordingSink sink;
    card::SetCaptionSurfaceFactory([](int32_t, int32_t) { return QImage(); });
    card::RenderCaption(record, kIdent, 1, &sink);
    card::SetCaptionSurfaceFactory({});
    EXPECT_TRUE(sink.messages.empty());
}

TEST(CaptionFont, CellIsThirtyTwoPixels) {
    const QFontMetricsF metrics(card::CaptionFont::Make());
    EXPECT_NEAR((metrics.ascent() + metrics.descent()) * card::CaptionFont::Scale(), 32.0, 1e-9);
    EXPECT_FALSE(card::CaptionFontDescription().empty());
}

} // namespace
