#include "window_fixture.h"

#include <QApplication>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kWaitMs = 10000; // generous: sanitizer builds run several times slower

} // namespace

void WindowTest::SetUp() {
    ASSERT_FALSE(m_runtimeDir.Path().empty());
    m_env.Set("XDG_RUNTIME_DIR", m_runtimeDir.Path());
    m_ndi.SetBlockingAudio(true);
}

void WindowTest::TearDown() {
    // The window's destructor joins the loop and releases the sender and the runtime; a box
    // still open would be a test fault, so one is answered rather than left waiting.
    BoxAnswerer answerer(QMessageBox::Ok);
    m_window.reset();
}

void WindowTest::OpenWindow(bool waitForSender, const control::StartupOptions* options) {
    m_window = std::make_unique<CNDILirafonDlg>();
    // The recording runtime may run without pacing; a real-time loop must not starve the machine.
    m_window->m_raisePriority = false;
    ASSERT_EQ(m_window->OnInitDialog(), 1);
    if (options != nullptr) {
        m_window->ApplyStartupOptions(*options);
    }
    m_window->show();
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    if (waitForSender) {
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_window->m_senderStarted != 0; }, kWaitMs));
    }
}

void WindowTest::TypeLevel(const QString& text) {
    QLineEdit* field = LevelField();
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
}

void WindowTest::PressKey(Qt::Key key) {
    QWidget* target = QApplication::focusWidget();
    QTest::keyClick(target != nullptr ? target : m_window.get(), key);
}

bool WindowTest::WaitForTicks(uint64_t ticks) {
    const uint64_t target = m_ndi.AudioFrameCount() + ticks;
    return QTest::qWaitFor([&] { return m_ndi.AudioFrameCount() >= target; }, kWaitMs);
}

// The call counted next may have copied its frame before this call; the one after it cannot.
RecordedAudio WindowTest::NextSentAudio() {
    const uint64_t first = m_ndi.AudioFrameCount() + 1;
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_ndi.AudioFrameCount() > first; }, kWaitMs));
    const std::vector<RecordedAudio> audio = m_ndi.AudioFrames();
    return first < audio.size() ? audio[first] : RecordedAudio{};
}

float WindowTest::PlanePeak(const RecordedAudio& audio, int plane) {
    if (plane >= audio.frame.no_channels) {
        return 0.0f;
    }
    const size_t samples = static_cast<size_t>(audio.frame.no_samples);
    const auto begin = audio.samples.begin() + static_cast<std::ptrdiff_t>(plane * samples);
    float peak = 0.0f;
    std::for_each(begin, begin + static_cast<std::ptrdiff_t>(samples),
                  [&](float s) { peak = std::max(peak, std::fabs(s)); });
    return peak;
}

std::vector<uint8_t> WindowTest::PixelAt(int x, int y) const {
    const uint8_t* p = Picture() + (static_cast<size_t>(y) * 640 + static_cast<size_t>(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

std::vector<uint8_t> BottomBlockOf(const uint8_t* picture) {
    constexpr size_t kWidth = 640;
    constexpr size_t kHeight = 360;
    const size_t x0 = (kWidth - card::kBlockWidth) / 2;
    const size_t y0 = kHeight - card::kBottomMargin - card::kBlockHeight;
    std::vector<uint8_t> block;
    for (size_t y = y0; y < y0 + card::kBlockHeight; ++y) {
        const uint8_t* row = picture + (y * kWidth + x0) * 4;
        block.insert(block.end(), row, row + card::kBlockWidth * 4);
    }
    return block;
}

std::string EnabledChannels(const CLirafonEngine& record) {
    std::string flags;
    for (int32_t flag : record.m_channelEnabled) {
        flags += flag != 0 ? '1' : '0';
    }
    return flags;
}
