#include "sdp_reader.h"

#include "values.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace wire {

namespace {

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos) {
            break;
        }
        const size_t end = std::min(text.find(' ', start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

std::optional<SdpRtpMap> ReadRtpMap(std::string_view value) {
    // <payload type> <encoding name>/<clock rate>[/<channels>]
    const std::vector<std::string_view> words = Words(value);
    if (words.size() != 2) {
        return std::nullopt;
    }
    SdpRtpMap map;
    const std::optional<int64_t> type = ParseInteger(words[0], 0, 127);
    const std::string_view format = words[1];
    const size_t slash = format.find('/');
    if (!type || slash == std::string_view::npos || slash == 0) {
        return std::nullopt;
    }
    map.payloadType = static_cast<int>(*type);
    map.encoding = std::string(format.substr(0, slash));
    const std::string_view rest = format.substr(slash + 1);
    const size_t second = rest.find('/');
    const std::optional<int64_t> rate = ParseInteger(rest.substr(0, second), 1, 10'000'000);
    if (!rate) {
        return std::nullopt;
    }
    map.rate = static_cast<int>(*rate);
    if (second != std::string_view::npos) {
        const std::optional<int64_t> channels = ParseInteger(rest.substr(second + 1), 1, 1024);
        if (!channels) {
            return std::nullopt;
        }
        map.channels = static_cast<int>(*channels);
    }
    return map;
}

// c=IN IP4 <address>[/ttl[/count]] or IN IP6 <address>[/count]: the numeric address.
std::optional<std::string> ReadConnection(std::string_view value) {
    const std::vector<std::string_view> words = Words(value);
    if (words.size() != 3 || words[0] != "IN" || (words[1] != "IP4" && words[1] != "IP6")) {
        return std::nullopt;
    }
    const std::string address(words[2].substr(0, words[2].find('/')));
    unsigned char bytes[16];
    if (inet_pton(words[1] == "IP4" ? AF_INET : AF_INET6, address.c_str(), bytes) != 1) {
        return std::nullopt;
    }
    return address;
}

// What an attribute of RTP media must hold, checked where it is read; "" when it holds it.
std::string AttributeProblem(const SdpAttribute& attribute) {
    if (attribute.name == "rtpmap" && !ReadRtpMap(attribute.value)) {
        return "a=rtpmap wants <payload type> <encoding>/<rate>[/<channels>]";
    }
    if (attribute.name == "rtcp" &&
        !ParsePort(Words(attribute.value).empty() ? std::string_view()
                                                  : Words(attribute.value)[0])) {
        return "a=rtcp wants a port 1 to 65535";
    }
    if (attribute.name == "ptime") {
        const std::optional<double> ms = ParseSeconds(attribute.value);
        if (!ms) {
            return "a=ptime wants a packet time in milliseconds";
        }
    }
    if (attribute.name == "fmtp" &&
        !ParseInteger(Words(attribute.value).empty() ? std::string_view()
                                                     : Words(attribute.value)[0],
                      0, 127)) {
        return "a=fmtp wants <payload type> <parameters>";
    }
    return {};
}

std::optional<std::string> FirstOf(const std::vector<SdpAttribute>& attributes,
                                   std::string_view name) {
    for (const SdpAttribute& attribute : attributes) {
        if (attribute.name == name) {
            return attribute.value;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> SdpMedia::Attribute(std::string_view name) const {
    return FirstOf(attributes, name);
}

std::optional<SdpRtpMap> SdpMedia::RtpMap(int payloadType) const {
    for (const SdpAttribute& attribute : attributes) {
        if (attribute.name == "rtpmap") {
            const std::optional<SdpRtpMap> map = ReadRtpMap(attribute.value);
            if (map && map->payloadType == payloadType) {
                return map;
            }
        }
    }
    return std::nullopt;
}

std::map<std::string, std::string> SdpMedia::FormatParameters(int payloadType) const {
    std::map<std::string, std::string> parameters;
    for (const SdpAttribute& attribute : attributes) {
        const size_t space = attribute.value.find(' ');
        if (attribute.name != "fmtp" || space == std::string::npos ||
            ParseInteger(std::string_view(attribute.value).substr(0, space)) != payloadType) {
            continue;
        }
        std::string_view rest = std::string_view(attribute.value).substr(space + 1);
        while (!rest.empty()) {
            const size_t semicolon = rest.find(';');
            const std::string_view item = Trim(rest.substr(0, semicolon));
            rest = semicolon == std::string_view::npos ? std::string_view()
                                                       : rest.substr(semicolon + 1);
            const size_t equals = item.find('=');
            if (!item.empty()) {
                parameters[std::string(Trim(item.substr(0, equals)))] =
                    equals == std::string_view::npos ? std::string()
                                                     : std::string(Trim(item.substr(equals + 1)));
            }
        }
    }
    return parameters;
}

int SdpMedia::RtcpPort() const {
    if (const std::optional<std::string> rtcp = Attribute("rtcp")) {
        const std::vector<std::string_view> words = Words(*rtcp);
        if (!words.empty()) {
            if (const std::optional<int> port = ParsePort(words[0])) {
                return *port;
            }
        }
    }
    return port + 1;
}

std::optional<std::string> SessionDescription::Attribute(std::string_view name) const {
    return FirstOf(attributes, name);
}

std::string SessionDescription::ConnectionOf(const SdpMedia& section) const {
    return section.connection.empty() ? connection : section.connection;
}

std::optional<SessionDescription> ParseSdp(std::string_view text,
                                           std::vector<std::string>* errors) {
    SessionDescription session;
    const size_t errorsBefore = errors->size();
    auto fault = [&](int line, const std::string& what) {
        errors->push_back("line " + std::to_string(line) + ": " + what);
    };
    int number = 0;
    bool sawVersion = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue; // a blank line (a trailing newline) carries nothing
        }
        if (!sawVersion) {
            if (line != "v=0") {
                fault(number, "a session description begins with v=0");
                return std::nullopt; // not a description at all: nothing after it is read
            }
            sawVersion = true;
            continue;
        }
        if (line.size() < 2 || line[1] != '=' ||
            !std::islower(static_cast<unsigned char>(line[0]))) {
            fault(number, "not <type>=<value>");
            continue;
        }
        const char type = line[0];
        const std::string_view value = line.substr(2);
        SdpMedia* media = session.media.empty() ? nullptr : &session.media.back();
        switch (type) {
        case 'o':
            session.origin = std::string(value);
            break;
        case 's':
            session.name = std::string(value);
            break;
        case 'c': {
            const std::optional<std::string> address = ReadConnection(value);
            if (!address) {
                fault(number, "c= wants IN IP4 or IN IP6 and a numeric address");
            } else {
                (media != nullptr ? media->connection : session.connection) = *address;
            }
            break;
        }
        case 'm': {
            // m=<media> <port>[/<count>] <proto> <fmt> ...
            const std::vector<std::string_view> words = Words(value);
            SdpMedia section;
            section.line = number;
            std::optional<int> port;
            bool good = words.size() >= 4;
            if (good) {
                section.kind = std::string(words[0]);
                port = ParsePort(words[1].substr(0, words[1].find('/')), true);
                section.protocol = std::string(words[2]);
                for (size_t i = 3; i < words.size() && good; ++i) {
                    const std::optional<int64_t> format = ParseInteger(words[i], 0, 127);
                    good = format.has_value() || section.protocol.rfind("RTP/", 0) != 0;
                    if (format) {
                        section.formats.push_back(static_cast<int>(*format));
                    }
                }
            }
            if (!good || !port) {
                fault(number, "m= wants <media> <port> <protocol> <payload types>");
            }
            section.port = port.value_or(0);
            session.media.push_back(std::move(section)); // later lines belong to it either way
            break;
        }
        case 'a': {
            const size_t colon = value.find(':');
            SdpAttribute attribute{std::string(value.substr(0, colon)),
                                   colon == std::string_view::npos
                                       ? std::string()
                                       : std::string(value.substr(colon + 1)),
                                   number};
            if (attribute.name.empty()) {
                fault(number, "a= wants a name");
                break;
            }
            if (const std::string problem = AttributeProblem(attribute); !problem.empty()) {
                fault(number, problem);
                break;
            }
            (media != nullptr ? media->attributes : session.attributes).push_back(attribute);
            break;
        }
        case 'v':
            fault(number, "a second v= line");
            break;
        default:
            break; // t=, i=, b=, k=, ...: nothing a receiver needs
        }
    }
    if (!sawVersion) {
        errors->push_back("no v=0 line: not a session description");
    }
    if (errors->size() != errorsBefore) {
        return std::nullopt;
    }
    return session;
}

} // namespace wire
