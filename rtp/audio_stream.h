// One source's RTP L24 audio: the audio call converts each frame into ready packets, blocks until
// the frame is due and returns; the stream's own thread sends the packets at their times
// (packet i of a frame at the frame's due time plus i packet times), waking at most once a
// millisecond and sending what is due in that millisecond with one sendmmsg.
//
// Threads: Send may be called from any thread (calls are serialised); the pacing thread is the
// only one that touches the socket. A frame's samples are copied (converted) before Send returns.
#pragma once

#include "frame_pacer.h"
#include "ndi_sdk.h"
#include "rtp_packets.h"
#include "udp_socket.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AudioStreamStats {
    uint64_t framesSent = 0;
    uint64_t framesRefused = 0;  // wrong rate, channel count or samples
    uint64_t clampedSamples = 0; // beyond full scale at the chosen reference
    uint64_t packetsUnsent = 0;  // the socket refused them
    uint64_t reanchors = 0;      // the caller fell more than a frame behind
};

class CAudioStream {
public:
    static constexpr int kMaxChannels = 16;
    static constexpr int kMaxSamplesPerFrame = 48000; // one second
    using FormatListener = std::function<void(int channelCount)>;

    CAudioStream(double referenceGain, uint32_t ssrc, uint16_t firstSequence,
                 uint32_t firstTimestamp, FormatListener onFormat);
    ~CAudioStream() { Stop(); }
    CAudioStream(const CAudioStream&) = delete;
    CAudioStream& operator=(const CAudioStream&) = delete;

    bool Start(const CSocketAddress& destination, std::optional<int> ttl, unsigned interfaceIndex,
               std::string* error);
    // Converts the frame, waits until it is due, returns. Refused frames send nothing but are
    // still paced, so the caller keeps its cadence.
    void Send(const NDIlib_audio_frame_v2_t& frame);
    // Idempotent: ends the pacing thread; packets not yet due are dropped.
    void Stop();

    AudioStreamStats Stats() const;

private:
    struct Slot {
        std::vector<uint8_t> bytes;
        std::vector<const uint8_t*> packets;
        std::vector<size_t> sizes;
        int64_t dueNs = 0;
        int64_t packetNs = 0;
    };
    static constexpr int kSlotCount = 3;

    bool Accepts(const NDIlib_audio_frame_v2_t& frame) const;
    void Fill(Slot& slot, const NDIlib_audio_frame_v2_t& frame, int64_t dueNs);
    void Run();

    const double m_referenceGain;
    const uint32_t m_ssrc;
    FormatListener m_onFormat;
    CUdpSocket m_socket;
    std::thread m_thread;

    std::mutex m_callLock; // serialises Send; guards the three fields below
    CFramePacer m_pacer;
    uint16_t m_nextSequence;
    uint32_t m_nextTimestamp;
    int m_channelCount = 0;

    std::mutex m_ringLock; // guards the ring indices and m_stop
    std::condition_variable m_ringChanged;
    std::array<Slot, kSlotCount> m_slots;
    int m_first = 0;
    int m_queued = 0;
    bool m_stop = false;

    std::atomic<uint64_t> m_framesSent{0};
    std::atomic<uint64_t> m_framesRefused{0};
    std::atomic<uint64_t> m_clampedSamples{0};
    std::atomic<uint64_t> m_packetsUnsent{0};
    std::atomic<uint64_t> m_reanchors{0};
};
