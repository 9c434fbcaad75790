// The numbering of concurrent copies: the query at start, the replies, and the decision when the
// one-shot timer fires. Everything runs on the window's user-interface thread.
#include "instance_numbering.h"

#include "lirafon_engine.h"

#include <unistd.h>

CInstanceNumbering::CInstanceNumbering(CLirafonEngine& record, CInstanceHost& host)
    : m_record(record), m_host(host) {}

bool CInstanceNumbering::Open(std::string* error, const std::string& folderPath) {
    if (!m_folder.IsOpen() && !m_folder.Open(folderPath, error)) {
        return false;
    }
    return m_bus.IsOpen() || m_bus.Open(m_folder, error);
}

int32_t CInstanceNumbering::ReadPendingMessages() {
    return m_bus.ReadPending(
        [this](const InstanceMessage& message) { OnInstanceMessage(message.kind, message.value); });
}

int32_t CInstanceNumbering::OnInstanceMessage(int32_t kind, int64_t value) {
    if (kind == kQueryKind) {
        // A copy ignores its own query, and answers every other one, numbered or still waiting.
        if (value != static_cast<int64_t>(m_record.m_processId)) {
            m_bus.PostToAll({kReplyKind, m_record.m_instanceIndex});
        }
    } else if (kind == kReplyKind) {
        if (value >= 0 && value < CLirafonEngine::kInstanceSlots) {
            m_record.m_slotTaken[static_cast<size_t>(value)] = 1;
        }
    }
    return 0;
}

void CInstanceNumbering::StartNumbering() {
    m_record.m_instanceIndex = 0;
    m_record.m_slotTaken.fill(0);
    m_record.m_processId = static_cast<uint32_t>(::getpid());
    m_bus.PostToAll({kQueryKind, static_cast<int64_t>(m_record.m_processId)});
    m_record.m_awaitingSlot = 1;
    m_host.StartSlotTimer(kTimerId, kDecisionWindowMs);
    m_record.m_senderStarted = 0;
}

void CInstanceNumbering::ChooseInstanceSlot(int32_t timerId) {
    if (timerId != kTimerId) {
        return;
    }
    if (m_record.m_awaitingSlot == 0) {
        m_host.StopSlotTimer(kTimerId);
        return;
    }
    // Replies already queued belong to the decision window, even if the event loop has not yet
    // dispatched them.
    ReadPendingMessages();
    m_record.m_instanceIndex = 0;
    m_record.m_awaitingSlot = 0;
    const int32_t slot = m_folder.IsOpen() ? ClaimLowestFreeSlot() : ChooseFromReplies();
    if (slot >= kNumberedSlots) {
        m_host.CloseWindowAtOnce();
        m_host.StopSlotTimer(kTimerId);
        return;
    }
    m_record.m_instanceIndex = slot;
    m_host.ShowNumberedTitle(TitleForNumber(slot + 1));
    m_record.m_identText = IdentTextForNumber(slot + 1);
    m_record.m_senderStarted = m_host.StartNumberedSender();
    m_host.StopSlotTimer(kTimerId);
}

int32_t CInstanceNumbering::ChooseFromReplies() const {
    int32_t slot = 0;
    while (slot < kLastScannedSlot && m_record.m_slotTaken[static_cast<size_t>(slot)] != 0) {
        ++slot;
    }
    return slot;
}

int32_t CInstanceNumbering::ClaimLowestFreeSlot() {
    if (m_claims.HeldSlot() >= 0) {
        return m_claims.HeldSlot();
    }
    for (int32_t slot = 0; slot < kNumberedSlots; ++slot) {
        if (m_claims.TryClaim(m_folder, slot)) {
            return slot;
        }
    }
    return kNumberedSlots;
}

std::wstring CInstanceNumbering::TitleForNumber(int32_t number) {
    return L"QEL NDI\u00AE Lirafon No " + std::to_wstring(number);
}

std::wstring CInstanceNumbering::IdentTextForNumber(int32_t number) {
    return L"QEL NDI\u00AE Reza Radidired No" + std::to_wstring(number);
}
