// The probe's exposition as Prometheus reads it: a HELP and a TYPE line before each family's
// samples, counters named _total, label values escaped, every alarm of every channel present as
// 0 or 1, and figures that are not known left out rather than written as NaN.
#include "probe_metrics.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

TEST(ProbeMetricsTest, FamiliesLabelsAndAlarmsAsPrometheusReadsThem) {
    CProbeMetrics metrics;
    AnalysisReport report;
    for (int channel = 1; channel <= 2; ++channel) {
        ChannelReport c;
        c.channel = channel;
        c.tone = channel == 1;
        c.frequencyHz = 1000;
        c.peakDbfs = channel == 1 ? -24 : -200;
        c.levelDbfs = -24;
        c.role = channel == 1 ? "L" : "";
        report.channels.push_back(c);
    }
    report.channels[0].thdnDb = -90;
    InputStats stats;
    stats.network = true;
    stats.packets = 1000;
    stats.lost = 3;
    const std::vector<AlarmCondition> active{{2, "tone missing", -200, std::nullopt, "m"},
                                             {0, "packet loss", 3, 0, "m", true}};
    stats.ptpFollowed = true;
    ProbeSecond second{report, stats, active, 7, 12.5, {}, -18};
    metrics.Publish("studio \"a\"\\b.sdp", second);
    const std::string text = metrics.Text();

    std::istringstream lines(text);
    std::string line;
    std::string family;
    std::set<std::string> typed;
    const std::regex sample(R"(^([a-z_]+)\{([^}]*)\} (-?[0-9.e+]+|[+-]Inf)$)");
    int alarms = 0;
    int raised = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size()), family) << "TYPE after its HELP";
            const std::string type = line.substr(8 + family.size());
            EXPECT_TRUE(type == "gauge" || type == "counter") << line;
            EXPECT_EQ(type == "counter", family.ends_with("_total")) << line;
            typed.insert(family);
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, sample)) << line;
        EXPECT_EQ(match[1].str(), family) << "a sample under its own family";
        EXPECT_NE(match[2].str().find(R"(input="studio \"a\"\\b.sdp")"), std::string::npos) << line;
        if (family == "lirafon_alarm_active") {
            ++alarms;
            raised += match[3].str() == "1" ? 1 : 0;
            if (match[3].str() == "1") {
                const bool missing = line.find(R"(channel="2")") != std::string::npos &&
                                     line.find(R"(alarm="tone missing")") != std::string::npos;
                const bool loss = line.find(R"(channel="")") != std::string::npos &&
                                  line.find(R"(alarm="packet loss")") != std::string::npos;
                EXPECT_TRUE(missing || loss) << line;
            }
        }
    }
    EXPECT_EQ(alarms, static_cast<int>(CProbeMetrics::StreamAlarms().size() +
                                       2 * CProbeMetrics::ChannelAlarms().size()));
    EXPECT_EQ(raised, 2);
    for (const char* name :
         {"lirafon_channel_peak_dbfs", "lirafon_channel_tone_hz", "lirafon_alarms_raised_total",
          "lirafon_rtp_packets_lost_total", "lirafon_channel_loudness_lufs"}) {
        EXPECT_EQ(typed.count(name), 1u) << name;
    }
    EXPECT_NE(text.find("lirafon_rtp_packets_lost_total{input=\"studio \\\"a\\\"\\\\b.sdp\"} 3\n"),
              std::string::npos);
    EXPECT_NE(text.find("role=\"L\""), std::string::npos);
    for (const char* window : {"momentary", "short-term", "integrated"}) {
        EXPECT_NE(text.find(std::string("window=\"") + window + "\"} -200\n"), std::string::npos)
            << window;
    }
    EXPECT_NE(text.find("lirafon_av_offset_ms{input=\"studio \\\"a\\\"\\\\b.sdp\"} 12.5\n"),
              std::string::npos);
    // ptp4l asked and not following a grandmaster: 0, not left out.
    EXPECT_NE(text.find("lirafon_ptp_locked{input=\"studio \\\"a\\\"\\\\b.sdp\"} 0\n"),
              std::string::npos);
    // THD+N is known on channel 1 alone; channel 2's is left out, never NaN.
    EXPECT_EQ(text.find("NaN"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

// A routed input: the sender it is routed to labels every sample and the page's state, until the
// input is removed (parked), when a later input of the same name starts unlabelled.
TEST(ProbeMetricsTest, ARoutedInputCarriesItsSenderUntilRemoved) {
    CProbeMetrics metrics;
    ProbeSecond second;
    ChannelReport c;
    c.channel = 1;
    second.report.channels.push_back(c);
    metrics.Publish("receiver-1", second);
    metrics.Publish("receiver-2", second);
    metrics.SetSender("receiver-1", "6b1f0a3e-5c2d-4f8e-9a71-3d4c5b6a7e81");
    const std::string text = metrics.Text();
    std::istringstream lines(text);
    std::string line;
    int labelled = 0;
    while (std::getline(lines, line)) {
        if (line.find("input=\"receiver-1\"") != std::string::npos) {
            EXPECT_NE(line.find("input=\"receiver-1\",sender_id=\"6b1f0a3e-5c2d-4f8e-9a71-"
                                "3d4c5b6a7e81\""),
                      std::string::npos)
                << line;
            ++labelled;
        }
        if (line.find("input=\"receiver-2\"") != std::string::npos) {
            EXPECT_EQ(line.find("sender_id"), std::string::npos) << line;
        }
    }
    EXPECT_GT(labelled, 10);
    EXPECT_NE(metrics.LiveJson().find(
                  "\"input\":\"receiver-1\",\"senderId\":\"6b1f0a3e-5c2d-4f8e-9a71-3d4c5b6a7e81\""),
              std::string::npos);
    EXPECT_NE(metrics.LiveJson().find("\"input\":\"receiver-2\",\"senderId\":null"),
              std::string::npos);
    metrics.Remove("receiver-1");
    metrics.Publish("receiver-1", second);
    EXPECT_EQ(metrics.Text().find("sender_id"), std::string::npos);
}

// An ST 2022-7 stream: each leg's counters under its own leg label, the merge's rescues, and the
// legs on the page; a stream of one leg has none of them.
TEST(ProbeMetricsTest, EachLegOfATwoLegStream) {
    CProbeMetrics metrics;
    ProbeSecond second;
    second.stats.network = true;
    second.stats.legs.resize(2);
    second.stats.legs[0].packets = 990;
    second.stats.legs[0].lost = 10;
    second.stats.legs[1].packets = 1000;
    second.stats.legs[1].silentS = 2.5;
    second.stats.rescued = 10;
    metrics.Publish("two", second);
    second.stats.legs.clear();
    metrics.Publish("one", second);
    const std::string text = metrics.Text();
    EXPECT_NE(text.find("lirafon_rtp_leg_packets_lost_total{input=\"two\",leg=\"1\"} 10\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("lirafon_rtp_leg_packets_received_total{input=\"two\",leg=\"2\"} 1000\n"),
              std::string::npos);
    EXPECT_NE(text.find("lirafon_rtp_packets_rescued_total{input=\"two\"} 10\n"),
              std::string::npos);
    EXPECT_EQ(text.find("{input=\"one\",leg="), std::string::npos);
    EXPECT_EQ(text.find("lirafon_rtp_packets_rescued_total{input=\"one\"}"), std::string::npos);
    const std::string live = metrics.LiveJson();
    EXPECT_NE(live.find("\"legs\":[{\"packets\":990,\"lost\":10,\"silentS\":0.00},{\"packets\":"
                        "1000,\"lost\":0,\"silentS\":2.50}],\"rescued\":10"),
              std::string::npos)
        << live;
}

} // namespace
