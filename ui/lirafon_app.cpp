#include "lirafon_app.h"

#include "lirafon_dlg.h"
#include "lirafon_version.h"
#include "remote_settings.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// SIGINT and SIGTERM reach the user-interface thread through a pipe, so the exit path runs there
// like any other handler.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int /*signal*/) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool InstallSignalPipe() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

} // namespace

std::string CNDILirafonApp::VersionText() {
    return std::string("ndi-lirafon ") + LIRAFON_VERSION_STRING + "\n";
}

std::string CNDILirafonApp::HelpText() {
    return R"(Usage: ndi-lirafon [OPTION]...

QEL NDI Lirafon: an audio line-up tone generator. Publishes one network source,
"QEL Audio Tone N", carrying up to 16 channels of continuous 48 kHz test tone
(EBU stereo ident, GLITS, fixed frequencies, a multi-frequency set, a
channel-by-channel sequence) at EBU, SMPTE or user line-up levels, with a
640 x 360 ident card picture. Up to eight copies may run on one computer; they
number themselves 1 to 8. Nothing is saved between runs.

Start-up settings (each also an environment variable; the option wins). They act
as the window's controls would, so window, card and stream agree from the start:
  --channels N         LIRAFON_CHANNELS         2, 4, 8 (default) or 16
  --pairs LIST         LIRAFON_PAIRS            pairs carrying tone: all, none, or
                                                e.g. 1-2,9-10 (default 1-2)
  --level L            LIRAFON_LEVEL            ebu (default), smpte, or a user
                                                level in whole dBu, -99 to +99
  --ident I            LIRAFON_IDENT            ebu ("Normal ID", default), glits, or a
                                                surround ident on channels 1-6 (8 or 16
                                                channels): blits (5.1) or ebu-surround
                                                (7.1 on 1-8 with 8 or 16 channels);
                                                with these, --pairs defaults to all
  --frequency F        LIRAFON_FREQUENCY        1000 (default), 400, 200, 100,
                                                multi, or sequence ("Sequence 1")
  --ident-text T       LIRAFON_IDENT_TEXT       bottom caption, up to 27 characters
  --no-ident-text      LIRAFON_SHOW_IDENT_TEXT=0  no bottom caption
  --full-rate-video    LIRAFON_FULL_RATE_VIDEO=1  a picture with every audio frame
  --av-sync            LIRAFON_AV_SYNC=1        A/V sync: a picture with every audio
                                                frame, a black one where each ident
                                                cycle's audio marker starts (read by
                                                lirafon-check for the A/V offset)
  --control-port P     LIRAFON_CONTROL_PORT     control server and web panel port
                                                of copy 1 (default 8780; copy N
                                                uses P + N - 1), or off
  --help, --version
A refused value is named on one line and the program ends with status 2,
publishing nothing.

Remote control: the web panel and the API (GET /api/state, PATCH /api/settings
with JSON, a WebSocket pushing the state, GET /card.png) listen on 127.0.0.1.
  LIRAFON_CONTROL_ADDRESS  listen on another address of this computer (needs a
                           token)
  LIRAFON_CONTROL_TOKEN    every request then needs "Authorization: Bearer TOKEN"
                           or a sign-in on the panel
NMOS (built-in runtime): the source is a node, its IS-04 Node API and IS-05
Connection API under /x-nmos/ on the control server.
  LIRAFON_NMOS             on (default) | off
  LIRAFON_NMOS_REGISTRY    registries to register with, in priority order:
                           http://host:port[,http://host:port...]
  LIRAFON_NMOS_ALLOWED_ORIGINS  browser origins that may change the node's state
                           (comma-separated; "null" for sandboxed pages and AMWA's
                           testing tool); default none: a page of any other origin
                           may read the APIs, only controllers that are not browsers
                           (no Origin) may change them

Runtimes: the vendor's NDI runtime (libndi.so.6 or .5) when installed (the set-up,
scripts/install-ndi-runtime.sh, puts it in /usr/local/lib), announced by mDNS
through avahi-daemon; else the built-in runtime, which publishes RTP (L24 audio,
RFC 4175 RGB video) with an SDP file and SAP announcements.

Environment:
  LIRAFON_NDI_RUNTIME      auto (default) | vendor | builtin
  NDI_RUNTIME_DIR_V6       folder holding libndi.so.6 (vendor runtime)
  NDI_RUNTIME_DIR_V5       folder holding libndi.so.5 (vendor runtime)
  NDI_CONFIG_DIR           folder of the vendor runtime's ndi-config.v1.json
                           (default ~/.ndi): discovery servers, extra IPs, groups
  LIRAFON_RTP_DESTINATION  unicast host or multicast group (default 127.0.0.1:
                           nothing leaves this computer until you set it); A,B
                           sends every packet on two legs (ST 2022-7)
  LIRAFON_RTP_PORT         first port (default 5004); copy N uses 4 x (N - 1)
                           above it: audio on the first port, video two above;
                           two legs: one port for both or pA,pB
  LIRAFON_RTP_TTL          multicast TTL
  LIRAFON_RTP_INTERFACE    interface for multicast; two legs: one or ifA,ifB
  LIRAFON_SAP_DESTINATION  where SAP announcements go (default 127.0.0.1)
  LIRAFON_RTP_REFERENCE    smpte (default: +4 dBu = -20 dBFS) | ebu (0 dBu = -18 dBFS)
  LIRAFON_RTP_STREAM_CHANNELS  16 (default) | 8: more channels go as two 8-channel
                           1 ms streams (AES67 / Dante), the second 4 ports above
  LIRAFON_PTP              auto (default: PTP time from ptp4l when /var/run/ptp4l
                           answers, else free-running) | off | ptp4l's socket path
  LIRAFON_FONT_DIR         folder holding LibreFranklin_500Medium.ttf
  QT_QPA_PLATFORM          Qt platform; offscreen runs without a display (chosen
                           by itself when neither DISPLAY nor WAYLAND_DISPLAY is set)

Monitoring the built-in source (it prints its SDP file at start):
  ffplay -protocol_whitelist file,udp,rtp -i "$XDG_RUNTIME_DIR/qel-ndi-lirafon/QEL Audio Tone 1.sdp"

SIGINT and SIGTERM stop the program cleanly, without the exit confirmation.
)";
}

void CNDILirafonApp::NameApplication() {
    QApplication::setApplicationName(QStringLiteral("NDILirafon"));
    QApplication::setApplicationDisplayName(QStringLiteral("NDILirafon"));
    QApplication::setApplicationVersion(QStringLiteral(LIRAFON_VERSION_STRING));
}

int CNDILirafonApp::Run(int argc, char** argv) {
    // Every setting is checked before anything starts: a refused value publishes nothing.
    std::string error;
    const std::optional<control::StartupOptions> options = control::ParseStartupOptions(
        std::vector<std::string>(argv + 1, argv + argc),
        [](const char* name) -> const char* { return std::getenv(name); }, &error);
    if (!options) {
        std::fprintf(stderr, "ndi-lirafon: %s\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::fputs(VersionText().c_str(), stdout);
        return 0;
    }
    if (!options->platformChosen && !options->hasDisplay) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::fprintf(stderr, "ndi-lirafon: no display found; running headless (offscreen)\n");
    }

    QApplication app(argc, argv);
    NameApplication();

    // The record lives exactly while the window runs; the loop, the sender and the runtime are
    // released before it is destroyed, however the run ends.
    auto window = std::make_unique<CNDILirafonDlg>();
    if (InstallSignalPipe()) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window.get());
        QObject::connect(notifier, &QSocketNotifier::activated, window.get(), [&window] {
            char drain[16];
            while (read(g_signalPipe[0], drain, sizeof drain) > 0) {
            }
            window->ExitWithoutConfirmation();
        });
    }
    window->m_headless = QGuiApplication::platformName() == QStringLiteral("offscreen");
    const int initialised = window->OnInitDialog();
    if (!window->ShutDownDone()) {
        window->ApplyStartupOptions(*options);
    }
    if (initialised == 0 && window->m_headless) {
        // Without a display nothing can be done in the window: end with a failure status so a
        // service manager sees it (the reason is already on stderr).
        window->ShutDown();
        window.reset();
        return 1;
    }
    // A signal that arrived during start-up (while the runtime's failure message waited, say) has
    // already taken the exit path; the window is not run again.
    if (!window->ShutDownDone()) {
        window->exec();
    }
    window->ShutDown();
    window.reset();
    return 0;
}
