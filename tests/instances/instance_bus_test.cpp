// The meeting folder and the broadcast: who gets a posted message, what is removed, and what a
// copy does with datagrams that are not messages.
#include "instance_bus.h"
#include "instance_folder.h"
#include "runtime_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<InstanceMessage> Drain(CInstanceBus& bus) {
    std::vector<InstanceMessage> got;
    while (bus.ReadPending([&](const InstanceMessage& message) { got.push_back(message); }) > 0) {
    }
    return got;
}

// A datagram socket bound at path, standing for a program that is not a copy (or a dead copy
// once closed).
int BindSocketAt(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendRaw(int fd, const std::string& to, const void* bytes, size_t byteCount) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", to.c_str());
    return ::sendto(fd, bytes, byteCount, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address),
                    sizeof(address)) == static_cast<ssize_t>(byteCount);
}

class InstanceBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(folder.Open(dir.Folder(), &error)) << error;
    }
    std::string PathOf(const CInstanceBus& bus) const {
        return folder.Path() + "/" + bus.SocketName();
    }

    CTestRuntimeDir dir;
    CInstanceFolder folder;
};

TEST_F(InstanceBusTest, PostReachesEveryCopyIncludingItself) {
    CInstanceBus first;
    CInstanceBus second;
    ASSERT_TRUE(first.Open(folder, nullptr));
    // Two buses of one process need two names; the second stands in for another copy.
    ASSERT_FALSE(second.Open(folder, nullptr));
    const int otherFd = BindSocketAt(folder.Path() + "/copy-other.sock");
    ASSERT_GE(otherFd, 0);
    first.PostToAll({2, 77});
    const auto own = Drain(first);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].kind, 2);
    EXPECT_EQ(own[0].value, 77);
    uint8_t bytes[64];
    ASSERT_EQ(::recv(otherFd, bytes, sizeof(bytes), MSG_DONTWAIT),
              static_cast<ssize_t>(CInstanceWire::kSize));
    EXPECT_EQ(first.Counts().posted, 2);
    ::close(otherFd);
}

TEST_F(InstanceBusTest, DeadSocketsAreRemovedForeignFilesAreLeftAlone) {
    CInstanceBus bus;
    ASSERT_TRUE(bus.Open(folder, nullptr));
    const std::string dead = folder.Path() + "/copy-999999.sock";
    ::close(BindSocketAt(dead)); // its copy ended without removing it
    const int notCopyFd = BindSocketAt(folder.Path() + "/other-program.sock");
    ASSERT_GE(notCopyFd, 0);
    const std::string plain = folder.Path() + "/copy-plain.sock";
    ::close(::open(plain.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    // A link to a socket must not be followed: it would deliver twice, or anywhere.
    const std::string link = folder.Path() + "/copy-link.sock";
    ASSERT_EQ(::symlink(PathOf(bus).c_str(), link.c_str()), 0);

    bus.PostToAll({3, 4});
    EXPECT_FALSE(fs::exists(fs::symlink_status(dead)));
    EXPECT_TRUE(fs::exists(plain));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(bus.Counts().staleRemoved, 1);
    EXPECT_EQ(Drain(bus).size(), 1u);
    uint8_t bytes[64];
    EXPECT_LT(::recv(notCopyFd, bytes, sizeof(bytes), MSG_DONTWAIT), 0);
    ::close(notCopyFd);

    const std::string own = PathOf(bus);
    bus.Close();
    EXPECT_FALSE(fs::exists(own));
}

// Anything that is not a well-formed message is counted and dropped; the good message sent among
// the garbage still arrives intact.
TEST_F(InstanceBusTest, GarbageDatagramsAreDroppedWithoutHarm) {
    CInstanceBus bus;
    ASSERT_TRUE(bus.Open(folder, nullptr));
    const int senderFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::mt19937 random(6);
    std::uniform_int_distribution<int> lengthOf(0, 200);
    std::uniform_int_distribution<int> byteOf(0, 255);
    auto good = CInstanceWire::Encode({3, 5});
    int64_t garbageSent = 0;
    int32_t goodReceived = 0;
    for (int32_t round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(static_cast<size_t>(lengthOf(random)));
        for (auto& byte : bytes) {
            byte = static_cast<uint8_t>(byteOf(random));
        }
        if (round % 3 == 0) { // a truncated or stretched copy of a real message
            bytes.assign(good.begin(), good.end());
            bytes.resize(static_cast<size_t>(lengthOf(random)) % 19 + (round % 2 ? 0 : 21));
        }
        if (round == 1000) {
            bytes.assign(good.begin(), good.end());
            ASSERT_TRUE(SendRaw(senderFd, PathOf(bus), bytes.data(), bytes.size()));
        } else if (SendRaw(senderFd, PathOf(bus), bytes.data(), bytes.size())) {
            ++garbageSent;
        }
        for (const auto& message : Drain(bus)) {
            EXPECT_EQ(message.kind, 3);
            EXPECT_EQ(message.value, 5);
            ++goodReceived;
        }
    }
    std::vector<uint8_t> huge(65536, 'Q');
    ASSERT_TRUE(SendRaw(senderFd, PathOf(bus), huge.data(), huge.size()));
    ++garbageSent;
    EXPECT_TRUE(Drain(bus).empty());
    EXPECT_EQ(goodReceived, 1);
    EXPECT_EQ(bus.Counts().rejected, garbageSent);
    ::close(senderFd);
}

TEST_F(InstanceBusTest, FolderIsPrivateAndVetted) {
    struct stat info {};
    ASSERT_EQ(::stat(folder.Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    EXPECT_FALSE(folder.Open(folder.Path(), nullptr)) << "opened twice";

    const std::string shared = dir.Path() + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0770), 0);
    std::string error;
    CInstanceFolder writableByGroup;
    EXPECT_FALSE(writableByGroup.Open(shared, &error));
    EXPECT_NE(error.find("writable"), std::string::npos) << error;

    const std::string link = dir.Path() + "/link";
    ASSERT_EQ(::symlink(folder.Path().c_str(), link.c_str()), 0);
    CInstanceFolder throughLink;
    EXPECT_FALSE(throughLink.Open(link, &error));
}

TEST(InstanceFolder, DefaultPathFollowsTheRuntimeDirectory) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string restore = saved != nullptr ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(CInstanceFolder::DefaultPath(), "/run/user/4242/qel-ndi-lirafon");
    const std::string fallback = "/tmp/qel-ndi-lirafon-" + std::to_string(::getuid());
    ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(CInstanceFolder::DefaultPath(), fallback);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(CInstanceFolder::DefaultPath(), fallback);
    if (saved != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
    }
}

} // namespace
