// The generator's one state record and the tone engine's operations on it: tone tables, the bank
// of 16 prebuilt audio frames, the ident sequence and the line-up level.
//
// Threads: every operation here runs on the user-interface thread. The send thread reads the
// frames, the picture and the ident slots only under m_bankLock, and the flags it reads are
// atomics; every rewrite of those holds m_bankLock briefly, so the send thread never sees a
// half-written frame, and a change is heard or seen from the next frame it sends.
//
// The control panel derives from this class and supplies the platform steps through the virtual
// hooks (reading the controls, drawing on the card, sending the picture, showing a message). The
// defaults let the engine run headless: the radio choices and the user level are then the fields
// themselves, and the pair check boxes are m_pairBoxInputs.
#pragma once

#include "ndi_sdk.h"
#include "tone_channel.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CLirafonEngine {
public:
    static constexpr int32_t kMaxPlanes = 16;
    static constexpr int32_t kFrameCount = 16;
    static constexpr int32_t kPairCount = 8;
    static constexpr int32_t kIdentSlots = 128;
    static constexpr int32_t kTicksPerSequenceStep = 12;
    static constexpr int32_t kInstanceSlots = 32;
    // 0 dBu on the scale where a sample of 1.0 is +4 dBu: the float32 with bits 0x3f21866c.
    static constexpr float kEbuLevel = 0.63095737f;

    CLirafonEngine();
    virtual ~CLirafonEngine();
    CLirafonEngine(const CLirafonEngine&) = delete;
    CLirafonEngine& operator=(const CLirafonEngine&) = delete;

    // Tone tables.
    bool BuildToneTable(int32_t frequencyHz, int32_t channel);
    void SelectFrequency(int32_t hz);
    void SelectMultiFrequency();

    // Audio frame bank.
    void FillAudioFrame(NDIlib_audio_frame_v2_t* frame, int32_t variant);
    void RefillAllFrames();
    void SetChannelCount();
    void SetPairEnabled(int32_t pair, int32_t on);

    // Ident sequence. FrameIndexForTick reads the slots: the send thread calls it under m_bankLock.
    void BuildIdentSequence();
    void BuildSlots(); // the slots alone, for m_identChoice
    int32_t FrameIndexForTick(int32_t n, int32_t mode) const;
    int32_t NextTick(int32_t n, int32_t mode) const;

    // Surround idents (Tech 3304), beside the stereo ones: m_identChoice 2 is BLITS (5.1), 3 the
    // EBU multichannel ident (7.1 with 8 or more channels, else 5.1). They need 6 channels.
    static constexpr int32_t kIdentBlits = 2;
    static constexpr int32_t kIdentEbuSurround = 3;
    static constexpr int32_t kSurroundPlanes = 8;
    // The planes the ident fills at this channel count: 6, 8, or 0 when it is no surround ident
    // or does not fit.
    static int32_t SurroundPlanesFor(int32_t ident, int32_t channels);
    // "BLITS 5.1", "EBU surround ident 7.1"; nullptr when none plays.
    static const wchar_t* SurroundIdentName(int32_t ident, int32_t channels);
    void BuildSurroundIdent();
    // The channel count the channel choice stands for (0 outside the four choices), and the name
    // of the surround ident playing at it (nullptr when none does).
    int32_t ChannelCount() const;
    const wchar_t* PlayingSurroundName() const;
    // Send thread, under m_bankLock: the group's planes of the next frame.
    void CopySurroundSliceLocked(float* planes, int32_t strideFloats, int32_t sampleCount);

    // Level choice.
    void ApplyLevelChoice();
    void DrawCentre(); // the centre block of the card: a surround ident's name, or the level's
    // Turns the A/V sync mode on or off; the card's centre says when it is on.
    void SetAvSync(bool on);
    static constexpr const wchar_t* kAvSyncCaption = L"A/V sync";
    static float GainForUserLevel(int32_t levelDbu);
    static std::wstring UserLevelText(int32_t levelDbu);

    // Level line texts (the window's control 1034).
    static constexpr const wchar_t* kEbuLevelLine = L"EBU Stereo Tone where -18 dBFS = 0 dBu";
    static constexpr const wchar_t* kSmpteLevelLine = L"NAB/SMPTE Tone where -20 dBFS = +4 dBu";
    static constexpr const wchar_t* kSmpteCaption = L"NAB/SMPTE Tone  -20 dBFS = +4 dBu";

protected:
    // Platform steps supplied by the derived classes; the defaults are the headless behaviour.
    virtual void TakeControlValues() {}
    virtual int32_t ReadPairBox(int32_t pair) { return m_pairBoxInputs[pair] != 0 ? 1 : 0; }
    virtual void EnablePairBoxesFor(int32_t /*channelChoice*/) {}
    virtual void LevelLineChanged() {}
    // Card drawing (the ident card library supplies these): the bars and band into a fresh
    // pixel block, the logo into the centre, a caption block at the bottom or in the centre.
    virtual void DrawTestCard(uint8_t* /*pixels*/) {}
    virtual void DrawLogo() {}
    virtual void RenderCaption(const wchar_t* /*text*/, int32_t /*atBottom*/) {}
    virtual void SendPictureNow() {}
    virtual void ShowMessage(const std::wstring& text);

    // The frames exist only from sender start on; settings changed before are kept in the record
    // and applied by the fill at creation.
    bool FramesExist() const;
    void FillAudioFrameLocked(NDIlib_audio_frame_v2_t* frame, int32_t variant);

public:
    // --- Tone synthesis ---
    int32_t m_sampleRate = 48000;
    int32_t m_samplesPerFrame = 1920;
    int32_t m_maxChannels = 16;
    int32_t m_frequency = 1000;
    std::array<ToneChannel, kMaxPlanes> m_toneChannels{};
    float m_level = kEbuLevel;

    // --- Channel selection ---
    int32_t m_channelChoice = 2;
    std::array<int32_t, 4> m_channelCounts{2, 4, 8, 16};
    std::array<int32_t, kMaxPlanes> m_channelEnabled{1, 1};
    std::atomic<int32_t> m_sequenceMode{0};
    std::atomic<int32_t> m_sequenceCycle{96};

    // --- Ident and level ---
    std::atomic<int32_t> m_identChoice{0};
    std::array<int32_t, kIdentSlots> m_identSequence{};
    int32_t m_levelChoice = 0;
    int32_t m_userLevelDbu = 16;

    // --- Output ---
    std::atomic<int32_t> m_running{1};
    NDIlib_send_instance_t m_sender = nullptr;
    std::thread m_sendThread;
    std::array<NDIlib_audio_frame_v2_t*, kFrameCount> m_audioFrames{};
    NDIlib_video_frame_v2_t m_videoFrame{};
    int32_t m_videoWidth = 640;
    int32_t m_videoHeight = 360;
    std::atomic<int32_t> m_fullRateVideo{0};
    // A/V sync: a picture with every tick, and a black one with the tick where the ident's audio
    // marker starts (the left gap's first silent sample; the sequence's and a surround ident's
    // cycle start), so a far end reads the offset between sound and picture.
    std::atomic<int32_t> m_avSync{0};
    int32_t m_senderStarted = 0;

    // --- Caption ---
    int32_t m_showIdentText = 1;
    std::wstring m_identText = L"QEL NDI Reza Radidired";

    // --- Instance numbering ---
    int32_t m_instanceIndex = 0;
    int32_t m_awaitingSlot = 0;
    std::array<int32_t, kInstanceSlots> m_slotTaken{};
    uint32_t m_processId = 0;

    // --- Version strings ---
    std::wstring m_fileVersion;
    std::wstring m_buildMonth;

    // The level line last written by ApplyLevelChoice; the window shows it.
    std::wstring m_levelLine = kEbuLevelLine;

    // Headless stand-in for the pair check boxes (the window reads its real boxes instead).
    std::array<int32_t, kPairCount> m_pairBoxInputs{1, 0, 0, 0, 0, 0, 0, 0};

    // The surround ident's whole cycle per plane (level and pairs applied), built on the UI
    // thread; the send thread reads a slice per tick from m_surroundPosition. Under m_bankLock.
    std::array<std::vector<float>, kSurroundPlanes> m_surroundCycle;
    int32_t m_surroundPlaneCount = 0;
    int32_t m_surroundIdent = 0;
    int64_t m_surroundCycleSamples = 0;
    int64_t m_surroundPosition = 0;

    // Guards the frames' samples and no_channels, the picture's pixels and the ident slots against
    // the send thread. Held briefly; never held across a runtime call.
    mutable std::mutex m_bankLock;
};
