// The NDI SDK's call surface and records, declared with the SDK's own names, types, order and
// layout. A vendor runtime loaded at run time reads these records directly, so their layout is
// pinned below with static_asserts for x86-64; change nothing here without the SDK's headers.
#pragma once

#include <cstddef>
#include <cstdint>

// Four characters packed little-endian, as the SDK's NDI_LIB_FOURCC does.
constexpr uint32_t NdiFourCC(char c0, char c1, char c2, char c3) {
    return static_cast<uint32_t>(static_cast<uint8_t>(c0)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c1)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c2)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c3)) << 24);
}

typedef enum NDIlib_FourCC_video_type_e {
    NDIlib_FourCC_video_type_UYVY = NdiFourCC('U', 'Y', 'V', 'Y'),
    NDIlib_FourCC_video_type_UYVA = NdiFourCC('U', 'Y', 'V', 'A'),
    NDIlib_FourCC_video_type_P216 = NdiFourCC('P', '2', '1', '6'),
    NDIlib_FourCC_video_type_PA16 = NdiFourCC('P', 'A', '1', '6'),
    NDIlib_FourCC_video_type_YV12 = NdiFourCC('Y', 'V', '1', '2'),
    NDIlib_FourCC_video_type_I420 = NdiFourCC('I', '4', '2', '0'),
    NDIlib_FourCC_video_type_NV12 = NdiFourCC('N', 'V', '1', '2'),
    NDIlib_FourCC_video_type_BGRA = NdiFourCC('B', 'G', 'R', 'A'),
    NDIlib_FourCC_video_type_BGRX = NdiFourCC('B', 'G', 'R', 'X'),
    NDIlib_FourCC_video_type_RGBA = NdiFourCC('R', 'G', 'B', 'A'),
    NDIlib_FourCC_video_type_RGBX = NdiFourCC('R', 'G', 'B', 'X'),
    NDIlib_FourCC_video_type_max = 0x7fffffff
} NDIlib_FourCC_video_type_e;

typedef enum NDIlib_frame_format_type_e {
    NDIlib_frame_format_type_progressive = 1,
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_field_0 = 2,
    NDIlib_frame_format_type_field_1 = 3,
    NDIlib_frame_format_type_max = 0x7fffffff
} NDIlib_frame_format_type_e;

// "Make up a timecode for me": the largest signed 64-bit integer.
static constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

typedef struct NDIlib_send_instance_type* NDIlib_send_instance_t;

typedef struct NDIlib_send_create_t {
    const char* p_ndi_name = nullptr;
    const char* p_groups = nullptr;
    bool clock_video = true;
    bool clock_audio = true;
} NDIlib_send_create_t;

typedef struct NDIlib_metadata_frame_t {
    int length = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    char* p_data = nullptr;
} NDIlib_metadata_frame_t;

typedef struct NDIlib_video_frame_v2_t {
    int xres = 0;
    int yres = 0;
    NDIlib_FourCC_video_type_e FourCC = NDIlib_FourCC_video_type_UYVY;
    int frame_rate_N = 30000;
    int frame_rate_D = 1001;
    float picture_aspect_ratio = 0.0f;
    NDIlib_frame_format_type_e frame_format_type = NDIlib_frame_format_type_progressive;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    uint8_t* p_data = nullptr;
    union {
        int line_stride_in_bytes = 0;
        int data_size_in_bytes;
    };
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_video_frame_v2_t;

typedef struct NDIlib_audio_frame_v2_t {
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float* p_data = nullptr;
    int channel_stride_in_bytes = 0;
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
} NDIlib_audio_frame_v2_t;

// The nine calls the system makes. Implemented in output/ndi_dispatch.cpp, which forwards them to
// the runtime chosen by NDIlib_initialize.
extern "C" {
bool NDIlib_initialize(void);
void NDIlib_destroy(void);
const char* NDIlib_version(void);
bool NDIlib_is_supported_CPU(void);
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance,
                                         const NDIlib_metadata_frame_t* p_metadata);
}

#if defined(__x86_64__)
static_assert(sizeof(NDIlib_FourCC_video_type_e) == 4);
static_assert(sizeof(NDIlib_frame_format_type_e) == 4);
static_assert(NDIlib_FourCC_video_type_BGRX == 0x58524742u);

static_assert(sizeof(NDIlib_send_create_t) == 24);
static_assert(offsetof(NDIlib_send_create_t, p_ndi_name) == 0);
static_assert(offsetof(NDIlib_send_create_t, p_groups) == 8);
static_assert(offsetof(NDIlib_send_create_t, clock_video) == 16);
static_assert(offsetof(NDIlib_send_create_t, clock_audio) == 17);

static_assert(sizeof(NDIlib_metadata_frame_t) == 24);
static_assert(offsetof(NDIlib_metadata_frame_t, length) == 0);
static_assert(offsetof(NDIlib_metadata_frame_t, timecode) == 8);
static_assert(offsetof(NDIlib_metadata_frame_t, p_data) == 16);

static_assert(sizeof(NDIlib_video_frame_v2_t) == 72);
static_assert(offsetof(NDIlib_video_frame_v2_t, xres) == 0);
static_assert(offsetof(NDIlib_video_frame_v2_t, yres) == 4);
static_assert(offsetof(NDIlib_video_frame_v2_t, FourCC) == 8);
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12);
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16);
static_assert(offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20);
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24);
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32);
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == 40);
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48);
static_assert(offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56);
static_assert(offsetof(NDIlib_video_frame_v2_t, timestamp) == 64);

static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56);
static_assert(offsetof(NDIlib_audio_frame_v2_t, sample_rate) == 0);
static_assert(offsetof(NDIlib_audio_frame_v2_t, no_channels) == 4);
static_assert(offsetof(NDIlib_audio_frame_v2_t, no_samples) == 8);
static_assert(offsetof(NDIlib_audio_frame_v2_t, timecode) == 16);
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_data) == 24);
static_assert(offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32);
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_metadata) == 40);
static_assert(offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48);
#endif
