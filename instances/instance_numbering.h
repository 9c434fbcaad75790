// Numbering of the copies running on one computer: each copy takes the lowest free number from 1
// to 8; a ninth closes itself.
//
// At start the copy posts a query (kind 2, its process id) to every copy; each copy answers with a
// reply (kind 3, its m_instanceIndex), which every copy records in m_slotTaken. A one-shot 100 ms
// timer then takes the decision, names the window and the ident caption and starts the sender.
//
// The decision is made race-free by claiming the number with a lock the system holds for the
// process (CSlotClaims): the replies alone cannot tell a copy still waiting (it answers 0) from the
// copy numbered 1, so two copies starting within 100 ms of each other would otherwise take the
// same number and publish two sources of one name. A slot counts as free when its lock can be
// taken; the lowest such slot wins, and a copy that finds all eight held closes as the ninth.
// The replies are still posted and recorded, so m_slotTaken keeps what the copies said. Without a
// usable meeting folder the copy runs alone: no replies, no locks, the choice from m_slotTaken.
//
// The window supplies the platform steps through CInstanceHost and drives this object on its
// user-interface thread: a socket notifier on SocketFd() calls ReadPendingMessages, and the
// one-shot timer calls ChooseInstanceSlot(kTimerId). No thread is added.
#pragma once

#include "instance_bus.h"
#include "instance_folder.h"
#include "slot_claims.h"

#include <cstdint>
#include <string>

class CLirafonEngine;

// The window's side of the numbering.
class CInstanceHost {
public:
    virtual ~CInstanceHost() = default;
    // A one-shot timer: after periodMs, call ChooseInstanceSlot(timerId) once.
    virtual void StartSlotTimer(int32_t timerId, int32_t periodMs) = 0;
    virtual void StopSlotTimer(int32_t timerId) = 0;
    virtual void ShowNumberedTitle(const std::wstring& title) = 0;
    // The ninth copy: close the window now, as its OK command would, with no message and no
    // exit confirmation.
    virtual void CloseWindowAtOnce() = 0;
    // Starts the sender under m_instanceIndex; the result goes to m_senderStarted.
    virtual int32_t StartNumberedSender() = 0;
};

class CInstanceNumbering {
public:
    static constexpr int32_t kQueryKind = 2;
    static constexpr int32_t kReplyKind = 3;
    static constexpr int32_t kTimerId = 1;
    static constexpr int32_t kDecisionWindowMs = 100;
    static constexpr int32_t kNumberedSlots = 8; // slot 8 and above: the ninth copy
    static constexpr int32_t kLastScannedSlot = 19;

    CInstanceNumbering(CLirafonEngine& record, CInstanceHost& host);
    CInstanceNumbering(const CInstanceNumbering&) = delete;
    CInstanceNumbering& operator=(const CInstanceNumbering&) = delete;

    // Opens the meeting folder and this copy's socket. On failure says why in *error; the copy
    // can still run, alone and uncoordinated.
    bool Open(std::string* error, const std::string& folderPath = CInstanceFolder::DefaultPath());
    // -1 when not open.
    int SocketFd() const { return m_bus.SocketFd(); }
    // Hands every pending message to OnInstanceMessage; returns the datagrams read.
    int32_t ReadPendingMessages();

    int32_t OnInstanceMessage(int32_t kind, int64_t value);
    void StartNumbering();
    void ChooseInstanceSlot(int32_t timerId);

    static std::wstring TitleForNumber(int32_t number);
    static std::wstring IdentTextForNumber(int32_t number);

    const CInstanceBus& Bus() const { return m_bus; }
    const CSlotClaims& Claims() const { return m_claims; }

private:
    int32_t ChooseFromReplies() const;
    int32_t ClaimLowestFreeSlot();

    CLirafonEngine& m_record;
    CInstanceHost& m_host;
    CInstanceFolder m_folder;
    CInstanceBus m_bus;
    CSlotClaims m_claims;
};
