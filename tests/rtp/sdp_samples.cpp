// Writes the session descriptions the built-in runtime makes, for the ST 2110 checker: those of a
// live source sending 16 channels to 127.0.0.1, and those of the destinations and clocks a plant
// uses (multicast, PTP, two 8-channel streams, two legs of ST 2022-7), built by the same code
// without sending anything.
//   sdp_samples FOLDER
// Each file is named <case>-<part>.sdp, the part telling the checker what to expect.
#include "loopback_receiver.h"
#include "sdp_writer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

void Write(const std::string& folder, const std::string& name, const SdpDescription& d) {
    for (const SdpSession& session : BuildSdpSessions(d)) {
        std::ofstream(folder + "/" + name + "-" + (session.part.empty() ? "all" : session.part) +
                          ".sdp",
                      std::ios::binary)
            << session.text;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sdp_samples FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    {
        LoopbackReceivers receivers;
        if (!NDIlib_initialize()) {
            return 1;
        }
        NDIlib_send_create_t create{"QEL Audio Tone 1", nullptr, false, true};
        NDIlib_send_instance_t sender = NDIlib_send_create(&create);
        TestAudioFrame sixteen(16);
        NDIlib_send_send_audio_v2(sender, &sixteen.frame);
        BuiltinSenderInfo info;
        GetBuiltinSenderInfo(sender, &info);
        for (int waited = 0; waited < 5000 && !std::filesystem::exists(info.sdpFiles.back());
             waited += 20) {
            usleep(20'000);
        }
        const char* parts[] = {"all", "audio", "video"};
        for (size_t i = 0; i < info.sdpFiles.size() && i < 3; ++i) {
            std::filesystem::copy_file(info.sdpFiles[i], folder + "/live-" + parts[i] + ".sdp",
                                       std::filesystem::copy_options::overwrite_existing);
        }
        NDIlib_send_destroy(sender);
        NDIlib_destroy();
    }
    SdpDescription d;
    d.sourceName = "QEL Audio Tone 1";
    d.sessionId = 1234567;
    d.originAddress = "192.168.10.20";
    d.destinationHost = "192.168.10.30";
    d.audioPort = 5004;
    d.videoPort = 5006;
    d.channelCount = 8;
    d.clock.localMac = "02-00-5E-10-00-01";
    d.clock.audioOffset = 3520213541u;
    Write(folder, "unicast8", d);
    d.clock.ptp = true;
    d.clock.grandmaster = "16-DF-2A-FF-FE-8A-9F-69";
    d.clock.domain = 0;
    d.channelCount = 2;
    Write(folder, "ptp2", d);
    d.destinationHost = "239.69.10.1";
    d.destinationMulticast = true;
    d.ttl = 16;
    d.channelCount = 16;
    Write(folder, "multicast16", d);
    d.streamChannels = 8;
    d.secondAudioPort = 5008;
    Write(folder, "multicastsplit", d);
    // ST 2022-7: every stream on a second network too, from that network's own address.
    d.secondLeg = SdpSecondLeg{"239.69.20.1", true, "192.168.20.20", 0, {}, {}};
    Write(folder, "multicastdupsplit", d);
    d.channelCount = 8;
    d.secondLeg->portOffset = 100;
    Write(folder, "multicastdup8", d);
    return 0;
}
