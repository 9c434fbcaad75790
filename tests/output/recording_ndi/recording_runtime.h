// Test access to the recording NDI runtime: a shared library named libndi.so.6 that exports the
// nine NDIlib_* calls and records every call, standing in for the vendor's runtime.
//
//   RecordingRuntime ndi;              // LIRAFON_NDI_RUNTIME=vendor, NDI_RUNTIME_DIR_V6=its
//   folder,
//                                      // library loaded and reset; the destructor restores both
//   NDIlib_initialize();               // the loader now finds and loads the recording library
//   ... run the code under test ...
//   ndi.CallNames();                   // {"NDIlib_initialize", "NDIlib_send_create", ...}
//   ndi.SendCreates()[0].name;         // copies of the records, strings and payloads
//   ndi.Metadata(), ndi.VideoFrames(), ndi.AudioFrames(), ndi.AudioFrameCount()
//
// Steering (set before the code under test runs; Reset() restores every default):
//   SetInitializeResult(false)   NDIlib_initialize returns false
//   SetSupportedCpu(false)       NDIlib_is_supported_CPU returns false
//   SetSendCreateFails(true)     NDIlib_send_create returns null
//   SetVersion("... 5.6.1")      the text NDIlib_version returns
//   SetBlockingAudio(true)       the audio call sleeps until its frame is due (a 1920-sample frame
//                                at 48 kHz every 40 ms, re-anchored when the caller falls behind);
//                                by default it returns at once, so thousands of ticks take ms
//   SetStorePayloads(false)      keep the records but no sample or pixel copies (long runs)
//   SetAudioObserver(fn)         fn(frame, index) on the sending thread in every audio call, to
//                                check every frame without storing them
//
// The object holds its own reference to the library, so the recording survives the loader's
// unload at NDIlib_destroy and can be read afterwards. Link the CMake target
// lirafon_recording_runtime. One object at a time; not copyable.
#pragma once

#include "recording_records.h"

#include <dlfcn.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// For each audio call recorded, in order: whether a picture went out with that tick (a video call
// after it and before the next audio call).
inline std::vector<bool> PictureTicks(const std::vector<RecordedCall>& calls) {
    std::vector<bool> ticks;
    for (const RecordedCall& call : calls) {
        if (call.name == "NDIlib_send_send_audio_v2") {
            ticks.push_back(false);
        } else if (call.name == "NDIlib_send_send_video_v2" && !ticks.empty()) {
            ticks.back() = true;
        }
    }
    return ticks;
}

class RecordingRuntime {
public:
    using AudioObserver = std::function<void(const NDIlib_audio_frame_v2_t& frame, uint64_t index)>;

    RecordingRuntime()
        : m_savedMode(Saved("LIRAFON_NDI_RUNTIME")), m_savedDir(Saved("NDI_RUNTIME_DIR_V6")) {
        const std::string path = Directory() + "/libndi.so.6";
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            throw std::runtime_error("cannot load the recording runtime: " + path);
        }
        setenv("LIRAFON_NDI_RUNTIME", "vendor", 1);
        setenv("NDI_RUNTIME_DIR_V6", Directory().c_str(), 1);
        Reset();
    }
    ~RecordingRuntime() {
        Reset();
        Restore("LIRAFON_NDI_RUNTIME", m_savedMode);
        Restore("NDI_RUNTIME_DIR_V6", m_savedDir);
        dlclose(m_handle);
    }
    RecordingRuntime(const RecordingRuntime&) = delete;
    RecordingRuntime& operator=(const RecordingRuntime&) = delete;

    // The folder holding the recording library (libndi.so.6).
    static std::string Directory() { return LIRAFON_RECORDING_NDI_DIR; }

    void Reset() {
        m_observer = nullptr;
        Call<void (*)()>("recording_ndi_reset")();
    }
    void SetInitializeResult(bool result) { SetFlag(kRecordingInitializeResult, result); }
    void SetSupportedCpu(bool supported) { SetFlag(kRecordingSupportedCpu, supported); }
    void SetSendCreateFails(bool fails) { SetFlag(kRecordingSendCreateFails, fails); }
    void SetBlockingAudio(bool blocking) { SetFlag(kRecordingBlockingAudio, blocking); }
    void SetStorePayloads(bool store) {
        SetFlag(kRecordingStoreAudioSamples, store);
        SetFlag(kRecordingStoreVideoPixels, store);
    }
    void SetStoreAudioSamples(bool store) { SetFlag(kRecordingStoreAudioSamples, store); }
    void SetStoreVideoPixels(bool store) { SetFlag(kRecordingStoreVideoPixels, store); }
    void SetVersion(const std::string& version) {
        Call<void (*)(const char*)>("recording_ndi_set_version")(version.c_str());
    }
    // Pass nullptr to remove. Set before the sending threads start, remove after they end.
    void SetAudioObserver(AudioObserver observer) {
        m_observer = std::move(observer);
        auto set =
            Call<void (*)(RecordingAudioObserver, void*)>("recording_ndi_set_audio_observer");
        if (m_observer) {
            set(&RecordingRuntime::Trampoline, this);
        } else {
            set(nullptr, nullptr);
        }
    }

    std::vector<RecordedCall> Calls() const {
        return Copy<RecordedCall>("recording_ndi_copy_calls");
    }
    std::vector<std::string> CallNames() const {
        std::vector<std::string> names;
        for (const RecordedCall& call : Calls()) {
            names.push_back(call.name);
        }
        return names;
    }
    std::vector<RecordedSendCreate> SendCreates() const {
        return Copy<RecordedSendCreate>("recording_ndi_copy_creates");
    }
    std::vector<RecordedMetadata> Metadata() const {
        return Copy<RecordedMetadata>("recording_ndi_copy_metadata");
    }
    std::vector<RecordedVideo> VideoFrames() const {
        return Copy<RecordedVideo>("recording_ndi_copy_video");
    }
    std::vector<RecordedAudio> AudioFrames() const {
        return Copy<RecordedAudio>("recording_ndi_copy_audio");
    }
    uint64_t AudioFrameCount() const { return Call<uint64_t (*)()>("recording_ndi_audio_count")(); }

private:
    template <typename Fn> Fn Call(const char* name) const {
        void* symbol = dlsym(m_handle, name);
        if (symbol == nullptr) {
            throw std::runtime_error(std::string("recording runtime lacks ") + name);
        }
        return reinterpret_cast<Fn>(symbol);
    }
    template <typename Record> std::vector<Record> Copy(const char* name) const {
        std::vector<Record> records;
        Call<void (*)(std::vector<Record>*)>(name)(&records);
        return records;
    }
    void SetFlag(RecordingFlag flag, bool value) {
        Call<void (*)(int, bool)>("recording_ndi_set_flag")(flag, value);
    }
    static void Trampoline(void* user, const void*, const NDIlib_audio_frame_v2_t* frame,
                           uint64_t index) {
        static_cast<RecordingRuntime*>(user)->m_observer(*frame, index);
    }
    static std::optional<std::string> Saved(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

    std::optional<std::string> m_savedMode;
    std::optional<std::string> m_savedDir;
    void* m_handle = nullptr;
    AudioObserver m_observer;
};
