// Claiming a copy's number with a per-slot lock file.
#include "slot_claims.h"

#include "instance_folder.h"

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

CSlotClaims::~CSlotClaims() {
    Release();
}

bool CSlotClaims::TryClaim(const CInstanceFolder& folder, int32_t slot) {
    if (m_lockFd >= 0 || !folder.IsOpen() || slot < 0 || slot >= kClaimableSlots) {
        return false;
    }
    // Named by the copy's number (slot + 1). The files stay in the folder: removing a lock file
    // another copy may be about to lock would let two copies lock two different files of one name.
    const std::string name = "slot-" + std::to_string(slot + 1) + ".lock";
    const int fd =
        ::openat(folder.DirFd(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_lockFd = fd;
    m_heldSlot = slot;
    return true;
}

void CSlotClaims::Release() {
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
    }
    m_lockFd = -1;
    m_heldSlot = -1;
}
