// Parsing and formatting of the remote settings. Every parser leaves its output untouched when it
// refuses the text, so a refused change changes nothing.
#include "remote_settings.h"

#include "address.h"
#include "values.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace control {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

using wire::Trim;

// A whole decimal number with an optional sign, nothing else.
bool ParseInteger(std::string_view text, int64_t* value) {
    const std::optional<int64_t> parsed = wire::ParseInteger(text);
    return parsed && (*value = *parsed, true);
}

// Decodes strict UTF-8 (no overlongs, no surrogates); false on anything malformed.
bool DecodeUtf8(std::string_view text, std::u32string* out) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(extra) >= text.size()) {
            return false; // the sequence is cut short
        }
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        out->push_back(code);
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

} // namespace

bool SettingsChange::Empty() const {
    const bool noPair = std::none_of(pairChanges.begin(), pairChanges.end(),
                                     [](const std::optional<bool>& p) { return p.has_value(); });
    return !channels && !pairs && noPair && !level && !ident && !frequency && !identText &&
           !showIdentText && !fullRateVideo && !avSync;
}

void SettingsChange::Merge(const SettingsChange& later) {
    auto take = [](auto& mine, const auto& theirs) {
        if (theirs) {
            mine = theirs;
        }
    };
    take(channels, later.channels);
    take(pairs, later.pairs);
    if (later.pairs) {
        pairChanges = {}; // a whole list replaces single changes made before it
    }
    for (size_t p = 0; p < pairChanges.size(); ++p) {
        take(pairChanges[p], later.pairChanges[p]);
    }
    take(level, later.level);
    take(ident, later.ident);
    take(frequency, later.frequency);
    take(identText, later.identText);
    take(showIdentText, later.showIdentText);
    take(fullRateVideo, later.fullRateVideo);
    take(avSync, later.avSync);
}

bool ParseChannels(std::string_view text, int32_t* channels) {
    int64_t value = 0;
    if (!ParseInteger(text, &value) || (value != 2 && value != 4 && value != 8 && value != 16)) {
        return false;
    }
    *channels = static_cast<int32_t>(value);
    return true;
}

bool ParsePairs(std::string_view text, PairMarks* marks) {
    const std::string lower = Lower(Trim(text));
    PairMarks parsed{};
    if (lower == "all" || lower == "none") {
        parsed.fill(lower == "all");
        *marks = parsed;
        return true;
    }
    std::string_view rest = lower;
    if (rest.empty()) {
        return false;
    }
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view item = Trim(rest.substr(0, comma));
        const size_t dash = item.find('-');
        int64_t first = 0;
        int64_t second = 0;
        if (dash == std::string_view::npos || !ParseInteger(item.substr(0, dash), &first) ||
            !ParseInteger(item.substr(dash + 1), &second) || item.front() == '+' ||
            item[dash + 1] == '+' || first < 1 || first > 15 || first % 2 == 0 ||
            second != first + 1) {
            return false;
        }
        parsed[static_cast<size_t>(first / 2)] = true;
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    *marks = parsed;
    return true;
}

bool ParseLevel(std::string_view text, LevelSetting* level) {
    const std::string lower = Lower(Trim(text));
    if (lower == "ebu" || lower == "smpte") {
        *level = {lower == "ebu" ? LevelChoice::ebu : LevelChoice::smpte, 0};
        return true;
    }
    int64_t dbu = 0;
    if (!ParseInteger(lower, &dbu) || dbu < kLowestUserDbu || dbu > kHighestUserDbu) {
        return false;
    }
    *level = {LevelChoice::user, static_cast<int32_t>(dbu)};
    return true;
}

// The ident names, one place for the options, the variables, the API and the panel.
constexpr const char* kIdentNames[] = {"ebu", "glits", "blits", "ebu-surround"};

bool ParseIdent(std::string_view text, int32_t* ident) {
    const std::string lower = Lower(Trim(text));
    for (int32_t i = 0; i < static_cast<int32_t>(std::size(kIdentNames)); ++i) {
        if (lower == kIdentNames[i]) {
            *ident = i;
            return true;
        }
    }
    return false;
}

std::string SurroundProblem(int32_t ident, int32_t channels) {
    if ((ident != 2 && ident != 3) || channels >= 6) {
        return {};
    }
    return std::string(kIdentNames[ident]) + " is a 5.1 ident and needs 6 channels; " +
           std::to_string(channels) + " cannot carry it: choose 8 or 16 channels, or ebu or glits";
}

bool ParseFrequency(std::string_view text, FrequencyChoice* frequency) {
    static constexpr std::pair<const char*, FrequencyChoice> kNames[] = {
        {"1000", FrequencyChoice::hz1000}, {"400", FrequencyChoice::hz400},
        {"200", FrequencyChoice::hz200},   {"100", FrequencyChoice::hz100},
        {"multi", FrequencyChoice::multi}, {"sequence", FrequencyChoice::sequence}};
    const std::string lower = Lower(Trim(text));
    for (const auto& [name, choice] : kNames) {
        if (lower == name) {
            *frequency = choice;
            return true;
        }
    }
    return false;
}

namespace {

// Characters a one-line caption cannot hold: controls, line and paragraph separators, and the
// controls that reorder text (a caption would show something other than what was typed).
const char* UnsuitableCharacter(char32_t code) {
    if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
        return "a control character";
    }
    if (code == 0x2028) {
        return "a line separator";
    }
    if (code == 0x2029) {
        return "a paragraph separator";
    }
    if ((code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
        code == 0x200E || code == 0x200F || code == 0x061C) {
        return "a bidirectional control";
    }
    return nullptr;
}

} // namespace

std::string IdentTextProblem(std::string_view text) {
    std::u32string decoded;
    if (!DecodeUtf8(text, &decoded)) {
        return "it is not UTF-8";
    }
    for (const char32_t code : decoded) {
        if (const char* what = UnsuitableCharacter(code)) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code));
            return std::string(name) + ", " + what + ",";
        }
    }
    if (decoded.size() > static_cast<size_t>(kIdentTextLimit)) {
        return "its " + std::to_string(decoded.size()) + " characters";
    }
    return "";
}

bool ParseIdentText(std::string_view text, std::wstring* identText) {
    if (!IdentTextProblem(text).empty()) {
        return false;
    }
    std::u32string decoded;
    DecodeUtf8(text, &decoded);
    *identText = std::wstring(decoded.begin(), decoded.end());
    return true;
}

bool ParseSwitch(std::string_view text, bool* on) {
    const std::string lower = Lower(Trim(text));
    if (lower == "1" || lower == "true" || lower == "on" || lower == "yes") {
        *on = true;
        return true;
    }
    if (lower == "0" || lower == "false" || lower == "off" || lower == "no") {
        *on = false;
        return true;
    }
    return false;
}

bool ParseControlPort(std::string_view text, std::optional<int>* port) {
    if (Lower(Trim(text)) == "off") {
        *port = std::nullopt;
        return true;
    }
    const std::optional<int> value = wire::ParsePort(Trim(text), true);
    return value && (*port = *value, true);
}

std::string FormatPairs(const PairMarks& marks) {
    const auto marked = std::count(marks.begin(), marks.end(), true);
    if (marked == kPairCount) {
        return "all";
    }
    if (marked == 0) {
        return "none";
    }
    std::string text;
    for (int32_t p = 0; p < kPairCount; ++p) {
        if (marks[static_cast<size_t>(p)]) {
            if (!text.empty()) {
                text += ',';
            }
            text += std::to_string(2 * p + 1) + "-" + std::to_string(2 * p + 2);
        }
    }
    return text;
}

std::string FormatLevel(const LevelSetting& level) {
    switch (level.choice) {
    case LevelChoice::ebu:
        return "ebu";
    case LevelChoice::smpte:
        return "smpte";
    case LevelChoice::user:
        break;
    }
    std::string text = level.userDbu < 0 ? "" : "+";
    text.append(std::to_string(level.userDbu));
    return text;
}

std::string FormatIdent(int32_t ident) {
    return ident >= 0 && ident < static_cast<int32_t>(std::size(kIdentNames)) ? kIdentNames[ident]
                                                                              : "ebu";
}

std::string FormatFrequency(FrequencyChoice frequency) {
    switch (frequency) {
    case FrequencyChoice::hz1000:
        return "1000";
    case FrequencyChoice::hz400:
        return "400";
    case FrequencyChoice::hz200:
        return "200";
    case FrequencyChoice::hz100:
        return "100";
    case FrequencyChoice::multi:
        return "multi";
    case FrequencyChoice::sequence:
        break;
    }
    return "sequence";
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (const wchar_t wide : text) {
        const auto code = static_cast<uint32_t>(wide);
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string AcceptedValues(std::string_view name) {
    if (name == "channels") {
        return "2, 4, 8 or 16";
    }
    if (name == "pairs") {
        return "all, none, or pairs such as 1-2,9-10";
    }
    if (name == "level") {
        std::string text = "ebu, smpte, or a whole number of dBu from ";
        text.append(std::to_string(kLowestUserDbu)).append(" to +");
        return text.append(std::to_string(kHighestUserDbu));
    }
    if (name == "ident") {
        return "ebu, glits, blits or ebu-surround (the surround idents with 8 or 16 channels)";
    }
    if (name == "frequency") {
        return "1000, 400, 200, 100, multi or sequence";
    }
    if (name == "identText") {
        std::string text = "one line of printable text of at most ";
        return text.append(std::to_string(kIdentTextLimit))
            .append(" characters, without line separators or bidirectional controls");
    }
    if (name == "controlPort") {
        return "a port from 1 to 65535, or off";
    }
    if (name == "controlAddress") {
        return "a numeric IPv4 or IPv6 address of this computer";
    }
    return "1 or 0";
}

namespace {

struct OptionSpec {
    const char* option;   // "--channels"
    const char* variable; // "LIRAFON_CHANNELS"
    const char* name;     // the API's name, for AcceptedValues
    bool takesValue;
};

constexpr OptionSpec kOptions[] = {
    {"--channels", "LIRAFON_CHANNELS", "channels", true},
    {"--pairs", "LIRAFON_PAIRS", "pairs", true},
    {"--level", "LIRAFON_LEVEL", "level", true},
    {"--ident", "LIRAFON_IDENT", "ident", true},
    {"--frequency", "LIRAFON_FREQUENCY", "frequency", true},
    {"--ident-text", "LIRAFON_IDENT_TEXT", "identText", true},
    {"--no-ident-text", "LIRAFON_SHOW_IDENT_TEXT", "showIdentText", false},
    {"--full-rate-video", "LIRAFON_FULL_RATE_VIDEO", "fullRateVideo", false},
    {"--av-sync", "LIRAFON_AV_SYNC", "avSync", false},
    {"--control-port", "LIRAFON_CONTROL_PORT", "controlPort", true},
};

// Applies one value to the options; false when the value is refused.
bool TakeValue(const OptionSpec& spec, std::string_view value, bool fromVariable,
               StartupOptions* options) {
    SettingsChange& s = options->settings;
    const std::string_view name = spec.name;
    if (name == "channels") {
        int32_t v = 0;
        return ParseChannels(value, &v) && (s.channels = v, true);
    }
    if (name == "pairs") {
        PairMarks v{};
        return ParsePairs(value, &v) && (s.pairs = v, true);
    }
    if (name == "level") {
        LevelSetting v;
        return ParseLevel(value, &v) && (s.level = v, true);
    }
    if (name == "ident") {
        int32_t v = 0;
        return ParseIdent(value, &v) && (s.ident = v, true);
    }
    if (name == "frequency") {
        FrequencyChoice v{};
        return ParseFrequency(value, &v) && (s.frequency = v, true);
    }
    if (name == "identText") {
        std::wstring v;
        return ParseIdentText(value, &v) && (s.identText = v, true);
    }
    if (name == "showIdentText") {
        // The option says "no"; the variable says whether to show it.
        bool show = false;
        if (fromVariable && !ParseSwitch(value, &show)) {
            return false;
        }
        s.showIdentText = show;
        return true;
    }
    if (name == "fullRateVideo" || name == "avSync") {
        bool on = true;
        if (fromVariable && !ParseSwitch(value, &on)) {
            return false;
        }
        (name == "avSync" ? s.avSync : s.fullRateVideo) = on;
        return true;
    }
    std::optional<int> port;
    return ParseControlPort(value, &port) && (options->control.basePort = port, true);
}

// LIRAFON_NMOS, LIRAFON_NMOS_REGISTRY and LIRAFON_NMOS_ALLOWED_ORIGINS, as the probe reads them.
bool ReadNmosOptions(EnvironmentReader getenv, NmosOptions* nmos, std::string* error) {
    return nmos::ReadSettings(getenv, nmos, error);
}

std::string Refusal(std::string_view who, std::string_view value, std::string_view name) {
    std::string line(who);
    line.append(": '").append(value).append("' is not accepted; expected ");
    line.append(AcceptedValues(name));
    return line;
}

} // namespace

std::optional<StartupOptions> ParseStartupOptions(const std::vector<std::string>& arguments,
                                                  EnvironmentReader getenv, std::string* error) {
    StartupOptions options;
    for (const OptionSpec& spec : kOptions) {
        const char* value = getenv(spec.variable);
        if (value != nullptr && !TakeValue(spec, value, true, &options)) {
            *error = Refusal(spec.variable, value,
                             spec.takesValue ? std::string_view(spec.name) : "switch");
            return std::nullopt;
        }
    }
    if (const char* address = getenv("LIRAFON_CONTROL_ADDRESS"); address != nullptr) {
        options.control.address = address;
    }
    if (const char* token = getenv("LIRAFON_CONTROL_TOKEN"); token != nullptr) {
        options.control.token = token;
    }
    if (!ReadNmosOptions(getenv, &options.nmos, error)) {
        return std::nullopt;
    }
    const char* platform = getenv("QT_QPA_PLATFORM");
    options.platformChosen = platform != nullptr;
    for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = getenv(display);
        options.hasDisplay = options.hasDisplay || (value != nullptr && value[0] != '\0');
    }

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument.rfind("-platform", 0) == 0 || argument.rfind("--platform", 0) == 0) {
            ++i; // Qt's own option and its value are Qt's
            continue;
        }
        const size_t equals = argument.find('=');
        const std::string option = argument.substr(0, equals);
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& candidate : kOptions) {
            if (option == candidate.option) {
                spec = &candidate;
            }
        }
        if (spec == nullptr) {
            *error = "unknown argument '" + argument + "' (try --help)";
            return std::nullopt;
        }
        std::string value;
        if (spec->takesValue) {
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                *error = option + " needs a value: " + AcceptedValues(spec->name);
                return std::nullopt;
            }
        } else if (equals != std::string::npos) {
            *error = option + " takes no value";
            return std::nullopt;
        }
        if (!TakeValue(*spec, value, false, &options)) {
            *error = Refusal(option, value, spec->name);
            return std::nullopt;
        }
    }

    // The window starts on 8 channels when none are given.
    if (const std::string problem = SurroundProblem(options.settings.ident.value_or(0),
                                                    options.settings.channels.value_or(8));
        !problem.empty()) {
        *error = "--ident: " + problem;
        return std::nullopt;
    }
    // A surround ident's legs are its pairs: started with one and no pairs named, all sound.
    if (options.settings.ident.value_or(0) >= 2 && !options.settings.pairs) {
        options.settings.pairs = PairMarks{};
        options.settings.pairs->fill(true);
    }

    in6_addr probe{};
    const std::string& address = options.control.address;
    if (address != "localhost" && inet_pton(AF_INET, address.c_str(), &probe) != 1 &&
        inet_pton(AF_INET6, address.c_str(), &probe) != 1) {
        *error = Refusal("LIRAFON_CONTROL_ADDRESS", address, "controlAddress");
        return std::nullopt;
    }
    const std::string& token = options.control.token;
    if (!token.empty() &&
        (token.size() < kShortestToken || std::any_of(token.begin(), token.end(), [](char c) {
             return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
         }))) {
        *error = "LIRAFON_CONTROL_TOKEN: a token of " + std::to_string(token.size()) + " bytes" +
                 (token.size() < kShortestToken ? " is too easy to guess" : "") +
                 "; expected at least " + std::to_string(kShortestToken) +
                 " printable characters (spaces and ; included)";
        return std::nullopt;
    }
    if (options.control.basePort && !wire::IsLoopbackAddress(address) &&
        options.control.token.empty()) {
        *error = "LIRAFON_CONTROL_ADDRESS: refusing to offer remote control on " + address +
                 " without LIRAFON_CONTROL_TOKEN (set a token, or use 127.0.0.1)";
        return std::nullopt;
    }
    return options;
}

} // namespace control
