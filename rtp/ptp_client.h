// A client of ptp4l's management socket (linuxptp): the program never runs PTP itself, it asks the
// ptp4l running on this computer, as pmc does, which grandmaster it follows, in which domain, on
// which timescale, and whether its port is synchronised.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct PtpStatus {
    std::array<uint8_t, 8> grandmaster{};
    std::array<uint8_t, 8> ownClock{};
    int domain = 0;
    bool ptpTimescale = false; // TAI; else the grandmaster's arbitrary timescale
    int utcOffset = 0;         // seconds of TAI ahead of UTC
    bool utcOffsetValid = false;
    int portState = 0; // IEEE 1588 port state of the first port (9 = slave, 6 = master)
    bool hardwareTimestamps = false;
    std::string interfaceName; // of that port

    // Slave of a grandmaster, or the grandmaster itself.
    bool Synchronised() const;
    // "XX-XX-XX-XX-XX-XX-XX-XX", as ts-refclk names a grandmaster.
    std::string GrandmasterText() const;
};

// The management message GET <id> as pmc sends it (IEEE 1588-2008 §15), for tests and the client.
std::string PtpManagementGet(uint16_t managementId, uint16_t sequence, int domain);

class CPtpClient {
public:
    explicit CPtpClient(std::string socketPath);
    ~CPtpClient();
    CPtpClient(const CPtpClient&) = delete;
    CPtpClient& operator=(const CPtpClient&) = delete;

    // Asks ptp4l; nullopt with the reason in *error when it does not answer in time.
    std::optional<PtpStatus> Query(std::string* error);
    // False after a Query that could not even open this side's socket (its folder is missing or
    // not ours): a fault here, not an absent ptp4l.
    bool CanAsk() const { return m_fd >= 0; }
    // Whether ptp4l's socket is there to be asked.
    bool ServerExists() const;

private:
    // Sends GET id in domain and waits for its answer's data field.
    std::optional<std::string> Get(uint16_t id, int domain, int timeoutMs);
    bool Open(std::string* error);

    const std::string m_server;
    std::string m_ownPath;
    int m_fd = -1;
    uint16_t m_sequence = 0;
    int m_domain = 0;
};
