// The main window: the operator's whole control panel, and the owner of all generator state (it
// is the state record, through the sender class it derives from). Every handler runs on the
// user-interface thread; most read all controls into the record, then call one engine operation.
#pragma once

#include "control_server.h"
#include "ident_card.h"
#include "lirafon_sender.h"
#include "remote_services.h"
#include "remote_settings.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QMap>
#include <QMessageBox>
#include <QPointer>

#include <array>
#include <memory>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QAction;
class ClickableLabel;
class InstanceLink;

// Checks the radio of `group` whose id is `value`, or clears the set when none has it.
void CheckRadio(QButtonGroup* group, int32_t value);

class CNDILirafonDlg : public QDialog,
                       public CLirafonSender,
                       public card::CaptionErrorSink,
                       public control::ControlTarget {
    Q_OBJECT

public:
    // Control ids of the window's template; tests and the keyboard rules find controls by them.
    enum ControlId {
        IDC_LEVEL_LINE = 1034,
        IDC_FREQUENCY = 1001,
        IDC_NDI_LINK = 1003,
        IDC_EXIT = 1004,
        IDC_MAKER_LINK = 1005,
        IDC_CH2 = 1006,
        IDC_CH4 = 1007,
        IDC_CH8 = 1008,
        IDC_CH16 = 1009,
        IDC_NORMAL_ID = 1014,
        IDC_GLITS = 1015,
        IDC_PAIR_1_2 = 1020,
        IDC_LEVEL_EBU = 1010,
        IDC_LEVEL_SMPTE = 1011,
        IDC_LEVEL_USER = 1012,
        IDC_USER_DBU = 1016,
        IDC_BLANK = 1036,
        IDC_GROUP_LINK = 1030,
        IDC_VIDEO_LINK = 1031,
    };
    // Frequency menu command ids.
    enum FrequencyCommand {
        ID_FREQ_200 = 32778,
        ID_FREQ_100 = 32779,
        ID_FREQ_400 = 32780,
        ID_FREQ_1000 = 32781,
        ID_MULTI_FREQUENCY = 32782,
        ID_SEQUENCE_1 = 32783,
    };
    // Window-menu command codes.
    enum WindowCommand {
        IDM_ABOUTBOX = 16,
        IDM_ALWAYS_ON_TOP = 32,
        IDM_SET_IDENT_TEXT = 64,
        IDM_HELP = 128,
        IDM_FULL_RATE_VIDEO = 256,
        IDM_AV_SYNC = 512,
    };

    explicit CNDILirafonDlg(QWidget* parent = nullptr);
    ~CNDILirafonDlg() override;

    // Start-up: returns 1 when complete, 0 when the NDI runtime could not be initialised (the
    // window then stays open without publishing).
    int OnInitDialog();

    // Data exchange. saveAndValidate true: controls -> record; false: record -> controls.
    // Returns false when the level field does not hold a whole number (after the prompt).
    bool UpdateData(bool saveAndValidate);

    // Exit paths. ConfirmExit asks first; ExitWithoutConfirmation is for SIGINT/SIGTERM.
    void ConfirmExit();
    void ExitWithoutConfirmation();
    // The ninth copy: closes at once, as the OK command would, without a message.
    void CloseAsNinthCopy();
    // One line on stderr saying what was published and how to monitor it.
    void ReportStart(bool started);
    // Stops the send loop and releases the sender and the runtime; idempotent.
    void ShutDown();

    // Handlers (public so that the keyboard rules, the menus and tests reach them).
    void OnFrequencyButton();
    void OnPairBox(int32_t pair);
    void OnWindowCommand(int code);
    void OnEnterKey();
    void OpenWebPage(const QString& address);

    // Remote operation (the start-up options and the control server). Every setting acts through
    // the same controls and handlers as a person's clicks, in the order the window runs them.
    void ApplySettings(const control::SettingsChange& change) override;
    QJsonObject ControlState() override;
    QImage CardPicture() override;
    // The start-up options: the settings are applied at once, except the ident text, which
    // replaces the numbered default when numbering has named this copy.
    void ApplyStartupOptions(const control::StartupOptions& options);
    // Called by numbering just before and just after the sender starts.
    void BeforeNumberedStart();
    void AfterNumberedStart();
    control::ControlServer* RemoteControl() const {
        return m_services ? &m_services->Control() : nullptr;
    }

    QWidget* Control(int id) const { return m_controls.value(id); }
    QMenu* WindowMenu() const { return m_windowMenu; }
    QMenu* FrequencyMenu() const { return m_frequencyMenu; }
    int MenuResult() const { return m_menuResult; }
    void SetMenuResult(int id) { m_menuResult = id; }
    bool ShutDownDone() const { return m_shutDown; }

    // The one way every message box of the window is shown: owned by the window, the
    // application's name as caption unless one is given. Returns the button pressed.
    // Set when the program runs without a display: message boxes go to stderr instead.
    bool m_headless = false;
    QMessageBox::StandardButton MessageBox(const QString& text, const QString& caption = QString(),
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);

signals:
    // Emitted after every OpenWebPage, before the platform is asked (tests listen here).
    void webPageRequested(const QString& address);

protected:
    // Engine and sender hooks.
    void TakeControlValues() override;
    int32_t ReadPairBox(int32_t pair) override;
    void EnablePairBoxesFor(int32_t channelChoice) override;
    void LevelLineChanged() override;
    void DrawTestCard(uint8_t* pixels) override;
    void DrawLogo() override;
    void RenderCaption(const wchar_t* text, int32_t atBottom) override;
    void ShowMessage(const std::wstring& text) override;
    void CaptionSurfaceFailed(const wchar_t* message) override;

    // Qt events.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    void SetUpControls();
    void SetUpFrequencyMenu();
    void AddWindowMenuItems();
    QRadioButton* AddRadio(int id, const QString& caption, int x, int y, int w, int h);
    void SetUserLevelCaption();
    // Takes the level field as Enter does: applied when the user level is chosen, else read.
    void TakeUserLevelField();
    void ApplyFrequencyChoice(control::FrequencyChoice frequency);
    // Something a client of the control server shows may have changed.
    void StateChanged();

public:
    // Controls of the template, by their members' names.
    QPushButton* m_frequencyButton = nullptr;
    QPushButton* m_ndiLinkButton = nullptr;
    QPushButton* m_exitButton = nullptr;
    QPushButton* m_makerLinkButton = nullptr;
    std::array<QCheckBox*, kPairCount> m_pairChecks{};
    QMenu* m_frequencyMenu = nullptr;
    QFont m_linkFont;
    QIcon m_hIcon;

private:
    QLabel* m_levelLineLabel = nullptr;
    QLineEdit* m_userLevelEdit = nullptr;
    QButtonGroup* m_channelGroup = nullptr;
    QButtonGroup* m_levelGroup = nullptr;
    QButtonGroup* m_identGroup = nullptr;
    QRadioButton* m_userLevelRadio = nullptr;
    QMenu* m_windowMenu = nullptr;
    QAction* m_sequenceAction = nullptr;
    QAction* m_fullRateAction = nullptr;
    QAction* m_avSyncAction = nullptr;
    QAction* m_onTopAction = nullptr;
    QMap<int, QWidget*> m_controls;
    int m_menuResult = 0;
    bool m_ndiInitialised = false;
    bool m_shutDown = false;
    std::unique_ptr<InstanceLink> m_instances;
    static control::StartupOptions NoServers() {
        control::StartupOptions options;
        options.control.basePort.reset(); // a window opened without options serves nothing
        return options;
    }
    // The control server and the NMOS node, once the sender has started.
    std::unique_ptr<CRemoteServices> m_services;
    control::StartupOptions m_startup = NoServers();
    std::optional<std::wstring> m_startupIdentText;
    std::optional<bool> m_startupShowIdentText;
    double m_wireReferenceGain = 0.1; // full-scale fraction of a sample of 1.0 on the wire
};
