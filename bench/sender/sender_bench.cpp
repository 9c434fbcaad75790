// The send loop's own work per tick (frame choice, the copies under the lock, the calls) on a
// runtime that returns at once, and a level choice end to end (card drawing, the picture sent at
// once, the refill of all 16 frames).
#include "ident_card.h"
#include "lirafon_sender.h"
#include "null_runtime.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

namespace {

class BenchSender : public CLirafonSender {
public:
    BenchSender() { m_raisePriority = false; }

protected:
    void DrawTestCard(uint8_t* pixels) override { card::DrawTestCard(*this, pixels); }
    void DrawLogo() override { card::DrawLogo(*this); }
    void RenderCaption(const wchar_t* text, int32_t atBottom) override {
        card::RenderCaption(*this, text, atBottom, nullptr);
    }
};

constexpr int64_t kEbuCycleTicks = 75;

// Whole EBU cycles on the benchmark thread: 75 ticks, 6 of them with a picture (every tick with
// full-rate video). Arguments: channel choice (0 = 2 channels .. 3 = 16), full-rate video, ident
// (0 the EBU stereo ident; 2 BLITS, whose six legs are copied from their cycle every tick), and
// the A/V sync mode (a picture every tick, black once a cycle).
void BM_SendLoopTick(benchmark::State& state) {
    BenchSender sender;
    sender.m_channelChoice = static_cast<int32_t>(state.range(0));
    sender.m_pairBoxInputs.fill(1);
    sender.SetChannelCount();
    sender.m_identChoice = static_cast<int32_t>(state.range(2));
    sender.BuildIdentSequence();
    sender.m_fullRateVideo = static_cast<int32_t>(state.range(1));
    sender.m_avSync = static_cast<int32_t>(state.range(3));
    sender.m_running = 0;
    if (sender.StartSender() != 1) {
        state.SkipWithError("StartSender failed");
        return;
    }
    sender.StopSendLoop();
    for (auto _ : state) {
        sender.m_running = 1;
        NullRuntimeRunTicks(sender.m_running, kEbuCycleTicks);
        CLirafonSender::SendLoop(&sender);
    }
    state.SetItemsProcessed(state.iterations() * kEbuCycleTicks);
    state.SetLabel("items = ticks");
    sender.StopSender();
}
BENCHMARK(BM_SendLoopTick)
    ->ArgNames({"channelChoice", "fullRate", "ident", "avSync"})
    ->Args({0, 0, 0, 0})
    ->Args({3, 0, 0, 0})
    ->Args({3, 0, 2, 0})
    ->Args({0, 1, 0, 0})
    ->Args({3, 1, 0, 0})
    ->Args({3, 0, 0, 1});

// The user-interface thread's rebuild of a surround ident's whole cycle (a level, pair or channel
// change while it plays): BLITS, 6 legs of 13.4 s; the EBU multichannel ident, 8 legs of 10.5 s.
void BM_BuildSurroundIdent(benchmark::State& state) {
    BenchSender sender;
    sender.m_channelChoice = 3;
    sender.m_pairBoxInputs.fill(1);
    sender.SetChannelCount();
    sender.m_identChoice = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        sender.BuildSurroundIdent();
    }
}
BENCHMARK(BM_BuildSurroundIdent)->ArgName("ident")->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

// SMPTE, user +16, EBU in turn: gain, centre of the card, picture sent, 16 frames refilled.
void BM_ApplyLevelChoice(benchmark::State& state) {
    BenchSender sender;
    sender.m_channelChoice = 3;
    sender.m_pairBoxInputs.fill(1);
    sender.SetChannelCount();
    sender.m_running = 0;
    if (sender.StartSender() != 1) {
        state.SkipWithError("StartSender failed");
        return;
    }
    int32_t choice = 0;
    for (auto _ : state) {
        choice = (choice + 1) % 3;
        sender.m_levelChoice = choice;
        sender.ApplyLevelChoice();
    }
    sender.StopSender();
}
BENCHMARK(BM_ApplyLevelChoice)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // the card rasterises captions with Qt Gui
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
