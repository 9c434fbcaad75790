// The generator with its NDI sender: setup and teardown of the sender, the frames and the
// picture, the send loop thread, and the picture sent at once from the user-interface thread.
//
// Threads: StartSender, StopSender, StopSendLoop and SendPictureNow run on the user-interface
// thread. SendLoop is the send thread's body; it reads the frames, the picture and the ident slots
// only under m_bankLock, copying them into its own buffers, and calls the runtime outside the lock.
//
// The window derives from this class and overrides the drawing hooks (DrawTestCard, DrawLogo,
// RenderCaption) with the ident card's functions. Its exit path calls StopSendLoop, then
// StopSender; both are idempotent, and the destructor does the same for any other way out.
#pragma once

#include "lirafon_engine.h"

#include <cstddef>
#include <cstdint>

class CLirafonSender : public CLirafonEngine {
public:
    static constexpr int32_t kPictureCadenceTicks = 13;
    static constexpr int32_t kBytesPerPixel = 4;
    // NDI timecodes count 100 ns.
    static constexpr int64_t kTimecodeUnitsPerSecond = 10'000'000;

    CLirafonSender() = default;
    ~CLirafonSender() override;

    // Creates the sender, the picture and the frames and starts the send thread: 1 on success,
    // 0 on failure, in which case nothing the call acquired is left behind (m_sender is null).
    int StartSender();
    // Stops the send thread if it still runs, then releases the frames, the pixel block and the
    // sender. Safe to call at any time and more than once.
    void StopSender();
    // Clears m_running and waits for the send thread to end. Safe without a thread.
    void StopSendLoop();
    // The send thread's body; returns 0 when it ends.
    static int SendLoop(CLirafonSender* record);

    // Sends the picture as it stands now, from the calling thread; nothing without a sender.
    void SendPictureNow() override;

    // The send thread asks for real-time priority (best effort). Tests that spin the loop on a
    // non-blocking runtime turn this off so that a real-time busy loop cannot starve the machine.
    bool m_raisePriority = true;

protected:
    // Heap blocks the sender owns are requested here, zero-filled; nullptr when memory is short.
    // A derived class may refuse a block to exercise the failure paths.
    virtual void* AllocateBlock(size_t bytes);
    size_t PictureBytes() const;
    size_t FrameSampleBytes() const;

private:
    bool CreatePicture();
    bool CreateAudioFrames();
    void DrawFirstPicture();
    void BuildTablesUnlessChosen();
    bool StartSendThread();
    void ReleaseSender();
    void ReleaseBlocks();
    void SendPictureCopy(NDIlib_video_frame_v2_t& copy);
    // Send thread only: copies the frame the tick plays, and the picture, into its own buffers.
    // True when the tick's first sample is where the ident's audio marker starts.
    bool CopyFrameForTick(int32_t n, int32_t mode);
    void CopyPicture(NDIlib_video_frame_v2_t& copy);

    // Send thread only, allocated by StartSender: what the loop hands to the runtime.
    NDIlib_audio_frame_v2_t m_loopAudio{};
    NDIlib_video_frame_v2_t m_loopVideo{};
    NDIlib_video_frame_v2_t m_loopFlash{}; // black: the A/V sync mode's marker picture
    // User-interface thread only: the copy SendPictureNow hands to the runtime.
    NDIlib_video_frame_v2_t m_uiVideo{};
};
