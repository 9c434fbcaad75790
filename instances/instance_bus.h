// The local broadcast between the copies of one user on one computer, standing in for a message
// posted to every top-level window: each copy binds one Unix datagram socket in the meeting folder,
// and posting to all sends one datagram to every copy's socket there, this copy's own included.
// Nothing leaves the computer.
//
// Posting never waits and never checks delivery: a copy whose queue is full simply misses the
// message. A socket whose owner is gone (the send is refused) is removed from the folder, so a copy
// that died is never counted and never blocks a start.
//
// Thread: one thread only (the user-interface thread of the copy).
#pragma once

#include "instance_message.h"

#include <cstdint>
#include <functional>
#include <string>

class CInstanceFolder;

struct InstanceBusCounts {
    int64_t posted = 0;       // datagrams handed to a peer's socket
    int64_t undelivered = 0;  // peers whose queue was full or that could not be reached
    int64_t staleRemoved = 0; // sockets of copies that are gone, removed from the folder
    int64_t received = 0;     // well-formed datagrams read
    int64_t rejected = 0;     // malformed or foreign datagrams read and dropped
};

class CInstanceBus {
public:
    static constexpr const char* kSocketPrefix = "copy-";
    static constexpr const char* kSocketSuffix = ".sock";
    // Messages handled per ReadPending call, so a flood cannot hold the user-interface thread;
    // the rest stays queued and the socket stays readable.
    static constexpr int32_t kMaxReadsPerCall = 64;

    CInstanceBus() = default;
    ~CInstanceBus();
    CInstanceBus(const CInstanceBus&) = delete;
    CInstanceBus& operator=(const CInstanceBus&) = delete;

    // Binds this copy's socket in the folder (which must stay open while the bus is open).
    bool Open(const CInstanceFolder& folder, std::string* error);
    void Close();

    bool IsOpen() const { return m_socketFd >= 0; }
    // Non-blocking; readable when messages are pending.
    int SocketFd() const { return m_socketFd; }
    const std::string& SocketName() const { return m_socketName; }

    void PostToAll(const InstanceMessage& message);
    // Reads what is pending (at most kMaxReadsPerCall datagrams) and hands every well-formed
    // message to handle. Returns the number of datagrams read.
    int32_t ReadPending(const std::function<void(const InstanceMessage&)>& handle);

    const InstanceBusCounts& Counts() const { return m_counts; }

    static bool IsCopySocketName(const char* name);

private:
    void SendTo(const char* name, const CInstanceWire::Datagram& datagram);

    const CInstanceFolder* m_folder = nullptr;
    int m_socketFd = -1;
    std::string m_socketName;
    InstanceBusCounts m_counts;
};
