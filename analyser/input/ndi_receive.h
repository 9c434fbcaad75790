// Receiving an NDI source through the vendor runtime's find and receive calls: the steps every
// receiver of ours takes the same way (the analyser's NDI input, the real-runtime test's probe).
#pragma once

#include "ndi_runtime.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct NdiFoundSource {
    std::string name;
    std::string address;           // where the runtime reached it ("" when it did not say)
    double waitedMs = 0;           // from the finder's creation
    std::vector<std::string> seen; // every source listed when the search ended
};

// Waits up to timeoutMs for a source whose name `matches`. extraIps: comma-separated addresses
// to ask directly, for computers mDNS cannot reach. nullopt when none was found (`seen`, if
// given, lists what was).
std::optional<NdiFoundSource> FindNdiSource(const NdiReceiveCalls& ndi,
                                            const std::function<bool(const std::string&)>& matches,
                                            const std::string& extraIps, int timeoutMs,
                                            std::vector<std::string>* seen = nullptr);

// A receiver of that source asking for BGRX pictures, whole frames, at the highest bandwidth;
// nullptr when the runtime refuses.
NDIlib_recv_instance_t ConnectNdiReceiver(const NdiReceiveCalls& ndi, const NdiFoundSource& source,
                                          const char* receiverName);

// A FourCC as its four characters ("BGRX").
std::string FourCCText(uint32_t fourCC);
