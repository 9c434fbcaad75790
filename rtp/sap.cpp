// SAP lets session directories and ST 2110 controllers find the source without the SDP file.
#include "sap.h"

#include <arpa/inet.h>

#include <cstring>

uint16_t SapMessageHash(const std::string& sdp) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (unsigned char c : sdp) {
        hash = (hash ^ c) * 16777619u;
    }
    const auto folded = static_cast<uint16_t>((hash >> 16) ^ (hash & 0xffff));
    return folded != 0 ? folded : 1;
}

std::vector<uint8_t> BuildSapPacket(bool deletion, uint16_t messageHash,
                                    const std::string& originAddress, const std::string& payload) {
    uint8_t address[16] = {};
    size_t addressBytes = 4;
    bool v6 = false;
    if (inet_pton(AF_INET, originAddress.c_str(), address) != 1) {
        if (inet_pton(AF_INET6, originAddress.c_str(), address) != 1) {
            return {};
        }
        v6 = true;
        addressBytes = 16;
    }
    static constexpr char kPayloadType[] = "application/sdp"; // sent with its terminating zero
    std::vector<uint8_t> packet;
    packet.reserve(4 + addressBytes + sizeof kPayloadType + payload.size());
    // V=1 (001), A, R=0, T, E=0, C=0.
    packet.push_back(static_cast<uint8_t>(0x20 | (v6 ? 0x10 : 0) | (deletion ? 0x04 : 0)));
    packet.push_back(0); // authentication length
    packet.push_back(static_cast<uint8_t>(messageHash >> 8));
    packet.push_back(static_cast<uint8_t>(messageHash));
    packet.insert(packet.end(), address, address + addressBytes);
    packet.insert(packet.end(), kPayloadType, kPayloadType + sizeof kPayloadType);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}
