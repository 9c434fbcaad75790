// A probe's alarms: the hold times on sequences of seconds made in the test, and each condition
// from reports made to show it, the way a path's faults show in the analyser's report.
#include "alarms.h"
#include "monitor.h"
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

AlarmCondition Missing(int channel) {
    return {channel, "tone missing", -200, std::nullopt, "channel " + std::to_string(channel)};
}

TEST(AlarmBoardTest, RaisedAfterTheRaiseHoldClearedAfterTheClearHold) {
    AlarmLimits limits;
    limits.raiseS = 2;
    limits.clearS = 3;
    CAlarmBoard board(limits);
    EXPECT_TRUE(board.Update(0, {Missing(3)}).empty());
    EXPECT_TRUE(board.Update(1, {Missing(3)}).empty());
    std::vector<AlarmEvent> events = board.Update(2, {Missing(3)});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].raised);
    EXPECT_EQ(events[0].condition.channel, 3);
    EXPECT_EQ(board.Active().size(), 1u);
    // Back for a second, missing again: the clear hold starts over and nothing clears.
    EXPECT_TRUE(board.Update(3, {}).empty());
    EXPECT_TRUE(board.Update(4, {}).empty());
    EXPECT_TRUE(board.Update(5, {Missing(3)}).empty());
    EXPECT_TRUE(board.Update(6, {}).empty());
    EXPECT_TRUE(board.Update(8, {}).empty());
    events = board.Update(9, {});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(events[0].raised);
    EXPECT_TRUE(board.Active().empty());
    EXPECT_EQ(board.RaisedTotal(), 1u);
}

TEST(AlarmBoardTest, ABreakInTheConditionStartsTheRaiseHoldAgain) {
    CAlarmBoard board(AlarmLimits{});
    for (int round = 0; round < 10; ++round) {
        // Two seconds on, one off, for ever: never held for 2 s without a break.
        EXPECT_TRUE(board.Update(round * 3.0, {Missing(1)}).empty());
        EXPECT_TRUE(board.Update(round * 3.0 + 1, {Missing(1)}).empty());
        EXPECT_TRUE(board.Update(round * 3.0 + 2, {}).empty());
    }
    EXPECT_EQ(board.RaisedTotal(), 0u);
}

TEST(AlarmBoardTest, EventsRaiseAtOnceAndEachChannelAndKindIsItsOwn) {
    CAlarmBoard board(AlarmLimits{});
    AlarmCondition dropout{2, "dropout", 1, 0, "channel 2: 1 dropout", true};
    const std::vector<AlarmEvent> events = board.Update(0, {dropout, Missing(2), Missing(5)});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].condition.alarm, "dropout");
    EXPECT_EQ(board.Update(2, {Missing(2), Missing(5)}).size(), 2u);
    EXPECT_EQ(board.Active().size(), 3u);
}

ChannelReport Tone(int channel, double dbu = 4.0) {
    ChannelReport c;
    c.channel = channel;
    c.tone = true;
    c.frequencyHz = 1000;
    c.dbu = dbu;
    c.levelDbfs = dbu - 24;
    c.peakDbfs = dbu - 24;
    c.plane = channel - 1;
    return c;
}

ChannelReport Silent(int channel) {
    ChannelReport c;
    c.channel = channel;
    return c;
}

std::vector<std::string> Kinds(const std::vector<AlarmCondition>& seen) {
    std::vector<std::string> kinds;
    for (const AlarmCondition& c : seen) {
        kinds.push_back(std::to_string(c.channel) + " " + c.alarm);
    }
    return kinds;
}

TEST(ConditionWatchTest, WhatTheStreamCarriedFirstIsWhatItShouldCarry) {
    CConditionWatch watch(std::nullopt, AlarmLimits{});
    AnalysisReport report;
    report.channels = {Tone(1), Tone(2), Silent(3), Silent(4)};
    EXPECT_TRUE(watch.Second(report, {}).empty());
    report.channels[1] = Silent(2);
    EXPECT_EQ(Kinds(watch.Second(report, {})), std::vector<std::string>{"2 tone missing"});
    // Everything silent: one stream-wide alarm, not one per channel.
    report.channels = {Silent(1), Silent(2), Silent(3), Silent(4)};
    EXPECT_EQ(Kinds(watch.Second(report, {})), std::vector<std::string>{"0 no tone"});
}

TEST(ConditionWatchTest, ExpectationsLevelRouteAndPolarity) {
    Expectation expect;
    expect.dbu = 4.0;
    expect.pairs = {true, false};
    CConditionWatch watch(expect, AlarmLimits{});
    AnalysisReport report;
    report.channels = {Tone(1, 4.5), Tone(2, 2.5), Silent(3), Silent(4)};
    EXPECT_EQ(Kinds(watch.Second(report, {})), std::vector<std::string>{"2 level"})
        << "0.5 dB off is within the 1 dB limit; 1.5 dB is not; pair 3-4 is not expected";
    report.channels = {Tone(1), Tone(2), Silent(3), Silent(4)};
    report.channels[0].plane = 1; // carries the generator's channel 2
    report.channels[1].inverted = true;
    report.channels[1].invertedAgainst = 1;
    EXPECT_EQ(Kinds(watch.Second(report, {})),
              (std::vector<std::string>{"1 mis-route", "2 polarity"}));
}

TEST(ConditionWatchTest, CountersAlarmOnlyWhenTheyGrowAndAReturningToneIsNoDropout) {
    CConditionWatch watch(std::nullopt, AlarmLimits{});
    AnalysisReport report;
    report.channels = {Tone(1), Tone(2)};
    report.channels[0].dropouts = 4; // from before the probe listened
    InputStats stats;
    stats.network = true;
    stats.lost = 10;
    EXPECT_TRUE(watch.Second(report, stats).empty());
    report.channels[0].dropouts = 5;
    report.channels[0].lastDropoutKind = "held sample";
    stats.lost = 12;
    std::vector<AlarmCondition> seen = watch.Second(report, stats);
    EXPECT_EQ(Kinds(seen), (std::vector<std::string>{"1 dropout", "0 packet loss"}));
    EXPECT_TRUE(seen[0].instant);
    EXPECT_DOUBLE_EQ(seen[1].value, 2);
    EXPECT_TRUE(watch.Second(report, stats).empty()) << "no growth, nothing";
    // Channel 2 goes away for a while and comes back, its absence counted as a dropout.
    report.channels[1] = Silent(2);
    EXPECT_EQ(Kinds(watch.Second(report, stats)), std::vector<std::string>{"2 tone missing"});
    report.channels[1] = Tone(2);
    report.channels[1].dropouts = 1;
    EXPECT_TRUE(watch.Second(report, stats).empty()) << "the missing tone, not a dropout";
}

TEST(ConditionWatchTest, WhatIsUnderTheToneAndOverLevel) {
    CConditionWatch watch(std::nullopt, AlarmLimits{});
    AnalysisReport report;
    report.channels = {Tone(1), Tone(2), Tone(3)};
    report.channels[0].snrDb = 40;
    report.channels[0].noiseDbfs = -63;
    report.channels[1].hum = Hum{50, -80, {{150, -65}}}; // the 3rd harmonic 45 dB under the tone
    report.channels[2].crosstalk = {{1, 1000, -70, -50}, {2, 1000, -90, -70}};
    report.channels[2].peakDbfs = -0.5;
    const std::vector<AlarmCondition> seen = watch.Second(report, {});
    EXPECT_EQ(Kinds(seen),
              (std::vector<std::string>{"1 noise", "2 hum", "3 over level", "3 crosstalk"}));
    EXPECT_DOUBLE_EQ(seen[1].value, 45);
    EXPECT_NE(seen[3].message.find("from channel 1"), std::string::npos) << seen[3].message;
}

TEST(ConditionWatchTest, PtpLostOnlyOnceItWasFollowed) {
    CConditionWatch watch(std::nullopt, AlarmLimits{});
    AnalysisReport report;
    report.channels = {Tone(1), Tone(2)};
    InputStats stats;
    stats.network = true;
    stats.ptpFollowed = true;
    // ptp4l asked but never synchronised (a probe started before its grandmaster): no alarm.
    EXPECT_TRUE(watch.Second(report, stats).empty());
    stats.ptpLocked = true;
    stats.ptpGrandmaster = "02-A0-B0-FF-FE-00-00-01";
    EXPECT_TRUE(watch.Second(report, stats).empty());
    stats.ptpLocked = false;
    const std::vector<AlarmCondition> seen = watch.Second(report, stats);
    EXPECT_EQ(Kinds(seen), std::vector<std::string>{"0 PTP lost"});
    EXPECT_NE(seen[0].message.find("02-A0-B0-FF-FE-00-00-01"), std::string::npos)
        << seen[0].message;
    stats.ptpLocked = true;
    EXPECT_TRUE(watch.Second(report, stats).empty());
}

// Two legs: one gone quiet while the other carries the stream is "leg down" (both quiet is the
// input gone, not this); a leg's loss is an event in the second it grew; legs further apart than
// the merge buffer holds are "differential delay".
TEST(ConditionWatchTest, ALegDownLosingOrTooFarBehind) {
    AlarmLimits limits;
    limits.goneS = 0.5;
    CConditionWatch watch(std::nullopt, limits);
    AnalysisReport report;
    report.channels = {Tone(1), Tone(2)};
    InputStats stats;
    stats.network = true;
    stats.legs.resize(2);
    stats.mergeBufferMs = 50;
    stats.differentialKnown = true;
    stats.differentialRecentMs = 5;
    EXPECT_TRUE(watch.Second(report, stats).empty());
    stats.legs[1].silentS = 0.7;
    stats.legs[0].lost = 3;
    std::vector<AlarmCondition> seen = watch.Second(report, stats);
    EXPECT_EQ(Kinds(seen), (std::vector<std::string>{"0 leg down", "0 leg loss"}));
    EXPECT_NE(seen[0].message.find("leg 2"), std::string::npos) << seen[0].message;
    EXPECT_NE(seen[1].message.find("leg 1 3"), std::string::npos) << seen[1].message;
    EXPECT_TRUE(seen[1].instant);
    stats.legs[0].silentS = 0.7; // both quiet: nothing carries the stream, no leg alarm
    EXPECT_TRUE(watch.Second(report, stats).empty());
    stats.legs[0].silentS = stats.legs[1].silentS = 0;
    stats.differentialRecentMs = 60;
    EXPECT_EQ(Kinds(watch.Second(report, stats)), std::vector<std::string>{"0 differential delay"});
}

// The command line of a probe on several inputs: each judged against the nearest --expect before
// it, --ndi as often as wanted, and what cannot mean anything refused.
TEST(AlarmOptionsTest, EachInputTakesTheNearestExpectBeforeIt) {
    static const char* token = nullptr;
    const auto parse = [](std::vector<std::string> args, int* status) {
        args.insert(args.begin(), "lirafon-check");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        testing::internal::CaptureStderr();
        std::optional<Options> o =
            ParseOptions(static_cast<int>(argv.size()), argv.data(), status, [](const char* name) {
                return std::string(name) == "LIRAFON_CHECK_TOKEN" ? token : nullptr;
            });
        testing::internal::GetCapturedStderr();
        return o;
    };
    int status = 0;
    std::optional<Options> o =
        parse({"--monitor", "a.sdp", "--expect", "pairs=1-2", "b.sdp", "--ndi", "STUDIO (x)",
               "--expect", "level=ebu", "--ndi", "OTHER", "c.sdp"},
              &status);
    ASSERT_TRUE(o);
    ASSERT_EQ(o->watched.size(), 5u);
    EXPECT_EQ(o->watched[2].ndiName, "STUDIO (x)");
    EXPECT_EQ(o->watched[3].ndiName, "OTHER");
    EXPECT_EQ(o->watched[4].path, "c.sdp");
    // a.sdp, before any: the first; b.sdp and the first NDI source: pairs=1-2; the rest: ebu.
    for (size_t n : {0u, 1u, 2u}) {
        ASSERT_TRUE(o->watched[n].expect) << n;
        ASSERT_FALSE(o->watched[n].expect->pairs.empty()) << n;
        EXPECT_TRUE(o->watched[n].expect->pairs[0]) << n;
        EXPECT_FALSE(o->watched[n].expect->pairs[1]) << n;
        EXPECT_FALSE(o->watched[n].expect->dbu) << n;
    }
    for (size_t n : {3u, 4u}) {
        ASSERT_TRUE(o->watched[n].expect && o->watched[n].expect->dbu) << n;
        EXPECT_TRUE(o->watched[n].expect->pairs.empty()) << n;
    }
    // One --expect after every input judges them all, as without --monitor.
    o = parse({"--monitor", "a.sdp", "b.sdp", "--expect", "level=smpte"}, &status);
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->watched[0].expect && o->watched[1].expect);
    o = parse({"--monitor", "a.sdp"}, &status);
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->watched[0].expect);
    // A second --expect after the last input would judge nothing; two inputs need --monitor.
    EXPECT_FALSE(
        parse({"--monitor", "--expect", "level=ebu", "a.sdp", "--expect", "pairs=all"}, &status));
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(parse({"a.sdp", "b.sdp"}, &status));
    EXPECT_FALSE(parse({"--ndi", "A", "--ndi", "B"}, &status));
    EXPECT_FALSE(parse({"--ndi", "A", "a.sdp"}, &status));
    o = parse({"--expect", "level=ebu", "a.sdp"}, &status);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->input, "a.sdp");
    EXPECT_TRUE(o->expect);
    // Metrics on an address other computers reach only with a token of 16 characters or more;
    // loopback in any spelling without one. (Parsed, never bound.)
    const std::vector<std::string> open{"--monitor", "--listen", "192.0.2.7:9180", "a.sdp"};
    EXPECT_FALSE(parse(open, &status));
    token = "short";
    EXPECT_FALSE(parse(open, &status));
    token = "sixteen-chars-ok";
    o = parse(open, &status);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->listenAddress, "192.0.2.7");
    EXPECT_EQ(o->token, "sixteen-chars-ok");
    token = nullptr;
    EXPECT_TRUE(parse({"--monitor", "--listen", "[::1]:0", "a.sdp"}, &status));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1:9180", "a.sdp"}, &status)) << "needs --monitor";
}

TEST(AlarmOptionsTest, LimitsAndTheEventLine) {
    std::string error;
    const std::optional<AlarmLimits> limits =
        ParseAlarmLimits("raise=0.5,clear=10,level=0.5,over=-3,latency=2,gone=5", &error);
    ASSERT_TRUE(limits) << error;
    EXPECT_DOUBLE_EQ(limits->raiseS, 0.5);
    EXPECT_DOUBLE_EQ(limits->overDbfs, -3);
    for (const char* bad : {"raise", "raise=-1", "over=3", "gone=0", "colour=red", "level=x"}) {
        EXPECT_FALSE(ParseAlarmLimits(bad, &error)) << bad;
    }
    AlarmEvent event{true, {0, "input gone", 2.5, 2.0, "no \"audio\"\n"}};
    EXPECT_EQ(AlarmEventJson(event, "a.sdp", 1'765'311'845'123),
              R"({"event":"raised","time":"2025-12-09T20:24:05.123Z","input":"a.sdp",)"
              R"("alarm":"input gone","value":2.50,"limit":2.00,"message":"no \"audio\"\u000a"})");
    // Where the stream follows PTP, its time beside UTC as TAI seconds and nanoseconds.
    const std::string withPtp =
        AlarmEventJson(event, "a.sdp", 1'765'311'845'123, 1'765'311'882'123'000'456);
    EXPECT_NE(
        withPtp.find(R"("time":"2025-12-09T20:24:05.123Z","ptpTime":"1765311882:123000456",)"),
        std::string::npos)
        << withPtp;
    event.raised = false;
    event.condition.channel = 7;
    event.condition.limit.reset();
    const std::string cleared = AlarmEventJson(event, "a.sdp", 0);
    EXPECT_NE(cleared.find(R"("event":"cleared")"), std::string::npos);
    EXPECT_NE(cleared.find(R"("channel":7)"), std::string::npos);
    EXPECT_NE(cleared.find(R"("limit":null)"), std::string::npos);
}

} // namespace
