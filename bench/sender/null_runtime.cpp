// A runtime that takes every call and returns at once, linked in place of the NDI call surface so
// the benchmarks time the sender's own work and nothing of a runtime. The audio call counts down
// the ticks a benchmark asked for and then clears the run flag, ending the loop after that tick.
#include "null_runtime.h"

namespace {

int64_t gTicksLeft = 0;
std::atomic<int32_t>* gRunning = nullptr;
NDIlib_send_instance_type* const kSender =
    reinterpret_cast<NDIlib_send_instance_type*>(&gTicksLeft);

} // namespace

void NullRuntimeRunTicks(std::atomic<int32_t>& running, int64_t ticks) {
    gTicksLeft = ticks;
    gRunning = &running;
}

extern "C" {
bool NDIlib_initialize(void) {
    return true;
}
void NDIlib_destroy(void) {}
const char* NDIlib_version(void) {
    return "null 0";
}
bool NDIlib_is_supported_CPU(void) {
    return true;
}
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t*) {
    return kSender;
}
void NDIlib_send_destroy(NDIlib_send_instance_t) {}
void NDIlib_send_send_video_v2(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t* frame) {
    benchmark::DoNotOptimize(frame->p_data[0]);
}
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t* frame) {
    benchmark::DoNotOptimize(frame->p_data[0]);
    if (--gTicksLeft <= 0 && gRunning != nullptr) {
        *gRunning = 0;
    }
}
void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}
}
