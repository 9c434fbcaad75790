#include "link_targets.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace links {

QString NdiSite() {
    return QStringLiteral("https://ndi.video/");
}
QString NdiSiteCaption() {
    return QStringLiteral("ndi.video");
}
QString MakerSite() {
    return OnlineHelp();
}
QString MakerSiteCaption() {
    return QStringLiteral("QEL Lirafon");
}
QString UserGroup() {
    return QStringLiteral("https://www.facebook.com/groups/ndiusergroup/");
}
QString VideoChannel() {
    return QStringLiteral("https://www.youtube.com/@NDIvideo");
}

// The installed help page next to the program (share/qel-ndi-lirafon/help.html), else the one in
// the source tree the program was built from.
QString OnlineHelp() {
    const QString installed = QDir(QCoreApplication::applicationDirPath())
                                  .filePath(QStringLiteral("../share/qel-ndi-lirafon/help.html"));
    if (QFileInfo::exists(installed)) {
        return QUrl::fromLocalFile(QFileInfo(installed).canonicalFilePath()).toString();
    }
    return QUrl::fromLocalFile(QStringLiteral(LIRAFON_SOURCE_HELP)).toString();
}

} // namespace links
