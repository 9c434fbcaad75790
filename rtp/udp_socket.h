// One unconnected UDP socket that sends batches of datagrams to one destination with sendmmsg.
// Unconnected, so an ICMP "port unreachable" from a receiver that is not listening yet never
// turns into an error on a later send.
//
// Threads: one sending thread per socket; Retarget and Destination from any thread.
#pragma once

#include "socket_address.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
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
    // With sourcePort, the packets leave from that local port (AES67 and ST 2110 receivers
    // commonly expect it to be the destination port); when it is taken, one line says so and the
    // system picks one.
    bool Open(const CSocketAddress& destination, std::optional<int> ttl, unsigned interfaceIndex,
              std::string* error, std::optional<int> sourcePort = std::nullopt);
    bool IsOpen() const { return m_fd >= 0; }
    // The local port the packets leave from (0 when unknown).
    int LocalPort() const;

    // Sends count datagrams in as few system calls as the kernel allows. Returns how many left.
    int SendBatch(const uint8_t* const* packets, const size_t* sizes, int count);
    bool Send(const uint8_t* packet, size_t size) { return SendBatch(&packet, &size, 1) == 1; }
    // One datagram waiting for this socket, without blocking: its size, or -1 when none waits.
    // Longer datagrams are cut to capacity.
    long ReceiveNow(uint8_t* buffer, size_t capacity);

    // The local address the system would send from to this destination ("" when unknown).
    std::string LocalAddress() const;
    // The hardware address of the interface that holds `address`, as "XX-XX-XX-XX-XX-XX"
    // (all zeros for loopback or when unknown).
    static std::string InterfaceMac(const std::string& address);

    CSocketAddress Destination() const;
    // From the next datagram on, sends to destination (of the family it was opened for), or,
    // disabled, sends nothing and reports every datagram as having left. False when the family
    // differs or the socket is not open.
    bool Retarget(const CSocketAddress& destination, bool enabled);
    bool Enabled() const;

private:
    int m_fd = -1;
    mutable std::mutex m_destinationLock; // guards the two below
    std::optional<CSocketAddress> m_destination;
    bool m_enabled = true;
    unsigned m_interfaceIndex = 0;
};
