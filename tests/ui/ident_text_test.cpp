// The ident text dialog, opened from the window menu: what it shows, the 27-character limit, and
// the caption the window draws on the card after it has closed, however it closed.
#include "ident_text_dlg.h"
#include "window_fixture.h"

#include <QClipboard>
#include <QMenu>

#include <algorithm>

namespace {

using W = CNDILirafonDlg;

// The band red of the card, blue green red fourth byte.
const std::vector<uint8_t> kBandRed = {0, 0, 192, 255};
const std::wstring kNumberedText = L"QEL NDI\u00AE Reza Radidired No1";

class IdentTextTest : public WindowTest {
protected:
    // Opens the dialog from the window menu and runs `step` inside it; the step closes it.
    void RunDialog(const std::function<void(LFIdentText*)>& step) {
        WhenShown<LFIdentText> driver(step);
        for (QAction* action : m_window->WindowMenu()->actions()) {
            if (action->data().toInt() == W::IDM_SET_IDENT_TEXT) {
                action->trigger();
            }
        }
        ASSERT_TRUE(driver.ran);
    }
    std::vector<uint8_t> BottomBlock() const { return BottomBlockOf(Picture()); }
};

// The bottom caption block as the card library draws it by itself; it covers its block whole.
std::vector<uint8_t> Reference(const wchar_t* text) {
    std::vector<uint8_t> picture(640 * 360 * 4, 0);
    CLirafonEngine record;
    record.m_videoFrame.p_data = picture.data();
    card::RenderCaption(record, text, 1, nullptr);
    record.m_videoFrame.p_data = nullptr;
    return BottomBlockOf(picture.data());
}

} // namespace

TEST_F(IdentTextTest, OpensOnTheCurrentTextAndState) {
    OpenWindow();
    ASSERT_EQ(m_window->m_identText, kNumberedText);
    QString title;
    QString text;
    bool checked = false;
    RunDialog([&](LFIdentText* dialog) {
        title = dialog->windowTitle();
        text = dialog->m_identEdit->text();
        checked = dialog->m_identCheck->isChecked();
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    EXPECT_EQ(title, QStringLiteral("Reza Radidired Ident Text"));
    EXPECT_EQ(text, QString::fromStdWString(kNumberedText));
    EXPECT_TRUE(checked);

    m_window->m_showIdentText = 0;
    m_window->m_identText = L"Studio 4";
    RunDialog([&](LFIdentText* dialog) {
        text = dialog->m_identEdit->text();
        checked = dialog->m_identCheck->isChecked();
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    EXPECT_EQ(text, QStringLiteral("Studio 4"));
    EXPECT_FALSE(checked);
}

TEST_F(IdentTextTest, TheFieldRefusesATwentyEighthCharacter) {
    OpenWindow();
    QString typedOnFull;
    QString typedLong;
    QString pasted;
    RunDialog([&](LFIdentText* dialog) {
        QLineEdit* field = dialog->m_identEdit;
        field->setFocus();
        QTest::keyClick(field, Qt::Key_End);
        QTest::keyClick(field, Qt::Key_X); // the numbered text is already 27 characters
        typedOnFull = field->text();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"));
        typedLong = field->text();
        field->clear();
        QApplication::clipboard()->setText(QStringLiteral("abcdefghijklmnopqrstuvwxyz-long"));
        field->paste();
        pasted = field->text();
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    EXPECT_EQ(typedOnFull, QString::fromStdWString(kNumberedText));
    EXPECT_EQ(typedLong, QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0"));
    EXPECT_LE(pasted.size(), LFIdentText::kMaxTextLength);
    EXPECT_EQ(QString::fromStdWString(m_window->m_identText), pasted);
}

// Unchecked: the bottom block is band red (no text), after Escape as after OK.
TEST_F(IdentTextTest, UncheckedBoxRemovesTheCaptionHoweverTheDialogCloses) {
    OpenWindow();
    ASSERT_NE(PixelAt(300, 300), kBandRed);
    for (Qt::Key close : {Qt::Key_Escape, Qt::Key_Return}) {
        RunDialog([&](LFIdentText* dialog) {
            if (!dialog->m_identCheck->isChecked()) {
                Click(dialog->m_identCheck);
            }
            QTest::keyClick(dialog, Qt::Key_Return);
        });
        ASSERT_EQ(m_window->m_showIdentText, 1);
        ASSERT_NE(PixelAt(300, 300), kBandRed);
        RunDialog([&](LFIdentText* dialog) {
            Click(dialog->m_identCheck);
            QTest::keyClick(dialog, close);
        });
        EXPECT_EQ(m_window->m_showIdentText, 0);
        EXPECT_EQ(PixelAt(300, 300), kBandRed) << "closed with key " << close;
        EXPECT_EQ(BottomBlock(), Reference(nullptr));
    }
}

TEST_F(IdentTextTest, ClearedTextWithTheBoxCheckedGivesAnAllBlackBlock) {
    OpenWindow();
    RunDialog([&](LFIdentText* dialog) {
        dialog->m_identEdit->setFocus();
        dialog->m_identEdit->selectAll();
        QTest::keyClick(dialog->m_identEdit, Qt::Key_Backspace);
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    EXPECT_TRUE(m_window->m_identText.empty());
    EXPECT_EQ(m_window->m_showIdentText, 1);
    const std::vector<uint8_t> block = BottomBlock();
    for (size_t i = 0; i < block.size(); i += 4) {
        ASSERT_EQ((std::vector<uint8_t>(block.begin() + static_cast<std::ptrdiff_t>(i),
                                        block.begin() + static_cast<std::ptrdiff_t>(i + 4))),
                  (std::vector<uint8_t>{0, 0, 0, 255}))
            << "byte " << i;
    }
}

// A changed text is kept when the dialog ends with Escape, drawn on the card and sent with the
// next picture.
TEST_F(IdentTextTest, ChangedTextClosedWithEscapeIsShown) {
    OpenWindow();
    RunDialog([&](LFIdentText* dialog) {
        dialog->m_identEdit->setFocus();
        dialog->m_identEdit->selectAll();
        QTest::keyClicks(dialog->m_identEdit, QStringLiteral("Studio 4 line-up"));
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    EXPECT_EQ(m_window->m_identText, L"Studio 4 line-up");
    const std::vector<uint8_t> expected = Reference(L"Studio 4 line-up");
    EXPECT_EQ(BottomBlock(), expected);

    auto pictures = [&] {
        const std::vector<std::string> names = m_ndi.CallNames();
        return std::count(names.begin(), names.end(), "NDIlib_send_send_video_v2");
    };
    const auto picturesBefore = pictures();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pictures() > picturesBefore + 1; }, 10000));
    const std::vector<RecordedVideo> sent = m_ndi.VideoFrames();
    ASSERT_EQ(sent.back().pixels.size(), 640u * 360u * 4u);
    EXPECT_EQ(BottomBlockOf(sent.back().pixels.data()), expected);
}
