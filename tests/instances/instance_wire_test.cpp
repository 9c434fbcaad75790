// The datagram layout, and the decoder against random, truncated and corrupted input.
#include "instance_message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

TEST(InstanceWire, LayoutIsFixedLittleEndian) {
    const auto bytes = CInstanceWire::Encode({3, 0x0102030405060708LL});
    const CInstanceWire::Datagram want{'Q', 'E', 'L', 'N', 1, 0, 0, 0, 3, 0,
                                       0,   0,   8,   7,   6, 5, 4, 3, 2, 1};
    EXPECT_EQ(bytes, want);
}

TEST(InstanceWire, EveryValueTravelsUnchanged) {
    const std::vector<InstanceMessage> messages = {
        {2, 4294967295LL},
        {2, 1},
        {3, 0},
        {3, 31},
        {3, -1},
        {3, std::numeric_limits<int64_t>::min()},
        {std::numeric_limits<int32_t>::min(), std::numeric_limits<int64_t>::max()},
        {-7, 32}};
    for (const auto& message : messages) {
        const auto bytes = CInstanceWire::Encode(message);
        const auto decoded = CInstanceWire::Decode(bytes.data(), bytes.size());
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->kind, message.kind);
        EXPECT_EQ(decoded->value, message.value);
    }
}

TEST(InstanceWire, TruncatedOversizedAndCorruptHeadersAreRejected) {
    const auto good = CInstanceWire::Encode({2, 4242});
    EXPECT_FALSE(CInstanceWire::Decode(nullptr, CInstanceWire::kSize));
    for (size_t length = 0; length < CInstanceWire::kSize; ++length) {
        EXPECT_FALSE(CInstanceWire::Decode(good.data(), length)) << length;
    }
    std::vector<uint8_t> longer(good.begin(), good.end());
    longer.push_back(0);
    EXPECT_FALSE(CInstanceWire::Decode(longer.data(), longer.size()));
    // Any changed bit in magic, version or reserved field makes it foreign.
    for (size_t bit = 0; bit < 8 * 8; ++bit) {
        auto corrupt = good;
        corrupt[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(CInstanceWire::Decode(corrupt.data(), corrupt.size())) << bit;
    }
}

// Random input, of every length up to well past a datagram, with the magic planted at random:
// a decoder that accepts something must have been given exactly the layout it re-encodes to.
TEST(InstanceWire, RandomInputIsAcceptedOnlyWhenWellFormed) {
    std::mt19937 random(20250704);
    std::uniform_int_distribution<int> lengthOf(0, 3 * CInstanceWire::kSize);
    std::uniform_int_distribution<int> byteOf(0, 255);
    std::bernoulli_distribution plantHeader(0.5);
    int32_t accepted = 0;
    for (int32_t round = 0; round < 200000; ++round) {
        std::vector<uint8_t> bytes(static_cast<size_t>(lengthOf(random)));
        for (auto& byte : bytes) {
            byte = static_cast<uint8_t>(byteOf(random));
        }
        if (bytes.size() >= 8 && plantHeader(random)) {
            const auto header = CInstanceWire::Encode({0, 0});
            std::copy(header.begin(), header.begin() + 8, bytes.begin());
        }
        const auto decoded = CInstanceWire::Decode(bytes.data(), bytes.size());
        if (decoded) {
            ++accepted;
            ASSERT_EQ(bytes.size(), CInstanceWire::kSize);
            const auto again = CInstanceWire::Encode(*decoded);
            ASSERT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
        }
    }
    // The planted headers of the right length do get through, so the check above was exercised.
    EXPECT_GT(accepted, 0);
}

} // namespace
