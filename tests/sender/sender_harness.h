// What the sender tests share: a sender that draws with the ident card library (as the window
// does) and can be told to refuse one allocation, a fixture on the recording NDI runtime, and
// helpers that read back which frame and which picture each tick sent.
#pragma once

#include "ident_card.h"
#include "lirafon_sender.h"
#include "recording_runtime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TestSender : public CLirafonSender {
public:
    TestSender() { m_raisePriority = false; } // the recording runtime does not block by default

    void* AllocateBlock(size_t bytes) override {
        if (m_allocations++ == m_refuseAllocation) {
            return nullptr;
        }
        return CLirafonSender::AllocateBlock(bytes);
    }

    // Which allocation to refuse, counting from 0; -1 refuses none.
    int m_refuseAllocation = -1;
    int m_allocations = 0;
    // Every caption drawn, as "text@bottom" or "text@centre" ("<none>" for no text).
    std::vector<std::wstring> m_captions;

protected:
    void DrawTestCard(uint8_t* pixels) override { card::DrawTestCard(*this, pixels); }
    void DrawLogo() override {
        m_captions.push_back(L"<logo>");
        card::DrawLogo(*this);
    }
    void RenderCaption(const wchar_t* text, int32_t atBottom) override {
        m_captions.push_back(std::wstring(text != nullptr ? text : L"<none>") +
                             (atBottom != 0 ? L"@bottom" : L"@centre"));
        card::RenderCaption(*this, text, atBottom, nullptr);
    }
};

// The recording runtime loaded in place of the vendor's, initialised for each test.
class SenderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(NDIlib_initialize()); }
    void TearDown() override { NDIlib_destroy(); }

    // Starts the sender and lets the loop run `ticks` ticks (the observer ends it from inside the
    // last tick's audio call); perTick, when given, runs in every tick's audio call on the send
    // thread. Returns StartSender's result after the loop has ended.
    int RunTicks(TestSender& sender, uint64_t ticks,
                 const std::function<void(const NDIlib_audio_frame_v2_t&, uint64_t)>& perTick = {});

    RecordingRuntime m_ndi;
};

// The index of the first bank frame whose sent planes equal frame's, sample for sample; -1 when
// none does. Reads the bank without its lock: only while nothing rewrites it.
int32_t MatchBankFrame(const CLirafonEngine& record, const NDIlib_audio_frame_v2_t& frame);

// The picture the card library draws on its own: test card and logo, then `extra`.
std::vector<uint8_t> ReferencePicture(const std::function<void(CLirafonEngine&)>& extra = {});

// The pixels of one 450 x 50 block of a picture, centred or at the bottom.
std::vector<uint8_t> Block(const std::vector<uint8_t>& picture, bool atBottom);
