// The send thread copies the picture under m_bankLock while the UI thread swaps the centre block
// between logo and caption: every copy must show one whole block, never a mix of the two.
#include "card_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace cardtest;

TEST(CardThreads, SendThreadNeverSeesAHalfDrawnBlock) {
    CardRecord card;
    card.StartUp();
    const std::vector<uint8_t> logoPicture = card.pixels;
    card.Caption(L"", 0); // the centre all black
    const std::vector<uint8_t> blackPicture = card.pixels;
    card::DrawLogo(*card.record);

    std::atomic<bool> done{false};
    int32_t torn = 0;
    std::atomic<int32_t> copies{0};
    std::thread sender([&] {
        std::vector<uint8_t> copy;
        while (!done.load()) {
            {
                const std::lock_guard<std::mutex> lock(card.record->m_bankLock);
                copy = card.pixels;
            }
            ++copies;
            torn += (copy != logoPicture && copy != blackPicture) ? 1 : 0;
        }
    });
    // At least 40 swaps, and on until the send thread has copied during them: on a busy machine
    // it may not run at all during the first ones.
    for (int i = 0; i < 40 || copies.load() < 20; ++i) {
        card.Caption(L"", 0);
        card::DrawLogo(*card.record);
    }
    done = true;
    sender.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GE(copies.load(), 20);
}

} // namespace
