// lirafon-window-snapshot: shows the main window as it opens and writes a picture of it, so the
// layout can be checked by eye (scripts/screenshot.sh runs it under Xvfb).
//   lirafon-window-snapshot --out FILE.png [--delay-ms N] [--dialog about|ident]
// With --dialog the picture is of that dialog, opened over the window as its menu opens it.
#include "about_dlg.h"
#include "ident_text_dlg.h"
#include "lirafon_app.h"
#include "lirafon_dlg.h"
#include "ndi_sdk.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    std::string out;
    std::string dialog;
    int delayMs = 400;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
            delayMs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--dialog") == 0 && i + 1 < argc &&
                   (std::strcmp(argv[i + 1], "about") == 0 ||
                    std::strcmp(argv[i + 1], "ident") == 0)) {
            dialog = argv[++i];
        } else {
            std::fprintf(stderr, "usage: lirafon-window-snapshot --out FILE.png [--delay-ms N] "
                                 "[--dialog about|ident]\n");
            return 2;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "lirafon-window-snapshot: --out FILE.png is required\n");
        return 2;
    }
    QApplication app(argc, argv);
    CNDILirafonApp::NameApplication();
    CNDILirafonDlg window;
    window.OnInitDialog();
    window.show();
    // The dialogs are shown without their modal run, so the timer below can take the picture.
    std::unique_ptr<QDialog> shown;
    if (dialog == "about") {
        auto about = std::make_unique<CAboutDlg>(&window);
        about->m_versionLabel->setText(CAboutDlg::VersionLine(
            QString::fromStdWString(window.m_fileVersion),
            QString::fromStdWString(window.m_buildMonth), QString::fromLatin1(NDIlib_version())));
        shown = std::move(about);
    } else if (dialog == "ident") {
        shown = std::make_unique<LFIdentText>(window.m_showIdentText, window.m_identText, &window);
    }
    if (shown) {
        shown->show();
    }
    QWidget& subject = shown ? static_cast<QWidget&>(*shown) : window;
    int status = 0;
    QTimer::singleShot(delayMs, [&] {
        QPixmap shot = subject.grab();
        if (QScreen* screen = subject.screen();
            screen != nullptr && !qEnvironmentVariableIsEmpty("DISPLAY")) {
            // With a real X server, take the window as the screen shows it.
            const QPixmap onScreen = screen->grabWindow(subject.winId());
            if (!onScreen.isNull()) {
                shot = onScreen;
            }
        }
        if (!shot.save(QString::fromStdString(out))) {
            std::fprintf(stderr, "lirafon-window-snapshot: cannot write %s\n", out.c_str());
            status = 1;
        }
        if (shown) {
            shown->close();
        }
        window.ExitWithoutConfirmation();
    });
    window.exec();
    return status;
}
