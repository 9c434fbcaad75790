// Finding the caption face once and sizing it to a 32-pixel character cell.
//
// Qt sizes fonts in whole pixels (a fractional size is rounded), and for the faces we use no whole
// pixel size has a cell of exactly 32 pixels: Libre Franklin's cell is 31.5 at 26 px and 32.7 at
// 27 px. So the whole pixel size with the cell nearest to 32 is chosen and the text is drawn with
// a uniform scale that makes its cell exactly 32 (about 1.6 % for Libre Franklin). Layout,
// centring and the mnemonic underline all happen in the scaled coordinates, so the line keeps its
// proportions and lands on block rows 7-38.
#include "caption_font.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QImage>
#include <QStringList>

#include <cmath>

namespace card {

namespace {

QStringList FontFileCandidates() {
    QStringList paths;
    const QString dir = qEnvironmentVariable("LIRAFON_FONT_DIR");
    if (!dir.isEmpty()) {
        paths << dir + QLatin1Char('/') + QLatin1String(CaptionFont::kFontFileName);
    }
    // An installed program carries the font in its own share folder (a package installs under
    // /usr, where the set-up's default folder is not).
    if (QCoreApplication::instance() != nullptr) {
        paths << QCoreApplication::applicationDirPath() +
                     QLatin1String("/../share/qel-ndi-lirafon/fonts/") +
                     QLatin1String(CaptionFont::kFontFileName);
    }
    paths << QLatin1String(CaptionFont::kDefaultFontDir) + QLatin1Char('/') +
                 QLatin1String(CaptionFont::kFontFileName);
    return paths;
}

} // namespace

QFont CaptionFont::Build(const Choice& choice) {
    QFont font(choice.family);
    font.setStyleHint(choice.hint);
    font.setWeight(static_cast<QFont::Weight>(choice.weight));
    font.setPixelSize(choice.pixelSize);
    // Grey anti-aliasing only: sub-pixel rendering would put colour fringes on white text.
    font.setStyleStrategy(
        static_cast<QFont::StyleStrategy>(QFont::PreferAntialias | QFont::NoSubpixelAntialias));
    return font;
}

void CaptionFont::FitCellHeight(Choice& choice) {
    QImage probe(1, 1, QImage::Format_RGB32);
    qreal bestCell = 0.0;
    int bestPixelSize = kCellHeightPx;
    for (int pixelSize = kCellHeightPx / 4; pixelSize <= kCellHeightPx * 2; ++pixelSize) {
        choice.pixelSize = pixelSize;
        const QFontMetricsF metrics(Build(choice), &probe);
        const qreal cell = metrics.ascent() + metrics.descent();
        if (cell > 0.0 && std::abs(cell - kCellHeightPx) < std::abs(bestCell - kCellHeightPx)) {
            bestCell = cell;
            bestPixelSize = pixelSize;
        }
    }
    choice.pixelSize = bestPixelSize;
    choice.scale = bestCell > 0.0 ? kCellHeightPx / bestCell : 1.0;
}

bool CaptionFont::LoadFontFile(Choice& choice) {
    for (const QString& path : FontFileCandidates()) {
        if (!QFile::exists(path)) {
            continue;
        }
        const int id = QFontDatabase::addApplicationFont(path);
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (id < 0 || families.isEmpty()) {
            continue;
        }
        // The file names its family both ways ("Libre Franklin" with style Medium, and
        // "Libre Franklin Medium"); the second is unique even beside other weights.
        choice.family = families.constFirst();
        for (const QString& family : families) {
            if (family.endsWith(QLatin1String("Medium"))) {
                choice.family = family;
            }
        }
        choice.weight = QFont::Medium;
        choice.origin = path;
        return true;
    }
    return false;
}

CaptionFont::Choice CaptionFont::Resolve() {
    Choice choice;
    if (QFontDatabase::families().contains(QLatin1String(kPreferredFace), Qt::CaseInsensitive)) {
        choice.family = QLatin1String(kPreferredFace);
        choice.origin = QStringLiteral("installed");
    }
    if (choice.family.isEmpty()) {
        LoadFontFile(choice);
    }
    if (choice.family.isEmpty()) {
        // fontconfig's roman substitute, as the font request's family asks.
        choice.family = QStringLiteral("serif");
        choice.hint = QFont::Serif;
        choice.origin = QStringLiteral("fontconfig serif substitute");
    }
    FitCellHeight(choice);

    QImage probe(1, 1, QImage::Format_RGB32);
    const QFont font = Build(choice);
    const QFontMetricsF metrics(font, &probe);
    choice.description =
        QStringLiteral("%1 (%2), %3 px drawn at x%4: ascent %5 + descent %6 = %7 px")
            .arg(QFontInfo(font).family(), choice.origin)
            .arg(choice.pixelSize)
            .arg(choice.scale, 0, 'f', 4)
            .arg(metrics.ascent() * choice.scale, 0, 'f', 2)
            .arg(metrics.descent() * choice.scale, 0, 'f', 2)
            .arg((metrics.ascent() + metrics.descent()) * choice.scale, 0, 'f', 2);
    return choice;
}

const CaptionFont::Choice& CaptionFont::Chosen() {
    static const Choice choice = Resolve();
    return choice;
}

QFont CaptionFont::Make() {
    return Build(Chosen());
}

qreal CaptionFont::Scale() {
    return Chosen().scale;
}

QString CaptionFont::Description() {
    return Chosen().description;
}

} // namespace card
