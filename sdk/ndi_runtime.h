// The nine calls of one NDI runtime, as the dispatcher forwards them. The vendor loader fills a
// table with the symbols it resolved; the built-in runtime fills one with its own functions.
#pragma once

#include "ndi_sdk.h"
#include "ndi_sdk_recv.h"

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

// The find and receive calls of a vendor runtime, for the programs that receive a source (the
// real-runtime tests and the analyser). The loader fills it on request; no runtime of ours has
// them.
struct NdiReceiveCalls {
    decltype(&NDIlib_find_create_v2) findCreate;
    decltype(&NDIlib_find_destroy) findDestroy;
    decltype(&NDIlib_find_wait_for_sources) findWaitForSources;
    decltype(&NDIlib_find_get_current_sources) findGetCurrentSources;
    decltype(&NDIlib_recv_create_v3) recvCreate;
    decltype(&NDIlib_recv_destroy) recvDestroy;
    decltype(&NDIlib_recv_capture_v2) recvCapture;
    decltype(&NDIlib_recv_free_video_v2) recvFreeVideo;
    decltype(&NDIlib_recv_free_audio_v2) recvFreeAudio;
    decltype(&NDIlib_recv_free_metadata) recvFreeMetadata;
    decltype(&NDIlib_recv_get_web_control) recvGetWebControl;
    decltype(&NDIlib_recv_free_string) recvFreeString;
};
