// Address parsing for the runtime's environment variables: numeric only, so what the user typed is
// exactly where packets go.
#include "socket_address.h"

#include "address.h"
#include "values.h"

#include <arpa/inet.h>

std::optional<CSocketAddress> CSocketAddress::Parse(const std::string& text, int port) {
    CSocketAddress address;
    address.m_port = port;
    address.m_host = text;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.m_storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.m_storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        address.m_length = sizeof(sockaddr_in);
        return address;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        address.m_length = sizeof(sockaddr_in6);
        return address;
    }
    return std::nullopt;
}

std::optional<CSocketAddress> CSocketAddress::ParseWithPort(const std::string& text,
                                                            int defaultPort) {
    // "[v6]:port" brackets an IPv6 address; one colon separates an IPv4 address from its port;
    // more than one colon without brackets is a bare IPv6 address.
    const std::optional<wire::HostPort> parsed = wire::ParseHostPort(text);
    if (!parsed) {
        return std::nullopt;
    }
    return Parse(parsed->host, parsed->port.value_or(defaultPort));
}

CSocketAddress CSocketAddress::WithPort(int port) const {
    CSocketAddress copy = *this;
    copy.m_port = port;
    if (IsIpv6()) {
        reinterpret_cast<sockaddr_in6*>(&copy.m_storage)->sin6_port =
            htons(static_cast<uint16_t>(port));
    } else {
        reinterpret_cast<sockaddr_in*>(&copy.m_storage)->sin_port =
            htons(static_cast<uint16_t>(port));
    }
    return copy;
}

bool CSocketAddress::IsLoopback() const {
    return wire::IsLoopback(m_storage);
}

bool CSocketAddress::IsMulticast() const {
    if (IsIpv6()) {
        return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_addr);
    }
    const uint32_t v4 = ntohl(reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_addr.s_addr);
    return (v4 >> 28) == 0xe;
}

bool CSocketAddress::IsUnspecifiedOrBroadcast() const {
    if (IsIpv6()) {
        return IN6_IS_ADDR_UNSPECIFIED(
            &reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_addr);
    }
    const uint32_t v4 = ntohl(reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_addr.s_addr);
    return v4 == 0 || v4 == 0xffffffffu;
}

std::string CSocketAddress::HostAndPort() const {
    const std::string host = IsIpv6() ? "[" + m_host + "]" : m_host;
    return host + ":" + std::to_string(m_port);
}
