#include "nmos_settings.h"

#include <algorithm>
#include <cctype>

namespace nmos {

namespace {

using wire::Trim;

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

} // namespace

// LIRAFON_NMOS, LIRAFON_NMOS_REGISTRY and LIRAFON_NMOS_ALLOWED_ORIGINS.
bool ReadSettings(wire::EnvironmentReader getenv, Settings* nmos, std::string* error) {
    if (const char* setting = getenv("LIRAFON_NMOS"); setting != nullptr) {
        const std::string value = Lower(Trim(setting));
        if (value != "" && value != "on" && value != "off") {
            *error =
                std::string("LIRAFON_NMOS: '") + setting + "' is not accepted; expected on or off";
            return false;
        }
        nmos->enabled = value != "off";
        nmos->named = true;
    }
    if (const char* registries = getenv("LIRAFON_NMOS_REGISTRY"); registries != nullptr) {
        std::string_view rest = registries;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string_view entry = Trim(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (entry.empty()) {
                continue;
            }
            std::string_view address = entry;
            if (address.starts_with("http://")) {
                address.remove_prefix(7);
            }
            if (address.ends_with("/")) {
                address.remove_suffix(1);
            }
            const std::optional<wire::HostPort> host = wire::ParseHostPort(address);
            if (entry.find("://") != entry.rfind("://") ||
                (entry.find("://") != std::string_view::npos && !entry.starts_with("http://")) ||
                !host || !host->port || address.find('/') != std::string_view::npos) {
                *error =
                    "LIRAFON_NMOS_REGISTRY: \"" + std::string(entry) + "\" is not http://host:port";
                return false;
            }
            const bool v6 = host->host.find(':') != std::string::npos;
            nmos->registries.push_back("http://" + (v6 ? "[" + host->host + "]" : host->host) +
                                       ":" + std::to_string(*host->port) + "/");
        }
    }
    if (const char* origins = getenv("LIRAFON_NMOS_ALLOWED_ORIGINS"); origins != nullptr) {
        std::string_view rest = origins;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string origin = Lower(Trim(rest.substr(0, comma)));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (origin.empty()) {
                continue;
            }
            // An origin is what a browser sends: scheme://host[:port] and nothing after it.
            const size_t scheme = origin.find("://");
            const bool web = (origin.starts_with("http://") || origin.starts_with("https://")) &&
                             origin.find('/', scheme + 3) == std::string::npos &&
                             origin.size() > scheme + 3;
            if (origin != "null" && !web) {
                *error = "LIRAFON_NMOS_ALLOWED_ORIGINS: '" + origin +
                         "' is not an origin; expected http://host[:port], https://host[:port] "
                         "or null, comma-separated";
                return false;
            }
            nmos->allowedOrigins.push_back(origin);
        }
    }
    return true;
}

} // namespace nmos
