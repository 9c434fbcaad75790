// What the recording NDI runtime keeps of each call, shared by the library and the tests that read
// it. Pointers inside the copied SDK records are the caller's pointers as passed: compare them,
// never dereference them; the strings and payloads next to them are the copies.
#pragma once

#include "ndi_sdk.h"

#include <cstdint>
#include <string>
#include <vector>

struct RecordedCall {
    std::string name;               // "NDIlib_send_create", ...
    int64_t monotonicNs = 0;        // CLOCK_MONOTONIC when the call was entered
    const void* instance = nullptr; // the sender passed, or returned by NDIlib_send_create
};

struct RecordedSendCreate {
    NDIlib_send_create_t settings{}; // as passed (all-default when the pointer was null)
    bool settingsNull = false;
    bool hasName = false;
    std::string name;
    bool hasGroups = false;
    std::string groups;
    const void* instance = nullptr; // what the call returned
};

struct RecordedMetadata {
    const void* instance = nullptr;
    NDIlib_metadata_frame_t frame{};
    bool hasText = false;
    std::string text; // p_data up to its terminator
};

struct RecordedVideo {
    const void* instance = nullptr;
    NDIlib_video_frame_v2_t frame{};
    int64_t monotonicNs = 0;
    std::vector<uint8_t> pixels; // yres rows of line_stride_in_bytes, when pixels are stored
};

struct RecordedAudio {
    const void* instance = nullptr;
    NDIlib_audio_frame_v2_t frame{};
    int64_t monotonicNs = 0;    // when the call was entered
    int64_t dueNs = 0;          // when the frame was due (blocking mode), else monotonicNs
    std::vector<float> samples; // no_channels planes of no_samples, when samples are stored
};

// The switches of recording_ndi_set_flag, in this order.
enum RecordingFlag : int {
    kRecordingInitializeResult,  // what NDIlib_initialize returns (default true)
    kRecordingSupportedCpu,      // what NDIlib_is_supported_CPU returns (default true)
    kRecordingSendCreateFails,   // NDIlib_send_create returns null (default false)
    kRecordingBlockingAudio,     // the audio call sleeps until its frame is due (default false)
    kRecordingStoreAudioSamples, // keep a copy of every audio frame's samples (default true)
    kRecordingStoreVideoPixels,  // keep a copy of every picture's pixels (default true)
};

// Called on the sending thread inside every NDIlib_send_send_audio_v2, after the call is recorded
// and before it blocks; index counts audio calls since the last reset, from 0.
using RecordingAudioObserver = void (*)(void* user, const void* instance,
                                        const NDIlib_audio_frame_v2_t* frame, uint64_t index);
