// What numbering costs: one broadcast to eight copies, one slot claim, and with real processes the
// time from a copy's start to its number (the 100 ms decision window plus start-up) and to a
// ninth copy's exit.
#include "instance_bus.h"
#include "instance_folder.h"
#include "probe_process.h"
#include "runtime_dir.h"
#include "slot_claims.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

int BindPeer(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return fd;
}

// One query to this copy and seven others, each of which reads it.
void BM_PostToEightCopies(benchmark::State& state) {
    CTestRuntimeDir dir;
    CInstanceFolder folder;
    CInstanceBus bus;
    folder.Open(dir.Folder(), nullptr);
    bus.Open(folder, nullptr);
    std::vector<int> peers;
    for (int i = 0; i < 7; ++i) {
        peers.push_back(BindPeer(folder.Path() + "/copy-peer" + std::to_string(i) + ".sock"));
    }
    uint8_t buffer[64];
    for (auto _ : state) {
        bus.PostToAll({2, 1234});
        bus.ReadPending([](const InstanceMessage& message) { benchmark::DoNotOptimize(message); });
        for (const int peer : peers) {
            benchmark::DoNotOptimize(::recv(peer, buffer, sizeof(buffer), MSG_DONTWAIT));
        }
    }
    for (const int peer : peers) {
        ::close(peer);
    }
}
BENCHMARK(BM_PostToEightCopies);

void BM_ClaimSlot(benchmark::State& state) {
    CTestRuntimeDir dir;
    CInstanceFolder folder;
    folder.Open(dir.Folder(), nullptr);
    for (auto _ : state) {
        CSlotClaims claims;
        benchmark::DoNotOptimize(claims.TryClaim(folder, 0));
    }
}
BENCHMARK(BM_ClaimSlot);

// From spawning the first copy to its number on stdout.
void BM_FirstCopyNumbered(benchmark::State& state) {
    CTestRuntimeDir dir;
    for (auto _ : state) {
        CProbeProcess copy(dir.Path(), false);
        if (copy.ReadLine(10000) != "1") {
            state.SkipWithError("the copy did not take number 1");
            break;
        }
        state.PauseTiming();
        copy.Signal(SIGTERM);
        copy.Reap();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstCopyNumbered)->Unit(benchmark::kMillisecond)->Iterations(20);

// From spawning a ninth copy to its exit, eight copies running.
void BM_NinthCopyExits(benchmark::State& state) {
    CTestRuntimeDir dir;
    std::vector<std::unique_ptr<CProbeProcess>> eight;
    for (int i = 0; i < 8; ++i) {
        eight.push_back(std::make_unique<CProbeProcess>(dir.Path(), false));
        eight.back()->ReadLine(10000);
    }
    for (auto _ : state) {
        CProbeProcess ninth(dir.Path(), false);
        bool timedOut = false;
        if (ninth.ReadToEnd(10000, &timedOut) != "closed\n") {
            state.SkipWithError("the ninth copy did not close");
            break;
        }
        ninth.Reap();
    }
}
BENCHMARK(BM_NinthCopyExits)->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

BENCHMARK_MAIN();
