// The built-in runtime's nine calls. The configuration is read once at initialisation; every
// source created after it uses it. The audio and video calls go straight to their sender without
// a global lock: the caller guarantees the sender lives until NDIlib_send_destroy.
#include "builtin_runtime.h"

#include "frame_pacer.h"

#include <cstdio>
#include <optional>
#include <set>

namespace {

std::mutex g_lock; // guards g_config, g_ptp and g_senders
std::optional<CRuntimeConfig> g_config;
std::shared_ptr<CPtpClock> g_ptp; // shared with the senders, which may outlive the runtime's end
std::set<CBuiltinSender*> g_senders;

CBuiltinSender* AsSender(NDIlib_send_instance_t instance) {
    return reinterpret_cast<CBuiltinSender*>(instance);
}

bool Initialize() {
    std::string error;
    std::optional<CRuntimeConfig> config = CRuntimeConfig::FromEnvironment(&error);
    if (!config) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    std::shared_ptr<CPtpClock> ptp;
    if (!config->ptpOff) {
        ptp = std::make_shared<CPtpClock>(config->ptpSocket, config->ptpRequired);
        ptp->Start();
    }
    std::lock_guard guard(g_lock);
    g_config = std::move(config);
    g_ptp = std::move(ptp);
    return true;
}

void Destroy() {
    std::set<CBuiltinSender*> left;
    std::shared_ptr<CPtpClock> ptp;
    {
        std::lock_guard guard(g_lock);
        left.swap(g_senders);
        g_config.reset();
        ptp.swap(g_ptp);
    }
    for (CBuiltinSender* sender : left) {
        delete sender; // sources not destroyed by their owner still disappear from the network
    }
    if (ptp) {
        ptp->Stop();
    }
}

const char* Version() {
    return "QEL NDI Lirafon built-in RTP runtime " LIRAFON_RUNTIME_VERSION;
}

bool IsSupportedCpu() {
    return true;
}

NDIlib_send_instance_t SendCreate(const NDIlib_send_create_t* settings) {
    std::lock_guard guard(g_lock);
    if (!g_config) {
        return nullptr;
    }
    const std::string name = settings != nullptr && settings->p_ndi_name != nullptr
                                 ? settings->p_ndi_name
                                 : "QEL NDI Lirafon";
    std::string error;
    std::unique_ptr<CBuiltinSender> sender = CBuiltinSender::Create(*g_config, name, g_ptp, &error);
    if (!sender) {
        std::fprintf(stderr, "Source \"%s\" not started: %s\n", name.c_str(), error.c_str());
        return nullptr;
    }
    g_senders.insert(sender.get());
    return reinterpret_cast<NDIlib_send_instance_t>(sender.release());
}

void SendDestroy(NDIlib_send_instance_t instance) {
    {
        std::lock_guard guard(g_lock);
        if (g_senders.erase(AsSender(instance)) == 0) {
            return;
        }
    }
    delete AsSender(instance);
}

void SendVideo(NDIlib_send_instance_t instance, const NDIlib_video_frame_v2_t* frame) {
    if (frame != nullptr) {
        AsSender(instance)->SendVideo(*frame);
    }
}

void SendAudio(NDIlib_send_instance_t instance, const NDIlib_audio_frame_v2_t* frame) {
    if (frame != nullptr) {
        AsSender(instance)->SendAudio(*frame);
    }
}

void AddMetadata(NDIlib_send_instance_t instance, const NDIlib_metadata_frame_t* metadata) {
    if (metadata != nullptr) {
        AsSender(instance)->AddMetadata(*metadata);
    }
}

} // namespace

const NdiRuntimeCalls& BuiltinRuntimeCalls() {
    static const NdiRuntimeCalls calls{Initialize,     Destroy,    Version,
                                       IsSupportedCpu, SendCreate, SendDestroy,
                                       SendVideo,      SendAudio,  AddMetadata};
    return calls;
}

bool GetBuiltinRuntimeConfig(CRuntimeConfig* config) {
    std::lock_guard guard(g_lock);
    if (!g_config) {
        return false;
    }
    *config = *g_config;
    return true;
}

bool GetBuiltinSenderInfo(NDIlib_send_instance_t instance, BuiltinSenderInfo* info) {
    std::lock_guard guard(g_lock);
    if (g_senders.count(AsSender(instance)) == 0) {
        return false;
    }
    *info = AsSender(instance)->Info();
    return true;
}

bool RetargetBuiltinSender(NDIlib_send_instance_t instance, BuiltinStream stream,
                           const CSocketAddress& destination, bool enabled, std::string* error,
                           int leg) {
    std::lock_guard guard(g_lock);
    if (g_senders.count(AsSender(instance)) == 0) {
        *error = "the source is not a live built-in one";
        return false;
    }
    return AsSender(instance)->Retarget(stream, destination, enabled, error, leg);
}

bool BuiltinPtpNow(int64_t* ptpNowNs, PtpReference* reference) {
    std::shared_ptr<CPtpClock> ptp;
    {
        std::lock_guard guard(g_lock);
        ptp = g_ptp;
    }
    const std::optional<int64_t> offset = ptp ? ptp->OffsetNs() : std::nullopt;
    if (!offset) {
        return false;
    }
    *ptpNowNs = MonotonicNowNs() + *offset;
    *reference = ptp->Reference();
    return true;
}

std::string BuiltinStreamSdp(NDIlib_send_instance_t instance, BuiltinStream stream) {
    std::lock_guard guard(g_lock);
    return g_senders.count(AsSender(instance)) == 0 ? "" : AsSender(instance)->StreamSdp(stream);
}

bool GetBuiltinSenderStats(NDIlib_send_instance_t instance, BuiltinSenderStats* stats) {
    std::lock_guard guard(g_lock);
    if (g_senders.count(AsSender(instance)) == 0) {
        return false;
    }
    *stats = AsSender(instance)->Stats();
    return true;
}
