// The settings an operator can give without touching the window: start-up options, their
// environment variables and the control API all name them the same way and take the same values.
// Parsing is all-or-nothing: a change either holds only valid values or is refused with one line
// naming what was wrong and what is accepted. Qt-free, so the option parser runs before Qt starts.
#pragma once

#include "nmos_settings.h"

#include "values.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace control {

inline constexpr int32_t kPairCount = 8;
inline constexpr int32_t kIdentTextLimit = 27;
// User levels offered remotely: wide enough for any line-up, narrow enough to be sendable.
inline constexpr int32_t kLowestUserDbu = -99;
inline constexpr int32_t kHighestUserDbu = 99;
// The first copy's control port; copy N listens N - 1 above it.
inline constexpr int kDefaultControlPort = 8780;

enum class LevelChoice { ebu = 0, smpte = 1, user = 2 };
struct LevelSetting {
    LevelChoice choice = LevelChoice::ebu;
    int32_t userDbu = 0; // meaningful for LevelChoice::user
    bool operator==(const LevelSetting&) const = default;
};

// The frequency menu's choices; sequence is "Sequence 1" on, with the multi-frequency set.
enum class FrequencyChoice { hz1000, hz400, hz200, hz100, multi, sequence };

using PairMarks = std::array<bool, kPairCount>;

// Some of the settings; an absent field is left as it is.
struct SettingsChange {
    std::optional<int32_t> channels; // 2, 4, 8 or 16
    std::optional<PairMarks> pairs;
    // Single pairs to mark or clear, the others left as they are (applied after `pairs`): two
    // operators ticking different pairs at once never undo each other.
    std::array<std::optional<bool>, kPairCount> pairChanges{};
    std::optional<LevelSetting> level;
    std::optional<int32_t> ident; // 0: EBU ("Normal ID"), 1: GLITS, 2: BLITS, 3: EBU surround
    std::optional<FrequencyChoice> frequency;
    std::optional<std::wstring> identText;
    std::optional<bool> showIdentText;
    std::optional<bool> fullRateVideo;
    std::optional<bool> avSync;

    bool Empty() const;
    // Fields of `later` replace this change's.
    void Merge(const SettingsChange& later);
};

// One value each. False when the text is not one of the accepted values; AcceptedValues names
// them for the message.
bool ParseChannels(std::string_view text, int32_t* channels);
bool ParsePairs(std::string_view text, PairMarks* marks);
bool ParseLevel(std::string_view text, LevelSetting* level);
bool ParseIdent(std::string_view text, int32_t* ident);
// Why `ident` cannot play on `channels` channels (a surround ident needs 6), "" when it can.
std::string SurroundProblem(int32_t ident, int32_t channels);
bool ParseFrequency(std::string_view text, FrequencyChoice* frequency);
// UTF-8, printable, at most kIdentTextLimit characters, on one line and in one direction.
bool ParseIdentText(std::string_view text, std::wstring* identText);
// Why ParseIdentText refuses a text, naming the first character it cannot take ("U+2028, a line
// separator"); "" when it takes it.
std::string IdentTextProblem(std::string_view text);
bool ParseSwitch(std::string_view text, bool* on);
// A port 1 to 65535 (0: any free port, for tests), or "off" (nullopt in *port).
bool ParseControlPort(std::string_view text, std::optional<int>* port);

// The values as options, variables and the API's state write them.
std::string FormatPairs(const PairMarks& marks);
std::string FormatLevel(const LevelSetting& level);
std::string FormatIdent(int32_t ident);
std::string FormatFrequency(FrequencyChoice frequency);
std::string ToUtf8(const std::wstring& text);

// What each setting accepts, for the one-line messages.
std::string AcceptedValues(std::string_view name);

// Tokens shorter than this are refused at start: easy to guess.
inline constexpr size_t kShortestToken = 16;

// Where the control server listens.
struct ControlEndpoint {
    std::optional<int> basePort = kDefaultControlPort; // nullopt: no server
    std::string address = "127.0.0.1";
    std::string token; // required for any address but loopback
};

// The source as an NMOS node (built-in runtime only).
using NmosOptions = nmos::Settings;

struct StartupOptions {
    bool help = false;
    bool version = false;
    SettingsChange settings;
    ControlEndpoint control;
    NmosOptions nmos;
    bool platformChosen = false; // QT_QPA_PLATFORM is set
    bool hasDisplay = false;     // DISPLAY or WAYLAND_DISPLAY names one
};

// Reads the environment's LIRAFON_* settings, then the arguments (an option wins over its
// variable). `getenv` is the environment to read. nullopt with one line in *error on a bad value
// or an unknown argument. Arguments Qt owns (-platform ...) are skipped.
using EnvironmentReader = wire::EnvironmentReader;
std::optional<StartupOptions> ParseStartupOptions(const std::vector<std::string>& arguments,
                                                  EnvironmentReader getenv, std::string* error);

} // namespace control
