// Connects the window to the numbering of concurrent copies: the copies' messages arrive through
// a socket notifier and the 100 ms decision comes from a one-shot timer, both on the
// user-interface thread, so numbering adds no thread.
#pragma once

#include "instance_numbering.h"

#include <QObject>
#include <QPointer>

#include <memory>

class CNDILirafonDlg;
class QSocketNotifier;
class QTimer;

class InstanceLink : public QObject, public CInstanceHost {
    Q_OBJECT

public:
    explicit InstanceLink(CNDILirafonDlg& window);
    ~InstanceLink() override;

    // Opens the meeting folder (alone and unnumbered-by-others when it cannot) and starts
    // numbering: query posted, timer started.
    void Start();

    CInstanceNumbering& Numbering() { return m_numbering; }

    // CInstanceHost
    void StartSlotTimer(int32_t timerId, int32_t periodMs) override;
    void StopSlotTimer(int32_t timerId) override;
    void ShowNumberedTitle(const std::wstring& title) override;
    void CloseWindowAtOnce() override;
    int32_t StartNumberedSender() override;

private:
    CNDILirafonDlg& m_window;
    CInstanceNumbering m_numbering;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_timer = nullptr;
    int32_t m_timerId = 0;
};
