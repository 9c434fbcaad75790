// The window menu (right click and Alt+Space): its entries and check marks, full-rate video and
// the loop's picture cadence, always on top, the About box's version line, and the help page and
// links, with the URL opening caught by the test so no browser starts.
#include "about_dlg.h"
#include "link_targets.h"
#include "window_fixture.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMenu>
#include <QUrl>

namespace {

using W = CNDILirafonDlg;

QAction* Command(QMenu* menu, int code) {
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator() && action->data().toInt() == code) {
            return action;
        }
    }
    ADD_FAILURE() << "no command " << code;
    return nullptr;
}

// For each audio call from index `fromTick` on: whether a picture went with it.
std::vector<bool> PicturesPerTick(const std::vector<RecordedCall>& calls, size_t fromTick) {
    std::vector<bool> ticks = PictureTicks(calls);
    ticks.erase(ticks.begin(),
                ticks.begin() + static_cast<std::ptrdiff_t>(std::min(fromTick, ticks.size())));
    return ticks;
}

} // namespace

// Receives the URLs the window asks the desktop to open, in place of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    UrlCatcher() {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "Open");
    }
    ~UrlCatcher() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }
    std::vector<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.push_back(url); }
};

TEST_F(WindowTest, WindowMenuHoldsItsEightEntriesInOrder) {
    OpenWindow();
    const QList<QAction*> actions = m_window->WindowMenu()->actions();
    ASSERT_EQ(actions.size(), 8);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_TRUE(actions[5]->isSeparator());
    const std::vector<std::tuple<int, int, QString, bool>> commands = {
        {1, W::IDM_SET_IDENT_TEXT, QStringLiteral("Set Ident Text"), false},
        {2, W::IDM_FULL_RATE_VIDEO, QStringLiteral("Full-rate video"), true},
        {3, W::IDM_AV_SYNC, QStringLiteral("A/V sync"), true},
        {4, W::IDM_ALWAYS_ON_TOP, QStringLiteral("Always on top"), true},
        {6, W::IDM_HELP, QStringLiteral("Open online help (ReadMe file)"), false},
        {7, W::IDM_ABOUTBOX, QStringLiteral("&About NDILirafon..."), false}};
    for (const auto& [position, code, text, option] : commands) {
        const QAction* action = actions[position];
        EXPECT_EQ(action->data().toInt(), code);
        EXPECT_EQ(action->text(), text);
        EXPECT_EQ(action->isCheckable(), option) << code;
        EXPECT_FALSE(action->isChecked()) << code;
    }

    // A right click anywhere on the window and Alt+Space open it.
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(5, 5),
                                 m_window->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(m_window.get(), &rightClick);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_window->WindowMenu()->isVisible(); }, 5000));
    m_window->WindowMenu()->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !m_window->WindowMenu()->isVisible(); }, 5000));

    // Alt+Space on a focused button opens the menu and does not press the button.
    BoxAnswerer answerer(QMessageBox::Cancel);
    m_window->m_exitButton->setFocus();
    QTest::keyClick(m_window->m_exitButton, Qt::Key_Space, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_window->WindowMenu()->isVisible(); }, 5000));
    m_window->WindowMenu()->close();
    EXPECT_TRUE(answerer.seen.empty());
}

// Full-rate video: a picture with every tick while checked; then only the ticks of the counter's
// multiples of 13 again (the counter wraps at 75 under the EBU ident, hence the gap of 10).
TEST_F(WindowTest, FullRateVideoSetsThePictureCadence) {
    m_ndi.SetBlockingAudio(false);
    m_ndi.SetStorePayloads(false);
    OpenWindow();
    QAction* fullRate = Command(m_window->WindowMenu(), W::IDM_FULL_RATE_VIDEO);
    constexpr uint64_t kTicks = 300;

    fullRate->trigger();
    EXPECT_TRUE(fullRate->isChecked());
    EXPECT_EQ(m_window->m_fullRateVideo.load(), 1);
    const size_t onFrom = m_ndi.AudioFrameCount() + 1;
    ASSERT_TRUE(WaitForTicks(kTicks));

    // Ticks entered before this count decided their picture before the option went off.
    const size_t onUntil = m_ndi.AudioFrameCount() - 1;
    fullRate->trigger();
    const size_t offFrom = m_ndi.AudioFrameCount() + 1;
    EXPECT_FALSE(fullRate->isChecked());
    EXPECT_EQ(m_window->m_fullRateVideo.load(), 0);
    ASSERT_TRUE(WaitForTicks(kTicks));

    const std::vector<RecordedCall> calls = m_ndi.Calls();
    const std::vector<bool> on = PicturesPerTick(calls, onFrom);
    ASSERT_GE(onUntil - onFrom, kTicks - 2);
    for (size_t tick = 0; tick < onUntil - onFrom; ++tick) {
        ASSERT_TRUE(on[tick]) << "full rate, tick " << tick;
    }
    const std::vector<bool> off = PicturesPerTick(calls, offFrom);
    std::vector<size_t> pictures;
    for (size_t tick = 0; tick < off.size(); ++tick) {
        if (off[tick]) {
            pictures.push_back(tick);
        }
    }
    ASSERT_GE(pictures.size(), 10u);
    int thirteens = 0;
    for (size_t i = 1; i < pictures.size(); ++i) {
        const size_t gap = pictures[i] - pictures[i - 1];
        ASSERT_TRUE(gap == 13 || gap == 10) << "gap " << gap << " after picture " << i;
        thirteens += gap == 13 ? 1 : 0;
    }
    EXPECT_GE(thirteens, 5);
}

// Always on top twice: the check mark and the placement go back; position and size never
// change, and the window's modal run goes on throughout.
TEST_F(WindowTest, AlwaysOnTopTwiceKeepsPlaceAndTheRun) {
    OpenWindow();
    QAction* onTop = Command(m_window->WindowMenu(), W::IDM_ALWAYS_ON_TOP);
    const QRect before = m_window->geometry();
    QObject guard;                             // cancels the steps below if the run ends early
    std::vector<std::pair<bool, bool>> states; // (check mark, top-most) after each toggle
    std::vector<QRect> geometries;
    bool exitedByTest = false;
    auto record = [&] {
        states.emplace_back(onTop->isChecked(),
                            m_window->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
        EXPECT_EQ(m_window->windowFlags(), m_window->windowHandle()->flags());
        geometries.push_back(m_window->geometry());
    };
    QTimer::singleShot(0, &guard, [&] {
        onTop->trigger();
        record();
        QTimer::singleShot(100, &guard, [&] {
            onTop->trigger();
            record();
            QTimer::singleShot(100, &guard, [&] {
                exitedByTest = true;
                EXPECT_TRUE(m_window->isVisible());
                m_window->ExitWithoutConfirmation();
            });
        });
    });
    m_window->exec();
    EXPECT_TRUE(exitedByTest) << "the modal run ended by itself";
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0], std::make_pair(true, true));
    EXPECT_EQ(states[1], std::make_pair(false, false));
    for (const QRect& geometry : geometries) {
        EXPECT_EQ(geometry, before);
    }
}

TEST(AboutLine, TakesTheRuntimeVersionAfterItsLastSpace) {
    EXPECT_EQ(CAboutDlg::VersionLine(QStringLiteral("1.1.0.16"), QStringLiteral("Jul-2025"),
                                     QStringLiteral("NDI SDK LINUX 6.0.1")),
              QString::fromWCharArray(L"NDI\u00AE Lirafon v1.1.0.16, Jul-2025, NDI v6.0.1, x64"));
    EXPECT_EQ(
        CAboutDlg::VersionLine(QStringLiteral("1.1.0.16"), QStringLiteral("Jul-2025"),
                               QStringLiteral("6.0.1-nospace")),
        QString::fromWCharArray(L"NDI\u00AE Lirafon v1.1.0.16, Jul-2025, NDI v6.0.1-nospace, x64"));
    EXPECT_EQ(CAboutDlg::VersionLine(QStringLiteral("1.1.0.16"), QStringLiteral("Jul-2025"),
                                     QStringLiteral("NDI SDK 6.0.1 ")),
              QString::fromWCharArray(L"NDI\u00AE Lirafon v1.1.0.16, Jul-2025, NDI v, x64"));
    EXPECT_EQ(CAboutDlg::VersionLine(QString(), QStringLiteral("Jul-2025"), QStringLiteral("")),
              QString::fromWCharArray(L"NDI\u00AE Lirafon v, Jul-2025, NDI v, x64"));
    // Placeholders in the parts are text, not further arguments.
    EXPECT_EQ(
        CAboutDlg::VersionLine(QStringLiteral("%1"), QStringLiteral("%2"), QStringLiteral("v %3")),
        QString::fromWCharArray(L"NDI\u00AE Lirafon v%1, %2, NDI v%3, x64"));
}

TEST_F(WindowTest, AboutBoxShowsTheRuntimeInUse) {
    m_ndi.SetVersion("Recording stand-in 9.8.7");
    OpenWindow();
    QString title;
    QString line;
    WhenShown<CAboutDlg> read([&](CAboutDlg* about) {
        title = about->windowTitle();
        line = about->m_versionLabel->text();
        QTest::keyClick(about, Qt::Key_Escape);
    });
    Command(m_window->WindowMenu(), W::IDM_ABOUTBOX)->trigger();
    ASSERT_TRUE(read.ran);
    EXPECT_EQ(title, QStringLiteral("About QEL NDILirafon"));
    EXPECT_EQ(line,
              QString::fromWCharArray(L"NDI\u00AE Lirafon v1.1.0.16, Jul-2025, NDI v9.8.7, x64"));
    EXPECT_TRUE(m_window->isVisible());
}

TEST_F(WindowTest, HelpKeyMenuAndLinksOpenTheirPages) {
    OpenWindow();
    UrlCatcher catcher;
    BoxAnswerer answerer(QMessageBox::Ok);
    std::vector<QString> requested;
    QObject::connect(m_window.get(), &CNDILirafonDlg::webPageRequested,
                     [&](const QString& address) { requested.push_back(address); });

    QWidget* focus = LevelField();
    focus->setFocus();
    PressKey(Qt::Key_F1);
    ASSERT_EQ(requested.size(), 1u);
    EXPECT_EQ(requested[0], links::OnlineHelp());
    ASSERT_EQ(catcher.opened.size(), 1u);
    EXPECT_TRUE(catcher.opened[0].isLocalFile());
    EXPECT_TRUE(QFileInfo::exists(catcher.opened[0].toLocalFile())) << "the help page ships";
    EXPECT_EQ(QApplication::focusWidget(), focus) << "F1 does nothing else";

    Command(m_window->WindowMenu(), W::IDM_HELP)->trigger();
    Click(m_window->m_ndiLinkButton);
    Click(m_window->m_makerLinkButton);
    Click(m_window->Control(W::IDC_GROUP_LINK));
    Click(m_window->Control(W::IDC_VIDEO_LINK));
    EXPECT_EQ(requested, (std::vector<QString>{links::OnlineHelp(), links::OnlineHelp(),
                                               links::NdiSite(), links::MakerSite(),
                                               links::UserGroup(), links::VideoChannel()}));
    EXPECT_EQ(catcher.opened.size(), requested.size());
    EXPECT_TRUE(answerer.seen.empty());
    EXPECT_TRUE(m_window->isVisible());
}

#include "window_menu_test.moc"
