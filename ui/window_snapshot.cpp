// lirafon-window-snapshot: shows the main window as it opens and writes a picture of it, so the
// layout can be checked by eye (scripts/screenshot.sh runs it under Xvfb).
//   lirafon-window-snapshot --out FILE.png [--delay-ms N]
#include "lirafon_app.h"
#include "lirafon_dlg.h"

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    std::string out;
    int delayMs = 400;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
            delayMs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: lirafon-window-snapshot --out FILE.png [--delay-ms N]\n");
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
    int status = 0;
    QTimer::singleShot(delayMs, [&] {
        QPixmap shot = window.grab();
        if (QScreen* screen = window.screen();
            screen != nullptr && !qEnvironmentVariableIsEmpty("DISPLAY")) {
            // With a real X server, take the window as the screen shows it.
            const QPixmap onScreen = screen->grabWindow(window.winId());
            if (!onScreen.isNull()) {
                shot = onScreen;
            }
        }
        if (!shot.save(QString::fromStdString(out))) {
            std::fprintf(stderr, "lirafon-window-snapshot: cannot write %s\n", out.c_str());
            status = 1;
        }
        window.ExitWithoutConfirmation();
    });
    window.exec();
    return status;
}
