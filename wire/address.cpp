#include "address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

namespace wire {

namespace {

bool IsLoopbackV4(const in_addr& v4) {
    return (ntohl(v4.s_addr) >> 24) == 127;
}

bool IsLoopbackV6(const in6_addr& v6) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) {
        return true;
    }
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        return v6.s6_addr[12] == 127;
    }
    return false;
}

} // namespace

bool IsLoopbackAddress(std::string_view address) {
    if (address == "localhost") {
        return true;
    }
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    const std::string text(address);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return IsLoopbackV4(v4);
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IsLoopbackV6(v6);
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return IsLoopbackV6(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
    }
    if (address.ss_family == AF_INET) {
        return IsLoopbackV4(reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
    }
    return false;
}

} // namespace wire
