#include "instance_link.h"

#include "lirafon_dlg.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>

InstanceLink::InstanceLink(CNDILirafonDlg& window) : m_window(window), m_numbering(window, *this) {
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { m_numbering.ChooseInstanceSlot(m_timerId); });
}

InstanceLink::~InstanceLink() = default;

void InstanceLink::Start() {
    std::string error;
    if (!m_numbering.Open(&error)) {
        std::fprintf(stderr, "ndi-lirafon: %s; numbering this copy without the others\n",
                     error.c_str());
    }
    if (m_numbering.SocketFd() >= 0) {
        m_notifier = new QSocketNotifier(m_numbering.SocketFd(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this,
                [this] { m_numbering.ReadPendingMessages(); });
    }
    m_numbering.StartNumbering();
}

void InstanceLink::StartSlotTimer(int32_t timerId, int32_t periodMs) {
    m_timerId = timerId;
    m_timer->start(periodMs);
}

void InstanceLink::StopSlotTimer(int32_t /*timerId*/) {
    m_timer->stop();
}

void InstanceLink::ShowNumberedTitle(const std::wstring& title) {
    m_window.setWindowTitle(QString::fromStdWString(title));
}

// Deferred to the event loop: the ninth copy may decide before the window's modal run has begun.
void InstanceLink::CloseWindowAtOnce() {
    QPointer<CNDILirafonDlg> window(&m_window);
    QTimer::singleShot(0, &m_window, [window] {
        if (window) {
            window->CloseAsNinthCopy();
        }
    });
}

int32_t InstanceLink::StartNumberedSender() {
    m_window.BeforeNumberedStart();
    const int32_t started = m_window.StartSender();
    m_window.ReportStart(started != 0);
    m_window.m_senderStarted = started;
    m_window.AfterNumberedStart();
    return started;
}
