// The main window on real widgets: the state every control opens in, the channel-count, pair and
// level rules with their edge cases, the integer check of the level field, Enter and Escape, the
// start-up failures and the exit paths.
#include "window_fixture.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>

#include <algorithm>

namespace {

using W = CNDILirafonDlg;

constexpr float kPeakTolerance = 1e-4f;

int CountOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<int>(std::count(names.begin(), names.end(), name));
}

} // namespace

TEST_F(WindowTest, OpensWithEveryControlInItsStartState) {
    OpenWindow();

    EXPECT_EQ(LevelLine(), QStringLiteral("EBU Stereo Tone where -18 dBFS = 0 dBu"));
    EXPECT_EQ(m_window->m_frequencyButton->text(), QStringLiteral("    Frequency    "));
    EXPECT_EQ(m_window->m_exitButton->text(), QStringLiteral("Exit"));
    EXPECT_TRUE(m_window->m_ndiLinkButton->font().underline());
    EXPECT_TRUE(m_window->m_makerLinkButton->font().underline());
    EXPECT_TRUE(Get<QLabel>(W::IDC_BLANK)->text().isEmpty());

    const std::vector<std::pair<int, const char*>> radios = {{W::IDC_CH2, "2 Ch"},
                                                             {W::IDC_CH4, "4 Ch"},
                                                             {W::IDC_CH8, "8 Ch"},
                                                             {W::IDC_CH16, "16 Ch"},
                                                             {W::IDC_NORMAL_ID, "Normal ID"},
                                                             {W::IDC_GLITS, "GLITS"},
                                                             {W::IDC_LEVEL_EBU, "EBU 0 dBu"},
                                                             {W::IDC_LEVEL_SMPTE, "SMPTE +4 dBu"},
                                                             {W::IDC_LEVEL_USER, "+16 dBu"}};
    for (const auto& [id, caption] : radios) {
        EXPECT_EQ(Radio(id)->text(), QString::fromLatin1(caption)) << id;
        const bool selected = id == W::IDC_CH8 || id == W::IDC_LEVEL_EBU || id == W::IDC_NORMAL_ID;
        EXPECT_EQ(Radio(id)->isChecked(), selected) << id;
        EXPECT_FALSE(Radio(id)->focusPolicy() & Qt::TabFocus) << "radio " << id << " tab stop";
    }
    EXPECT_EQ(LevelField()->text(), QStringLiteral("16"));

    const char* pairCaptions[] = {"1-2", "3-4", "5-6", "7-8", "9-10", "11-12", "13-14", "15-16"};
    for (int p = 0; p < 8; ++p) {
        EXPECT_EQ(Pair(p)->text(), QString::fromLatin1(pairCaptions[p]));
        EXPECT_EQ(Pair(p)->isChecked(), p == 0) << "pair " << p;
        EXPECT_EQ(Pair(p)->isEnabled(), p < 4) << "pair " << p;
    }

    // The tab stops, in template order; the radio buttons are reached with the arrow keys only.
    std::vector<QWidget*> tabStops;
    QWidget* w = m_window->m_frequencyButton;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) != 0 && w->window() == m_window.get()) {
            tabStops.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != m_window->m_frequencyButton);
    std::vector<QWidget*> expected = {m_window->m_frequencyButton, m_window->m_ndiLinkButton,
                                      m_window->m_exitButton, m_window->m_makerLinkButton};
    for (int p = 0; p < 8; ++p) {
        expected.push_back(Pair(p));
    }
    expected.push_back(LevelField());
    EXPECT_EQ(tabStops, expected);

    EXPECT_EQ(m_window->m_channelChoice, 2);
    EXPECT_EQ(m_window->m_levelChoice, 0);
    EXPECT_EQ(m_window->m_identChoice.load(), 0);
    EXPECT_EQ(m_window->m_userLevelDbu, 16);
    EXPECT_EQ(m_window->m_sequenceCycle.load(), 96);
    EXPECT_EQ(EnabledChannels(*m_window), "1100000000000000");
    EXPECT_EQ(m_window->m_fileVersion, L"1.1.0.16");
    EXPECT_EQ(m_window->m_buildMonth, L"Jul-2025");
    EXPECT_EQ(m_window->windowTitle(), QString::fromWCharArray(L"QEL NDI\u00AE Lirafon No 1"));
    // A fixed-size window with a minimise box and no maximise box, and the icon in every size.
    EXPECT_EQ(m_window->minimumSize(), m_window->maximumSize());
    EXPECT_TRUE(m_window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(m_window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(m_window->windowIcon().availableSizes().size(), 8);

    // 8 channels, tone on 1 and 2 only, at 0 dBu (the left channel may be in its ident gap).
    const RecordedAudio sent = NextSentAudio();
    ASSERT_EQ(sent.frame.no_channels, 8);
    EXPECT_NEAR(PlanePeak(sent, 1), CLirafonEngine::kEbuLevel, kPeakTolerance);
    for (int plane = 2; plane < 8; ++plane) {
        EXPECT_EQ(PlanePeak(sent, plane), 0.0f) << plane;
    }
}

TEST_F(WindowTest, DisabledBoxKeepsItsMarkAndComesBackWithSixteenChannels) {
    OpenWindow();
    Click(Radio(W::IDC_CH16));
    ASSERT_TRUE(Pair(4)->isEnabled());
    Click(Pair(4));
    EXPECT_EQ(EnabledChannels(*m_window), "1100000011000000");
    RecordedAudio sent = NextSentAudio();
    ASSERT_EQ(sent.frame.no_channels, 16);
    EXPECT_GT(PlanePeak(sent, 9), 0.6f);

    Click(Radio(W::IDC_CH8));
    EXPECT_FALSE(Pair(4)->isEnabled());
    EXPECT_TRUE(Pair(4)->isChecked());
    EXPECT_EQ(NextSentAudio().frame.no_channels, 8);

    // Back to 16: the box is re-read without a click, and 9-10 carry tone again.
    Click(Radio(W::IDC_CH16));
    EXPECT_TRUE(Pair(4)->isEnabled());
    EXPECT_TRUE(Pair(4)->isChecked());
    sent = NextSentAudio();
    ASSERT_EQ(sent.frame.no_channels, 16);
    EXPECT_GT(PlanePeak(sent, 9), 0.6f);
    EXPECT_EQ(PlanePeak(sent, 10), 0.0f);
    EXPECT_EQ(PlanePeak(sent, 11), 0.0f);
}

TEST_F(WindowTest, FourChannelsClearFiveSixButTheBoxStaysChecked) {
    OpenWindow();
    Click(Pair(2));
    EXPECT_EQ(EnabledChannels(*m_window), "1100110000000000");
    Click(Radio(W::IDC_CH4));
    EXPECT_EQ(EnabledChannels(*m_window), "1100000000000000");
    EXPECT_TRUE(Pair(2)->isChecked());
    EXPECT_FALSE(Pair(2)->isEnabled());
    EXPECT_TRUE(Pair(1)->isEnabled());
    EXPECT_EQ(m_window->m_sequenceCycle.load(), 48);
    EXPECT_EQ(NextSentAudio().frame.no_channels, 4);
}

TEST_F(WindowTest, TwoChannelsFollowBoxOneTwoAndReadNoOtherBox) {
    OpenWindow();
    Click(Pair(1)); // 3-4 on
    Click(Pair(0)); // 1-2 off: the pair handler reads only its own box
    EXPECT_EQ(EnabledChannels(*m_window), "0011000000000000");
    Click(Radio(W::IDC_CH2));
    EXPECT_EQ(EnabledChannels(*m_window), "0000000000000000");
    EXPECT_TRUE(Pair(0)->isEnabled());
    EXPECT_TRUE(Pair(1)->isChecked());
    EXPECT_FALSE(Pair(1)->isEnabled());
    RecordedAudio sent = NextSentAudio();
    ASSERT_EQ(sent.frame.no_channels, 2);
    EXPECT_EQ(PlanePeak(sent, 1), 0.0f);

    Click(Pair(0));
    EXPECT_EQ(EnabledChannels(*m_window), "1100000000000000");
    EXPECT_GT(PlanePeak(NextSentAudio(), 1), 0.6f);
}

TEST_F(WindowTest, EnterTakesTheUserLevelAndAppliesItOnlyWhenChosen) {
    OpenWindow();
    TypeLevel(QStringLiteral("-6"));
    PressKey(Qt::Key_Return);
    EXPECT_EQ(m_window->m_userLevelDbu, -6);
    EXPECT_EQ(Radio(W::IDC_LEVEL_USER)->text(), QStringLiteral("-6 dBu"));
    EXPECT_EQ(m_window->m_level, CLirafonEngine::kEbuLevel);
    EXPECT_EQ(LevelLine(), QStringLiteral("EBU Stereo Tone where -18 dBFS = 0 dBu"));
    EXPECT_NE(QApplication::focusWidget(), LevelField()) << "Enter moves the focus like Tab";

    Click(Radio(W::IDC_LEVEL_USER));
    const float minus6 = CLirafonEngine::GainForUserLevel(-6);
    EXPECT_EQ(m_window->m_level, minus6);
    EXPECT_EQ(LevelLine(), QStringLiteral("User-specified NDI Tone at -6 dBu"));
    EXPECT_NEAR(PlanePeak(NextSentAudio(), 1), minus6, kPeakTolerance);

    // With the user level chosen, Enter applies at once.
    TypeLevel(QStringLiteral("3"));
    PressKey(Qt::Key_Return);
    EXPECT_EQ(m_window->m_level, CLirafonEngine::GainForUserLevel(3));
    EXPECT_EQ(Radio(W::IDC_LEVEL_USER)->text(), QStringLiteral("+3 dBu"));
    EXPECT_EQ(LevelLine(), QStringLiteral("User-specified NDI Tone at +3 dBu"));

    // A click applies the field but leaves the caption as Enter last wrote it.
    Click(Radio(W::IDC_LEVEL_EBU));
    TypeLevel(QStringLiteral("5"));
    Click(Radio(W::IDC_LEVEL_USER));
    EXPECT_EQ(m_window->m_level, CLirafonEngine::GainForUserLevel(5));
    EXPECT_EQ(Radio(W::IDC_LEVEL_USER)->text(), QStringLiteral("+3 dBu"));

    TypeLevel(QStringLiteral("0"));
    PressKey(Qt::Key_Return);
    EXPECT_EQ(Radio(W::IDC_LEVEL_USER)->text(), QStringLiteral("+0 dBu"));
}

TEST_F(WindowTest, LevelFieldThatIsNoWholeNumberStopsTheChoice) {
    OpenWindow();
    BoxAnswerer answerer(QMessageBox::Ok);
    const QString bad[] = {QStringLiteral("abc"), QStringLiteral(""), QStringLiteral("12x"),
                           QStringLiteral("2147483648"), QStringLiteral("-2147483649")};
    for (const QString& text : bad) {
        SCOPED_TRACE(text.toStdString());
        Click(Radio(W::IDC_CH8)); // back to the state the choice is tested from (prompt too)
        TypeLevel(text);
        const size_t before = answerer.seen.size();
        Click(Radio(W::IDC_CH4));
        ASSERT_EQ(answerer.seen.size(), before + 1);
        EXPECT_EQ(answerer.seen.back().title, QStringLiteral("NDILirafon"));
        EXPECT_TRUE(answerer.seen.back().text.contains(QStringLiteral("integer")));
        EXPECT_EQ(m_window->focusWidget(), LevelField());
        EXPECT_TRUE(Radio(W::IDC_CH4)->isChecked());
        EXPECT_EQ(m_window->m_channelChoice, 2);
        EXPECT_TRUE(Pair(3)->isEnabled());
        EXPECT_EQ(m_window->m_userLevelDbu, 16);
    }
    EXPECT_EQ(NextSentAudio().frame.no_channels, 8);

    // The extremes of the range are whole numbers.
    TypeLevel(QStringLiteral("-2147483648"));
    Click(Radio(W::IDC_CH4));
    EXPECT_EQ(m_window->m_userLevelDbu, INT32_MIN);
    EXPECT_EQ(m_window->m_channelChoice, 1);
    EXPECT_FALSE(Pair(3)->isEnabled());
}

TEST_F(WindowTest, EnterNeverPressesAButtonNorOpensTheMenu) {
    OpenWindow();
    BoxAnswerer answerer(QMessageBox::Cancel);
    m_window->m_exitButton->setFocus();
    PressKey(Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), m_window->m_makerLinkButton);
    m_window->m_frequencyButton->setFocus();
    PressKey(Qt::Key_Enter);
    EXPECT_EQ(QApplication::focusWidget(), m_window->m_ndiLinkButton);
    QTest::qWait(50);
    EXPECT_TRUE(answerer.seen.empty());
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ(m_window->m_frequencyButton->text(), QStringLiteral("    Frequency    "));
}

TEST_F(WindowTest, EscapeAsksAndCancelLeavesTheToneRunning) {
    OpenWindow();
    BoxAnswerer answerer(QMessageBox::Cancel);
    for (QWidget* focus : std::initializer_list<QWidget*>{LevelField(), m_window->m_exitButton}) {
        focus->setFocus();
        PressKey(Qt::Key_Escape);
    }
    ASSERT_EQ(answerer.seen.size(), 2u);
    EXPECT_EQ(answerer.seen[0].title, QStringLiteral("Quit NDI Lirafon"));
    EXPECT_EQ(answerer.seen[0].text, QStringLiteral("OK to exit?"));
    EXPECT_EQ(answerer.seen[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_FALSE(m_window->ShutDownDone());
    EXPECT_TRUE(WaitForTicks(3));
    EXPECT_EQ(CountOf(m_ndi.CallNames(), "NDIlib_send_destroy"), 0);

    // Without a gap: every frame was due one frame period after the one before.
    const std::vector<RecordedAudio> sent = m_ndi.AudioFrames();
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].dueNs - sent[i - 1].dueNs, 40'000'000) << "frame " << i;
    }
}

TEST_F(WindowTest, CloseRequestFromOutsideAsksToo) {
    OpenWindow();
    BoxAnswerer answerer(QMessageBox::Cancel);
    m_window->close();
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].text, QStringLiteral("OK to exit?"));
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_TRUE(WaitForTicks(2));

    answerer.SetAnswer(QMessageBox::Ok);
    m_window->close();
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_TRUE(m_window->ShutDownDone());
    EXPECT_FALSE(m_window->m_sendThread.joinable());
}

// As the program runs it: inside the window's modal run, a confirmed close request ends the run.
TEST_F(WindowTest, ConfirmedCloseRequestEndsTheModalRun) {
    OpenWindow();
    BoxAnswerer answerer(QMessageBox::Ok);
    QObject guard;
    bool closed = false;
    QTimer::singleShot(0, &guard, [&] {
        m_window->close();
        closed = true;
    });
    EXPECT_EQ(m_window->exec(), QDialog::Rejected);
    EXPECT_TRUE(closed);
    EXPECT_EQ(answerer.seen.size(), 1u);
    EXPECT_TRUE(m_window->ShutDownDone());
}

TEST_F(WindowTest, OkInTheConfirmationJoinsTheLoopAndReleasesEverything) {
    OpenWindow();
    ASSERT_TRUE(WaitForTicks(2));
    BoxAnswerer answerer(QMessageBox::Ok);
    Click(m_window->m_exitButton);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(m_window->result(), QDialog::Rejected);
    EXPECT_FALSE(m_window->m_sendThread.joinable());
    EXPECT_EQ(m_window->m_sender, nullptr);
    EXPECT_EQ(m_window->m_videoFrame.p_data, nullptr);

    const std::vector<std::string> names = m_ndi.CallNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "NDIlib_send_destroy");
    EXPECT_EQ(names.back(), "NDIlib_destroy");
    EXPECT_EQ(CountOf(names, "NDIlib_destroy"), 1);
}

TEST_F(WindowTest, ExitBeforeTheNumberingTimerStartsNothing) {
    m_window = std::make_unique<CNDILirafonDlg>();
    m_window->m_raisePriority = false;
    ASSERT_EQ(m_window->OnInitDialog(), 1);
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("QEL NDI Lirafon"));
    {
        BoxAnswerer answerer(QMessageBox::Ok);
        m_window->ConfirmExit();
        ASSERT_EQ(answerer.seen.size(), 1u);
    }
    EXPECT_TRUE(m_window->ShutDownDone());
    EXPECT_EQ(m_window->m_senderStarted, 0);
    QTest::qWait(300); // the numbering timer went with the window's numbering
    EXPECT_EQ(m_window->m_senderStarted, 0);
    EXPECT_FALSE(m_window->m_sendThread.joinable());
    const std::vector<std::string> names = m_ndi.CallNames();
    EXPECT_EQ(CountOf(names, "NDIlib_send_create"), 0);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "NDIlib_initialize");
    EXPECT_EQ(names.back(), "NDIlib_destroy");
}

// A user level whose gain float32 cannot hold is refused with a message; the level in force stays.
TEST_F(WindowTest, AUserLevelTooHighToSendIsRefused) {
    OpenWindow();
    Click(Radio(W::IDC_LEVEL_USER));
    const float level16 = m_window->m_level;
    BoxAnswerer answerer(QMessageBox::Ok);
    TypeLevel(QStringLiteral("1000"));
    PressKey(Qt::Key_Return);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_TRUE(answerer.seen[0].text.contains(QStringLiteral("+1000 dBu")));
    EXPECT_EQ(m_window->m_level, level16);
    EXPECT_EQ(LevelLine(), QStringLiteral("User-specified NDI Tone at +16 dBu"));
    EXPECT_NEAR(PlanePeak(NextSentAudio(), 1), level16, kPeakTolerance);
}

// The exit without the question (SIGINT, SIGTERM) closes whatever is open first: the exit
// question itself, whose caller then sees Cancel, and the frequency popup with its own loop.
TEST_F(WindowTest, ExitWithoutConfirmationClosesWhatIsOpen) {
    OpenWindow();
    WhenShown<QMessageBox> signalDuringQuestion(
        [&](QMessageBox*) { m_window->ExitWithoutConfirmation(); });
    m_window->ConfirmExit();
    ASSERT_TRUE(signalDuringQuestion.ran);
    EXPECT_TRUE(m_window->ShutDownDone());
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(CountOf(m_ndi.CallNames(), "NDIlib_destroy"), 1);

    m_window.reset();
    OpenWindow();
    WhenShown<QMenu> signalDuringPopup([&](QMenu*) { m_window->ExitWithoutConfirmation(); }, true);
    Click(m_window->m_frequencyButton);
    ASSERT_TRUE(signalDuringPopup.ran);
    EXPECT_TRUE(m_window->ShutDownDone());
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_FALSE(m_window->FrequencyMenu()->isVisible());
}

struct StartFailure {
    bool supportedCpu;
    const char* message;
};

void PrintTo(const StartFailure& failure, std::ostream* out) {
    *out << '"' << failure.message << '"';
}

class StartFailureTest : public WindowTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, ShowsWhyAndLeavesAWindowThatStillWorksAndExits) {
    m_ndi.SetInitializeResult(false);
    m_ndi.SetSupportedCpu(GetParam().supportedCpu);
    BoxAnswerer answerer(QMessageBox::Ok);
    m_window = std::make_unique<CNDILirafonDlg>();
    m_window->m_raisePriority = false;
    EXPECT_EQ(m_window->OnInitDialog(), 0);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].text, QString::fromLatin1(GetParam().message));
    EXPECT_EQ(answerer.seen[0].title, QStringLiteral("NDILirafon"));
    EXPECT_EQ(answerer.seen[0].buttons, QMessageBox::Ok);
    m_window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));

    // Without a runtime the controls still act on the record, and nothing is sent.
    Click(Radio(W::IDC_CH16));
    Click(Pair(5));
    Click(Radio(W::IDC_LEVEL_SMPTE));
    Click(Radio(W::IDC_GLITS));
    m_window->SetMenuResult(W::ID_SEQUENCE_1);
    m_window->OnFrequencyButton();
    EXPECT_EQ(EnabledChannels(*m_window), "1100000000110000");
    EXPECT_EQ(m_window->m_levelChoice, 1);
    QTest::qWait(200);
    EXPECT_EQ(m_window->m_senderStarted, 0);
    EXPECT_EQ(answerer.seen.size(), 1u);

    m_window->ConfirmExit();
    ASSERT_EQ(answerer.seen.size(), 2u);
    EXPECT_EQ(answerer.seen[1].text, QStringLiteral("OK to exit?"));
    EXPECT_FALSE(m_window->isVisible());
    const std::vector<std::string> names = m_ndi.CallNames();
    // The runtime that refused to start is asked why and nothing more; the window's release of the
    // library reaches the dispatch, which has no started runtime to pass it to.
    EXPECT_EQ(names, (std::vector<std::string>{"NDIlib_initialize", "NDIlib_is_supported_CPU"}));
}

INSTANTIATE_TEST_SUITE_P(Cpu, StartFailureTest,
                         ::testing::Values(StartFailure{true, "Cannot run NDI for some reason."},
                                           StartFailure{false, "Cannot run NDI. Unsupported CPU"}),
                         [](const auto& info) {
                             return info.param.supportedCpu ? "Supported" : "Unsupported";
                         });
