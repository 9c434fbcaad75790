// The cost of drawing the ident card: the test card once at start-up, the logo and a caption on
// every level change or ident edit (UI thread; the send thread waits on m_bankLock only for the
// final copy).
#include "ident_card.h"
#include "lirafon_engine.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

struct Picture {
    std::unique_ptr<CLirafonEngine> record = std::make_unique<CLirafonEngine>();
    std::vector<uint8_t> pixels = std::vector<uint8_t>(640 * 360 * 4, 0);
    Picture() { record->m_videoFrame.p_data = pixels.data(); }
    ~Picture() { record->m_videoFrame.p_data = nullptr; }
};

void BM_DrawTestCard(benchmark::State& state) {
    Picture picture;
    for (auto _ : state) {
        card::DrawTestCard(*picture.record, picture.pixels.data());
        benchmark::DoNotOptimize(picture.pixels.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(picture.pixels.size()));
}
BENCHMARK(BM_DrawTestCard);

void BM_DrawLogo(benchmark::State& state) {
    Picture picture;
    for (auto _ : state) {
        card::DrawLogo(*picture.record);
        benchmark::DoNotOptimize(picture.pixels.data());
    }
}
BENCHMARK(BM_DrawLogo);

// A 27-character ident, the start-up caption.
void BM_RenderCaptionIdent(benchmark::State& state) {
    Picture picture;
    const wchar_t* ident = L"QEL NDI\u00AE Reza Radidired No1";
    for (auto _ : state) {
        card::RenderCaption(*picture.record, ident, 1, nullptr);
        benchmark::DoNotOptimize(picture.pixels.data());
    }
}
BENCHMARK(BM_RenderCaptionIdent);

// No text: the red block that hides the ident caption.
void BM_RenderCaptionNoText(benchmark::State& state) {
    Picture picture;
    for (auto _ : state) {
        card::RenderCaption(*picture.record, nullptr, 1, nullptr);
        benchmark::DoNotOptimize(picture.pixels.data());
    }
}
BENCHMARK(BM_RenderCaptionNoText);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    // The font is chosen once per process; choose it before timing.
    const std::string font = card::CaptionFontDescription();
    benchmark::AddCustomContext("caption font", font);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
