// Whether avahi-daemon answers on the system D-Bus. The vendor's NDI runtime announces and finds
// sources only through it: without it the source is published but no receiver finds it by mDNS.
#pragma once

#include <string>

// True when the daemon is running and reachable; otherwise false with the reason in *why (the
// avahi client library's own words).
bool AvahiDaemonReachable(std::string* why);
