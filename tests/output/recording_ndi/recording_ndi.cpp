// A stand-in for the vendor's NDI runtime: a shared library named like it that exports the nine
// calls and records every one of them, so the loader, the start-up failure paths and the send
// cadence are tested through the real dlopen path. The recording_ndi_* functions read and steer
// it; tests reach them through recording_runtime.h.
//
// Threads: every entry point may be called from any thread; one mutex guards all state. Nothing
// here calls an NDIlib_* function: the test program defines those names too, and a call by name
// could bind to the program's copy.
#include "recording_records.h"

#include "frame_pacer.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#define RECORDING_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kDefaultVersion = "NDI SDK LINUX recording stand-in 6.0.1";

struct Options {
    bool initializeResult = true;
    bool supportedCpu = true;
    bool sendCreateFails = false;
    bool blockingAudio = false;
    bool storeAudioSamples = true;
    bool storeVideoPixels = true;
    std::string version = kDefaultVersion;
    RecordingAudioObserver observer = nullptr;
    void* observerUser = nullptr;
};

struct FakeSender {
    CFramePacer pacer;
};

struct State {
    std::mutex lock;
    Options options;
    std::vector<RecordedCall> calls;
    std::vector<RecordedSendCreate> creates;
    std::vector<RecordedMetadata> metadata;
    std::vector<RecordedVideo> video;
    std::vector<RecordedAudio> audio;
    uint64_t audioCount = 0;
    std::map<const void*, std::unique_ptr<FakeSender>> senders;
    std::string versionReturned; // what NDIlib_version handed out; stays valid until the next call
};

State& TheState() {
    static State state;
    return state;
}

int64_t Record(State& s, const char* name, const void* instance) {
    const int64_t now = MonotonicNowNs();
    s.calls.push_back(RecordedCall{name, now, instance});
    return now;
}

std::vector<uint8_t> CopyPixels(const NDIlib_video_frame_v2_t& frame) {
    if (frame.p_data == nullptr || frame.xres <= 0 || frame.yres <= 0) {
        return {};
    }
    const int stride = frame.line_stride_in_bytes > 0 ? frame.line_stride_in_bytes : frame.xres * 4;
    const size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(frame.yres);
    return std::vector<uint8_t>(frame.p_data, frame.p_data + bytes);
}

std::vector<float> CopySamples(const NDIlib_audio_frame_v2_t& frame) {
    if (frame.p_data == nullptr || frame.no_channels <= 0 || frame.no_samples <= 0) {
        return {};
    }
    const size_t planeSamples = static_cast<size_t>(frame.no_samples);
    std::vector<float> samples(planeSamples * static_cast<size_t>(frame.no_channels));
    const auto* base = reinterpret_cast<const uint8_t*>(frame.p_data);
    for (int c = 0; c < frame.no_channels; ++c) {
        std::memcpy(samples.data() + static_cast<size_t>(c) * planeSamples,
                    base +
                        static_cast<size_t>(c) * static_cast<size_t>(frame.channel_stride_in_bytes),
                    planeSamples * sizeof(float));
    }
    return samples;
}

} // namespace

// ---- The nine calls of the NDI runtime.

RECORDING_EXPORT bool NDIlib_initialize(void) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    Record(s, "NDIlib_initialize", nullptr);
    return s.options.initializeResult;
}

RECORDING_EXPORT void NDIlib_destroy(void) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    Record(s, "NDIlib_destroy", nullptr);
}

RECORDING_EXPORT const char* NDIlib_version(void) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    Record(s, "NDIlib_version", nullptr);
    s.versionReturned = s.options.version;
    return s.versionReturned.c_str();
}

RECORDING_EXPORT bool NDIlib_is_supported_CPU(void) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    Record(s, "NDIlib_is_supported_CPU", nullptr);
    return s.options.supportedCpu;
}

RECORDING_EXPORT NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* settings) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    RecordedSendCreate create;
    create.settingsNull = settings == nullptr;
    if (settings != nullptr) {
        create.settings = *settings;
        create.hasName = settings->p_ndi_name != nullptr;
        create.name = create.hasName ? settings->p_ndi_name : "";
        create.hasGroups = settings->p_groups != nullptr;
        create.groups = create.hasGroups ? settings->p_groups : "";
    }
    NDIlib_send_instance_t instance = nullptr;
    if (!s.options.sendCreateFails) {
        auto sender = std::make_unique<FakeSender>();
        instance = reinterpret_cast<NDIlib_send_instance_t>(sender.get());
        s.senders.emplace(instance, std::move(sender));
    }
    create.instance = instance;
    Record(s, "NDIlib_send_create", instance);
    s.creates.push_back(std::move(create));
    return instance;
}

RECORDING_EXPORT void NDIlib_send_destroy(NDIlib_send_instance_t instance) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    Record(s, "NDIlib_send_destroy", instance);
    s.senders.erase(instance);
}

RECORDING_EXPORT void NDIlib_send_send_video_v2(NDIlib_send_instance_t instance,
                                                const NDIlib_video_frame_v2_t* frame) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    RecordedVideo video;
    video.instance = instance;
    video.monotonicNs = Record(s, "NDIlib_send_send_video_v2", instance);
    if (frame != nullptr) {
        video.frame = *frame;
        if (s.options.storeVideoPixels) {
            video.pixels = CopyPixels(*frame);
        }
    }
    s.video.push_back(std::move(video));
}

#ifndef RECORDING_NDI_OMIT_METADATA
RECORDING_EXPORT void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t instance,
                                                          const NDIlib_metadata_frame_t* metadata) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    Record(s, "NDIlib_send_add_connection_metadata", instance);
    RecordedMetadata record;
    record.instance = instance;
    if (metadata != nullptr) {
        record.frame = *metadata;
        record.hasText = metadata->p_data != nullptr;
        record.text = record.hasText ? metadata->p_data : "";
    }
    s.metadata.push_back(std::move(record));
}
#endif

RECORDING_EXPORT void NDIlib_send_send_audio_v2(NDIlib_send_instance_t instance,
                                                const NDIlib_audio_frame_v2_t* frame) {
    State& s = TheState();
    RecordingAudioObserver observer = nullptr;
    void* observerUser = nullptr;
    uint64_t index = 0;
    int64_t dueNs = 0;
    {
        std::lock_guard guard(s.lock);
        RecordedAudio audio;
        audio.instance = instance;
        audio.monotonicNs = Record(s, "NDIlib_send_send_audio_v2", instance);
        dueNs = audio.monotonicNs;
        if (frame != nullptr) {
            audio.frame = *frame;
            auto sender = s.senders.find(instance);
            if (s.options.blockingAudio && sender != s.senders.end()) {
                dueNs = sender->second->pacer.Take(audio.monotonicNs, frame->no_samples,
                                                   frame->sample_rate);
            }
            if (s.options.storeAudioSamples) {
                audio.samples = CopySamples(*frame);
            }
        }
        audio.dueNs = dueNs;
        index = s.audioCount++;
        observer = s.options.observer;
        observerUser = s.options.observerUser;
        s.audio.push_back(std::move(audio));
    }
    if (observer != nullptr && frame != nullptr) {
        observer(observerUser, instance, frame, index);
    }
    SleepUntilNs(dueNs);
}

// ---- Steering and reading the recording.

RECORDING_EXPORT void recording_ndi_reset(void) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    s.options = Options{};
    s.calls.clear();
    s.creates.clear();
    s.metadata.clear();
    s.video.clear();
    s.audio.clear();
    s.audioCount = 0;
    for (auto& sender : s.senders) {
        sender.second->pacer.Reset();
    }
}

RECORDING_EXPORT void recording_ndi_set_flag(int what, bool value) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    bool* flags[] = {&s.options.initializeResult,  &s.options.supportedCpu,
                     &s.options.sendCreateFails,   &s.options.blockingAudio,
                     &s.options.storeAudioSamples, &s.options.storeVideoPixels};
    if (what >= 0 && what < static_cast<int>(std::size(flags))) {
        *flags[what] = value;
    }
}

RECORDING_EXPORT void recording_ndi_set_version(const char* version) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    s.options.version = version != nullptr ? version : "";
}

RECORDING_EXPORT void recording_ndi_set_audio_observer(RecordingAudioObserver observer,
                                                       void* user) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    s.options.observer = observer;
    s.options.observerUser = user;
}

RECORDING_EXPORT uint64_t recording_ndi_audio_count(void) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    return s.audioCount;
}

RECORDING_EXPORT void recording_ndi_copy_calls(std::vector<RecordedCall>* out) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    *out = s.calls;
}

RECORDING_EXPORT void recording_ndi_copy_creates(std::vector<RecordedSendCreate>* out) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    *out = s.creates;
}

RECORDING_EXPORT void recording_ndi_copy_metadata(std::vector<RecordedMetadata>* out) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    *out = s.metadata;
}

RECORDING_EXPORT void recording_ndi_copy_video(std::vector<RecordedVideo>* out) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    *out = s.video;
}

RECORDING_EXPORT void recording_ndi_copy_audio(std::vector<RecordedAudio>* out) {
    State& s = TheState();
    std::lock_guard guard(s.lock);
    *out = s.audio;
}
