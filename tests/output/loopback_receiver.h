// Test receivers on 127.0.0.1: UDP sockets on ports the system picked, and a built-in runtime
// pointed at them through the environment, with its session folder in a fresh temporary folder.
#pragma once

#include "builtin_runtime.h"
#include "ndi_dispatch.h"
#include "ndi_sdk.h"
#include "scoped_env.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// One UDP socket bound to 127.0.0.1.
class LoopbackSocket {
public:
    explicit LoopbackSocket(int port = 0) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            socklen_t length = sizeof address;
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
            m_port = ntohs(address.sin_port);
        }
    }
    ~LoopbackSocket() { close(m_fd); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    bool Bound() const { return m_port != 0; }
    int Fd() const { return m_fd; }
    int Port() const { return m_port; }

    // The next datagram, or an empty one when none arrives within timeoutMs.
    std::vector<uint8_t> Receive(int timeoutMs = 2000) {
        pollfd wait{m_fd, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) != 1) {
            return {};
        }
        std::vector<uint8_t> packet(65536);
        const ssize_t size = recv(m_fd, packet.data(), packet.size(), 0);
        packet.resize(size > 0 ? static_cast<size_t>(size) : 0);
        return packet;
    }
    // Every datagram until none arrives for quietMs. The first may take up to firstMs: on a
    // loaded machine the sender's pacing thread can be held off the CPU for more than quietMs.
    std::vector<std::vector<uint8_t>> ReceiveAll(int quietMs = 300, int firstMs = 5000) {
        std::vector<std::vector<uint8_t>> packets;
        for (auto packet = Receive(std::max(quietMs, firstMs)); !packet.empty();
             packet = Receive(quietMs)) {
            packets.push_back(std::move(packet));
        }
        return packets;
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

// Receivers for copy 1's audio (port P) and video (P + 2) and for SAP, and the environment that
// points the built-in runtime at them.
class LoopbackReceivers {
public:
    LoopbackReceivers() {
        for (int attempt = 0; attempt < 50 && !video; ++attempt) {
            audio = std::make_unique<LoopbackSocket>();
            if (audio->Port() > 65505) {
                continue;
            }
            video = std::make_unique<LoopbackSocket>(audio->Port() + 2);
            if (!video->Bound()) {
                video.reset();
            }
        }
        if (!video) {
            throw std::runtime_error("no free pair of loopback ports");
        }
        char pattern[] = "/tmp/lirafon-runtime-test-XXXXXX";
        folder = mkdtemp(pattern);
        env.Set("LIRAFON_NDI_RUNTIME", "builtin")
            .Set("LIRAFON_RTP_PORT", std::to_string(audio->Port()))
            .Set("LIRAFON_SAP_DESTINATION", "127.0.0.1:" + std::to_string(sap.Port()))
            .Set("XDG_RUNTIME_DIR", folder)
            .Clear("LIRAFON_RTP_DESTINATION")
            .Clear("LIRAFON_RTP_TTL")
            .Clear("LIRAFON_RTP_INTERFACE")
            .Clear("LIRAFON_RTP_REFERENCE");
    }
    ~LoopbackReceivers() { std::filesystem::remove_all(folder); }

    std::string SdpPath(const std::string& sourceName) const {
        return folder + "/qel-ndi-lirafon/" + sourceName + ".sdp";
    }

    ScopedEnv env;
    std::unique_ptr<LoopbackSocket> audio;
    std::unique_ptr<LoopbackSocket> video;
    LoopbackSocket sap;
    std::string folder;
};

// Reads big-endian fields of a received packet.
inline uint32_t BigEndian(const std::vector<uint8_t>& p, size_t at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = value << 8 | p.at(at + static_cast<size_t>(i));
    }
    return value;
}
// A signed 24-bit big-endian sample.
inline int32_t L24At(const std::vector<uint8_t>& p, size_t at) {
    const uint32_t raw = BigEndian(p, at, 3);
    return static_cast<int32_t>(raw << 8) >> 8;
}

// An audio frame of the engine's shape: 1920 samples per plane, planes one after another.
struct TestAudioFrame {
    explicit TestAudioFrame(int channels, int samples = 1920)
        : planes(static_cast<size_t>(samples) * 16) {
        frame.no_channels = channels;
        frame.no_samples = samples;
        frame.timecode = 0;
        frame.p_data = planes.data();
        frame.channel_stride_in_bytes = samples * 4;
    }
    float& At(int channel, int sample) {
        return planes[static_cast<size_t>(channel) * frame.no_samples + sample];
    }
    std::vector<float> planes;
    NDIlib_audio_frame_v2_t frame;
};

// A 640 x 360 BGRX picture with a pattern that tells every pixel apart.
struct TestPicture {
    TestPicture() : pixels(640 * 360 * 4) {
        for (int y = 0; y < 360; ++y) {
            for (int x = 0; x < 640; ++x) {
                uint8_t* p = &pixels[(static_cast<size_t>(y) * 640 + x) * 4];
                p[0] = static_cast<uint8_t>(x * 3 + y);
                p[1] = static_cast<uint8_t>(y * 5 + (x >> 3));
                p[2] = static_cast<uint8_t>(x ^ y);
                p[3] = 255;
            }
        }
        frame.xres = 640;
        frame.yres = 360;
        frame.FourCC = NDIlib_FourCC_video_type_BGRX;
        frame.frame_rate_N = 30000;
        frame.frame_rate_D = 1200;
        frame.picture_aspect_ratio = 16.0f / 9.0f;
        frame.p_data = pixels.data();
        frame.line_stride_in_bytes = 2560;
    }
    // The RGB bytes the picture must arrive as.
    std::vector<uint8_t> Rgb() const {
        std::vector<uint8_t> rgb;
        for (size_t i = 0; i < pixels.size(); i += 4) {
            rgb.insert(rgb.end(), {pixels[i + 2], pixels[i + 1], pixels[i]});
        }
        return rgb;
    }
    std::vector<uint8_t> pixels;
    NDIlib_video_frame_v2_t frame;
};
