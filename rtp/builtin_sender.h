// One source published by the built-in runtime: its audio stream, video stream and session
// announcer, on the ports of its copy number. Created by NDIlib_send_create, ended by
// NDIlib_send_destroy.
//
// Threads: SendAudio and SendVideo may run on two threads at once; AddMetadata on either.
#pragma once

#include "audio_stream.h"
#include "ptp_clock.h"
#include "rtcp.h"
#include "runtime_config.h"
#include "session_announcer.h"
#include "video_stream.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The streams of a source, as Retarget names them.
enum class BuiltinStream { audio = 0, secondAudio = 1, video = 2 };

// Where the second leg's copies of each stream go (ST 2022-7), by the same names.
struct BuiltinLegInfo {
    std::string destination;
    std::string secondAudioDestination;
    std::string videoDestination;
    int audioPort = 0;
    int secondAudioPort = 0;
    int videoPort = 0;
    std::array<bool, 3> enabled{true, true, true};
    std::string sourceAddress; // the local address the copies leave from
    std::string interfaceName; // "" when the system chooses
};

// Where a stream goes in either leg's fields (both legs name them alike).
template <class Leg> auto& StreamHost(Leg& leg, BuiltinStream stream) {
    return stream == BuiltinStream::audio         ? leg.destination
           : stream == BuiltinStream::secondAudio ? leg.secondAudioDestination
                                                  : leg.videoDestination;
}
template <class Leg> auto& StreamPort(Leg& leg, BuiltinStream stream) {
    return stream == BuiltinStream::audio         ? leg.audioPort
           : stream == BuiltinStream::secondAudio ? leg.secondAudioPort
                                                  : leg.videoPort;
}

struct BuiltinSenderInfo {
    std::string sourceName;
    std::string destination;            // numeric host of the (first) audio stream
    std::string secondAudioDestination; // the others' hosts: the same unless moved apart
    std::string videoDestination;
    int audioPort = 0;
    int secondAudioPort = 0; // 0 unless the channels are split into two streams
    int videoPort = 0;
    std::array<bool, 3> enabled{true, true, true}; // by BuiltinStream: packets leave
    std::array<int, 3> sourcePorts{};              // the local ports they leave from (0: unknown)
    std::string sourceAddress;                     // the local address they leave from
    std::string sdpPath;                           // combined; "" when the folder could not be used
    std::vector<std::string> sdpFiles;             // every session's file, the combined one first
    std::string sapDestination;                    // host:port
    std::string interfaceName;                     // the first leg's; "" when the system chooses
    std::optional<BuiltinLegInfo> secondLeg;       // set when every packet goes on two legs
};

struct RtcpStats {
    uint64_t reportsSent = 0;     // sender reports, one per stream per interval
    uint64_t receiverReports = 0; // read from receivers (counted, never acted on)
    uint64_t byes = 0;
    uint64_t malformed = 0; // datagrams that were not RTCP as RFC 3550 shapes it
};

struct BuiltinSenderStats {
    AudioStreamStats audio;
    VideoStreamStats video;
    RtcpStats rtcp;
    // RTP copies (audio and video) the system refused on each leg: a leg whose network is down
    // counts here while the other carries on.
    std::array<uint64_t, 2> refusedByLeg{};
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
    // A picture whose timecode is an audio frame's (the same instant) takes that frame's time.
    void SendVideo(const NDIlib_video_frame_v2_t& frame);
    void AddMetadata(const NDIlib_metadata_frame_t& metadata);

    BuiltinSenderInfo Info() const;
    BuiltinSenderStats Stats() const;
    // Moves one stream (its RTP, its RTCP to the port above, its session description and SAP
    // announcement) to destination, of the family the source was opened for, from its next
    // packet on; disabled, nothing of it leaves. Leg 1 moves the stream's copies on the second
    // leg alone. False with the reason in *error, changing nothing.
    bool Retarget(BuiltinStream stream, const CSocketAddress& destination, bool enabled,
                  std::string* error, int leg = 0);
    // The current session description of one stream ("" when the source has no such stream).
    std::string StreamSdp(BuiltinStream stream);

    // Sender reports go out this often (RFC 3550's minimum for sessions of this bandwidth, 360 s
    // over the session's kbit/s, is a few milliseconds), so a receiver that joins aligns the
    // streams within a quarter of a second: FFmpeg times what it received before by arrival.
    static constexpr int64_t kRtcpIntervalNs = 250'000'000;

private:
    CBuiltinSender() = default;
    // The RTCP thread: a sender report per stream every interval, and whatever receivers sent
    // read and counted.
    void RunRtcp();
    void SendReports();
    void ReadFeedback();

    mutable std::mutex m_infoLock; // guards m_info
    BuiltinSenderInfo m_info;
    std::shared_ptr<CPtpClock> m_ptp;
    int m_ptpListener = 0;
    std::unique_ptr<CSessionAnnouncer> m_announcer;
    std::unique_ptr<CAudioStream> m_audio;
    std::unique_ptr<CVideoStream> m_video;
    std::mutex m_metadataLock; // guards m_metadata
    std::string m_metadata;

    // RTCP: the audio stream(s)' sockets, then the video's (each to its RTP port + 1).
    static constexpr int kRtcpSockets = CAudioStream::kMaxStreams + 1;
    std::array<CUdpSocket, kRtcpSockets> m_rtcpSockets;
    std::string m_cname;
    std::thread m_rtcpThread;
    std::mutex m_rtcpLock; // guards m_rtcpStop
    std::condition_variable m_rtcpWake;
    bool m_rtcpStop = false;
    std::optional<int64_t> m_wallclockOffsetNs; // RTCP thread only: real time minus monotonic
    std::atomic<uint64_t> m_rtcpSent{0};
    std::atomic<uint64_t> m_rtcpReceiverReports{0};
    std::atomic<uint64_t> m_rtcpByes{0};
    std::atomic<uint64_t> m_rtcpMalformed{0};
};
