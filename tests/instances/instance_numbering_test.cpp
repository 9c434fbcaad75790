// The numbering operations on the state record, one copy in this process: the start of
// numbering, the handling of queries and replies, and the decision the timer takes.
#include "instance_numbering.h"
#include "lirafon_engine.h"
#include "runtime_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

class RecordingHost : public CInstanceHost {
public:
    std::vector<std::wstring> steps;
    int32_t senderResult = 1;

    void StartSlotTimer(int32_t timerId, int32_t periodMs) override {
        steps.push_back(L"timer " + std::to_wstring(timerId) + L" " + std::to_wstring(periodMs));
    }
    void StopSlotTimer(int32_t timerId) override {
        steps.push_back(L"stop " + std::to_wstring(timerId));
    }
    void ShowNumberedTitle(const std::wstring& title) override { steps.push_back(title); }
    void CloseWindowAtOnce() override { steps.push_back(L"close"); }
    int32_t StartNumberedSender() override {
        steps.push_back(L"sender");
        return senderResult;
    }
};

class InstanceNumberingTest : public ::testing::Test {
protected:
    void OpenFolder() {
        std::string error;
        ASSERT_TRUE(numbering.Open(&error, dir.Folder())) << error;
        ASSERT_TRUE(otherCopies.Open(dir.Folder(), &error)) << error;
    }
    // Holds the given slots the way other running copies hold them.
    void HoldSlots(std::initializer_list<int32_t> slots) {
        for (const int32_t slot : slots) {
            held.push_back(std::make_unique<CSlotClaims>());
            ASSERT_TRUE(held.back()->TryClaim(otherCopies, slot));
        }
    }

    CTestRuntimeDir dir;
    std::unique_ptr<CLirafonEngine> record = std::make_unique<CLirafonEngine>();
    RecordingHost host;
    CInstanceNumbering numbering{*record, host};
    CInstanceFolder otherCopies;
    std::vector<std::unique_ptr<CSlotClaims>> held;
};

TEST_F(InstanceNumberingTest, FirstCopyTakesNumberOne) {
    OpenFolder();
    record->m_instanceIndex = 5;
    record->m_slotTaken.fill(1);
    record->m_senderStarted = 1;
    numbering.StartNumbering();
    EXPECT_EQ(record->m_instanceIndex, 0);
    EXPECT_EQ(record->m_awaitingSlot, 1);
    EXPECT_EQ(record->m_processId, static_cast<uint32_t>(::getpid()));
    EXPECT_EQ(record->m_senderStarted, 0);
    // Only the copy's own query came back, and a copy ignores its own query.
    numbering.ReadPendingMessages();
    EXPECT_EQ(record->m_slotTaken, (std::array<int32_t, 32>{}));

    numbering.ChooseInstanceSlot(2); // not the numbering timer
    EXPECT_EQ(record->m_awaitingSlot, 1);
    host.senderResult = 1;
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(record->m_instanceIndex, 0);
    EXPECT_EQ(record->m_awaitingSlot, 0);
    EXPECT_EQ(record->m_senderStarted, 1);
    EXPECT_EQ(record->m_identText, L"QEL NDI\u00AE Reza Radidired No1");
    EXPECT_EQ(record->m_identText.size(), 27u);
    EXPECT_EQ(numbering.Claims().HeldSlot(), 0);
    const std::vector<std::wstring> want = {L"timer 1 100", L"QEL NDI\u00AE Lirafon No 1",
                                            L"sender", L"stop 1"};
    EXPECT_EQ(host.steps, want);

    // A second expiry only stops the timer.
    host.steps.clear();
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(host.steps, std::vector<std::wstring>{L"stop 1"});
}

TEST_F(InstanceNumberingTest, QueriesAreAnsweredAndRepliesRecordedInRange) {
    OpenFolder();
    numbering.StartNumbering();
    numbering.ReadPendingMessages();
    record->m_instanceIndex = 6;
    EXPECT_EQ(numbering.OnInstanceMessage(2, record->m_processId), 0);
    EXPECT_EQ(numbering.ReadPendingMessages(), 0) << "answered its own query";
    EXPECT_EQ(numbering.OnInstanceMessage(2, record->m_processId + 1LL), 0);
    // The reply went to every copy, this one included, and is recorded here too.
    EXPECT_EQ(numbering.ReadPendingMessages(), 1);
    EXPECT_EQ(record->m_slotTaken[6], 1);

    for (const int64_t value : {-1LL, 32LL, 1LL << 32, -(1LL << 62)}) {
        EXPECT_EQ(numbering.OnInstanceMessage(3, value), 0);
    }
    for (const int32_t kind : {0, 1, 4, -2, 0x7fffffff}) {
        EXPECT_EQ(numbering.OnInstanceMessage(kind, 1), 0);
    }
    std::array<int32_t, 32> want{};
    want[6] = 1;
    EXPECT_EQ(record->m_slotTaken, want);
    EXPECT_EQ(numbering.ReadPendingMessages(), 0) << "an ignored kind was answered";
    numbering.OnInstanceMessage(3, 0);
    numbering.OnInstanceMessage(3, 31);
    want[0] = want[31] = 1;
    EXPECT_EQ(record->m_slotTaken, want);
}

TEST_F(InstanceNumberingTest, LowestSlotNotHeldWins) {
    OpenFolder();
    HoldSlots({0, 2});
    numbering.StartNumbering();
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(record->m_instanceIndex, 1);
    EXPECT_EQ(record->m_identText, L"QEL NDI\u00AE Reza Radidired No2");
}

// A copy still waiting answers 0, like the copy numbered 1: the held slots decide, so two copies
// starting together do not both skip slot 0 (or both take it).
TEST_F(InstanceNumberingTest, ReplyFromAWaitingCopyDoesNotHideAFreeSlot) {
    OpenFolder();
    numbering.StartNumbering();
    numbering.OnInstanceMessage(3, 0);
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(record->m_instanceIndex, 0);
    EXPECT_EQ(record->m_slotTaken[0], 1);
}

TEST_F(InstanceNumberingTest, NinthCopyClosesWithoutStartingAnything) {
    OpenFolder();
    HoldSlots({0, 1, 2, 3, 4, 5, 6, 7});
    numbering.StartNumbering();
    host.steps.clear();
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(host.steps, (std::vector<std::wstring>{L"close", L"stop 1"}));
    EXPECT_EQ(record->m_senderStarted, 0);
    EXPECT_EQ(record->m_awaitingSlot, 0);
    EXPECT_EQ(record->m_identText, L"QEL NDI Reza Radidired");
    EXPECT_EQ(numbering.Claims().HeldSlot(), -1);
}

// Without a meeting folder the copy runs alone and chooses from the replies it recorded.
TEST_F(InstanceNumberingTest, WithoutFolderTheRepliesDecide) {
    numbering.StartNumbering();
    EXPECT_EQ(numbering.SocketFd(), -1);
    numbering.OnInstanceMessage(3, 0);
    numbering.OnInstanceMessage(3, 1);
    numbering.OnInstanceMessage(3, 3);
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(record->m_instanceIndex, 2);

    for (int32_t slot = 0; slot < 8; ++slot) {
        record->m_slotTaken[static_cast<size_t>(slot)] = 1;
    }
    numbering.StartNumbering();
    for (int32_t slot = 0; slot < 8; ++slot) {
        numbering.OnInstanceMessage(3, slot);
    }
    host.steps.clear();
    numbering.ChooseInstanceSlot(1);
    EXPECT_EQ(host.steps, (std::vector<std::wstring>{L"close", L"stop 1"}));
}

TEST_F(InstanceNumberingTest, ReportsAnUnusableFolder) {
    std::string error;
    EXPECT_FALSE(numbering.Open(&error, dir.Path() + "/missing/parent"));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(numbering.SocketFd(), -1);
}

} // namespace
