// Receives an RTP audio stream on 127.0.0.1 for a given time and reports how well it is paced:
// packets, lost packets (from the sequence numbers), the deviation of each packet's arrival from
// its ideal time, and the long-run rate error against CLOCK_MONOTONIC.
//   rtp_timing PORT SECONDS [RATE_HZ]
// The ideal times are the RTP timestamps on a straight line fitted to the arrivals, so the rate
// error is reported once and does not inflate the deviations. A sender that lets the packets of
// one millisecond leave together shows up to (1 ms - packet time) of early arrival per packet;
// the second deviation line measures against the start of each packet's millisecond instead.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct Arrival {
    double nominalS; // from the unwrapped RTP timestamp
    double arrivalS; // CLOCK_MONOTONIC
};

void Report(const char* what, std::vector<double> deviationsUs) {
    if (deviationsUs.empty()) {
        return;
    }
    double sum = 0;
    for (double& d : deviationsUs) {
        d = std::fabs(d);
        sum += d;
    }
    std::sort(deviationsUs.begin(), deviationsUs.end());
    const size_t p99 = std::min(deviationsUs.size() - 1, deviationsUs.size() * 99 / 100);
    std::printf("deviation %-22s mean %.1f us, p99 %.1f us, max %.1f us\n", what,
                sum / static_cast<double>(deviationsUs.size()), deviationsUs[p99],
                deviationsUs.back());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: rtp_timing PORT SECONDS [RATE_HZ]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    const double rate = argc > 3 ? std::atof(argv[3]) : 48000.0;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("rtp_timing: bind");
        return 1;
    }
    std::vector<Arrival> arrivals;
    arrivals.reserve(static_cast<size_t>(seconds * 8000) + 1000);
    uint64_t received = 0, expected = 0;
    uint16_t lastSequence = 0;
    uint32_t lastTimestamp = 0;
    int64_t unwrapped = 0;
    int64_t endNs = 0;
    uint8_t packet[2048];
    while (true) {
        pollfd wait{fd, POLLIN, 0};
        const int64_t now = NowNs();
        if (endNs != 0 && now >= endNs) {
            break;
        }
        const int timeoutMs = endNs == 0 ? 10000 : static_cast<int>((endNs - now) / 1'000'000) + 1;
        if (poll(&wait, 1, timeoutMs) != 1) {
            if (endNs == 0) {
                std::fprintf(stderr, "rtp_timing: nothing arrived in 10 s\n");
                return 1;
            }
            continue;
        }
        const ssize_t size = recv(fd, packet, sizeof packet, 0);
        const int64_t arrivalNs = NowNs();
        if (size < 12 || (packet[0] & 0xc0) != 0x80) {
            continue;
        }
        const auto sequence = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
        const uint32_t timestamp = static_cast<uint32_t>(packet[4]) << 24 |
                                   static_cast<uint32_t>(packet[5]) << 16 |
                                   static_cast<uint32_t>(packet[6]) << 8 | packet[7];
        if (received == 0) {
            endNs = arrivalNs + static_cast<int64_t>(seconds * 1e9);
            expected = 1;
        } else {
            expected += static_cast<uint16_t>(sequence - lastSequence);
            unwrapped += static_cast<int32_t>(timestamp - lastTimestamp);
        }
        ++received;
        lastSequence = sequence;
        lastTimestamp = timestamp;
        arrivals.push_back(
            {static_cast<double>(unwrapped) / rate, static_cast<double>(arrivalNs) * 1e-9});
    }
    // Least-squares line arrival = a + b * nominal.
    double mx = 0, my = 0;
    for (const Arrival& a : arrivals) {
        mx += a.nominalS;
        my += a.arrivalS;
    }
    mx /= static_cast<double>(arrivals.size());
    my /= static_cast<double>(arrivals.size());
    double sxy = 0, sxx = 0;
    for (const Arrival& a : arrivals) {
        sxy += (a.nominalS - mx) * (a.arrivalS - my);
        sxx += (a.nominalS - mx) * (a.nominalS - mx);
    }
    const double slope = sxx > 0 ? sxy / sxx : 1.0;
    std::vector<double> perPacket, perMillisecond;
    for (const Arrival& a : arrivals) {
        const double ideal = my + slope * (a.nominalS - mx);
        perPacket.push_back((a.arrivalS - ideal) * 1e6);
        const double msStart = std::floor(a.nominalS * 1000.0 + 1e-9) / 1000.0;
        perMillisecond.push_back((a.arrivalS - (my + slope * (msStart - mx))) * 1e6);
    }
    // The fitted line sits in the middle of the batched arrivals; re-centre the millisecond view.
    double meanMs = 0;
    for (double d : perMillisecond) {
        meanMs += d;
    }
    meanMs /= static_cast<double>(perMillisecond.size());
    for (double& d : perMillisecond) {
        d -= meanMs;
    }
    std::printf("packets %llu, lost %llu over %.1f s\n", static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(expected - received), seconds);
    Report("from packet time:", perPacket);
    Report("from its millisecond:", perMillisecond);
    std::printf("rate error %.2f ppm against CLOCK_MONOTONIC\n", (slope - 1.0) * 1e6);
    close(fd);
    return 0;
}
