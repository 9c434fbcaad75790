// The start-up settings: every accepted and refused value, an option winning over its variable,
// and the combinations refused as a whole (a LAN control address without a token).
#include "address.h"
#include "remote_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace control;

namespace {

std::map<std::string, std::string> g_environment;

const char* FakeEnvironment(const char* name) {
    const auto found = g_environment.find(name);
    return found == g_environment.end() ? nullptr : found->second.c_str();
}

std::optional<StartupOptions> Parse(const std::vector<std::string>& arguments,
                                    std::map<std::string, std::string> environment,
                                    std::string* error) {
    g_environment = std::move(environment);
    return ParseStartupOptions(arguments, &FakeEnvironment, error);
}

PairMarks Marks(std::initializer_list<int> pairs) {
    PairMarks marks{};
    for (const int p : pairs) {
        marks[static_cast<size_t>(p)] = true;
    }
    return marks;
}

} // namespace

TEST(Settings, EachValueIsAcceptedOrRefusedAsDocumented) {
    int32_t number = 0;
    for (const char* good : {"2", "4", "8", "16", " 16 ", "+8"}) {
        EXPECT_TRUE(ParseChannels(good, &number)) << good;
    }
    for (const char* bad : {"", "3", "32", "0", "8ch", "0x10", "-8", "1e1"}) {
        EXPECT_FALSE(ParseChannels(bad, &number)) << bad;
    }

    PairMarks marks{};
    EXPECT_TRUE(ParsePairs("all", &marks));
    EXPECT_EQ(marks, Marks({0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(ParsePairs("None", &marks));
    EXPECT_EQ(marks, Marks({}));
    EXPECT_TRUE(ParsePairs("1-2, 9-10,15-16", &marks));
    EXPECT_EQ(marks, Marks({0, 4, 7}));
    EXPECT_EQ(FormatPairs(marks), "1-2,9-10,15-16");
    for (const char* bad :
         {"", "2-3", "1-3", "17-18", "1-2,", ",1-2", "1", "-1-0", "1-2;3-4", "+1-2", "1-+2"}) {
        EXPECT_FALSE(ParsePairs(bad, &marks)) << bad;
        EXPECT_EQ(marks, Marks({0, 4, 7})) << "a refused value changes nothing";
    }

    LevelSetting level;
    EXPECT_TRUE(ParseLevel("SMPTE", &level));
    EXPECT_EQ(level, (LevelSetting{LevelChoice::smpte, 0}));
    EXPECT_TRUE(ParseLevel("+6", &level));
    EXPECT_EQ(level, (LevelSetting{LevelChoice::user, 6}));
    EXPECT_EQ(FormatLevel(level), "+6");
    EXPECT_TRUE(ParseLevel("0", &level));
    EXPECT_EQ(FormatLevel(level), "+0");
    EXPECT_TRUE(ParseLevel("-99", &level));
    EXPECT_EQ(FormatLevel(level), "-99");
    for (const char* bad : {"", "+100", "-100", "6.5", "+-6", "ebu2", "99999999999999999999"}) {
        EXPECT_FALSE(ParseLevel(bad, &level)) << bad;
    }

    FrequencyChoice frequency{};
    for (const char* good : {"1000", "400", "200", "100", "multi", "Sequence"}) {
        EXPECT_TRUE(ParseFrequency(good, &frequency)) << good;
    }
    EXPECT_EQ(frequency, FrequencyChoice::sequence);
    for (const char* bad : {"", "1 kHz", "500", "1000Hz"}) {
        EXPECT_FALSE(ParseFrequency(bad, &frequency)) << bad;
    }

    int32_t ident = -1;
    EXPECT_TRUE(ParseIdent("GLITS", &ident));
    EXPECT_EQ(ident, 1);
    EXPECT_FALSE(ParseIdent("normal", &ident));
}

// 27 characters, counted as characters, not bytes; nothing that would break the caption's line.
TEST(Settings, IdentTextIsCountedInCharactersAndKeptOnOneLine) {
    std::wstring text;
    EXPECT_TRUE(ParseIdentText(std::string(27, 'A'), &text));
    EXPECT_FALSE(ParseIdentText(std::string(28, 'A'), &text));
    EXPECT_TRUE(ParseIdentText("", &text));
    EXPECT_EQ(text, L"");
    std::string accented;
    for (int i = 0; i < 27; ++i) {
        accented += "\xC3\xA9"; // é: two bytes, one character
    }
    ASSERT_TRUE(ParseIdentText(accented, &text));
    EXPECT_EQ(text, std::wstring(27, L'\u00e9'));
    EXPECT_EQ(ToUtf8(text), accented);
    for (const std::string& bad :
         {std::string("line\nbreak"), std::string("tab\there"), std::string("\xC3"),
          std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("\xFF")}) {
        EXPECT_FALSE(ParseIdentText(bad, &text)) << bad;
    }
}

TEST(Settings, StartupOptionsReadVariablesAndOptionsWin) {
    std::string error;
    auto options = Parse({"--channels", "16", "--level=smpte", "--no-ident-text"},
                         {{"LIRAFON_CHANNELS", "4"},
                          {"LIRAFON_PAIRS", "all"},
                          {"LIRAFON_FULL_RATE_VIDEO", "1"},
                          {"LIRAFON_AV_SYNC", "1"},
                          {"LIRAFON_IDENT_TEXT", "Studio 4"},
                          {"LIRAFON_CONTROL_PORT", "9000"}},
                         &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->settings.channels, 16);
    EXPECT_EQ(options->settings.pairs, Marks({0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(options->settings.level, (LevelSetting{LevelChoice::smpte, 0}));
    EXPECT_EQ(options->settings.fullRateVideo, true);
    EXPECT_EQ(options->settings.avSync, true);
    EXPECT_EQ(options->settings.identText, L"Studio 4");
    EXPECT_EQ(options->settings.showIdentText, false);
    EXPECT_FALSE(options->settings.ident);
    EXPECT_EQ(options->control.basePort, 9000);

    options = Parse({"--av-sync"}, {{"LIRAFON_AV_SYNC", "0"}}, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->settings.avSync, true);

    options = Parse({"--control-port", "off", "-platform", "offscreen"}, {}, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_FALSE(options->control.basePort);
    EXPECT_TRUE(options->settings.Empty());
}

// One line naming the option or variable, the value and what is accepted.
TEST(Settings, BadStartupValuesAreRefusedWithOneLine) {
    struct Case {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"--channels", "3"}, {}, "--channels: '3' is not accepted; expected 2, 4, 8 or 16"},
        {{}, {{"LIRAFON_LEVEL", "loud"}}, "LIRAFON_LEVEL: 'loud' is not accepted"},
        {{"--pairs"}, {}, "--pairs needs a value"},
        {{"--full-rate-video=1"}, {}, "--full-rate-video takes no value"},
        {{}, {{"LIRAFON_SHOW_IDENT_TEXT", "maybe"}}, "LIRAFON_SHOW_IDENT_TEXT: 'maybe'"},
        {{"--control-port", "65536"}, {}, "--control-port: '65536' is not accepted"},
        {{"--ident-text", std::string(28, 'x')}, {}, "at most 27 characters"},
        {{"--loud"}, {}, "unknown argument '--loud'"},
        {{},
         {{"LIRAFON_CONTROL_ADDRESS", "lan.example"}},
         "LIRAFON_CONTROL_ADDRESS: 'lan.example'"},
        {{}, {{"LIRAFON_CONTROL_ADDRESS", "192.0.2.10"}}, "without LIRAFON_CONTROL_TOKEN"},
        {{},
         {{"LIRAFON_CONTROL_ADDRESS", "192.0.2.10"}, {"LIRAFON_CONTROL_TOKEN", "s3cret"}},
         "LIRAFON_CONTROL_TOKEN: a token of 6 bytes is too easy to guess"},
        {{}, {{"LIRAFON_CONTROL_TOKEN", "line\nbreak-in-a-token"}}, "printable characters"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.arguments, c.environment, &error)) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    std::string error;
    EXPECT_TRUE(Parse({},
                      {{"LIRAFON_CONTROL_ADDRESS", "192.0.2.10"},
                       {"LIRAFON_CONTROL_TOKEN", "s3cret; token with spaces"}},
                      &error))
        << error;
    EXPECT_TRUE(
        Parse({"--control-port", "off"}, {{"LIRAFON_CONTROL_ADDRESS", "192.0.2.10"}}, &error))
        << "no server, nothing to protect";
    EXPECT_TRUE(wire::IsLoopbackAddress("127.0.0.2"));
    EXPECT_FALSE(wire::IsLoopbackAddress("128.0.0.1"));
}

TEST(Settings, NmosVariablesAreReadAndRefusedAtStart) {
    std::string error;
    auto options =
        Parse({},
              {{"LIRAFON_NMOS_REGISTRY", " http://192.0.2.5:8235 ,[::1]:80/,reg:3210"},
               {"LIRAFON_NMOS_ALLOWED_ORIGINS", "null, HTTPS://Controller.example:8443"}},
              &error);
    ASSERT_TRUE(options) << error;
    EXPECT_TRUE(options->nmos.enabled);
    EXPECT_EQ(options->nmos.registries,
              (std::vector<std::string>{"http://192.0.2.5:8235/", "http://[::1]:80/",
                                        "http://reg:3210/"}));
    EXPECT_EQ(options->nmos.allowedOrigins,
              (std::vector<std::string>{"null", "https://controller.example:8443"}));
    options = Parse({}, {{"LIRAFON_NMOS", "off"}}, &error);
    ASSERT_TRUE(options);
    EXPECT_FALSE(options->nmos.enabled);
    EXPECT_TRUE(Parse({}, {}, &error)->nmos.allowedOrigins.empty()) << "none allowed by default";

    const std::map<std::string, std::string> refused[] = {
        {{"LIRAFON_NMOS", "maybe"}},
        {{"LIRAFON_NMOS_REGISTRY", "https://reg:443"}},
        {{"LIRAFON_NMOS_REGISTRY", "http://reg"}},
        {{"LIRAFON_NMOS_REGISTRY", "http://reg:99999"}},
        {{"LIRAFON_NMOS_REGISTRY", "http://reg:80/x-nmos"}},
        {{"LIRAFON_NMOS_ALLOWED_ORIGINS", "*"}},
        {{"LIRAFON_NMOS_ALLOWED_ORIGINS", "controller.example"}},
        {{"LIRAFON_NMOS_ALLOWED_ORIGINS", "http://controller.example/page"}},
    };
    for (const auto& environment : refused) {
        error.clear();
        EXPECT_FALSE(Parse({}, environment, &error)) << environment.begin()->second;
        EXPECT_EQ(error.rfind(environment.begin()->first + ":", 0), 0u) << error;
    }
}
