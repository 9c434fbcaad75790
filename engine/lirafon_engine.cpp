// Construction of the state record and the few helpers shared by the engine's operations.
#include "lirafon_engine.h"

#include <cstdio>

CLirafonEngine::CLirafonEngine() {
    // The ident slots are valid from the start, so a send loop started before the window has
    // built them plays the EBU ident rather than undefined slots.
    for (int32_t slot = 0; slot < 7; ++slot) {
        m_identSequence[slot] = 1;
    }
}

CLirafonEngine::~CLirafonEngine() = default;

void CLirafonEngine::ShowMessage(const std::wstring& text) {
    std::fprintf(stderr, "%ls\n", text.c_str());
}

bool CLirafonEngine::FramesExist() const {
    for (const auto* frame : m_audioFrames) {
        if (frame == nullptr || frame->p_data == nullptr) {
            return false;
        }
    }
    return true;
}
