// The main window's handlers: data exchange between controls and record, the channel, pair, level
// and ident handlers, the frequency menu, the window menu, and the keyboard rules (Enter acts as
// Tab after taking the level field, Escape asks to exit, F1 opens help).
#include "lirafon_dlg.h"

#include "about_dlg.h"
#include "ident_text_dlg.h"
#include "link_targets.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>
#include <QWindow>

#include <climits>

namespace {

// Whole numbers only: optional sign, digits, surrounding blanks; within int32.
bool ParseWholeNumber(const QString& text, int32_t* value) {
    bool ok = false;
    const qlonglong parsed = text.trimmed().toLongLong(&ok, 10);
    if (!ok || parsed < INT32_MIN || parsed > INT32_MAX) {
        return false;
    }
    *value = static_cast<int32_t>(parsed);
    return true;
}

} // namespace

// The radio of a set with this value checked, or none when no button has it.
void CheckRadio(QButtonGroup* group, int32_t value) {
    QAbstractButton* button = group->button(value);
    if (button != nullptr) {
        button->setChecked(true);
        return;
    }
    // No button has this value: clear the set (an exclusive group refuses that directly).
    group->setExclusive(false);
    for (QAbstractButton* b : group->buttons()) {
        b->setChecked(false);
    }
    group->setExclusive(true);
}

// The level field comes before the radio sets: when it does not hold a whole number the prompt
// is shown, the focus goes to the field and none of the three choices is taken.
bool CNDILirafonDlg::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        m_userLevelEdit->setText(QString::number(m_userLevelDbu));
        CheckRadio(m_channelGroup, m_channelChoice);
        CheckRadio(m_levelGroup, m_levelChoice);
        CheckRadio(m_identGroup, m_identChoice.load());
        return true;
    }
    int32_t levelDbu = 0;
    if (!ParseWholeNumber(m_userLevelEdit->text(), &levelDbu)) {
        MessageBox(QStringLiteral("Please enter an integer."));
        m_userLevelEdit->setFocus();
        m_userLevelEdit->selectAll();
        return false;
    }
    m_userLevelDbu = levelDbu;
    m_channelChoice = m_channelGroup->checkedId();
    m_levelChoice = m_levelGroup->checkedId();
    // Neither stereo ident checked: a surround ident chosen remotely, which the record keeps.
    if (m_identGroup->checkedId() >= 0) {
        m_identChoice = m_identGroup->checkedId();
    }
    return true;
}

void CNDILirafonDlg::TakeControlValues() {
    UpdateData(true);
}

int32_t CNDILirafonDlg::ReadPairBox(int32_t pair) {
    return m_pairChecks[pair]->checkState() != Qt::Unchecked ? 1 : 0;
}

// Box 1-2 is never disabled; a disabled box keeps its check mark.
void CNDILirafonDlg::EnablePairBoxesFor(int32_t channelChoice) {
    if (channelChoice < 0 || channelChoice > 3) {
        return;
    }
    const int32_t enabledPairs = m_channelCounts[channelChoice] / 2;
    for (int32_t p = 0; p < kPairCount; ++p) {
        m_pairChecks[p]->setEnabled(p < enabledPairs);
    }
}

void CNDILirafonDlg::OnPairBox(int32_t pair) {
    SetPairEnabled(pair, ReadPairBox(pair));
}

void CNDILirafonDlg::LevelLineChanged() {
    static_cast<QLabel*>(Control(IDC_LEVEL_LINE))->setText(QString::fromStdWString(m_levelLine));
}

void CNDILirafonDlg::DrawTestCard(uint8_t* pixels) {
    card::DrawTestCard(*this, pixels);
}

void CNDILirafonDlg::DrawLogo() {
    card::DrawLogo(*this);
}

void CNDILirafonDlg::RenderCaption(const wchar_t* text, int32_t atBottom) {
    card::RenderCaption(*this, text, atBottom, this);
}

void CNDILirafonDlg::ShowMessage(const std::wstring& text) {
    MessageBox(QString::fromStdWString(text));
}

void CNDILirafonDlg::CaptionSurfaceFailed(const wchar_t* message) {
    MessageBox(QString::fromWCharArray(message));
}

void CNDILirafonDlg::OpenWebPage(const QString& address) {
    emit webPageRequested(address);
    QDesktopServices::openUrl(QUrl(address)); // the result is ignored; never waits
}

// Enter: take the level field (applying it when the user level is chosen), rewrite the user-level
// caption, then move on like Tab.
void CNDILirafonDlg::OnEnterKey() {
    TakeUserLevelField();
    focusNextChild();
    StateChanged();
}

bool CNDILirafonDlg::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    const bool ours = widget != nullptr && widget->window() == this;
    if (!ours) {
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Alt+Space opens the window menu, as the window manager's own menu key would; without
        // this the space would press the focused button.
        const bool windowMenuKey =
            key->key() == Qt::Key_Space && key->modifiers() == Qt::AltModifier;
        const bool handled = windowMenuKey || key->key() == Qt::Key_F1 ||
                             key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                             key->key() == Qt::Key_Escape;
        if (!handled) {
            return QDialog::eventFilter(watched, event);
        }
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept(); // keep these keys away from shortcuts; the key press follows
            return true;
        }
        if (windowMenuKey) {
            m_windowMenu->popup(mapToGlobal(QPoint(0, 0)));
            return true;
        }
        switch (key->key()) {
        case Qt::Key_F1:
            OpenWebPage(links::OnlineHelp());
            break;
        case Qt::Key_Escape:
            ConfirmExit();
            break;
        default:
            OnEnterKey();
            break;
        }
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

// A close request from outside the program (the window manager's close box, a session end):
// the same confirmation as Exit.
void CNDILirafonDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (!m_shutDown) {
        ConfirmExit();
    }
}

void CNDILirafonDlg::reject() {
    if (m_shutDown) {
        QDialog::reject();
        return;
    }
    ConfirmExit();
}

// The window menu is opened by a right click anywhere on the window and by Alt+Space.
void CNDILirafonDlg::contextMenuEvent(QContextMenuEvent* event) {
    m_windowMenu->popup(event->globalPos());
}

void CNDILirafonDlg::SetUpFrequencyMenu() {
    m_frequencyMenu = new QMenu(QStringLiteral("Frequency"), this);
    struct Item {
        int id;
        const char* text;
    };
    static constexpr Item kItems[] = {{ID_FREQ_1000, "1000 Hz"},
                                      {ID_FREQ_400, "  400 Hz"},
                                      {ID_FREQ_200, "  200 Hz"},
                                      {ID_FREQ_100, "  100 Hz"},
                                      {ID_MULTI_FREQUENCY, "Multi-frequency"},
                                      {ID_SEQUENCE_1, "Sequence 1"}};
    for (const Item& item : kItems) {
        QAction* action = m_frequencyMenu->addAction(QString::fromLatin1(item.text));
        action->setData(item.id);
        if (item.id == ID_SEQUENCE_1) {
            action->setCheckable(true);
            action->setChecked(false);
            m_sequenceAction = action;
        }
        connect(action, &QAction::triggered, this, [this, id = item.id] {
            m_menuResult = id;
            OnFrequencyButton();
            StateChanged();
        });
    }
    // A click anywhere on the button opens the popup; only an item choice reaches the handler.
    m_frequencyButton->setMenu(m_frequencyMenu);
}

void CNDILirafonDlg::OnFrequencyButton() {
    struct Single {
        int id;
        const char* caption;
        int32_t hz;
    };
    static constexpr Single kSingles[] = {{ID_FREQ_200, " 200 Hz", 200},
                                          {ID_FREQ_100, " 100 Hz", 100},
                                          {ID_FREQ_400, " 400 Hz", 400},
                                          {ID_FREQ_1000, "1 KHz", 1000}};
    for (const Single& single : kSingles) {
        if (m_menuResult == single.id) {
            m_frequencyButton->setText(QString::fromLatin1(single.caption));
            SelectFrequency(single.hz);
            return;
        }
    }
    if (m_menuResult == ID_SEQUENCE_1) {
        m_sequenceMode = m_sequenceMode != 0 ? 0 : 1;
    } else if (m_menuResult != ID_MULTI_FREQUENCY) {
        MessageBox(
            QStringLiteral("Button click (popup menu did not appear, or menu ID is not handled)"));
        return;
    }
    // The check mark always equals the mode (a triggered checkable action toggles itself).
    m_sequenceAction->setChecked(m_sequenceMode != 0);
    m_frequencyButton->setText(m_sequenceMode != 0 ? QStringLiteral("MF Sequence")
                                                   : QStringLiteral("Multi-frequency"));
    SelectMultiFrequency();
}

void CNDILirafonDlg::AddWindowMenuItems() {
    m_windowMenu = new QMenu(this);
    m_windowMenu->addSeparator();
    auto add = [this](int code, const QString& text, bool checkable) {
        QAction* action = m_windowMenu->addAction(text);
        action->setData(code);
        action->setCheckable(checkable);
        connect(action, &QAction::triggered, this, [this, code, action, checkable] {
            if (checkable) {
                // The check mark is the option's state: undo Qt's own toggle, the handler decides.
                action->setChecked(!action->isChecked());
            }
            OnWindowCommand(code);
            StateChanged();
        });
        return action;
    };
    add(IDM_SET_IDENT_TEXT, QStringLiteral("Set Ident Text"), false);
    m_fullRateAction = add(IDM_FULL_RATE_VIDEO, QStringLiteral("Full-rate video"), true);
    m_avSyncAction = add(IDM_AV_SYNC, QStringLiteral("A/V sync"), true);
    m_onTopAction = add(IDM_ALWAYS_ON_TOP, QStringLiteral("Always on top"), true);
    m_windowMenu->addSeparator();
    add(IDM_HELP, QStringLiteral("Open online help (ReadMe file)"), false);
    add(IDM_ABOUTBOX, QStringLiteral("&About NDILirafon..."), false);
}

void CNDILirafonDlg::OnWindowCommand(int code) {
    switch (code & 65520) {
    case IDM_ABOUTBOX: {
        CAboutDlg about(this);
        about.m_fileVersion = QString::fromStdWString(m_fileVersion);
        about.m_buildMonth = QString::fromStdWString(m_buildMonth);
        about.exec();
        break;
    }
    case IDM_HELP:
        OpenWebPage(links::OnlineHelp());
        break;
    case IDM_SET_IDENT_TEXT: {
        LFIdentText dialog(m_showIdentText, m_identText, this);
        dialog.exec();
        // Redrawn however the dialog closed: every change is already in the record.
        RenderCaption(m_showIdentText != 0 ? m_identText.c_str() : nullptr, 1);
        break;
    }
    case IDM_FULL_RATE_VIDEO:
        if (m_fullRateAction->isChecked()) {
            m_fullRateVideo = 0;
            m_fullRateAction->setChecked(false);
        } else {
            m_fullRateVideo = 1;
            m_fullRateAction->setChecked(true);
        }
        break;
    case IDM_AV_SYNC:
        SetAvSync(!m_avSyncAction->isChecked());
        m_avSyncAction->setChecked(m_avSync.load() != 0);
        break;
    case IDM_ALWAYS_ON_TOP: {
        const bool onTop = !m_onTopAction->isChecked();
        QWindow* handle = windowHandle();
        if (handle == nullptr) {
            setWindowFlag(Qt::WindowStaysOnTopHint, onTop); // no native window to change yet
        } else {
            // Changing the widget's own flags re-creates the native window, hiding it on the way,
            // which would end the window's modal run and lose its place. The native window takes
            // the hint in place instead, keeping position and size; the widget's record follows.
            overrideWindowFlags(windowFlags().setFlag(Qt::WindowStaysOnTopHint, onTop));
            handle->setFlag(Qt::WindowStaysOnTopHint, onTop);
        }
        m_onTopAction->setChecked(onTop);
        break;
    }
    default:
        break;
    }
}
