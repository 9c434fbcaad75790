// Which prebuilt frame plays in each 40 ms tick: the EBU stereo ident (left silent for 7 ticks of
// every 75), GLITS (left silent once, right twice, every 100 ticks) and the one-plane-at-a-time
// sequence (12 ticks per plane).
#include "lirafon_engine.h"

void CLirafonEngine::BuildIdentSequence() {
    TakeControlValues();
    BuildSlots();
    BuildSurroundIdent();
}

void CLirafonEngine::BuildSlots() {
    std::lock_guard<std::mutex> lock(m_bankLock);
    for (int32_t slot = 7; slot < kIdentSlots; ++slot) {
        m_identSequence[slot] = 0;
    }
    for (int32_t slot = 0; slot < 7; ++slot) {
        m_identSequence[slot] = 1;
    }
    if (m_identChoice.load() == 1) {
        for (int32_t slot = 14; slot <= 20; ++slot) {
            m_identSequence[slot] = 2;
        }
        for (int32_t slot = 28; slot <= 34; ++slot) {
            m_identSequence[slot] = 2;
        }
    }
    // A surround ident: its group plays its own cycle (BuildSurroundIdent), the planes after it
    // the EBU stereo ident of the slots above, as for "Normal ID".
}

// Ticks outside the played range cannot come from NextTick; they play the full frame rather than
// read outside the slots or the bank.
int32_t CLirafonEngine::FrameIndexForTick(int32_t n, int32_t mode) const {
    if (mode != 0) {
        const int32_t index = n / kTicksPerSequenceStep;
        return (index >= 0 && index < kFrameCount) ? index : 0;
    }
    return (n >= 0 && n < kIdentSlots) ? m_identSequence[n] : 0;
}

int32_t CLirafonEngine::NextTick(int32_t n, int32_t mode) const {
    int32_t m = n + 1;
    if (mode != 0) {
        if (m >= m_sequenceCycle.load()) {
            m = 0;
        }
    } else if ((m_identChoice.load() != 1 && m > 74) || m > 99) {
        m = 0;
    }
    return m;
}
