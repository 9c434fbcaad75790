// A numeric IPv4 or IPv6 address with a port, as the runtime's configuration names destinations.
// Host names are not looked up: a destination is exactly what the user wrote.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <string>

class CSocketAddress {
public:
    // "127.0.0.1", "::1", "239.1.2.3" with the given port; nullopt when text is no address.
    static std::optional<CSocketAddress> Parse(const std::string& text, int port);
    // "host", "host:port", "[v6]" or "[v6]:port"; the port defaults to defaultPort.
    static std::optional<CSocketAddress> ParseWithPort(const std::string& text, int defaultPort);

    CSocketAddress WithPort(int port) const;
    int Family() const { return m_storage.ss_family; }
    bool IsIpv6() const { return Family() == AF_INET6; }
    bool IsMulticast() const;
    bool IsLoopback() const;
    bool IsUnspecifiedOrBroadcast() const;
    int Port() const { return m_port; }
    const std::string& Host() const { return m_host; } // numeric text, without brackets
    std::string HostAndPort() const;                   // "127.0.0.1:5004", "[::1]:5004"
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&m_storage); }
    socklen_t Length() const { return m_length; }

private:
    sockaddr_storage m_storage{};
    socklen_t m_length = 0;
    int m_port = 0;
    std::string m_host;
};
