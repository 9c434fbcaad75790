// Real copies side by side: lirafon-instance-probe processes in a runtime directory of the test's
// own, numbering themselves as the window does.
#include "probe_process.h"
#include "runtime_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Generous: the copies run under sanitizers on a busy machine. Only a hang reaches it.
constexpr int kLineTimeoutMs = 10000;
constexpr int kExitClosed = 3;

class CopiesTest : public ::testing::Test {
protected:
    // Starts a copy and returns the number it printed ("" when it printed none in time).
    std::string StartCopy(std::unique_ptr<CProbeProcess>* copy = nullptr) {
        auto started = std::make_unique<CProbeProcess>(dir.Path(), false);
        EXPECT_TRUE(started->Started());
        std::string number = started->ReadLine(kLineTimeoutMs);
        if (copy != nullptr) {
            *copy = std::move(started);
        } else {
            running.push_back(std::move(started));
        }
        return number;
    }
    // SIGTERM, then check it ended normally (no crash, no sanitizer report).
    static void Stop(CProbeProcess& copy) {
        copy.Signal(SIGTERM);
        bool timedOut = false;
        copy.ReadToEnd(kLineTimeoutMs, &timedOut);
        EXPECT_FALSE(timedOut);
        const int status = copy.Reap();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    // Starts count copies held at a gate, then lets them all go at once; returns their numbers.
    std::vector<std::string> StartTogether(size_t count,
                                           std::vector<std::unique_ptr<CProbeProcess>>& copies) {
        for (size_t i = 0; i < count; ++i) {
            copies.push_back(std::make_unique<CProbeProcess>(dir.Path(), true));
        }
        for (auto& copy : copies) {
            copy->Go();
        }
        std::vector<std::string> numbers;
        for (auto& copy : copies) {
            numbers.push_back(copy->ReadLine(kLineTimeoutMs));
        }
        return numbers;
    }

    CTestRuntimeDir dir;
    std::vector<std::unique_ptr<CProbeProcess>> running;
};

TEST_F(CopiesTest, FirstCopyIsNumberOne) {
    std::unique_ptr<CProbeProcess> copy;
    EXPECT_EQ(StartCopy(&copy), "1");
    Stop(*copy);
}

TEST_F(CopiesTest, NewCopyFillsTheLowestGap) {
    std::unique_ptr<CProbeProcess> one;
    std::unique_ptr<CProbeProcess> two;
    ASSERT_EQ(StartCopy(&one), "1");
    ASSERT_EQ(StartCopy(&two), "2");
    ASSERT_EQ(StartCopy(), "3");
    Stop(*two); // 1 and 3 running
    EXPECT_EQ(StartCopy(), "2");
    Stop(*one); // 2 and 3 running
    EXPECT_EQ(StartCopy(), "1");
    EXPECT_EQ(StartCopy(), "4");
}

bool IsOneToEightOnce(std::vector<std::string> numbers) {
    std::sort(numbers.begin(), numbers.end());
    return numbers == std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"};
}

TEST_F(CopiesTest, NinthCopyClosesAndPublishesNothing) {
    std::vector<std::unique_ptr<CProbeProcess>> eight;
    const auto numbers = StartTogether(8, eight);
    ASSERT_TRUE(IsOneToEightOnce(numbers)) << ::testing::PrintToString(numbers);

    CProbeProcess ninth(dir.Path(), false);
    bool timedOut = true;
    const std::string said = ninth.ReadToEnd(kLineTimeoutMs, &timedOut);
    ASSERT_FALSE(timedOut) << "the ninth copy kept running";
    EXPECT_EQ(said, "closed\n");
    const int status = ninth.Reap();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitClosed) << "status " << status;

    // Once one of the eight ends, a new copy takes its number.
    Stop(*eight[3]);
    EXPECT_EQ(StartCopy(), numbers[3]);
}

// Copies started within the same 100 ms all hear each other still waiting; each must still end
// up with a number of its own. Half the rounds end with SIGKILL, so the next round starts among
// the sockets and lock files the killed copies left behind.
TEST_F(CopiesTest, EightStartedTogetherGetOneToEightEachOnce) {
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<CProbeProcess>> copies;
        const auto numbers = StartTogether(8, copies);
        EXPECT_TRUE(IsOneToEightOnce(numbers))
            << "round " << round << ": " << ::testing::PrintToString(numbers);
        for (auto& copy : copies) {
            if (round % 2 == 0) {
                Stop(*copy);
            } else {
                copy->Signal(SIGKILL);
                copy->Reap();
            }
        }
    }
}

TEST_F(CopiesTest, KilledCopyFreesItsNumber) {
    std::unique_ptr<CProbeProcess> one;
    ASSERT_EQ(StartCopy(&one), "1");
    ASSERT_EQ(StartCopy(), "2");
    const fs::path socket = dir.Folder() + "/copy-" + std::to_string(one->Pid()) + ".sock";
    ASSERT_TRUE(fs::exists(socket));
    one->Signal(SIGKILL);
    one->Reap();
    ASSERT_TRUE(fs::exists(socket)) << "a killed copy cannot remove its socket";
    EXPECT_EQ(StartCopy(), "1");
    // The new copy's query found the dead socket refused and removed it.
    EXPECT_FALSE(fs::exists(socket));
}

// Junk from outside, in the folder and in every copy's socket, while a copy numbers itself.
TEST_F(CopiesTest, GarbageInTheFolderChangesNothing) {
    std::unique_ptr<CProbeProcess> one;
    ASSERT_EQ(StartCopy(&one), "1");
    const fs::path folder = dir.Folder();
    fs::create_directory(folder / "copy-dir.sock");
    {
        std::FILE* plain = std::fopen((folder / "copy-plain.sock").c_str(), "w");
        std::fclose(plain);
    }
    fs::create_symlink("/dev/null", folder / "copy-null.sock");

    const int junkFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::mt19937 random(42);
    std::uniform_int_distribution<int> lengthOf(0, 64);
    std::uniform_int_distribution<int> byteOf(0, 255);
    auto spray = [&](int datagrams) {
        for (int i = 0; i < datagrams; ++i) {
            std::vector<uint8_t> bytes(static_cast<size_t>(lengthOf(random)));
            for (auto& byte : bytes) {
                byte = static_cast<uint8_t>(byteOf(random));
            }
            if (bytes.size() >= 4) { // half of them look like ours at first sight
                std::copy_n("QELN", 4, bytes.begin());
            }
            for (const auto& entry : fs::directory_iterator(folder)) {
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                std::snprintf(address.sun_path, sizeof(address.sun_path), "%s",
                              entry.path().c_str());
                ::sendto(junkFd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&address), sizeof(address));
            }
        }
    };
    spray(200);
    CProbeProcess two(dir.Path(), true);
    spray(50);
    two.Go();
    spray(200);
    EXPECT_EQ(two.ReadLine(kLineTimeoutMs), "2");
    spray(50);
    EXPECT_EQ(StartCopy(), "3");
    ::close(junkFd);
    EXPECT_TRUE(fs::is_directory(folder / "copy-dir.sock"));
    EXPECT_TRUE(fs::is_regular_file(folder / "copy-plain.sock"));
    Stop(two);
    Stop(*one);
}

} // namespace
