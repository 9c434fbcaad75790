// The one reader of each kind of value, at the edges where hand-written readers went wrong
// (atoi's "12abc" as 12, overflow, signs on ports), and the one loopback test in every spelling.
#include "address.h"
#include "values.h"

#include <gtest/gtest.h>

namespace {

TEST(ValuesTest, IntegersAreWholeOrRefused) {
    EXPECT_EQ(wire::ParseInteger("42"), 42);
    EXPECT_EQ(wire::ParseInteger(" +7 "), 7);
    EXPECT_EQ(wire::ParseInteger("-7"), -7);
    for (const char* bad :
         {"", " ", "12abc", "1.5", "0x10", "++1", "+-1", "99999999999999999999"}) {
        EXPECT_FALSE(wire::ParseInteger(bad)) << bad;
    }
    EXPECT_FALSE(wire::ParseInteger("17", 0, 16));
    EXPECT_EQ(wire::ParseInteger("16", 0, 16), 16);
}

TEST(ValuesTest, PortsHostsAndDurations) {
    EXPECT_EQ(wire::ParsePort("5004"), 5004);
    EXPECT_FALSE(wire::ParsePort("0"));
    EXPECT_EQ(wire::ParsePort("0", true), 0);
    for (const char* bad : {"65536", "-1", "+80", "80x", ""}) {
        EXPECT_FALSE(wire::ParsePort(bad)) << bad;
    }
    const auto v4 = wire::ParseHostPort("127.0.0.1:8080");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->host, "127.0.0.1");
    EXPECT_EQ(v4->port, 8080);
    const auto v6 = wire::ParseHostPort("[::1]:9");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 9);
    const auto bare = wire::ParseHostPort("ff15::1");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->host, "ff15::1");
    EXPECT_FALSE(bare->port);
    for (const char* bad : {"", ":80", "host:", "host:99999", "[::1", "[]:80", "[::1]80"}) {
        EXPECT_FALSE(wire::ParseHostPort(bad)) << bad;
    }
    EXPECT_DOUBLE_EQ(*wire::ParseSeconds("2"), 2.0);
    EXPECT_DOUBLE_EQ(*wire::ParseSeconds("1.5s"), 1.5);
    EXPECT_DOUBLE_EQ(*wire::ParseSeconds("250ms"), 0.25);
    for (const char* bad : {"", "0", "-1", "s", "1x", "nan", "inf", "86400"}) {
        EXPECT_FALSE(wire::ParseSeconds(bad)) << bad;
    }
}

TEST(AddressTest, LoopbackInEverySpelling) {
    for (const char* own :
         {"127.0.0.1", "127.255.0.9", "::1", "0:0:0:0:0:0:0:1", "0::1",
          "0000:0000:0000:0000:0000:0000:0000:0001", "[::1]", "::ffff:127.0.0.1", "localhost"}) {
        EXPECT_TRUE(wire::IsLoopbackAddress(own)) << own;
    }
    for (const char* other : {"128.0.0.1", "0.0.0.0", "::", "::2", "::ffff:10.0.0.1", "192.0.2.1",
                              "localhost.example", "", "127.0.0.1:80"}) {
        EXPECT_FALSE(wire::IsLoopbackAddress(other)) << other;
    }
}

} // namespace
