// One source's RTP L24 audio: the audio call converts each frame into ready packets, blocks until
// the frame is due and returns; the stream's own thread sends each packet at its own time.
//
// Clock: free-running, frame n is due at the stream's anchor plus n frame durations on
// CLOCK_MONOTONIC and the timestamps count on from a random value. With a PTP clock (ST 2059-1,
// AES67), a sample's timestamp is the media clock at its time counted from the PTP epoch, modulo
// 2^32, and a packet is due at its first sample's time plus its packet time. A jump of the PTP
// clock re-anchors the stream; a jump back starts a new stream (a new SSRC), so timestamps never
// run backwards within one.
//
// Split: with streamChannels below the frame's channel count, the channels go as two streams
// (channels 1 to streamChannels, then the rest) on two sockets, with the same timestamps, each
// packet of the one leaving with the same packet of the other.
//
// Threads: Send may be called from any thread (calls are serialised); the pacing thread is the
// only one that touches the sockets. A frame's samples are copied (converted) before Send returns.
#pragma once

#include "frame_pacer.h"
#include "ndi_sdk.h"
#include "ptp_clock.h"
#include "rtp_packets.h"
#include "udp_socket.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct AudioStreamStats {
    uint64_t framesSent = 0;
    uint64_t framesRefused = 0;  // wrong rate, channel count or samples
    uint64_t clampedSamples = 0; // beyond full scale at the chosen reference
    uint64_t packetsUnsent = 0;  // the socket refused them
    uint64_t reanchors = 0;      // the caller fell more than a frame behind, or PTP time jumped
    uint64_t newStreams = 0;     // PTP time went back: the streams took new SSRCs
};

// Where one frame's first sample stands: its CLOCK_MONOTONIC time, its RTP timestamp and the
// caller's timecode, which ties pictures of the same instant to it.
struct AudioClockPoint {
    bool valid = false;
    int64_t monotonicNs = 0;
    uint32_t timestamp = 0;
    int64_t timecode = 0;
};

// What a sender report of one stream says, at a moment the caller chose.
struct StreamReport {
    uint32_t ssrc = 0;
    uint32_t timestamp = 0; // the stream's RTP time at that moment
    uint64_t packets = 0;
    uint64_t payloadOctets = 0;
};

class CAudioStream {
public:
    static constexpr int kMaxChannels = 16;
    static constexpr int kMaxSamplesPerFrame = 48000; // one second
    using FormatListener = std::function<void(int channelCount)>;

    static constexpr int kMaxStreams = 2;

    // ssrc and firstSequence seed every stream's own values. clock may be null (free-running).
    CAudioStream(double referenceGain, uint32_t ssrc, uint16_t firstSequence,
                 uint32_t firstTimestamp, FormatListener onFormat, const CPtpClock* clock = nullptr,
                 int streamChannels = kMaxChannels);
    ~CAudioStream() { Stop(); }
    CAudioStream(const CAudioStream&) = delete;
    CAudioStream& operator=(const CAudioStream&) = delete;

    // secondDestination: the second stream's, when the channels are split. fromDestinationPort:
    // each stream's packets leave from its destination's port number.
    bool Start(const CSocketAddress& destination, std::optional<int> ttl, unsigned interfaceIndex,
               std::string* error,
               const std::optional<CSocketAddress>& secondDestination = std::nullopt,
               bool fromDestinationPort = false);
    // Converts the frame, waits until it is due, returns. Refused frames send nothing but are
    // still paced, so the caller keeps its cadence.
    void Send(const NDIlib_audio_frame_v2_t& frame);
    // Idempotent: ends the pacing thread; packets not yet due are dropped.
    void Stop();

    AudioStreamStats Stats() const;
    AudioClockPoint LastFrame() const;
    // Stream s's packets go to destination from the next one on (nothing leaves it while
    // disabled; its timestamps and sequence numbers run on). False when s is not open or the
    // family differs.
    bool Retarget(int s, const CSocketAddress& destination, bool enabled, int leg = 0);
    // Stream s's packets also go to a second leg (ST 2022-7), each right after its first-leg
    // copy; called after Start, before the first frame.
    bool AddLeg(int s, const CSocketAddress& destination, unsigned interfaceIndex,
                std::string* error);
    // Copies of stream s's packets the system refused on one leg.
    uint64_t Refused(int s, int leg) const {
        return s >= 0 && s < kMaxStreams ? m_streams[static_cast<size_t>(s)].socket.Refused(leg)
                                         : 0;
    }
    int LocalPort(int s) const {
        return s >= 0 && s < kMaxStreams && m_streams[static_cast<size_t>(s)].socket.IsOpen()
                   ? m_streams[static_cast<size_t>(s)].socket.LocalPort()
                   : 0;
    }
    // Stream s (0, or 1 when split) at atNs on CLOCK_MONOTONIC; false before its first frame or
    // when the stream is not open.
    bool Report(int s, int64_t atNs, StreamReport* report) const;

private:
    struct Slot {
        std::vector<uint8_t> bytes;
        std::array<std::vector<const uint8_t*>, kMaxStreams> packets;
        std::array<std::vector<size_t>, kMaxStreams> sizes;
        int streams = 1;
        int64_t dueNs = 0; // of the first packet
        int64_t packetNs = 0;
    };
    struct Stream {
        CUdpSocket socket;
        uint32_t ssrc = 0;
        uint16_t nextSequence = 0; // guarded by m_callLock
        std::atomic<uint64_t> packets{0};
        std::atomic<uint64_t> payloadOctets{0};
    };
    static constexpr int kSlotCount = 3;

    bool Accepts(const NDIlib_audio_frame_v2_t& frame) const;
    void Fill(Slot& slot, const NDIlib_audio_frame_v2_t& frame, int64_t dueNs);
    // The CLOCK_MONOTONIC time the frame's first sample is due, by PTP time; sets the timestamp
    // of its first sample.
    int64_t TakePtp(int64_t nowNs, int64_t offsetNs, int64_t sampleCount);
    void Run();

    const double m_referenceGain;
    const int m_streamChannels;
    const CPtpClock* const m_clock;
    FormatListener m_onFormat;
    std::array<Stream, kMaxStreams> m_streams;
    std::thread m_thread;

    std::mutex m_callLock; // serialises Send; guards the fields below
    CFramePacer m_pacer;
    uint32_t m_nextTimestamp;
    int m_channelCount = 0;
    bool m_ptpAnchored = false;
    bool m_sentFreeRunning = false; // a frame left on the free-running clock
    int64_t m_ptpSample = 0;        // the next frame's first sample, counted from the PTP epoch
    std::mt19937 m_random;          // new SSRCs

    std::mutex m_ringLock; // guards the ring indices and m_stop
    std::condition_variable m_ringChanged;
    std::array<Slot, kSlotCount> m_slots;
    int m_first = 0;
    int m_queued = 0;
    bool m_stop = false;

    mutable std::mutex m_pointLock; // guards the two below; never held across a wait
    AudioClockPoint m_lastFrame;
    std::array<uint32_t, kMaxStreams> m_reportedSsrc{};

    std::atomic<uint64_t> m_framesSent{0};
    std::atomic<uint64_t> m_framesRefused{0};
    std::atomic<uint64_t> m_clampedSamples{0};
    std::atomic<uint64_t> m_packetsUnsent{0};
    std::atomic<uint64_t> m_reanchors{0};
    std::atomic<uint64_t> m_newStreams{0};
};
