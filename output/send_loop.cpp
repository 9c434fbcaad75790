// The send thread: one prebuilt audio frame per 40 ms tick, in the order the ident sequence names,
// and the ident card picture with every 13th tick of the counter (every tick at full rate and in
// the A/V sync mode, where the tick that starts the ident's audio marker carries a black picture
// instead). The loop keeps no time of its own: the runtime's audio call returns when the frame is
// due.
//
// The user-interface thread rewrites the frames, the picture and the ident slots while the loop
// runs. The loop therefore copies what it sends into its own buffers under m_bankLock, one short
// critical section per copy, and calls the runtime only after releasing the lock; the flags it
// reads are atomics. The picture is copied after the audio call returns, right before it is sent,
// so a caption drawn while the loop waited for the audio clock is in that picture. Nothing is
// allocated, formatted or logged per tick.
#include "lirafon_sender.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// One nice step of five above the normal level when real-time scheduling is refused.
constexpr int kFallbackNice = -5;

// The lowest real-time priority puts the loop ahead of every normal thread without competing with
// the system's own real-time work. Neither request is required: the loop's timing rests on the
// audio call alone. One line on stderr when both are refused.
void RaiseSendThreadPriority() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    const int fifoError = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (fifoError == 0) {
        return;
    }
    // On Linux, setpriority with a thread id changes that thread alone.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kFallbackNice) == 0) {
        return;
    }
    const int niceError = errno;
    std::fprintf(stderr,
                 "ndi-lirafon: warning: the send thread keeps normal priority (real-time: %s; "
                 "nice %d: %s)\n",
                 std::strerror(fifoError), kFallbackNice, std::strerror(niceError));
}

} // namespace

int CLirafonSender::SendLoop(CLirafonSender* record) {
    if (record->m_raisePriority) {
        RaiseSendThreadPriority();
    }
    if (record->m_running.load() == 0) {
        return 0;
    }
    // The mode read after a tick's sends decides both that tick's wrap and the next frame choice.
    int32_t mode = record->m_sequenceMode.load();
    int32_t n = 0;
    // A tick's audio and the picture sent with it carry one time, as timecode and as timestamp:
    // the loop's start on the system clock plus the samples sent before it, so they advance by
    // exactly a frame's length. A receiver that orders by timecode, or aligns by the per-frame
    // timestamps (which the vendor's runtime otherwise stamps at each call, a blocked audio call
    // apart), keeps sound and picture together.
    const int64_t firstTimecode = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count() /
                                  (1'000'000'000 / kTimecodeUnitsPerSecond);
    int64_t samplesSent = 0;
    for (;;) {
        const bool marker = record->CopyFrameForTick(n, mode);
        const int32_t rate = std::max(record->m_loopAudio.sample_rate, 1);
        const int64_t timecode = firstTimecode + samplesSent * kTimecodeUnitsPerSecond / rate;
        record->m_loopAudio.timecode = timecode;
        record->m_loopAudio.timestamp = timecode;
        samplesSent += record->m_loopAudio.no_samples;
        NDIlib_send_send_audio_v2(record->m_sender, &record->m_loopAudio);
        const bool avSync = record->m_avSync.load() != 0;
        if (avSync && marker) {
            record->m_loopFlash.timecode = timecode;
            record->m_loopFlash.timestamp = timecode;
            NDIlib_send_send_video_v2(record->m_sender, &record->m_loopFlash);
        } else if (avSync || record->m_fullRateVideo.load() != 0 || n % kPictureCadenceTicks == 0) {
            record->CopyPicture(record->m_loopVideo);
            record->m_loopVideo.timecode = timecode;
            record->m_loopVideo.timestamp = timecode;
            NDIlib_send_send_video_v2(record->m_sender, &record->m_loopVideo);
        }
        mode = record->m_sequenceMode.load();
        n = record->NextTick(n, mode);
        if (record->m_running.load() == 0) {
            return 0;
        }
    }
}

// The record's fields and the planes it sends (no_channels of them), as the bank holds them now.
// The marker: the first tick of an ident cycle, where the stereo idents' left gap and the
// sequence's first plane begin; with a surround ident, the tick whose first sample starts its
// cycle (every cycle for BLITS, 335 ticks; every second one for the EBU surround ident, whose
// cycles are not whole ticks).
bool CLirafonSender::CopyFrameForTick(int32_t n, int32_t mode) {
    std::lock_guard<std::mutex> lock(m_bankLock);
    const NDIlib_audio_frame_v2_t& frame = *m_audioFrames[FrameIndexForTick(n, mode)];
    float* const samples = m_loopAudio.p_data;
    m_loopAudio = frame;
    m_loopAudio.p_data = samples;
    const int32_t planes = std::clamp(frame.no_channels, 0, kMaxPlanes);
    std::memcpy(samples, frame.p_data,
                static_cast<size_t>(planes) * static_cast<size_t>(frame.channel_stride_in_bytes));
    // A surround ident's group: its own cycle over the first planes (not in the sequence, which
    // sounds one plane at a time whatever the ident).
    if (mode == 0 && m_surroundPlaneCount > 0 && m_surroundPlaneCount <= planes) {
        const bool cycleStart = m_surroundPosition == 0;
        CopySurroundSliceLocked(samples,
                                frame.channel_stride_in_bytes / static_cast<int32_t>(sizeof(float)),
                                frame.no_samples);
        return cycleStart;
    }
    return n == 0;
}
