#include "builtin_runtime.h"

namespace {
bool Initialize() {
    return false;
}
void Destroy() {}
const char* Version() {
    return "QEL NDI Lirafon built-in RTP runtime " LIRAFON_RUNTIME_VERSION;
}
bool IsSupportedCpu() {
    return true;
}
NDIlib_send_instance_t SendCreate(const NDIlib_send_create_t*) {
    return nullptr;
}
void SendDestroy(NDIlib_send_instance_t) {}
void SendVideo(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) {}
void SendAudio(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t*) {}
void AddMetadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}
} // namespace

const NdiRuntimeCalls& BuiltinRuntimeCalls() {
    static const NdiRuntimeCalls calls{Initialize,     Destroy,    Version,
                                       IsSupportedCpu, SendCreate, SendDestroy,
                                       SendVideo,      SendAudio,  AddMetadata};
    return calls;
}
