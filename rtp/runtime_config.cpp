// Environment parsing for the built-in runtime. Every variable is checked whole before anything
// is used, so a typing mistake stops the start with a message instead of sending somewhere else.
#include "runtime_config.h"

#include "values.h"

#include <net/if.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

std::optional<std::string> Variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

std::string Complaint(const char* name, const std::string& value, const std::string& expected) {
    return std::string(name) + "=\"" + value + "\" is not valid: expected " + expected;
}

// "a,b" as its legs, taken exactly as written (a space is part of the value and refused by the
// parser after); an empty leg ("a,", ",b") makes the whole value empty, so the caller rejects it.
std::vector<std::string> SplitLegs(const std::string& value) {
    std::vector<std::string> legs;
    size_t from = 0;
    while (true) {
        const size_t comma = value.find(',', from);
        std::string leg = value.substr(from, comma == std::string::npos ? comma : comma - from);
        if (leg.empty()) {
            return {};
        }
        legs.push_back(leg);
        if (comma == std::string::npos) {
            return legs;
        }
        from = comma + 1;
    }
}

} // namespace

std::optional<PtpSetting> ParsePtpSetting(const char* value, std::string* error) {
    PtpSetting setting;
    const std::string text = value == nullptr ? "" : value;
    if (text == "off") {
        setting.off = true;
    } else if (!text.empty() && text.front() == '/') {
        setting.socket = text;
        setting.required = true;
    } else if (!text.empty() && text != "auto") {
        *error = Complaint("LIRAFON_PTP", text, "auto, off or the path of ptp4l's socket");
        return std::nullopt;
    }
    return setting;
}

std::optional<CRuntimeConfig> CRuntimeConfig::FromEnvironment(std::string* error) {
    CRuntimeConfig config;
    if (auto channels = Variable("LIRAFON_RTP_STREAM_CHANNELS")) {
        if (*channels != "8" && *channels != "16") {
            *error = Complaint("LIRAFON_RTP_STREAM_CHANNELS", *channels, "8 or 16");
            return std::nullopt;
        }
        config.streamChannels = *channels == "8" ? 8 : 16;
    }
    if (auto ptp = Variable("LIRAFON_PTP")) {
        const std::optional<PtpSetting> setting = ParsePtpSetting(ptp->c_str(), error);
        if (!setting) {
            return std::nullopt;
        }
        config.ptpOff = setting->off;
        config.ptpRequired = setting->required;
        config.ptpSocket = setting->socket;
    }
    // Each of the three may name two legs, comma-separated; the destinations decide how many.
    const std::optional<std::string> destinations = Variable("LIRAFON_RTP_DESTINATION");
    const std::vector<std::string> hosts =
        destinations ? SplitLegs(*destinations) : std::vector<std::string>{};
    const std::optional<std::string> portText = Variable("LIRAFON_RTP_PORT");
    const std::vector<std::string> ports =
        portText ? SplitLegs(*portText) : std::vector<std::string>{};
    const std::optional<std::string> interfaceText = Variable("LIRAFON_RTP_INTERFACE");
    const std::vector<std::string> interfaces =
        interfaceText ? SplitLegs(*interfaceText) : std::vector<std::string>{};
    const size_t legs = hosts.size() == 2 ? 2 : 1;
    if (hosts.size() > 2 || (destinations && hosts.empty())) {
        *error = Complaint("LIRAFON_RTP_DESTINATION", *destinations,
                           "one address, or two (one per leg) separated by a comma");
        return std::nullopt;
    }
    if (ports.size() > legs || (portText && ports.empty())) {
        *error = Complaint("LIRAFON_RTP_PORT", *portText,
                           legs == 2 ? "one port for both legs, or two separated by a comma"
                                     : "one port number (two name the ports of two legs, which "
                                       "need two destinations)");
        return std::nullopt;
    }
    if (interfaces.size() > legs || (interfaceText && interfaces.empty())) {
        *error = Complaint("LIRAFON_RTP_INTERFACE", *interfaceText,
                           legs == 2 ? "one interface for both legs, or two separated by a comma"
                                     : "one interface name (two name the interfaces of two legs, "
                                       "which need two destinations)");
        return std::nullopt;
    }
    const int highest = config.Split() ? kHighestSplitBasePort : kHighestBasePort;
    std::array<int, 2> basePorts{kDefaultPort, kDefaultPort};
    for (size_t leg = 0; leg < legs; ++leg) {
        if (ports.empty()) {
            break;
        }
        const std::string& port = ports[std::min(leg, ports.size() - 1)];
        const std::optional<int> parsed = wire::ParsePort(port);
        if (!parsed || *parsed > highest) {
            *error = Complaint("LIRAFON_RTP_PORT", *portText,
                               "a port number from 1 to " + std::to_string(highest) +
                                   (legs == 2 ? " (or one per leg)" : ""));
            return std::nullopt;
        }
        basePorts[leg] = *parsed;
    }
    config.basePort = basePorts[0];
    std::array<CSocketAddress, 2> addresses{config.destination, config.destination};
    for (size_t leg = 0; leg < hosts.size(); ++leg) {
        const auto parsed = CSocketAddress::Parse(hosts[leg], basePorts[leg]);
        if (!parsed || parsed->IsUnspecifiedOrBroadcast()) {
            *error = Complaint("LIRAFON_RTP_DESTINATION", *destinations,
                               legs == 2 ? "two numeric IPv4 or IPv6 unicast or multicast "
                                           "addresses, one per leg"
                                         : "a numeric IPv4 or IPv6 unicast or multicast address");
            return std::nullopt;
        }
        addresses[leg] = parsed->WithPort(basePorts[leg]);
    }
    if (legs == 2 && addresses[0].Family() != addresses[1].Family()) {
        *error = Complaint("LIRAFON_RTP_DESTINATION", *destinations,
                           "two addresses of one family (both IPv4 or both IPv6)");
        return std::nullopt;
    }
    if (legs == 2 && addresses[0].HostAndPort() == addresses[1].HostAndPort()) {
        *error = Complaint("LIRAFON_RTP_DESTINATION", *destinations,
                           "two legs that differ in their address or their port");
        return std::nullopt;
    }
    config.destination = addresses[0].WithPort(config.basePort);
    std::array<unsigned, 2> indexes{0, 0};
    for (size_t i = 0; i < interfaces.size(); ++i) {
        indexes[i] = if_nametoindex(interfaces[i].c_str());
        if (indexes[i] == 0) {
            *error = Complaint("LIRAFON_RTP_INTERFACE", *interfaceText,
                               "the name of a network interface of this computer, such as lo");
            return std::nullopt;
        }
    }
    if (!interfaces.empty()) {
        config.interfaceIndex = indexes[0];
        config.interfaceName = interfaces[0];
    }
    if (legs == 2) {
        const size_t second = interfaces.size() == 2 ? 1 : 0;
        config.secondLeg = Leg{addresses[1], basePorts[ports.size() == 2 ? 1 : 0],
                               interfaces.empty() ? "" : interfaces[second], indexes[second]};
    }
    if (auto ttl = Variable("LIRAFON_RTP_TTL")) {
        const bool digits = ttl->find_first_not_of("0123456789") == std::string::npos;
        if (const std::optional<int64_t> hops = wire::ParseInteger(*ttl, 1, 255); digits && hops) {
            config.ttl = static_cast<int>(*hops);
        }
        if (!config.ttl) {
            *error = Complaint("LIRAFON_RTP_TTL", *ttl, "a hop count from 1 to 255");
            return std::nullopt;
        }
    }
    if (auto sap = Variable("LIRAFON_SAP_DESTINATION")) {
        const auto parsed = CSocketAddress::ParseWithPort(*sap, kDefaultSapPort);
        if (!parsed || parsed->IsUnspecifiedOrBroadcast()) {
            *error = Complaint("LIRAFON_SAP_DESTINATION", *sap,
                               "a numeric IPv4 or IPv6 address, optionally with :port");
            return std::nullopt;
        }
        config.sapDestination = *parsed;
    }
    if (auto reference = Variable("LIRAFON_RTP_REFERENCE")) {
        if (*reference == "smpte") {
            config.reference = LevelReference::smpte;
        } else if (*reference == "ebu") {
            config.reference = LevelReference::ebu;
        } else {
            *error = Complaint("LIRAFON_RTP_REFERENCE", *reference, "smpte or ebu");
            return std::nullopt;
        }
    }
    return config;
}

double CRuntimeConfig::ReferenceGain() const {
    // A sample of 1.0 is +4 dBu. SMPTE puts +4 dBu at -20 dBFS; EBU puts 0 dBu at -18 dBFS, so
    // +4 dBu lands at -14 dBFS.
    return reference == LevelReference::smpte ? 0.1 : std::pow(10.0, -14.0 / 20.0);
}

int CopyNumberOfSource(const std::string& sourceName) {
    size_t digits = 0;
    while (digits < sourceName.size() && digits < 6 &&
           std::isdigit(static_cast<unsigned char>(sourceName[sourceName.size() - 1 - digits]))) {
        ++digits;
    }
    if (digits == 0) {
        return 1;
    }
    const auto number =
        wire::ParseInteger(std::string_view(sourceName).substr(sourceName.size() - digits));
    return number && *number >= 1 ? static_cast<int>(*number) : 1;
}
