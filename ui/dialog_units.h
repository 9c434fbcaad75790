// Dialog-unit layout: the window is laid out from its template's dialog units, converted to
// pixels through the dialog font's mean letter width / 4 and height / 8, so the relative
// positions, sizes and grouping of the template are kept whatever font the desktop has.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QWidget>

class DialogUnits {
public:
    // The horizontal base is the mean advance of the 52 Latin letters, the measure the template's
    // units were defined with. The font's own "average character width" is a weighted figure
    // that runs narrower than real captions in wide faces (DejaVu Sans), which clipped them.
    explicit DialogUnits(const QFont& font) {
        const QFontMetricsF metrics(font);
        const qreal letters = metrics.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        if (letters > 0) {
            m_xPixels = letters / 52.0 / 4.0;
        }
        if (metrics.height() > 0) {
            m_yPixels = metrics.height() / 8.0;
        }
    }
    int X(int units) const { return static_cast<int>(units * m_xPixels + 0.5); }
    int Y(int units) const { return static_cast<int>(units * m_yPixels + 0.5); }
    QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
    void Place(QWidget* widget, int x, int y, int w, int h) const {
        widget->setGeometry(Rect(x, y, w, h));
    }

private:
    double m_xPixels = 1.5;
    double m_yPixels = 1.625;
};
