// The only place the built-in runtime touches sockets.
#include "udp_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kBatchLimit = 64;

void Warn(const char* what, const CSocketAddress& destination) {
    std::fprintf(stderr, "RTP sender to %s: %s refused (%s); using the system's default\n",
                 destination.HostAndPort().c_str(), what, std::strerror(errno));
}

} // namespace

CUdpSocket::~CUdpSocket() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool CUdpSocket::Open(const CSocketAddress& destination, std::optional<int> ttl,
                      unsigned interfaceIndex, std::string* error, std::optional<int> sourcePort) {
    m_destination = destination;
    m_fd = socket(destination.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        *error = std::string("no UDP socket: ") + std::strerror(errno);
        return false;
    }
    const bool v6 = destination.IsIpv6();
    if (ttl) {
        const int hops = *ttl;
        const int unicast = v6 ? IPV6_UNICAST_HOPS : IP_TTL;
        const int multicast = v6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL;
        const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
        if (setsockopt(m_fd, level, unicast, &hops, sizeof hops) != 0 ||
            setsockopt(m_fd, level, multicast, &hops, sizeof hops) != 0) {
            Warn("the TTL", destination);
        }
    }
    if (interfaceIndex != 0) { // also for unicast: a later move to a group goes out there
        int result = 0;
        if (v6) {
            const int index = static_cast<int>(interfaceIndex);
            result = setsockopt(m_fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
        } else {
            ip_mreqn request{};
            request.imr_ifindex = static_cast<int>(interfaceIndex);
            result = setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
        }
        if (result != 0) {
            Warn("the interface", destination);
        }
        m_interfaceIndex = interfaceIndex;
    }
    if (sourcePort) {
        sockaddr_storage local{};
        local.ss_family = static_cast<sa_family_t>(destination.Family());
        socklen_t length = sizeof(sockaddr_in);
        if (v6) {
            reinterpret_cast<sockaddr_in6*>(&local)->sin6_port =
                htons(static_cast<uint16_t>(*sourcePort));
            length = sizeof(sockaddr_in6);
        } else {
            reinterpret_cast<sockaddr_in*>(&local)->sin_port =
                htons(static_cast<uint16_t>(*sourcePort));
        }
        // A receiver on this computer (ffplay on the session file, lirafon-check) binds the same
        // port: both sockets allow it. This one joins no group and, with IP_MULTICAST_ALL off,
        // is handed none of the group's packets.
        const int yes = 1;
        const int no = 0;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (!v6) {
            setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_ALL, &no, sizeof no);
        }
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), length) != 0) {
            std::fprintf(stderr,
                         "RTP sender to %s: local port %d is taken (%s); sending from a port the "
                         "system picks\n",
                         destination.HostAndPort().c_str(), *sourcePort, std::strerror(errno));
        }
    }
    return true;
}

long CUdpSocket::ReceiveNow(uint8_t* buffer, size_t capacity) {
    if (m_fd < 0) {
        return -1;
    }
    const ssize_t got = recv(m_fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC);
    return got < 0 ? -1 : static_cast<long>(std::min<size_t>(static_cast<size_t>(got), capacity));
}

int CUdpSocket::LocalPort() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

std::string CUdpSocket::InterfaceMac(const std::string& address) {
    std::string mac = "00-00-00-00-00-00";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return mac;
    }
    std::string name;
    for (const ifaddrs* i = list; i != nullptr && name.empty(); i = i->ifa_next) {
        if (i->ifa_addr == nullptr ||
            (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6)) {
            continue;
        }
        char buffer[INET6_ADDRSTRLEN] = {};
        const void* raw = i->ifa_addr->sa_family == AF_INET6
                              ? static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr)
                              : static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr);
        if (inet_ntop(i->ifa_addr->sa_family, raw, buffer, sizeof buffer) != nullptr &&
            address == buffer) {
            name = i->ifa_name;
        }
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_PACKET && name == i->ifa_name) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
            if (link->sll_halen == 6) {
                static const char* digits = "0123456789ABCDEF";
                for (int b = 0; b < 6; ++b) {
                    mac[static_cast<size_t>(b * 3)] = digits[link->sll_addr[b] >> 4];
                    mac[static_cast<size_t>(b * 3 + 1)] = digits[link->sll_addr[b] & 0xf];
                }
            }
        }
    }
    freeifaddrs(list);
    return mac;
}

CSocketAddress CUdpSocket::Destination() const {
    std::lock_guard guard(m_destinationLock);
    return *m_destination;
}

bool CUdpSocket::Retarget(const CSocketAddress& destination, bool enabled) {
    std::lock_guard guard(m_destinationLock);
    if (m_fd < 0 || !m_destination || destination.Family() != m_destination->Family()) {
        return false;
    }
    m_destination = destination;
    m_enabled = enabled;
    return true;
}

bool CUdpSocket::Enabled() const {
    std::lock_guard guard(m_destinationLock);
    return m_enabled;
}

int CUdpSocket::SendBatch(const uint8_t* const* packets, const size_t* sizes, int count) {
    // One copy per call: a retarget lands between two calls, never inside one.
    std::unique_lock guard(m_destinationLock);
    if (!m_enabled) {
        return count;
    }
    sockaddr_storage to{};
    std::memcpy(&to, m_destination->Raw(), m_destination->Length());
    const socklen_t toLength = m_destination->Length();
    guard.unlock();
    int sent = 0;
    while (sent < count) {
        const int batch = std::min(count - sent, kBatchLimit);
        mmsghdr messages[kBatchLimit];
        iovec vectors[kBatchLimit];
        std::memset(messages, 0, sizeof(mmsghdr) * static_cast<size_t>(batch));
        for (int i = 0; i < batch; ++i) {
            vectors[i].iov_base = const_cast<uint8_t*>(packets[sent + i]);
            vectors[i].iov_len = sizes[sent + i];
            messages[i].msg_hdr.msg_name = &to;
            messages[i].msg_hdr.msg_namelen = toLength;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int result = sendmmsg(m_fd, messages, static_cast<unsigned>(batch), 0);
        if (result <= 0) {
            if (result < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        sent += result;
    }
    return sent;
}

std::string CUdpSocket::LocalAddress() const {
    const CSocketAddress destination = Destination();
    const int probe = socket(destination.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return "";
    }
    std::string text;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (m_interfaceIndex != 0) {
        // The route to a multicast group goes out of the chosen interface, as the packets do.
        if (destination.IsIpv6()) {
            const int index = static_cast<int>(m_interfaceIndex);
            setsockopt(probe, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
        } else {
            ip_mreqn request{};
            request.imr_ifindex = static_cast<int>(m_interfaceIndex);
            setsockopt(probe, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
        }
    }
    if (connect(probe, destination.Raw(), destination.Length()) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        char buffer[INET6_ADDRSTRLEN] = {};
        const void* address =
            local.ss_family == AF_INET6
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&local)->sin_addr);
        if (inet_ntop(local.ss_family, address, buffer, sizeof buffer) != nullptr) {
            text = buffer;
        }
    }
    close(probe);
    return text;
}
