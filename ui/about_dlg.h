// The About box: the program's version, its build month, the version of the NDI runtime in use
// and the width of the build.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // The version line from its four parts; the runtime's version is the last space-separated
    // word of what the runtime reports (the whole text when it has no space).
    static QString VersionLine(const QString& fileVersion, const QString& buildMonth,
                               const QString& runtimeVersionText);

    int exec() override;

    QString m_fileVersion;
    QString m_buildMonth;
    QLabel* m_versionLabel = nullptr;
};
