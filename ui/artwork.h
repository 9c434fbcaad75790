// The program's own artwork, compiled in with the Qt resource system by the card library.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace artwork {

void Init();
QIcon ApplicationIcon();       // the eight sizes, 16 to 128 pixels
QPixmap UserGroupPicture();    // 38 x 30
QPixmap VideoChannelPicture(); // 38 x 30

} // namespace artwork
