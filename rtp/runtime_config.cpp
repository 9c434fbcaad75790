// Environment parsing for the built-in runtime. Every variable is checked whole before anything
// is used, so a typing mistake stops the start with a message instead of sending somewhere else.
#include "runtime_config.h"

#include "values.h"

#include <net/if.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string_view>

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
    if (auto port = Variable("LIRAFON_RTP_PORT")) {
        const int highest = config.Split() ? kHighestSplitBasePort : kHighestBasePort;
        const std::optional<int> parsed = wire::ParsePort(*port);
        if (!parsed || *parsed > highest) {
            *error = Complaint("LIRAFON_RTP_PORT", *port,
                               "a port number from 1 to " + std::to_string(highest));
            return std::nullopt;
        }
        config.basePort = *parsed;
    }
    if (auto destination = Variable("LIRAFON_RTP_DESTINATION")) {
        const auto parsed = CSocketAddress::Parse(*destination, config.basePort);
        if (!parsed || parsed->IsUnspecifiedOrBroadcast()) {
            *error = Complaint("LIRAFON_RTP_DESTINATION", *destination,
                               "a numeric IPv4 or IPv6 unicast or multicast address");
            return std::nullopt;
        }
        config.destination = *parsed;
    }
    config.destination = config.destination.WithPort(config.basePort);
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
    if (auto name = Variable("LIRAFON_RTP_INTERFACE")) {
        config.interfaceIndex = if_nametoindex(name->c_str());
        if (config.interfaceIndex == 0) {
            *error = Complaint("LIRAFON_RTP_INTERFACE", *name,
                               "the name of a network interface of this computer, such as lo");
            return std::nullopt;
        }
        config.interfaceName = *name;
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
