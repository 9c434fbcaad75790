// The bars, the band, the logo and the one placement rule, at the broadcast size and at the odd
// sizes where integer division and clipping go wrong first.
#include "block_copy.h"
#include "card_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace cardtest;

TEST(TestCard, BarsAndBandAt640x360) {
    CardRecord card;
    card::DrawTestCard(*card.record, card.pixels.data());
    EXPECT_EQ(card.At(0, 0), kWhite);
    EXPECT_EQ(card.At(80, 0), kYellow);
    EXPECT_EQ(card.At(639, 269), kBlack);
    EXPECT_EQ(card.At(0, 270), kRed);
    EXPECT_EQ(card.At(639, 359), kRed);
    // Both sides of every bar border, at the top and the last bar row.
    for (int32_t bar = 0; bar < 8; ++bar) {
        for (int32_t y : {0, 269}) {
            EXPECT_EQ(card.At(bar * 80, y), kBars[bar]) << "bar " << bar << " row " << y;
            EXPECT_EQ(card.At(bar * 80 + 79, y), kBars[bar]) << "bar " << bar << " row " << y;
        }
    }
    for (size_t i = 3; i < card.pixels.size(); i += 4) {
        ASSERT_EQ(card.pixels[i], 255) << "pixel " << i / 4;
    }
}

TEST(TestCard, HeightNotMultipleOfFourRoundsBarRowsDown) {
    CardRecord card(640, 361);
    card::DrawTestCard(*card.record, card.pixels.data());
    EXPECT_EQ(card.At(0, 269), kWhite);
    EXPECT_EQ(card.At(0, 270), kRed);
    EXPECT_EQ(card.At(639, 360), kRed);
}

TEST(TestCard, ColumnsRightOfTheLastBarAreLeftAsTheyWere) {
    CardRecord card(643, 360, 0xAB);
    card::DrawTestCard(*card.record, card.pixels.data());
    EXPECT_EQ(card.At(639, 0), kBlack);
    for (int32_t x = 640; x < 643; ++x) {
        EXPECT_EQ(card.At(x, 0), (Pixel{0xAB, 0xAB, 0xAB, 0xAB}));
        EXPECT_EQ(card.At(x, 269), (Pixel{0xAB, 0xAB, 0xAB, 0xAB}));
        EXPECT_EQ(card.At(x, 270), kRed); // the band spans the full width
    }
}

TEST(TestCard, TinyPicturesDrawOnlyTheBand) {
    CardRecord card(7, 3, 0xAB);
    card::DrawTestCard(*card.record, card.pixels.data()); // bar width 0
    EXPECT_EQ(card.At(6, 1), (Pixel{0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(card.At(0, 2), kRed);
}

TEST(Logo, CoversExactlyTheCentreBlock) {
    const QImage logo = Logo();
    ASSERT_EQ(logo.width(), 450);
    ASSERT_EQ(logo.height(), 50);
    CardRecord card;
    card::DrawTestCard(*card.record, card.pixels.data());
    const std::vector<uint8_t> bars = card.pixels;
    card::DrawLogo(*card.record);

    for (int32_t y = 0; y < 50; ++y) {
        for (int32_t x = 0; x < 450; ++x) {
            ASSERT_EQ(card.At(95 + x, 155 + y), LogoAt(logo, x, y)) << x << "," << y;
            ASSERT_EQ(LogoAt(logo, x, y)[3], 255);
        }
    }
    EXPECT_EQ(card.At(94, 155), kYellow);
    EXPECT_EQ(card.At(95, 154), kYellow);
    EXPECT_EQ(card.At(545, 204), kBlue);
    EXPECT_EQ(card.At(544, 205), kBlue);
    EXPECT_TRUE(SameOutside(card, bars, 95, 155, 450, 50));
}

// Logo larger than the picture, or with an odd margin: (W - w) / 2 rounds toward zero.
struct OddFit {
    const char* name;
    int32_t width, height;
    int32_t firstLogoColumn, firstPictureColumn, columns;
    int32_t firstLogoRow, firstPictureRow, rows;
};

class LogoFit : public ::testing::TestWithParam<OddFit> {};

TEST_P(LogoFit, CopiesTheClippedPartToTheRightPlace) {
    const OddFit& fit = GetParam();
    const QImage logo = Logo();
    CardRecord card(fit.width, fit.height, 0xAB);
    card::DrawLogo(*card.record);
    const Pixel untouched{0xAB, 0xAB, 0xAB, 0xAB};
    for (int32_t y = 0; y < fit.height; ++y) {
        for (int32_t x = 0; x < fit.width; ++x) {
            const int32_t lx = x - fit.firstPictureColumn + fit.firstLogoColumn;
            const int32_t ly = y - fit.firstPictureRow + fit.firstLogoRow;
            const bool inside = x >= fit.firstPictureColumn &&
                                x < fit.firstPictureColumn + fit.columns &&
                                y >= fit.firstPictureRow && y < fit.firstPictureRow + fit.rows;
            ASSERT_EQ(card.At(x, y), inside ? LogoAt(logo, lx, ly) : untouched)
                << "at " << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    OddSizes, LogoFit,
    ::testing::Values(
        // W - w = -3: one column cut on the left, two on the right.
        OddFit{"ExcessOfThree", 447, 60, 1, 0, 447, 0, 5, 50},
        // W - w = 3: one column of margin on the left, two on the right.
        OddFit{"MarginOfThree", 453, 50, 0, 1, 450, 0, 0, 50},
        // H - h = -3 and W - w = -4: one row cut at the top, two at the bottom.
        OddFit{"RowsCut", 446, 47, 2, 0, 446, 1, 0, 47},
        // Far smaller than the logo: the middle of the logo.
        OddFit{"Tiny", 10, 10, 220, 0, 10, 20, 0, 10}),
    [](const ::testing::TestParamInfo<OddFit>& info) { return std::string(info.param.name); });

TEST(Logo, NoPictureNoDrawing) {
    CLirafonEngine record;
    card::DrawLogo(record); // p_data null: before the sender has made the picture
    EXPECT_EQ(record.m_videoFrame.p_data, nullptr);
}

TEST(Placement, NegativeOffsetsClipBothEnds) {
    const card::BlockPlacement p = card::PlaceBlock(640, 360, 450, 50, 95, 290);
    EXPECT_EQ(p.columns, 450);
    EXPECT_EQ(p.rows, 50);
    const card::BlockPlacement below = card::PlaceBlock(640, 60, 450, 50, 95, 60 - 50 - 20);
    EXPECT_EQ(below.sourceRow, 10);
    EXPECT_EQ(below.pictureRow, 0);
    EXPECT_EQ(below.rows, 40);
    const card::BlockPlacement outside = card::PlaceBlock(640, 360, 450, 50, 95, 400);
    EXPECT_LE(outside.rows, 0);
    EXPECT_EQ(card::CentredOffset(447, 450), -1);
    EXPECT_EQ(card::CentredOffset(453, 450), 1);
}

TEST(Resources, ArtworkIsCompiledIn) {
    card::InitResources();
    for (int size : {16, 24, 32, 48, 64, 72, 96, 128}) {
        const QImage icon(QStringLiteral(":/lirafon/icon_%1.png").arg(size));
        EXPECT_EQ(icon.size(), QSize(size, size)) << size;
    }
    for (const char* name : {"link_group", "link_video"}) {
        const QImage link(QStringLiteral(":/lirafon/%1.png").arg(QLatin1String(name)));
        EXPECT_EQ(link.size(), QSize(38, 30)) << name;
    }
}

} // namespace
