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
    m_legs[0].destination = destination;
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
        m_legs[0].interfaceIndex = interfaceIndex;
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

bool CUdpSocket::AddLeg(const CSocketAddress& destination, unsigned interfaceIndex,
                        std::string* error) {
    std::lock_guard guard(m_destinationLock);
    if (m_fd < 0 || destination.Family() != m_legs[0].destination->Family()) {
        *error = "the second leg must be of the first leg's family";
        return false;
    }
    m_legs[1] =
        Leg{destination, true, interfaceIndex != 0 ? interfaceIndex : m_legs[0].interfaceIndex};
    m_legCount = 2;
    return true;
}

int CUdpSocket::Legs() const {
    std::lock_guard guard(m_destinationLock);
    return m_legCount;
}

uint64_t CUdpSocket::Refused(int leg) const {
    return leg >= 0 && leg < kMaxLegs ? m_refused[static_cast<size_t>(leg)].load() : 0;
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

CSocketAddress CUdpSocket::Destination(int leg) const {
    std::lock_guard guard(m_destinationLock);
    const size_t l = leg >= 0 && leg < m_legCount ? static_cast<size_t>(leg) : 0;
    return *m_legs[l].destination;
}

bool CUdpSocket::Retarget(const CSocketAddress& destination, bool enabled, int leg) {
    std::lock_guard guard(m_destinationLock);
    if (m_fd < 0 || leg < 0 || leg >= m_legCount ||
        destination.Family() != m_legs[0].destination->Family()) {
        return false;
    }
    Leg& to = m_legs[static_cast<size_t>(leg)];
    to.destination = destination;
    to.enabled = enabled;
    return true;
}

bool CUdpSocket::Enabled(int leg) const {
    std::lock_guard guard(m_destinationLock);
    return leg >= 0 && leg < m_legCount && m_legs[static_cast<size_t>(leg)].enabled;
}

namespace {

// Where one leg's copies go for the length of one call, and the control message that sends a
// multicast copy out of the leg's own interface (the socket's option names the first leg's).
struct LegCopy {
    sockaddr_storage to{};
    socklen_t toLength = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    size_t controlLength = 0;
    int leg = 0;
};

void SetOutgoingInterface(LegCopy& copy, const CSocketAddress& destination, unsigned index) {
    copy.controlLength = 0;
    if (index == 0 || !destination.IsMulticast()) {
        return;
    }
    msghdr header{};
    header.msg_control = copy.control;
    header.msg_controllen = sizeof copy.control;
    cmsghdr* message = CMSG_FIRSTHDR(&header);
    if (destination.IsIpv6()) {
        in6_pktinfo info{};
        info.ipi6_ifindex = index;
        message->cmsg_level = IPPROTO_IPV6;
        message->cmsg_type = IPV6_PKTINFO;
        message->cmsg_len = CMSG_LEN(sizeof info);
        std::memcpy(CMSG_DATA(message), &info, sizeof info);
        copy.controlLength = CMSG_SPACE(sizeof info);
    } else {
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(index);
        message->cmsg_level = IPPROTO_IP;
        message->cmsg_type = IP_PKTINFO;
        message->cmsg_len = CMSG_LEN(sizeof info);
        std::memcpy(CMSG_DATA(message), &info, sizeof info);
        copy.controlLength = CMSG_SPACE(sizeof info);
    }
}

} // namespace

int CUdpSocket::SendBatch(const uint8_t* const* packets, const size_t* sizes, int count) {
    // One copy of the legs per call: a retarget lands between two calls, never inside one.
    std::array<LegCopy, kMaxLegs> copies;
    int legs = 0;
    {
        std::lock_guard guard(m_destinationLock);
        for (int l = 0; l < m_legCount; ++l) {
            const Leg& leg = m_legs[static_cast<size_t>(l)];
            if (!leg.enabled) {
                continue;
            }
            LegCopy& copy = copies[static_cast<size_t>(legs++)];
            std::memcpy(&copy.to, leg.destination->Raw(), leg.destination->Length());
            copy.toLength = leg.destination->Length();
            copy.leg = l;
            if (l > 0 && leg.interfaceIndex != m_legs[0].interfaceIndex) {
                SetOutgoingInterface(copy, *leg.destination, leg.interfaceIndex);
            }
        }
    }
    if (legs == 0) {
        return count;
    }
    // Packets every enabled leg refused: they left nowhere.
    int unsent = 0;
    const int perCall = kBatchLimit / legs;
    for (int first = 0; first < count; first += perCall) {
        const int packetsNow = std::min(count - first, perCall);
        const int messageCount = packetsNow * legs;
        mmsghdr messages[kBatchLimit];
        iovec vectors[kBatchLimit];
        std::array<uint8_t, kBatchLimit> refusals{};
        std::memset(messages, 0, sizeof(mmsghdr) * static_cast<size_t>(messageCount));
        for (int m = 0; m < messageCount; ++m) {
            const int packet = first + m / legs;
            LegCopy& copy = copies[static_cast<size_t>(m % legs)];
            vectors[m].iov_base = const_cast<uint8_t*>(packets[packet]);
            vectors[m].iov_len = sizes[packet];
            msghdr& header = messages[m].msg_hdr;
            header.msg_name = &copy.to;
            header.msg_namelen = copy.toLength;
            header.msg_iov = &vectors[m];
            header.msg_iovlen = 1;
            if (copy.controlLength > 0) {
                header.msg_control = copy.control;
                header.msg_controllen = copy.controlLength;
            }
        }
        int done = 0;
        while (done < messageCount) {
            const int result =
                sendmmsg(m_fd, messages + done, static_cast<unsigned>(messageCount - done), 0);
            if (result > 0) {
                done += result;
                continue;
            }
            if (result < 0 && errno == EINTR) {
                continue;
            }
            // This copy is refused (its leg's network is down, say): the copies after it, the
            // other leg's too, still go.
            ++m_refused[static_cast<size_t>(copies[static_cast<size_t>(done % legs)].leg)];
            if (++refusals[static_cast<size_t>(done / legs)] == legs) {
                ++unsent;
            }
            ++done;
        }
    }
    return count - unsent;
}

std::string CUdpSocket::LocalAddress(int leg) const {
    const CSocketAddress destination = Destination(leg);
    unsigned interfaceIndex = 0;
    {
        std::lock_guard guard(m_destinationLock);
        interfaceIndex =
            m_legs[leg >= 0 && leg < m_legCount ? static_cast<size_t>(leg) : 0].interfaceIndex;
    }
    const int probe = socket(destination.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return "";
    }
    std::string text;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (interfaceIndex != 0) {
        // The route to a multicast group goes out of the chosen interface, as the packets do.
        if (destination.IsIpv6()) {
            const int index = static_cast<int>(interfaceIndex);
            setsockopt(probe, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
        } else {
            ip_mreqn request{};
            request.imr_ifindex = static_cast<int>(interfaceIndex);
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
