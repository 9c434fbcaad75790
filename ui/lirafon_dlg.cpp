// The main window's construction, layout and start-up. The layout follows the window's template
// in dialog units; the start-up order is fixed: version strings, control set-up, engine start
// values, data exchange, ident sequence, user-level caption, runtime initialisation, numbering.
#include "lirafon_dlg.h"

#include "nmos_host.h"
#include "registration.h"

#include "artwork.h"
#include "avahi_probe.h"
#include "builtin_runtime.h"
#include "clickable_label.h"
#include "dialog_units.h"
#include "instance_link.h"
#include "link_targets.h"
#include "lirafon_version.h"
#include "ndi_dispatch.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include <cstdio>

namespace {

// The build month, formatted from its seven characters with the hyphen of the format.
std::wstring BuildMonthText() {
    const wchar_t letters[7] = {L'J', L'u', L'l', L'2', L'0', L'2', L'5'};
    wchar_t text[16];
    std::swprintf(text, sizeof text / sizeof text[0], L"%lc%lc%lc-%lc%lc%lc%lc", letters[0],
                  letters[1], letters[2], letters[3], letters[4], letters[5], letters[6]);
    return text;
}

std::wstring FileVersionText() {
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"%i.%i.%i.%i", LIRAFON_VERSION_MAJOR,
                  LIRAFON_VERSION_MINOR, LIRAFON_VERSION_PATCH, LIRAFON_VERSION_TWEAK);
    return text;
}

} // namespace

CNDILirafonDlg::CNDILirafonDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("QEL NDI Lirafon"));
    // A fixed-size dialog with caption, window menu and minimise box; no maximise box. The close
    // box asks the exit confirmation like Exit and Escape.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    artwork::Init();
    m_hIcon = artwork::ApplicationIcon();
    // The template's radio and check box widths leave the classic 3-pixel gap between mark and
    // caption; the wider default gap of Qt's styles clipped the last letters of "EBU 0 dBu".
    setStyleSheet(QStringLiteral("QRadioButton, QCheckBox { spacing: 3px; }"));
    CreateControls();
}

CNDILirafonDlg::~CNDILirafonDlg() {
    qApp->removeEventFilter(this);
    ShutDown();
}

QRadioButton* CNDILirafonDlg::AddRadio(int id, const QString& caption, int x, int y, int w, int h) {
    auto* radio = new QRadioButton(caption, this);
    DialogUnits(font()).Place(radio, x, y, w, h);
    radio->setFocusPolicy(Qt::ClickFocus); // radio buttons are not tab stops
    m_controls.insert(id, radio);
    return radio;
}

// Every control of the template, created in template (tab) order.
void CNDILirafonDlg::CreateControls() {
    const DialogUnits du(font());
    setFixedSize(du.X(237), du.Y(98));

    m_levelLineLabel = new QLabel(QString::fromWCharArray(kEbuLevelLine), this);
    du.Place(m_levelLineLabel, 12, 10, 142, 8);
    m_controls.insert(IDC_LEVEL_LINE, m_levelLineLabel);

    m_frequencyButton = new QPushButton(QStringLiteral("    Frequency    "), this);
    du.Place(m_frequencyButton, 160, 7, 70, 14);
    m_controls.insert(IDC_FREQUENCY, m_frequencyButton);

    m_ndiLinkButton = new QPushButton(links::NdiSiteCaption(), this);
    du.Place(m_ndiLinkButton, 85, 77, 64, 14);
    m_controls.insert(IDC_NDI_LINK, m_ndiLinkButton);

    m_exitButton = new QPushButton(QStringLiteral("Exit"), this);
    du.Place(m_exitButton, 205, 77, 25, 14);
    m_controls.insert(IDC_EXIT, m_exitButton);

    auto* iconLabel = new QLabel(this);
    du.Place(iconLabel, 7, 22, 20, 20);
    iconLabel->setPixmap(m_hIcon.pixmap(iconLabel->size()));

    m_makerLinkButton = new QPushButton(links::MakerSiteCaption(), this);
    du.Place(m_makerLinkButton, 7, 77, 75, 14);
    m_controls.insert(IDC_MAKER_LINK, m_makerLinkButton);

    m_channelGroup = new QButtonGroup(this);
    m_channelGroup->addButton(AddRadio(IDC_CH2, QStringLiteral("2 Ch"), 37, 22, 31, 10), 0);
    m_channelGroup->addButton(AddRadio(IDC_CH4, QStringLiteral("4 Ch"), 37, 35, 31, 10), 1);
    m_channelGroup->addButton(AddRadio(IDC_CH8, QStringLiteral("8 Ch"), 37, 48, 31, 10), 2);
    m_channelGroup->addButton(AddRadio(IDC_CH16, QStringLiteral("16 Ch"), 37, 61, 35, 10), 3);

    m_identGroup = new QButtonGroup(this);
    m_identGroup->addButton(AddRadio(IDC_NORMAL_ID, QStringLiteral("Normal ID"), 77, 35, 44, 10),
                            0);
    m_identGroup->addButton(AddRadio(IDC_GLITS, QStringLiteral("GLITS"), 127, 35, 31, 10), 1);

    struct PairBox {
        const char* caption;
        int x, y, w;
    };
    static constexpr PairBox kPairBoxes[kPairCount] = {
        {"1-2", 77, 48, 23},    {"3-4", 108, 48, 23},  {"5-6", 143, 48, 23},
        {"7-8", 178, 48, 23},   {"9-10", 77, 61, 29},  {"11-12", 108, 61, 33},
        {"13-14", 143, 61, 32}, {"15-16", 178, 61, 35}};
    for (int32_t p = 0; p < kPairCount; ++p) {
        auto* box = new QCheckBox(QString::fromLatin1(kPairBoxes[p].caption), this);
        du.Place(box, kPairBoxes[p].x, kPairBoxes[p].y, kPairBoxes[p].w, 10);
        m_pairChecks[p] = box;
        m_controls.insert(IDC_PAIR_1_2 + p, box);
        connect(box, &QCheckBox::clicked, this, [this, p] {
            OnPairBox(p);
            StateChanged();
        });
    }

    m_levelGroup = new QButtonGroup(this);
    m_levelGroup->addButton(AddRadio(IDC_LEVEL_EBU, QStringLiteral("EBU 0 dBu"), 77, 22, 44, 10),
                            0);
    m_levelGroup->addButton(
        AddRadio(IDC_LEVEL_SMPTE, QStringLiteral("SMPTE +4 dBu"), 127, 22, 59, 10), 1);
    m_userLevelRadio = AddRadio(IDC_LEVEL_USER, QStringLiteral("0 dBu     "), 188, 22, 37, 10);
    m_levelGroup->addButton(m_userLevelRadio, 2);

    m_userLevelEdit = new QLineEdit(this);
    du.Place(m_userLevelEdit, 205, 34, 25, 12);
    m_userLevelEdit->setAlignment(Qt::AlignCenter);
    m_controls.insert(IDC_USER_DBU, m_userLevelEdit);

    auto* blank = new QLabel(this); // never written; stays empty
    du.Place(blank, 192, 35, 9, 8);
    m_controls.insert(IDC_BLANK, blank);

    auto* groupLink = new ClickableLabel(this);
    du.Place(groupLink, 152, 73, 25, 18);
    groupLink->setPixmap(artwork::UserGroupPicture());
    m_controls.insert(IDC_GROUP_LINK, groupLink);
    auto* videoLink = new ClickableLabel(this);
    du.Place(videoLink, 177, 73, 25, 18);
    videoLink->setPixmap(artwork::VideoChannelPicture());
    m_controls.insert(IDC_VIDEO_LINK, videoLink);

    // Enter never presses a button: it moves the focus (keyboard rules in eventFilter).
    for (QPushButton* button :
         {m_frequencyButton, m_ndiLinkButton, m_exitButton, m_makerLinkButton}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(m_frequencyButton, m_ndiLinkButton);
    setTabOrder(m_ndiLinkButton, m_exitButton);
    setTabOrder(m_exitButton, m_makerLinkButton);
    setTabOrder(m_makerLinkButton, m_pairChecks[0]);
    for (int32_t p = 1; p < kPairCount; ++p) {
        setTabOrder(m_pairChecks[p - 1], m_pairChecks[p]);
    }
    setTabOrder(m_pairChecks[kPairCount - 1], m_userLevelEdit);

    // Each handler, then a word to the control server's clients (nothing when none listens).
    connect(m_channelGroup, &QButtonGroup::idClicked, this, [this] {
        SetChannelCount();
        StateChanged();
    });
    connect(m_levelGroup, &QButtonGroup::idClicked, this, [this] {
        ApplyLevelChoice();
        StateChanged();
    });
    connect(m_identGroup, &QButtonGroup::idClicked, this, [this] {
        BuildIdentSequence();
        StateChanged();
    });
    connect(m_exitButton, &QPushButton::clicked, this, [this] { ConfirmExit(); });
    connect(m_ndiLinkButton, &QPushButton::clicked, this,
            [this] { OpenWebPage(links::NdiSite()); });
    connect(m_makerLinkButton, &QPushButton::clicked, this,
            [this] { OpenWebPage(links::MakerSite()); });
    connect(groupLink, &ClickableLabel::clicked, this, [this] { OpenWebPage(links::UserGroup()); });
    connect(videoLink, &ClickableLabel::clicked, this,
            [this] { OpenWebPage(links::VideoChannel()); });
}

// The set-up steps of the window's controls, in their fixed order.
void CNDILirafonDlg::SetUpControls() {
    m_linkFont = m_ndiLinkButton->font();
    m_linkFont.setUnderline(true);
    m_ndiLinkButton->setFont(m_linkFont);
    m_makerLinkButton->setFont(m_linkFont);

    SetUpFrequencyMenu();

    m_pairChecks[0]->setChecked(true);
    m_channelEnabled.fill(0);
    m_channelEnabled[0] = 1;
    m_channelEnabled[1] = 1;
    m_channelChoice = 2;
    m_sequenceCycle = 96;

    for (int32_t p = 4; p < kPairCount; ++p) {
        m_pairChecks[p]->setEnabled(false);
    }
    AddWindowMenuItems();
    setWindowIcon(m_hIcon);
}

int CNDILirafonDlg::OnInitDialog() {
    m_fileVersion = FileVersionText();
    m_buildMonth = BuildMonthText();
    SetUpControls();

    m_level = kEbuLevel;
    m_sampleRate = 48000;
    m_frequency = 1000;
    m_maxChannels = 16;
    m_samplesPerFrame = 1920;
    m_running = 1;
    m_userLevelDbu = 16;

    UpdateData(false);
    BuildIdentSequence();
    SetUserLevelCaption();

    m_videoWidth = 640;
    m_videoHeight = 360;
    m_showIdentText = 1;
    m_identText = L"QEL NDI Reza Radidired";

    qApp->installEventFilter(this);

    if (!NDIlib_initialize()) {
        const bool supported = NDIlib_is_supported_CPU();
        MessageBox(supported ? QStringLiteral("Cannot run NDI for some reason.")
                             : QStringLiteral("Cannot run NDI. Unsupported CPU"));
        return 0;
    }
    m_ndiInitialised = true;
    std::fprintf(stderr, "ndi-lirafon: NDI runtime: %s\n", NDIlib_version());
    m_instances = std::make_unique<InstanceLink>(*this);
    m_instances->Start();
    return 1;
}

void CNDILirafonDlg::SetUserLevelCaption() {
    m_userLevelRadio->setText(QString::asprintf("%+d dBu", m_userLevelDbu));
}

QMessageBox::StandardButton CNDILirafonDlg::MessageBox(const QString& text, const QString& caption,
                                                       QMessageBox::StandardButtons buttons) {
    if (m_headless) {
        // Nobody can answer a box without a display: say it on stderr and take the first button.
        std::fprintf(stderr, "ndi-lirafon: %s\n", qUtf8Printable(text));
        return (buttons & QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::Cancel;
    }
    QMessageBox box(QMessageBox::NoIcon,
                    caption.isEmpty() ? QApplication::applicationDisplayName() : caption, text,
                    buttons, this);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void CNDILirafonDlg::ShutDown() {
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    m_running = 0;
    // The node goes first (and the server with it): nothing may re-target a source that is being
    // stopped.
    m_services.reset();
    if (m_sendThread.joinable()) {
        m_sendThread.join();
    }
    if (m_senderStarted != 0) {
        StopSender();
        m_senderStarted = 0;
    }
    m_instances.reset();
    // The runtime is released on every exit, also when it failed to initialise.
    NDIlib_destroy();
    m_ndiInitialised = false;
}

void CNDILirafonDlg::ConfirmExit() {
    if (MessageBox(QStringLiteral("OK to exit?"), QStringLiteral("Quit NDI Lirafon"),
                   QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok) {
        return;
    }
    ShutDown();
    done(QDialog::Rejected);
}

void CNDILirafonDlg::ExitWithoutConfirmation() {
    // A popup still open (the frequency menu runs its own loop) and a box still open (the exit
    // confirmation, say) are closed first; the box's caller then sees Cancel.
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
        if (QApplication::activePopupWidget() == popup) {
            break;
        }
    }
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (modal == this) {
            break;
        }
        modal->close();
        if (QApplication::activeModalWidget() == modal) {
            break;
        }
    }
    ShutDown();
    done(QDialog::Rejected);
}

void CNDILirafonDlg::CloseAsNinthCopy() {
    std::fprintf(stderr, "ndi-lirafon: eight copies are already running on this computer; "
                         "this one closes\n");
    ShutDown();
    done(QDialog::Accepted);
}

void CNDILirafonDlg::ReportStart(bool started) {
    if (!started) {
        std::fprintf(stderr, "ndi-lirafon: the source could not be started\n");
        return;
    }
    std::fprintf(stderr, "ndi-lirafon: publishing \"QEL Audio Tone %d\"\n", m_instanceIndex + 1);
    BuiltinSenderInfo info;
    if (ActiveNdiRuntime() == NdiRuntimeKind::vendor) {
        std::fprintf(stderr, "ndi-lirafon: through the vendor's NDI runtime %s (%s)\n",
                     VendorRuntimePath().c_str(), NDIlib_version());
        // The vendor runtime announces the source by mDNS only through avahi-daemon; without it
        // the source is still published, and receivers that are told where to look find it.
        std::string why;
        if (!AvahiDaemonReachable(&why)) {
            std::fprintf(stderr,
                         "ndi-lirafon: avahi-daemon cannot be reached (%s), so receivers will not "
                         "find this source by mDNS: start avahi-daemon (systemctl start "
                         "avahi-daemon), or add this computer's address or an NDI discovery "
                         "server to the receivers' NDI configuration\n",
                         why.c_str());
        }
    } else if (GetBuiltinSenderInfo(m_sender, &info)) {
        const std::string second =
            info.secondAudioPort != 0
                ? " (channels 9 to 16: port " + std::to_string(info.secondAudioPort) + ")"
                : std::string();
        std::fprintf(stderr,
                     "ndi-lirafon: through the built-in RTP runtime to %s: audio port %d%s, "
                     "video port %d; SAP to %s\n",
                     info.destination.c_str(), info.audioPort, second.c_str(), info.videoPort,
                     info.sapDestination.c_str());
        if (info.secondLeg) {
            const BuiltinLegInfo& leg = *info.secondLeg;
            std::fprintf(stderr,
                         "ndi-lirafon: every packet also on a second leg (ST 2022-7) to %s%s%s: "
                         "audio port %d, video port %d, from %s\n",
                         leg.destination.c_str(), leg.interfaceName.empty() ? "" : " on ",
                         leg.interfaceName.c_str(), leg.audioPort, leg.videoPort,
                         leg.sourceAddress.c_str());
        }
        if (!info.sdpPath.empty()) {
            std::fprintf(stderr,
                         "ndi-lirafon: session description %s; monitor with: ffplay "
                         "-protocol_whitelist file,udp,rtp -i '%s'\n",
                         info.sdpPath.c_str(), info.sdpPath.c_str());
            for (size_t i = 1; i < info.sdpFiles.size(); ++i) {
                std::fprintf(stderr, "ndi-lirafon: session description %s\n",
                             info.sdpFiles[i].c_str());
            }
        }
    }
}
