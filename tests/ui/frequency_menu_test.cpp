// The frequency menu button: its six items, the captions each choice writes, the "Sequence 1"
// check mark that always equals the sequence mode, the tables each choice builds, the message for
// a result no item gave, and what a click on the button's face does.
#include "window_fixture.h"

#include <QMenu>

namespace {

using W = CNDILirafonDlg;

QAction* Item(QMenu* menu, int id) {
    for (QAction* action : menu->actions()) {
        if (action->data().toInt() == id) {
            return action;
        }
    }
    ADD_FAILURE() << "no item " << id;
    return nullptr;
}

// The frequency of every plane's table.
std::vector<int32_t> Tables(const CLirafonEngine& record) {
    std::vector<int32_t> hz;
    for (const ToneChannel& tone : record.m_toneChannels) {
        hz.push_back(tone.frequencyHz);
    }
    return hz;
}

std::vector<int32_t> AllPlanes(int32_t hz) {
    return std::vector<int32_t>(16, hz);
}

std::vector<int32_t> MultiFrequencySet() {
    return std::vector<int32_t>(MultiFrequencyTable.begin(), MultiFrequencyTable.end());
}

class FrequencyMenuTest : public WindowTest {
protected:
    void Choose(int id) { Item(m_window->FrequencyMenu(), id)->trigger(); }
    QString Caption() const { return m_window->m_frequencyButton->text(); }
    bool SequenceChecked() const {
        return Item(m_window->FrequencyMenu(), W::ID_SEQUENCE_1)->isChecked();
    }
};

} // namespace

TEST_F(FrequencyMenuTest, OffersSixItemsInOrderAndStartsUnchecked) {
    OpenWindow();
    const std::vector<std::pair<int, QString>> expected = {
        {W::ID_FREQ_1000, QStringLiteral("1000 Hz")},
        {W::ID_FREQ_400, QStringLiteral("  400 Hz")},
        {W::ID_FREQ_200, QStringLiteral("  200 Hz")},
        {W::ID_FREQ_100, QStringLiteral("  100 Hz")},
        {W::ID_MULTI_FREQUENCY, QStringLiteral("Multi-frequency")},
        {W::ID_SEQUENCE_1, QStringLiteral("Sequence 1")}};
    const QList<QAction*> actions = m_window->FrequencyMenu()->actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actions[static_cast<qsizetype>(i)]->data().toInt(), expected[i].first);
        EXPECT_EQ(actions[static_cast<qsizetype>(i)]->text(), expected[i].second);
        EXPECT_FALSE(actions[static_cast<qsizetype>(i)]->isChecked());
        EXPECT_FALSE(actions[static_cast<qsizetype>(i)]->isSeparator());
    }
    EXPECT_EQ(Caption(), QStringLiteral("    Frequency    "));
    EXPECT_EQ(Tables(*m_window), AllPlanes(1000));
    EXPECT_EQ(m_window->m_sequenceMode.load(), 0);
}

TEST_F(FrequencyMenuTest, SingleFrequenciesNameThemselvesAndLeaveTheMode) {
    OpenWindow();
    const struct {
        int id;
        const char* caption;
        int32_t hz;
    } cases[] = {{W::ID_FREQ_400, " 400 Hz", 400},
                 {W::ID_FREQ_200, " 200 Hz", 200},
                 {W::ID_FREQ_100, " 100 Hz", 100},
                 {W::ID_FREQ_1000, "1 KHz", 1000}};
    for (const auto& c : cases) {
        Choose(c.id);
        EXPECT_EQ(Caption(), QString::fromLatin1(c.caption));
        EXPECT_EQ(Tables(*m_window), AllPlanes(c.hz)) << c.hz;
        EXPECT_EQ(m_window->m_sequenceMode.load(), 0);
        EXPECT_FALSE(SequenceChecked());
    }
    // The tone sent follows: 400 Hz repeats every 120 samples and not every 48 (channel 2: the
    // right channel never falls silent in the EBU ident).
    Choose(W::ID_FREQ_400);
    const RecordedAudio sent = NextSentAudio();
    ASSERT_EQ(sent.samples.size(), 8u * 1920u);
    const float* right = sent.samples.data() + 1920;
    EXPECT_EQ(right[10], right[130]);
    EXPECT_NE(right[10], right[58]);
}

TEST_F(FrequencyMenuTest, SequenceOneTogglesItsCheckMarkAndTheMode) {
    OpenWindow();
    Choose(W::ID_SEQUENCE_1);
    EXPECT_TRUE(SequenceChecked());
    EXPECT_EQ(m_window->m_sequenceMode.load(), 1);
    EXPECT_EQ(Caption(), QStringLiteral("MF Sequence"));
    EXPECT_EQ(Tables(*m_window), MultiFrequencySet());

    // Single frequencies go on in the sequence.
    Choose(W::ID_FREQ_1000);
    EXPECT_EQ(Caption(), QStringLiteral("1 KHz"));
    EXPECT_TRUE(SequenceChecked());
    EXPECT_EQ(m_window->m_sequenceMode.load(), 1);
    EXPECT_EQ(Tables(*m_window), AllPlanes(1000));

    // Multi-frequency while the sequence is on keeps the mode.
    Choose(W::ID_MULTI_FREQUENCY);
    EXPECT_EQ(Caption(), QStringLiteral("MF Sequence"));
    EXPECT_TRUE(SequenceChecked());
    EXPECT_EQ(m_window->m_sequenceMode.load(), 1);

    Choose(W::ID_SEQUENCE_1);
    EXPECT_FALSE(SequenceChecked());
    EXPECT_EQ(m_window->m_sequenceMode.load(), 0);
    EXPECT_EQ(Caption(), QStringLiteral("Multi-frequency"));
    EXPECT_EQ(Tables(*m_window), MultiFrequencySet());
}

TEST_F(FrequencyMenuTest, AResultNoItemGaveIsReportedAndChangesNothing) {
    OpenWindow();
    Choose(W::ID_SEQUENCE_1);
    Choose(W::ID_FREQ_200);
    BoxAnswerer answerer(QMessageBox::Ok);
    for (int result : {0, 12345, int{W::ID_FREQ_200} + 100}) {
        m_window->SetMenuResult(result);
        m_window->OnFrequencyButton();
    }
    ASSERT_EQ(answerer.seen.size(), 3u);
    EXPECT_EQ(answerer.seen[0].text, QStringLiteral("Button click (popup menu did not appear, or "
                                                    "menu ID is not handled)"));
    EXPECT_EQ(answerer.seen[0].title, QStringLiteral("NDILirafon"));
    EXPECT_EQ(answerer.seen[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(Caption(), QStringLiteral(" 200 Hz"));
    EXPECT_TRUE(SequenceChecked());
    EXPECT_EQ(m_window->m_sequenceMode.load(), 1);
    EXPECT_EQ(Tables(*m_window), AllPlanes(200));
}

// A click on the face opens the popup; closing it without a choice reaches no handler, and a
// choice reaches it with the item's id.
TEST_F(FrequencyMenuTest, AClickOnTheFaceOpensThePopupAndOnlyAChoiceActs) {
    OpenWindow();
    BoxAnswerer answerer(QMessageBox::Ok);
    QMenu* shown = nullptr;
    {
        WhenShown<QMenu> dismiss(
            [&](QMenu* menu) {
                shown = menu;
                QTest::keyClick(menu, Qt::Key_Escape);
            },
            true);
        Click(m_window->m_frequencyButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dismiss.ran; }, 5000));
    }
    EXPECT_EQ(shown, m_window->FrequencyMenu());
    QTest::qWait(20);
    EXPECT_TRUE(answerer.seen.empty());
    EXPECT_EQ(Caption(), QStringLiteral("    Frequency    "));

    {
        WhenShown<QMenu> choose(
            [&](QMenu* menu) {
                menu->setActiveAction(Item(menu, W::ID_FREQ_400));
                QTest::keyClick(menu, Qt::Key_Return);
            },
            true);
        Click(m_window->m_frequencyButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return choose.ran; }, 5000));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return Caption() == QStringLiteral(" 400 Hz"); }, 5000));
    EXPECT_EQ(m_window->MenuResult(), int{W::ID_FREQ_400});
    EXPECT_EQ(Tables(*m_window), AllPlanes(400));
    EXPECT_TRUE(answerer.seen.empty());
}
