// The addresses the window's links open. The online help is the program's own help page, shipped
// with it, so F1 works without a network.
#pragma once

#include <QString>

namespace links {

QString NdiSite();
QString NdiSiteCaption();
QString MakerSite();
QString MakerSiteCaption();
QString UserGroup();
QString VideoChannel();
QString OnlineHelp();

} // namespace links
