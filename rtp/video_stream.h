// One source's RFC 4175 raw video (RGB, 8 bits): the video call converts the picture to RGB and
// returns; the stream's own thread cuts it into packets and spreads them over most of the tick (ST
// 2110-21 wide sender, "TP=2110TPW" in the session description), since a 720-packet burst overflows
// receivers' socket buffers. A picture that arrives while the
// previous one is still leaving replaces any picture still waiting (the newest is what counts).
//
// Threads: Send may be called from several threads at once (calls are serialised); the video
// thread alone touches the socket, apart from the audio stream's own socket and thread.
#pragma once

#include "audio_stream.h"
#include "ndi_sdk.h"
#include "ptp_clock.h"
#include "udp_socket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct VideoStreamStats {
    uint64_t picturesSent = 0;
    uint64_t picturesRefused = 0;  // unsupported pixel format or size
    uint64_t picturesReplaced = 0; // overtaken by a newer picture before they left
    uint64_t packetsUnsent = 0;
};

class CVideoStream {
public:
    static constexpr int kMaxWidth = 3840;
    static constexpr int kMaxHeight = 2160;
    static constexpr int64_t kSpreadNs = 37'000'000; // most of a 40 ms tick
    using FormatListener = std::function<void(int width, int height, int rateN, int rateD)>;

    // With a clock that has PTP time, the 90 kHz timestamps are PTP time (ST 2110-10); otherwise
    // they count from startNs on from firstTimestamp.
    CVideoStream(uint32_t ssrc, uint32_t firstSequence, uint32_t firstTimestamp, int64_t startNs,
                 FormatListener onFormat, const CPtpClock* clock = nullptr);
    ~CVideoStream() { Stop(); }
    CVideoStream(const CVideoStream&) = delete;
    CVideoStream& operator=(const CVideoStream&) = delete;

    bool Start(const CSocketAddress& destination, std::optional<int> ttl, unsigned interfaceIndex,
               std::string* error, bool fromDestinationPort = false);
    // atNs: the CLOCK_MONOTONIC time the picture stands for (the audio sample it goes with);
    // now when not given.
    void Send(const NDIlib_video_frame_v2_t& frame, std::optional<int64_t> atNs = std::nullopt);
    void Stop();
    // Every packet also to a second leg, after Start (see CUdpSocket::AddLeg).
    bool AddLeg(const CSocketAddress& destination, unsigned interfaceIndex, std::string* error) {
        return m_socket.AddLeg(destination, interfaceIndex, error);
    }
    // From the next packet on (see CAudioStream::Retarget).
    bool Retarget(const CSocketAddress& destination, bool enabled, int leg = 0) {
        return m_socket.Retarget(destination, enabled, leg);
    }
    uint64_t Refused(int leg) const { return m_socket.Refused(leg); }

    int LocalPort() const { return m_socket.IsOpen() ? m_socket.LocalPort() : 0; }

    VideoStreamStats Stats() const;
    // The stream at atNs on CLOCK_MONOTONIC (ptpOffsetNs: the PTP clock's offset when it has
    // time); false before the first picture.
    bool Report(int64_t atNs, std::optional<int64_t> ptpOffsetNs, StreamReport* report);

private:
    struct Picture {
        std::vector<uint8_t> rgb;
        int width = 0;
        int height = 0;
        uint32_t timestamp = 0;
        uint32_t ssrc = 0;
    };

    void Run();
    void Packetise(const Picture& picture);

    uint32_t m_ssrc; // guarded by m_callLock; each picture carries its own to the video thread
    bool m_sentFreeRunning = false; // guarded by m_callLock
    bool m_onPtp = false;           // guarded by m_callLock
    const uint32_t m_firstTimestamp;
    const int64_t m_startNs;
    const CPtpClock* const m_clock;
    int64_t m_lastPtpTicks = 0; // guarded by m_callLock: PTP timestamps never run backwards
    FormatListener m_onFormat;
    CUdpSocket m_socket;
    std::thread m_thread;

    std::mutex m_callLock; // serialises Send; guards the format below
    int m_width = 0;
    int m_height = 0;
    int m_rateN = 0;
    int m_rateD = 0;

    std::mutex m_pendingLock; // guards m_pending, m_hasPending, m_stop
    std::condition_variable m_pendingChanged;
    Picture m_pending;
    bool m_hasPending = false;
    bool m_stop = false;

    // Video thread only.
    Picture m_leaving;
    uint32_t m_sequence; // extended (32-bit) RFC 4175 sequence number
    std::vector<uint8_t> m_packetBytes;
    std::vector<const uint8_t*> m_packets;
    std::vector<size_t> m_sizes;

    std::atomic<uint64_t> m_picturesSent{0};
    std::atomic<uint64_t> m_picturesRefused{0};
    std::atomic<uint64_t> m_picturesReplaced{0};
    std::atomic<uint64_t> m_packetsUnsent{0};
    std::atomic<uint64_t> m_packetsSent{0};
    std::atomic<uint64_t> m_payloadOctets{0};
};
