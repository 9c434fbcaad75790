#include "about_dlg.h"

#include "artwork.h"
#include "dialog_units.h"
#include "ndi_sdk.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About QEL NDILirafon"));
    const DialogUnits du(font());
    setFixedSize(du.X(231), du.Y(54));

    auto* icon = new QLabel(this);
    du.Place(icon, 9, 10, 21, 20);
    icon->setPixmap(artwork::ApplicationIcon().pixmap(icon->size()));

    m_versionLabel = new QLabel(this);
    m_versionLabel->setTextFormat(Qt::PlainText); // "&" shown as is
    du.Place(m_versionLabel, 38, 11, 186, 8);

    auto* maker = new QLabel(QStringLiteral("QEL NDI Lirafon, made by QEL"), this);
    du.Place(maker, 38, 24, 111, 8);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    du.Place(ok, 191, 33, 33, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* notice =
        new QLabel(QStringLiteral("NDI® is a registered trademark of Vizrt NDI AB."), this);
    notice->setTextFormat(Qt::PlainText);
    du.Place(notice, 19, 37, 155, 8);
}

QString CAboutDlg::VersionLine(const QString& fileVersion, const QString& buildMonth,
                               const QString& runtimeVersionText) {
    const qsizetype lastSpace = runtimeVersionText.lastIndexOf(QLatin1Char(' '));
    const QString runtimeVersion =
        lastSpace < 0 ? runtimeVersionText : runtimeVersionText.mid(lastSpace + 1);
    // One substitution pass: a "%1" inside the runtime's text stays text.
    return QStringLiteral("NDI® Lirafon v%1, %2, NDI v%3, x%4")
        .arg(fileVersion, buildMonth, runtimeVersion, QString::number(64));
}

// The runtime's version is asked anew at every showing.
int CAboutDlg::exec() {
    const char* version = NDIlib_version();
    m_versionLabel->setText(
        VersionLine(m_fileVersion, m_buildMonth, QString::fromLocal8Bit(version ? version : "")));
    return QDialog::exec();
}
