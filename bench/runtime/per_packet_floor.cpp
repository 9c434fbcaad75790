// The per-packet floor: the least a sender can spend putting one 48 kHz L24 stream on the wire
// at its packet time, on this machine. A bare loop: sleep to each packet's deadline on
// CLOCK_MONOTONIC, write the RTP header and the payload (silence: no samples are made), send.
// Nothing else runs: no audio, no lock, no clock but the deadline. What it costs per second of
// audio is what the host charges for the wake-ups and the sends; a real sender is judged by how
// much more than this it takes.
//   per_packet_floor SECONDS CHANNELS PTIME_US PORT [LEGS=1]
// LEGS 2: every packet sent twice, to PORT and PORT + 2, one right after the other, as a sender
// of two legs must.
#include "rtp_packets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: per_packet_floor SECONDS CHANNELS PTIME_US PORT [LEGS]\n");
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const int channels = std::atoi(argv[2]);
    const int ptimeUs = std::atoi(argv[3]);
    const int port = std::atoi(argv[4]);
    const int legs = argc > 5 ? std::atoi(argv[5]) : 1;
    if (seconds < 1 || channels < 1 || channels > 64 || ptimeUs < 125 || port < 1 || port > 65533 ||
        legs < 1 || legs > 2) {
        std::fprintf(stderr, "per_packet_floor: SECONDS >= 1, CHANNELS 1 to 64, PTIME_US >= "
                             "125, PORT, LEGS 1 or 2\n");
        return 2;
    }
    const int samples = 48 * ptimeUs / 1000;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to[2]{};
    for (int leg = 0; leg < legs; ++leg) {
        to[leg].sin_family = AF_INET;
        to[leg].sin_port = htons(static_cast<uint16_t>(port + 2 * leg));
        to[leg].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    std::vector<uint8_t> packet(kRtpHeaderBytes + static_cast<size_t>(samples * channels * 3));
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const int64_t count = static_cast<int64_t>(seconds) * 1'000'000 / ptimeUs;
    for (int64_t n = 0; n < count; ++n) {
        deadline.tv_nsec += ptimeUs * 1000L;
        if (deadline.tv_nsec >= 1'000'000'000L) {
            deadline.tv_nsec -= 1'000'000'000L;
            ++deadline.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        WriteRtpHeader(packet.data(), {kAudioPayloadType, false, static_cast<uint16_t>(n),
                                       static_cast<uint32_t>(n * samples), 0x4c495241});
        for (int leg = 0; leg < legs; ++leg) {
            sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to[leg]),
                   sizeof to[leg]);
        }
    }
    close(fd);
    return 0;
}
