// The caption face and its size. The face asked for is "Franklin Gothic Medium"; when fontconfig
// does not have it, Libre Franklin Medium (an open revival of the same design, installed by
// scripts/install-font.sh), else fontconfig's serif face. Whatever the face, its size is chosen so
// that the character cell (ascent + descent) is 32 pixels, which puts a centred line on block rows
// 7-38: the whole pixel size nearest to it, drawn with the uniform scale Scale() that makes the
// cell exact.
//
// UI thread only; needs a QGuiApplication. The choice is made once per process.
#pragma once

#include <QFont>
#include <QString>

#include <cstdint>

namespace card {

class CaptionFont {
public:
    static constexpr int32_t kCellHeightPx = 32;
    static constexpr const char* kPreferredFace = "Franklin Gothic Medium";
    static constexpr const char* kFontFileName = "LibreFranklin_500Medium.ttf";
    static constexpr const char* kDefaultFontDir = "/usr/local/share/qel-ndi-lirafon/fonts";

    // A new font of the chosen face and whole pixel size.
    static QFont Make();
    // The uniform scale to draw Make()'s font with, so that its cell is exactly 32 pixels.
    static qreal Scale();
    // Which face is used, where it came from and its size, for people reading logs.
    static QString Description();

private:
    struct Choice {
        QString family;
        int weight = QFont::Normal;
        QFont::StyleHint hint = QFont::AnyStyle;
        int pixelSize = kCellHeightPx;
        qreal scale = 1.0;
        QString origin;
        QString description;
    };
    static const Choice& Chosen();
    static Choice Resolve();
    static bool LoadFontFile(Choice& choice);
    static QFont Build(const Choice& choice);
    static void FitCellHeight(Choice& choice);
};

} // namespace card
