// The NDI SDK's find and receive calls and records, declared with the SDK's own names, types,
// order and layout, for the programs that receive a source: the real-runtime tests and the far
// end's analyser. The program itself never receives, and no runtime of ours implements these:
// they are resolved by name from a vendor runtime (see output/vendor_receiver.h), so they are
// declared here only to give those pointers their exact types. Layouts are pinned below for
// x86-64 and were checked against the vendor's runtime 6.3.2.0 (find, connect, capture of all
// three frame kinds, web control address).
#pragma once

#include "ndi_sdk.h"

#include <cstdint>

typedef struct NDIlib_find_instance_type* NDIlib_find_instance_t;
typedef struct NDIlib_recv_instance_type* NDIlib_recv_instance_t;

typedef struct NDIlib_source_t {
    const char* p_ndi_name = nullptr;
    union {
        const char* p_url_address = nullptr;
        const char* p_ip_address;
    };
} NDIlib_source_t;

typedef struct NDIlib_find_create_t {
    bool show_local_sources = true;
    const char* p_groups = nullptr;
    // Comma-separated addresses to ask directly, for computers mDNS cannot reach.
    const char* p_extra_ips = nullptr;
} NDIlib_find_create_t;

typedef enum NDIlib_frame_type_e {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
    NDIlib_frame_type_status_change = 100,
    NDIlib_frame_type_source_change = 101,
    NDIlib_frame_type_max = 0x7fffffff
} NDIlib_frame_type_e;

typedef enum NDIlib_recv_bandwidth_e {
    NDIlib_recv_bandwidth_metadata_only = -10,
    NDIlib_recv_bandwidth_audio_only = 10,
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
    NDIlib_recv_bandwidth_max = 0x7fffffff
} NDIlib_recv_bandwidth_e;

typedef enum NDIlib_recv_color_format_e {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_RGBX_RGBA = 2,
    NDIlib_recv_color_format_UYVY_RGBA = 3,
    NDIlib_recv_color_format_fastest = 100,
    NDIlib_recv_color_format_best = 101,
    NDIlib_recv_color_format_max = 0x7fffffff
} NDIlib_recv_color_format_e;

typedef struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    NDIlib_recv_color_format_e color_format = NDIlib_recv_color_format_UYVY_BGRA;
    NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
    bool allow_video_fields = true;
    const char* p_ndi_recv_name = nullptr;
} NDIlib_recv_create_v3_t;

extern "C" {
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings);
void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance,
                                                       uint32_t* p_no_sources);

NDIlib_recv_instance_t NDIlib_recv_create_v3(const NDIlib_recv_create_v3_t* p_create_settings);
void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
NDIlib_frame_type_e NDIlib_recv_capture_v2(NDIlib_recv_instance_t p_instance,
                                           NDIlib_video_frame_v2_t* p_video_data,
                                           NDIlib_audio_frame_v2_t* p_audio_data,
                                           NDIlib_metadata_frame_t* p_metadata,
                                           uint32_t timeout_in_ms);
void NDIlib_recv_free_video_v2(NDIlib_recv_instance_t p_instance,
                               const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_recv_free_audio_v2(NDIlib_recv_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_recv_free_metadata(NDIlib_recv_instance_t p_instance,
                               const NDIlib_metadata_frame_t* p_metadata);
// The sender's web page as the sender announced it, with %IP% replaced by the address this
// receiver reached it on; nullptr when none was announced. Freed with NDIlib_recv_free_string.
const char* NDIlib_recv_get_web_control(NDIlib_recv_instance_t p_instance);
void NDIlib_recv_free_string(NDIlib_recv_instance_t p_instance, const char* p_string);
}

#if defined(__x86_64__)
static_assert(sizeof(NDIlib_source_t) == 16);
static_assert(offsetof(NDIlib_source_t, p_url_address) == 8);

static_assert(sizeof(NDIlib_find_create_t) == 24);
static_assert(offsetof(NDIlib_find_create_t, show_local_sources) == 0);
static_assert(offsetof(NDIlib_find_create_t, p_groups) == 8);
static_assert(offsetof(NDIlib_find_create_t, p_extra_ips) == 16);

static_assert(sizeof(NDIlib_frame_type_e) == 4);
static_assert(sizeof(NDIlib_recv_bandwidth_e) == 4);
static_assert(sizeof(NDIlib_recv_color_format_e) == 4);

static_assert(sizeof(NDIlib_recv_create_v3_t) == 40);
static_assert(offsetof(NDIlib_recv_create_v3_t, source_to_connect_to) == 0);
static_assert(offsetof(NDIlib_recv_create_v3_t, color_format) == 16);
static_assert(offsetof(NDIlib_recv_create_v3_t, bandwidth) == 20);
static_assert(offsetof(NDIlib_recv_create_v3_t, allow_video_fields) == 24);
static_assert(offsetof(NDIlib_recv_create_v3_t, p_ndi_recv_name) == 32);
#endif
