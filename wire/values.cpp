#include "values.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace wire {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<int64_t> ParseInteger(std::string_view text, int64_t lowest, int64_t highest) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1); // from_chars takes '-' but not '+'
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    int64_t value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size() || value < lowest ||
        value > highest) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("-0123456789.") != std::string_view::npos ||
        text.find('-', 1) != std::string_view::npos) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> ParsePort(std::string_view text, bool anyPort) {
    // Digits only: a port with a sign or a space around it is a typing mistake, not a port.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<int64_t> port = ParseInteger(text, anyPort ? 0 : 1, 65535);
    return port ? std::optional<int>(static_cast<int>(*port)) : std::nullopt;
}

std::optional<HostPort> ParseHostPort(std::string_view text) {
    text = Trim(text);
    HostPort result;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            return std::nullopt;
        }
        result.host = std::string(text.substr(1, close - 1));
        rest = text.substr(close + 1);
    } else if (text.find(':') != text.rfind(':')) {
        result.host = std::string(text); // a bare IPv6 address: no port can follow it
    } else {
        const size_t colon = text.find(':');
        result.host = std::string(text.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (result.host.empty()) {
        return std::nullopt;
    }
    if (!rest.empty()) {
        if (rest.front() != ':' || !(result.port = ParsePort(rest.substr(1)))) {
            return std::nullopt;
        }
    }
    return result;
}

std::optional<double> ParseSeconds(std::string_view text) {
    text = Trim(text);
    double scale = 1.0;
    if (text.ends_with("ms")) {
        scale = 0.001;
        text.remove_suffix(2);
    } else if (text.ends_with("s")) {
        text.remove_suffix(1);
    }
    double value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    value *= scale;
    if (!(value > 0.0) || value >= 86400.0) {
        return std::nullopt;
    }
    return value;
}

} // namespace wire
