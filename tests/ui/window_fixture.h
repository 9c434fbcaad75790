// The main window on the recording NDI runtime, numbered in a runtime folder of the test's own.
// The recording runtime paces the audio calls like a real sender (one frame every 40 ms) unless a
// test asks otherwise before opening the window, so the send thread never spins.
#pragma once

#include "lirafon_dlg.h"
#include "modal_answerer.h"
#include "recording_runtime.h"
#include "runtime_dir.h"
#include "scoped_env.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the window, runs its start-up and shows it; with waitForSender, waits until the
    // numbering timer has started the sender.
    // With options, they are applied as the program applies its start-up options.
    void OpenWindow(bool waitForSender = true, const control::StartupOptions* options = nullptr);

    template <typename T> T* Get(int id) const {
        auto* control = qobject_cast<T*>(m_window->Control(id));
        EXPECT_NE(control, nullptr) << "control " << id;
        return control;
    }
    QRadioButton* Radio(int id) const { return Get<QRadioButton>(id); }
    QLineEdit* LevelField() const { return Get<QLineEdit>(CNDILirafonDlg::IDC_USER_DBU); }
    QCheckBox* Pair(int pair) const { return m_window->m_pairChecks[static_cast<size_t>(pair)]; }
    QString LevelLine() const { return Get<QLabel>(CNDILirafonDlg::IDC_LEVEL_LINE)->text(); }

    // A click as the mouse gives it, on the centre of the control.
    static void Click(QWidget* control) { QTest::mouseClick(control, Qt::LeftButton); }
    // Types the text into the level field, replacing what it held, and leaves the focus there.
    void TypeLevel(const QString& text);
    // Enter on the focused control of the window.
    void PressKey(Qt::Key key);

    // Waits until the send thread has made `ticks` more audio calls than now.
    bool WaitForTicks(uint64_t ticks);
    // The first audio frame sent wholly after this call (its samples copied after the call).
    RecordedAudio NextSentAudio();
    // Peak absolute sample of plane `plane` in a sent frame; 0 for a plane not sent.
    static float PlanePeak(const RecordedAudio& audio, int plane);

    // The window's own picture, as the next picture sent will carry it.
    const uint8_t* Picture() const { return m_window->m_videoFrame.p_data; }
    // Blue, green, red, fourth byte of one pixel of the window's picture.
    std::vector<uint8_t> PixelAt(int x, int y) const;

    RecordingRuntime m_ndi;
    CTestRuntimeDir m_runtimeDir;
    ScopedEnv m_env;
    std::unique_ptr<CNDILirafonDlg> m_window;
};

// The pixels of the 450 x 50 caption block at the bottom of a 640 x 360 picture, row by row.
std::vector<uint8_t> BottomBlockOf(const uint8_t* picture);

// The record's pair flags as a string of 16 digits, channel 1 first.
std::string EnabledChannels(const CLirafonEngine& record);
