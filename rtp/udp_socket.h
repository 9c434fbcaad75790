// One unconnected UDP socket that sends batches of datagrams to one destination with sendmmsg,
// or to two (the legs of an ST 2022-7 pair): then every datagram goes to the first leg and right
// after it to the second, in the same system call, so the legs leave from the same packet time
// and from one local port. Unconnected, so an ICMP "port unreachable" from a receiver that is not
// listening yet never turns into an error on a later send.
//
// Threads: one sending thread per socket; Retarget and Destination from any thread.
#pragma once

#include "socket_address.h"

#include <array>
#include <atomic>
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
    // Adds the second leg (of the first leg's family): every datagram goes there too, to a
    // multicast group out of interfaceIndex (0: as the first leg's). False with the reason in
    // *error.
    bool AddLeg(const CSocketAddress& destination, unsigned interfaceIndex, std::string* error);
    bool IsOpen() const { return m_fd >= 0; }
    int Legs() const;
    // The local port the packets leave from (0 when unknown).
    int LocalPort() const;

    // Sends count datagrams on every leg in as few system calls as the kernel allows; a leg that
    // refuses one does not hold back the other. Returns how many left on at least one enabled
    // leg (each leg's refusals: Refused).
    int SendBatch(const uint8_t* const* packets, const size_t* sizes, int count);
    bool Send(const uint8_t* packet, size_t size) { return SendBatch(&packet, &size, 1) == 1; }
    // One datagram waiting for this socket, without blocking: its size, or -1 when none waits.
    // Longer datagrams are cut to capacity.
    long ReceiveNow(uint8_t* buffer, size_t capacity);

    // The local address the system would send from to a leg's destination ("" when unknown).
    std::string LocalAddress(int leg = 0) const;
    // The hardware address of the interface that holds `address`, as "XX-XX-XX-XX-XX-XX"
    // (all zeros for loopback or when unknown).
    static std::string InterfaceMac(const std::string& address);

    CSocketAddress Destination(int leg = 0) const;
    // From the next datagram on, sends a leg's copies to destination (of the family it was opened
    // for), or, disabled, sends none and reports them as having left. False when the family
    // differs or the socket has no such leg.
    bool Retarget(const CSocketAddress& destination, bool enabled, int leg = 0);
    bool Enabled(int leg = 0) const;
    // Datagrams a leg refused since the socket opened.
    uint64_t Refused(int leg) const;

    static constexpr int kMaxLegs = 2;

private:
    struct Leg {
        std::optional<CSocketAddress> destination;
        bool enabled = true;
        unsigned interfaceIndex = 0;
    };
    int m_fd = -1;
    mutable std::mutex m_destinationLock; // guards the legs and their count
    std::array<Leg, kMaxLegs> m_legs;
    int m_legCount = 1;
    std::array<std::atomic<uint64_t>, kMaxLegs> m_refused{};
};
