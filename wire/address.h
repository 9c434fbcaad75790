// Whether an address is this computer's own: the one answer every part asks before it lets a
// stream, a server or an announcement off loopback.
#pragma once

#include <sys/socket.h>

#include <string_view>

namespace wire {

// 127.0.0.0/8, ::1 in any of its spellings, ::ffff:127.x.y.z, and "localhost".
bool IsLoopbackAddress(std::string_view address);
bool IsLoopback(const sockaddr_storage& address);

} // namespace wire
