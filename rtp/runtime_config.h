// The built-in runtime's configuration, read once from the environment by NDIlib_initialize:
//   LIRAFON_RTP_DESTINATION  numeric IPv4/IPv6 address, unicast or multicast (default 127.0.0.1);
//                            two, comma-separated and of one family, send every packet on two
//                            legs (ST 2022-7), the second right after the first
//   LIRAFON_RTP_PORT         audio port of copy 1, 1 to 65505 (default 5004); copy N uses
//                            4 x (N - 1) above it, the video two above the audio; with two legs
//                            one port for both or one per leg ("pA,pB")
//   LIRAFON_RTP_TTL          1 to 255 (default: the system's)
//   LIRAFON_RTP_INTERFACE    network interface name for multicast (default: the system's); with
//                            two legs one for both or one per leg ("ifA,ifB")
//   LIRAFON_SAP_DESTINATION  address[:port] of the SAP announcements (default 127.0.0.1:9875)
//   LIRAFON_RTP_REFERENCE    smpte (+4 dBu = -20 dBFS, default) or ebu (0 dBu = -18 dBFS)
//   LIRAFON_RTP_STREAM_CHANNELS  16 (default: one stream) or 8 (more channels go as two 8-channel
//                            1 ms streams, the second four ports above the audio; copies are then
//                            6 ports apart)
//   LIRAFON_PTP              auto (default: ptp4l's clock when its management socket
//                            /var/run/ptp4l answers, else free-running), off, or the socket's path
// Nothing leaves the computer unless the user names another destination.
#pragma once

#include "socket_address.h"

#include <optional>
#include <string>

enum class LevelReference { smpte, ebu };

// LIRAFON_PTP, as both ends read it: auto (or unset: ptp4l's clock when its management socket
// answers, else free-running), off, or the socket's path (then it must answer).
struct PtpSetting {
    static constexpr const char* kDefaultSocket = "/var/run/ptp4l";
    bool off = false;
    bool required = false;
    std::string socket = kDefaultSocket;
};
// nullopt with one line in *error for anything else.
std::optional<PtpSetting> ParsePtpSetting(const char* value, std::string* error);

struct CRuntimeConfig {
    static constexpr int kDefaultPort = 5004;
    static constexpr int kDefaultSapPort = 9875;
    static constexpr int kPortsPerCopy = 4;
    static constexpr int kSplitPortsPerCopy = 6;
    static constexpr int kVideoPortOffset = 2;
    static constexpr int kSecondAudioPortOffset = 4;
    // The highest base port that leaves room for copy 8's last port.
    static constexpr int kHighestBasePort = 65535 - 7 * kPortsPerCopy - kVideoPortOffset;
    static constexpr int kHighestSplitBasePort =
        65535 - 7 * kSplitPortsPerCopy - kSecondAudioPortOffset;
    static constexpr const char* kDefaultPtpSocket = PtpSetting::kDefaultSocket;

    CSocketAddress destination = *CSocketAddress::Parse("127.0.0.1", kDefaultPort);
    int basePort = kDefaultPort;
    std::optional<int> ttl;
    std::string interfaceName;
    unsigned interfaceIndex = 0; // 0: the system chooses
    // The second leg, when two destinations are named: its own destination, base port and
    // interface (the first leg's interface when only one is named).
    struct Leg {
        CSocketAddress destination;
        int basePort = kDefaultPort;
        std::string interfaceName;
        unsigned interfaceIndex = 0;
    };
    std::optional<Leg> secondLeg;
    CSocketAddress sapDestination = *CSocketAddress::Parse("127.0.0.1", kDefaultSapPort);
    LevelReference reference = LevelReference::smpte;
    int streamChannels = 16;
    bool ptpOff = false;
    bool ptpRequired = false; // a path was named: say so when it does not answer
    std::string ptpSocket = kDefaultPtpSocket;

    bool Split() const { return streamChannels < 16; }
    int PortsPerCopy() const { return Split() ? kSplitPortsPerCopy : kPortsPerCopy; }

    // Reads the variables. A malformed value gives nullopt and, in *error, one line naming the
    // variable, the value and what is expected.
    static std::optional<CRuntimeConfig> FromEnvironment(std::string* error);

    // Full-scale fraction of a float sample of 1.0 (+4 dBu) under the chosen reference.
    double ReferenceGain() const;
};

// The copy number of a source named "... N": its trailing decimal number, 1 when it has none.
int CopyNumberOfSource(const std::string& sourceName);
