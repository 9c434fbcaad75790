// One source published by the built-in runtime: its audio stream, video stream and session
// announcer, on the ports of its copy number. Created by NDIlib_send_create, ended by
// NDIlib_send_destroy.
//
// Threads: SendAudio and SendVideo may run on two threads at once; AddMetadata on either.
#pragma once

#include "audio_stream.h"
#include "ptp_clock.h"
#include "runtime_config.h"
#include "session_announcer.h"
#include "video_stream.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct BuiltinSenderInfo {
    std::string sourceName;
    std::string destination; // numeric host
    int audioPort = 0;
    int secondAudioPort = 0; // 0 unless the channels are split into two streams
    int videoPort = 0;
    std::string sdpPath;               // combined; "" when the folder could not be used
    std::vector<std::string> sdpFiles; // every session's file, the combined one first
    std::string sapDestination;        // host:port
};

struct BuiltinSenderStats {
    AudioStreamStats audio;
    VideoStreamStats video;
};

class CBuiltinSender {
public:
    // Opens the sockets and starts the threads; nullptr with the reason in *error on failure.
    // ptp: the runtime's PTP clock, or null when PTP is off.
    static std::unique_ptr<CBuiltinSender> Create(const CRuntimeConfig& config,
                                                  const std::string& sourceName,
                                                  std::shared_ptr<CPtpClock> ptp,
                                                  std::string* error);
    ~CBuiltinSender();
    CBuiltinSender(const CBuiltinSender&) = delete;
    CBuiltinSender& operator=(const CBuiltinSender&) = delete;

    void SendAudio(const NDIlib_audio_frame_v2_t& frame) { m_audio->Send(frame); }
    void SendVideo(const NDIlib_video_frame_v2_t& frame) { m_video->Send(frame); }
    void AddMetadata(const NDIlib_metadata_frame_t& metadata);

    const BuiltinSenderInfo& Info() const { return m_info; }
    BuiltinSenderStats Stats() const { return {m_audio->Stats(), m_video->Stats()}; }

private:
    CBuiltinSender() = default;

    BuiltinSenderInfo m_info;
    std::shared_ptr<CPtpClock> m_ptp;
    int m_ptpListener = 0;
    std::unique_ptr<CSessionAnnouncer> m_announcer;
    std::unique_ptr<CAudioStream> m_audio;
    std::unique_ptr<CVideoStream> m_video;
    std::mutex m_metadataLock; // guards m_metadata
    std::string m_metadata;
};
