#include "ndi_receive.h"

#include "media_time.h"

namespace {

double NowMs() {
    return static_cast<double>(wire::MonotonicNowNs()) / 1e6;
}

} // namespace

std::optional<NdiFoundSource> FindNdiSource(const NdiReceiveCalls& ndi,
                                            const std::function<bool(const std::string&)>& matches,
                                            const std::string& extraIps, int timeoutMs,
                                            std::vector<std::string>* seen) {
    NDIlib_find_create_t create;
    create.show_local_sources = true;
    create.p_extra_ips = extraIps.empty() ? nullptr : extraIps.c_str();
    NDIlib_find_instance_t finder = ndi.findCreate(&create);
    if (finder == nullptr) {
        return std::nullopt;
    }
    const double start = NowMs();
    std::optional<NdiFoundSource> found;
    std::vector<std::string> listed;
    while (!found && NowMs() - start < timeoutMs) {
        ndi.findWaitForSources(finder, 100);
        uint32_t count = 0;
        const NDIlib_source_t* sources = ndi.findGetCurrentSources(finder, &count);
        listed.clear();
        for (uint32_t i = 0; i < count; ++i) {
            if (sources[i].p_ndi_name == nullptr) {
                continue;
            }
            listed.emplace_back(sources[i].p_ndi_name);
            if (!found && matches(sources[i].p_ndi_name)) {
                found = NdiFoundSource{};
                found->name = sources[i].p_ndi_name;
                found->address =
                    sources[i].p_url_address != nullptr ? sources[i].p_url_address : "";
            }
        }
    }
    if (found) {
        found->waitedMs = NowMs() - start;
        found->seen = listed;
    }
    ndi.findDestroy(finder);
    if (seen != nullptr) {
        *seen = std::move(listed);
    }
    return found;
}

NDIlib_recv_instance_t ConnectNdiReceiver(const NdiReceiveCalls& ndi, const NdiFoundSource& source,
                                          const char* receiverName) {
    NDIlib_recv_create_v3_t create;
    create.source_to_connect_to.p_ndi_name = source.name.c_str();
    create.source_to_connect_to.p_url_address =
        source.address.empty() ? nullptr : source.address.c_str();
    create.color_format = NDIlib_recv_color_format_BGRX_BGRA;
    create.bandwidth = NDIlib_recv_bandwidth_highest;
    create.allow_video_fields = false;
    create.p_ndi_recv_name = receiverName;
    return ndi.recvCreate(&create);
}

std::string FourCCText(uint32_t fourCC) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        text += static_cast<char>((fourCC >> shift) & 0xff);
    }
    return text;
}
