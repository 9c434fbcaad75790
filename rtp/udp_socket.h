// One unconnected UDP socket that sends batches of datagrams to one destination with sendmmsg.
// Unconnected, so an ICMP "port unreachable" from a receiver that is not listening yet never
// turns into an error on a later send.
//
// Threads: one sending thread per socket.
#pragma once

#include "socket_address.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CUdpSocket {
public:
    CUdpSocket() = default;
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // Opens a socket for destination's family. A TTL or interface the system refuses is a warning
    // on stderr, not a failure; no socket at all is a failure with the reason in *error.
    bool Open(const CSocketAddress& destination, std::optional<int> ttl, unsigned interfaceIndex,
              std::string* error);

    // Sends count datagrams in as few system calls as the kernel allows. Returns how many left.
    int SendBatch(const uint8_t* const* packets, const size_t* sizes, int count);
    bool Send(const uint8_t* packet, size_t size) { return SendBatch(&packet, &size, 1) == 1; }

    // The local address the system would send from to this destination ("" when unknown).
    std::string LocalAddress() const;

    const CSocketAddress& Destination() const { return *m_destination; }

private:
    int m_fd = -1;
    std::optional<CSocketAddress> m_destination;
};
