// The instance message as it travels between copies: one fixed-size datagram per message.
//
// Layout (little-endian, 20 bytes):
//   0  magic    "QELN"
//   4  version  uint16, 1
//   6  reserved uint16, 0
//   8  kind     int32   (2 query, 3 reply; other kinds travel but are ignored by the receiver)
//  12  value    int64   (the asking copy's process id, or the replying copy's instance index)
//
// The value is 64 bits wide so a process id (unsigned 32) and an instance index (signed 32) both
// travel unchanged. Datagrams arrive from outside the process: Decode accepts exactly this layout
// and nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

struct InstanceMessage {
    int32_t kind = 0;
    int64_t value = 0;
};

class CInstanceWire {
public:
    static constexpr size_t kSize = 20;
    static constexpr uint16_t kVersion = 1;
    static constexpr std::array<uint8_t, 4> kMagic{'Q', 'E', 'L', 'N'};

    using Datagram = std::array<uint8_t, kSize>;

    static Datagram Encode(const InstanceMessage& message);
    // Empty for anything that is not a well-formed datagram of this version.
    static std::optional<InstanceMessage> Decode(const uint8_t* bytes, size_t byteCount);
};
