// Draws the program's own artwork and writes it as the PNG files compiled into the card library:
// the 450 x 50 logo (opaque, so every fourth byte is 255), the window icon in eight sizes, and
// the two 38 x 30 link pictures. The PNGs are committed; run this again after changing a drawing:
//
//   ninja -C build lirafon-card-artwork
//   QT_QPA_PLATFORM=offscreen build/card/artwork/lirafon-card-artwork card/artwork
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

const QColor kGround(16, 24, 38);
const QColor kGroundLight(34, 50, 74);
const QColor kTone(242, 169, 0);
const QColor kText(245, 245, 245);

// The wordmark's face: Libre Franklin when the set-up script installed it, else DejaVu Sans.
QString WordmarkFamily() {
    const QString dir = qEnvironmentVariable(
        "LIRAFON_FONT_DIR", QStringLiteral("/usr/local/share/qel-ndi-lirafon/fonts"));
    const int id = QFontDatabase::addApplicationFont(dir + "/LibreFranklin_500Medium.ttf");
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QStringLiteral("DejaVu Sans") : families.constFirst();
}

// A sine of the given number of periods across rect: the tone.
QPainterPath SineWave(const QRectF& rect, double periods) {
    QPainterPath path;
    const int steps = 96;
    for (int i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps;
        const double x = rect.left() + t * rect.width();
        const double y =
            rect.center().y() - std::sin(t * periods * 2.0 * std::numbers::pi) * rect.height() / 2;
        if (i == 0) {
            path.moveTo(x, y);
        } else {
            path.lineTo(x, y);
        }
    }
    return path;
}

void FillGround(QPainter& painter, const QRectF& rect, qreal radius) {
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0.0, kGroundLight);
    gradient.setColorAt(1.0, kGround);
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(rect, radius, radius);
}

QImage Logo(const QString& family) {
    QImage image(450, 50, QImage::Format_RGB32);
    image.fill(kGround);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    FillGround(painter, QRectF(0, 0, 450, 50), 0);

    QFont font(family);
    font.setPixelSize(30);
    font.setWeight(QFont::Medium);
    painter.setFont(font);
    const QString qel = QStringLiteral("QEL");
    const QString name = QStringLiteral("Lirafon");
    const QFontMetricsF metrics(font);
    const double waveWidth = 52;
    const double gap = 14;
    const double total =
        waveWidth + gap + metrics.horizontalAdvance(qel + " ") + metrics.horizontalAdvance(name);
    double x = (450 - total) / 2;
    const double baseline = 25 + (metrics.capHeight()) / 2;

    painter.setPen(QPen(kTone, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(SineWave(QRectF(x, 14, waveWidth, 22), 2.0));
    x += waveWidth + gap;

    painter.setPen(kText);
    painter.drawText(QPointF(x, baseline), qel);
    x += metrics.horizontalAdvance(qel + " ");
    painter.setPen(kTone);
    painter.drawText(QPointF(x, baseline), name);
    return image;
}

QImage Icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    FillGround(painter, QRectF(0.5, 0.5, s - 1, s - 1), s * 0.18);
    const double pen = std::max(1.5, s / 11.0);
    painter.setPen(QPen(kTone, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(
        SineWave(QRectF(s * 0.16, s * 0.28, s * 0.68, s * 0.44), size < 32 ? 1.0 : 1.5));
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The user group: two people, head and shoulders.
QImage LinkGroup() {
    QImage image(38, 30, QImage::Format_RGB32);
    image.fill(QColor(240, 240, 240));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    FillGround(painter, QRectF(1, 1, 36, 28), 5);
    painter.setBrush(kTone);
    painter.drawEllipse(QPointF(25, 11), 4.2, 4.2);
    painter.drawChord(QRectF(17, 16, 16, 18), 0, 180 * 16);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(15, 11), 5, 5);
    painter.drawChord(QRectF(5, 17, 20, 20), 0, 180 * 16);
    return image;
}

// The video channel: a play button.
QImage LinkVideo() {
    QImage image(38, 30, QImage::Format_RGB32);
    image.fill(QColor(240, 240, 240));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    FillGround(painter, QRectF(1, 1, 36, 28), 5);
    painter.setPen(QPen(kText, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(19, 15), 10, 10);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kTone);
    const QPointF triangle[3] = {QPointF(16, 9.5), QPointF(16, 20.5), QPointF(25, 15)};
    painter.drawPolygon(triangle, 3);
    return image;
}

bool Save(const QImage& image, const QString& path) {
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "lirafon-card-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s (%d x %d)\n", qPrintable(path), image.width(), image.height());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: lirafon-card-artwork OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool ok = Save(Logo(WordmarkFamily()), dir + "/logo.png");
    for (int size : {16, 24, 32, 48, 64, 72, 96, 128}) {
        ok = Save(Icon(size), dir + QStringLiteral("/icon_%1.png").arg(size)) && ok;
    }
    ok = Save(LinkGroup(), dir + "/link_group.png") && ok;
    ok = Save(LinkVideo(), dir + "/link_video.png") && ok;
    return ok ? 0 : 1;
}
