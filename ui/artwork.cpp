#include "artwork.h"

#include "ident_card.h"

namespace artwork {

void Init() {
    card::InitResources();
}

QIcon ApplicationIcon() {
    Init();
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 72, 96, 128}) {
        icon.addFile(QStringLiteral(":/lirafon/icon_%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QPixmap UserGroupPicture() {
    Init();
    return QPixmap(QStringLiteral(":/lirafon/link_group.png"));
}

QPixmap VideoChannelPicture() {
    Init();
    return QPixmap(QStringLiteral(":/lirafon/link_video.png"));
}

} // namespace artwork
