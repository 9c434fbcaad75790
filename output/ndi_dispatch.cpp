// The nine NDIlib_* calls the rest of the system makes. NDIlib_initialize chooses the runtime once
// (LIRAFON_NDI_RUNTIME=auto|vendor|builtin): the vendor's, loaded at run time when installed, or
// the built-in RTP runtime; every later call is forwarded to that runtime's table.
//
// Threads: NDIlib_initialize and NDIlib_destroy run on the user-interface thread, before the send
// thread starts and after it has been joined, under g_setupLock; the send calls read the chosen
// table through one atomic pointer and may come from several threads at once.
#include "ndi_dispatch.h"

#include "builtin_runtime.h"
#include "ndi_runtime.h"
#include "vendor_loader.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

enum class Mode { automatic, vendor, builtin, invalid };

std::mutex g_setupLock;
CVendorLoader g_vendor;
std::atomic<const NdiRuntimeCalls*> g_active{nullptr};
std::atomic<NdiRuntimeKind> g_activeKind{NdiRuntimeKind::none};

Mode ModeFromEnvironment() {
    const char* value = std::getenv("LIRAFON_NDI_RUNTIME");
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "auto") == 0) {
        return Mode::automatic;
    }
    if (std::strcmp(value, "vendor") == 0) {
        return Mode::vendor;
    }
    if (std::strcmp(value, "builtin") == 0) {
        return Mode::builtin;
    }
    std::fprintf(stderr,
                 "LIRAFON_NDI_RUNTIME=\"%s\" is not valid: expected auto, vendor or builtin\n",
                 value);
    return Mode::invalid;
}

void Activate(const NdiRuntimeCalls* calls, NdiRuntimeKind kind) {
    g_activeKind.store(kind, std::memory_order_release);
    g_active.store(calls, std::memory_order_release);
}

// Loads and starts the vendor runtime. On false the library stays loaded only when its own
// NDIlib_initialize refused, so NDIlib_is_supported_CPU can still ask it why.
bool StartVendor(Mode mode) {
    const CVendorLoader::Result result = g_vendor.Load();
    if (result == CVendorLoader::Result::notFound && mode == Mode::vendor) {
        std::fprintf(stderr,
                     "No NDI runtime found: libndi.so.6 or libndi.so.5 in $NDI_RUNTIME_DIR_V6, "
                     "$NDI_RUNTIME_DIR_V5 or the library path\n");
    }
    if (result != CVendorLoader::Result::loaded) {
        return false;
    }
    if (g_vendor.Calls().initialize()) {
        Activate(&g_vendor.Calls(), NdiRuntimeKind::vendor);
        return true;
    }
    std::fprintf(stderr, "NDI runtime %s could not initialise%s\n", g_vendor.Path().c_str(),
                 mode == Mode::automatic ? "; using the built-in runtime" : "");
    if (mode == Mode::automatic) {
        g_vendor.Unload();
    }
    return false;
}

const NdiRuntimeCalls* Active() {
    return g_active.load(std::memory_order_acquire);
}

} // namespace

NdiRuntimeKind ActiveNdiRuntime() {
    return g_activeKind.load(std::memory_order_acquire);
}

std::string VendorRuntimePath() {
    std::lock_guard guard(g_setupLock);
    return g_vendor.Path();
}

extern "C" {

bool NDIlib_initialize(void) {
    std::lock_guard guard(g_setupLock);
    if (Active() != nullptr) {
        return true;
    }
    g_vendor.Unload(); // a runtime kept from a refused start
    const Mode mode = ModeFromEnvironment();
    if (mode == Mode::invalid) {
        return false;
    }
    if (mode != Mode::builtin && StartVendor(mode)) {
        return true;
    }
    if (mode == Mode::vendor) {
        return false;
    }
    const NdiRuntimeCalls& builtin = BuiltinRuntimeCalls();
    if (!builtin.initialize()) {
        return false;
    }
    Activate(&builtin, NdiRuntimeKind::builtin);
    return true;
}

void NDIlib_destroy(void) {
    std::lock_guard guard(g_setupLock);
    if (const NdiRuntimeCalls* calls = Active()) {
        calls->destroy();
    }
    Activate(nullptr, NdiRuntimeKind::none);
    g_vendor.Unload();
}

const char* NDIlib_version(void) {
    std::lock_guard guard(g_setupLock);
    if (const NdiRuntimeCalls* calls = Active()) {
        return calls->version();
    }
    if (g_vendor.IsLoaded()) {
        return g_vendor.Calls().version();
    }
    return BuiltinRuntimeCalls().version();
}

bool NDIlib_is_supported_CPU(void) {
    std::lock_guard guard(g_setupLock);
    if (const NdiRuntimeCalls* calls = Active()) {
        return calls->isSupportedCpu();
    }
    if (g_vendor.IsLoaded()) {
        return g_vendor.Calls().isSupportedCpu();
    }
    return BuiltinRuntimeCalls().isSupportedCpu();
}

NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings) {
    const NdiRuntimeCalls* calls = Active();
    return calls != nullptr ? calls->sendCreate(p_create_settings) : nullptr;
}

void NDIlib_send_destroy(NDIlib_send_instance_t p_instance) {
    const NdiRuntimeCalls* calls = Active();
    if (calls != nullptr && p_instance != nullptr) {
        calls->sendDestroy(p_instance);
    }
}

void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_video_frame_v2_t* p_video_data) {
    const NdiRuntimeCalls* calls = Active();
    if (calls != nullptr && p_instance != nullptr) {
        calls->sendVideo(p_instance, p_video_data);
    }
}

void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance,
                               const NDIlib_audio_frame_v2_t* p_audio_data) {
    const NdiRuntimeCalls* calls = Active();
    if (calls != nullptr && p_instance != nullptr) {
        calls->sendAudio(p_instance, p_audio_data);
    }
}

void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance,
                                         const NDIlib_metadata_frame_t* p_metadata) {
    const NdiRuntimeCalls* calls = Active();
    if (calls != nullptr && p_instance != nullptr) {
        calls->addConnectionMetadata(p_instance, p_metadata);
    }
}

} // extern "C"
