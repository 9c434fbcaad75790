// The one reader of each kind of value an option, a variable or a session description carries:
// whole numbers, ports, host-and-port, durations. Each takes the whole text or refuses it;
// nothing is read past a bad character, and nothing overflows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wire {

// The environment to read, as std::getenv (a table in tests).
using EnvironmentReader = const char* (*)(const char*);

// text without the white space around it.
std::string_view Trim(std::string_view text);

// A whole decimal number with an optional sign (spaces around allowed), within [lowest, highest].
std::optional<int64_t> ParseInteger(std::string_view text, int64_t lowest = INT64_MIN,
                                    int64_t highest = INT64_MAX);
// A finite decimal number ("-18", "+4.5", "0.25"); no exponent, no spaces, no hex.
std::optional<double> ParseNumber(std::string_view text);
// A UDP or TCP port 1 to 65535, digits only; 0 too when anyPort (a free port, for tests).
std::optional<int> ParsePort(std::string_view text, bool anyPort = false);

struct HostPort {
    std::string host; // without the brackets of an IPv6 address
    std::optional<int> port;
};
// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address (no port then).
std::optional<HostPort> ParseHostPort(std::string_view text);

// A duration in seconds: "2", "1.5", "2s", "500ms"; greater than 0, under a day.
std::optional<double> ParseSeconds(std::string_view text);

} // namespace wire
