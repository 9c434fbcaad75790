// Session Announcement Protocol packets (RFC 2974): version 1, no authentication, no encryption or
// compression, payload type "application/sdp".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A 16-bit message identifier that changes whenever the description does; never 0, which
// receivers treat as "no identifier".
uint16_t SapMessageHash(const std::string& sdp);

// An announcement (payload: the whole SDP) or a deletion (payload: the o= line). originAddress is
// the numeric address of the announcing host; an IPv6 one sets the A bit. Empty when it is no
// address.
std::vector<uint8_t> BuildSapPacket(bool deletion, uint16_t messageHash,
                                    const std::string& originAddress, const std::string& payload);
