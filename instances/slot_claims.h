// This copy's claim on its number: an exclusive flock on slot-<number>.lock in the meeting folder,
// held from the choice until the process ends. The system releases it when the process exits or
// is killed, so a number is never lost to a copy that died, and two copies deciding in the same
// 100 ms window can never both hold one number.
//
// The lock file is opened close-on-exec: a program this copy starts (a web browser) must not
// inherit the descriptor and keep the number after the copy has ended.
//
// Thread: one thread only (the user-interface thread of the copy).
#pragma once

#include <cstdint>

class CInstanceFolder;

class CSlotClaims {
public:
    static constexpr int32_t kClaimableSlots = 8;

    CSlotClaims() = default;
    ~CSlotClaims();
    CSlotClaims(const CSlotClaims&) = delete;
    CSlotClaims& operator=(const CSlotClaims&) = delete;

    // Takes slot (0 to 7) when no other copy holds it. One claim per copy: false once a slot is
    // held, or when the folder is not open.
    bool TryClaim(const CInstanceFolder& folder, int32_t slot);
    // -1 while nothing is claimed.
    int32_t HeldSlot() const { return m_heldSlot; }
    void Release();

private:
    int m_lockFd = -1;
    int32_t m_heldSlot = -1;
};
