// Encoding and decoding of the instance message datagram, byte by byte so the layout does not
// depend on the compiler's struct packing or the machine's byte order.
#include "instance_message.h"

#include <algorithm>

namespace {

constexpr size_t kVersionAt = 4;
constexpr size_t kReservedAt = 6;
constexpr size_t kKindAt = 8;
constexpr size_t kValueAt = 12;

void PutLittle(uint8_t* at, uint64_t bits, size_t byteCount) {
    for (size_t i = 0; i < byteCount; ++i) {
        at[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

uint64_t GetLittle(const uint8_t* at, size_t byteCount) {
    uint64_t bits = 0;
    for (size_t i = 0; i < byteCount; ++i) {
        bits |= static_cast<uint64_t>(at[i]) << (8 * i);
    }
    return bits;
}

} // namespace

CInstanceWire::Datagram CInstanceWire::Encode(const InstanceMessage& message) {
    Datagram out{};
    std::copy(kMagic.begin(), kMagic.end(), out.begin());
    PutLittle(out.data() + kVersionAt, kVersion, 2);
    PutLittle(out.data() + kReservedAt, 0, 2);
    PutLittle(out.data() + kKindAt, static_cast<uint32_t>(message.kind), 4);
    PutLittle(out.data() + kValueAt, static_cast<uint64_t>(message.value), 8);
    return out;
}

std::optional<InstanceMessage> CInstanceWire::Decode(const uint8_t* bytes, size_t byteCount) {
    if (bytes == nullptr || byteCount != kSize) {
        return std::nullopt;
    }
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes)) {
        return std::nullopt;
    }
    if (GetLittle(bytes + kVersionAt, 2) != kVersion || GetLittle(bytes + kReservedAt, 2) != 0) {
        return std::nullopt;
    }
    InstanceMessage message;
    message.kind = static_cast<int32_t>(static_cast<uint32_t>(GetLittle(bytes + kKindAt, 4)));
    message.value = static_cast<int64_t>(GetLittle(bytes + kValueAt, 8));
    return message;
}
