// The nine calls of one NDI runtime, as the dispatcher forwards them. The vendor loader fills a
// table with the symbols it resolved; the built-in runtime fills one with its own functions.
#pragma once

#include "ndi_sdk.h"

struct NdiRuntimeCalls {
    bool (*initialize)();
    void (*destroy)();
    const char* (*version)();
    bool (*isSupportedCpu)();
    NDIlib_send_instance_t (*sendCreate)(const NDIlib_send_create_t*);
    void (*sendDestroy)(NDIlib_send_instance_t);
    void (*sendVideo)(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*);
    void (*sendAudio)(NDIlib_send_instance_t, const NDIlib_audio_frame_v2_t*);
    void (*addConnectionMetadata)(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*);
};
