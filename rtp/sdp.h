// The session description of one built-in source (RFC 8866 SDP): an L24 audio and an RFC 4175
// video media section, the source name as session name, the connection metadata as i=. Also where
// the description is kept on disk, so local players can open it.
#pragma once

#include "socket_address.h"

#include <cstdint>
#include <optional>
#include <string>

struct SdpDescription {
    std::string sourceName;
    std::string metadata;
    uint64_t sessionId = 0;
    uint64_t version = 1;
    std::string originAddress = "127.0.0.1"; // numeric; the sender's own address
    std::string destinationHost = "127.0.0.1";
    bool destinationIpv6 = false;
    bool destinationMulticast = false;
    std::optional<int> ttl;
    int audioPort = 0;
    int videoPort = 0;
    int channelCount = 2;
    int width = 640;
    int height = 360;
    int frameRateN = 25;
    int frameRateD = 1;
};

std::string BuildSdp(const SdpDescription& description);
// The o= line alone (without line end), as a SAP deletion carries it.
std::string SdpOriginLine(const SdpDescription& description);

// The folder of the source descriptions: $XDG_RUNTIME_DIR/qel-ndi-lirafon, or a private
// /tmp/qel-ndi-lirafon-<uid> (mode 0700, ours, not a link) when XDG_RUNTIME_DIR is unset.
// Created when missing; "" with the reason in *error when it cannot be used.
std::string SessionFolder(std::string* error);
// "<source name>.sdp", with characters a file name cannot hold replaced by '_'.
std::string SdpFileName(const std::string& sourceName);
// Writes text to path through a temporary file and a rename, so a reader never sees half of it.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);
