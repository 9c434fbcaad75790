// The vendor runtime's symbols are reached only here, by name, through dlsym: the program links
// nothing of the vendor, and a runtime of another version that lacks a call is refused whole
// rather than half used.
#include "vendor_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace {

constexpr const char* kLibraryNames[] = {"libndi.so.6", "libndi.so.5"};
constexpr const char* kFolderVariables[] = {"NDI_RUNTIME_DIR_V6", "NDI_RUNTIME_DIR_V5"};
// Where a runtime installed for every program lives; dlopen's own search covers them only
// through the loader's cache, which a copy made without ldconfig is not in.
constexpr const char* kSystemFolders[] = {"/usr/local/lib", "/usr/lib/x86_64-linux-gnu",
                                          "/usr/lib"};

template <typename Fn>
bool Bind(void* handle, const char* name, Fn& slot, const std::string& path) {
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
    if (slot == nullptr) {
        std::fprintf(stderr, "NDI runtime %s lacks the call %s; not used\n", path.c_str(), name);
        return false;
    }
    return true;
}

} // namespace

std::vector<std::string> CVendorLoader::Candidates() {
    std::vector<std::string> candidates;
    for (const char* variable : kFolderVariables) {
        const char* folder = std::getenv(variable);
        if (folder == nullptr || folder[0] == '\0') {
            continue;
        }
        for (const char* name : kLibraryNames) {
            candidates.push_back(std::string(folder) + "/" + name);
        }
    }
    // A bare name makes dlopen search LD_LIBRARY_PATH, the loader cache and the system folders.
    for (const char* name : kLibraryNames) {
        candidates.push_back(name);
    }
    for (const char* folder : kSystemFolders) {
        for (const char* name : kLibraryNames) {
            candidates.push_back(std::string(folder) + "/" + name);
        }
    }
    return candidates;
}

CVendorLoader::Result CVendorLoader::Load() {
    Unload();
    for (const std::string& candidate : Candidates()) {
        const bool inFolder = candidate.find('/') != std::string::npos;
        if (inFolder && access(candidate.c_str(), F_OK) != 0) {
            continue;
        }
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            // Not on the library path is the usual case and not worth a word; a file that is
            // there but will not load is.
            if (inFolder) {
                const char* why = dlerror();
                std::fprintf(stderr, "NDI runtime %s does not load: %s\n", candidate.c_str(),
                             why != nullptr ? why : "unknown error");
            }
            continue;
        }
        m_handle = handle;
        m_path = candidate;
        // A bare name was found by dlopen's own search: say which file that was.
        link_map* map = nullptr;
        if (!inFolder && dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
            map->l_name != nullptr && map->l_name[0] == '/') {
            m_path = map->l_name;
        }
        if (!Resolve()) {
            Unload();
            return Result::incomplete;
        }
        return Result::loaded;
    }
    return Result::notFound;
}

bool CVendorLoader::Resolve() {
    NdiRuntimeCalls& c = m_calls;
    const std::string& p = m_path;
    return Bind(m_handle, "NDIlib_initialize", c.initialize, p) &&
           Bind(m_handle, "NDIlib_destroy", c.destroy, p) &&
           Bind(m_handle, "NDIlib_version", c.version, p) &&
           Bind(m_handle, "NDIlib_is_supported_CPU", c.isSupportedCpu, p) &&
           Bind(m_handle, "NDIlib_send_create", c.sendCreate, p) &&
           Bind(m_handle, "NDIlib_send_destroy", c.sendDestroy, p) &&
           Bind(m_handle, "NDIlib_send_send_video_v2", c.sendVideo, p) &&
           Bind(m_handle, "NDIlib_send_send_audio_v2", c.sendAudio, p) &&
           Bind(m_handle, "NDIlib_send_add_connection_metadata", c.addConnectionMetadata, p);
}

void CVendorLoader::Pin() const {
    if (m_handle != nullptr) {
        // Adds a reference that is never dropped; RTLD_NOLOAD finds the library already open.
        [[maybe_unused]] void* pinned =
            dlopen(m_path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

bool CVendorLoader::ResolveReceiveCalls(std::string* missing) {
    NdiReceiveCalls& c = m_receiveCalls;
    const char* lacking = nullptr;
    auto bind = [&](const char* name, auto& slot) {
        if (lacking == nullptr) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
                m_handle != nullptr ? dlsym(m_handle, name) : nullptr);
            if (slot == nullptr) {
                lacking = name;
            }
        }
    };
    bind("NDIlib_find_create_v2", c.findCreate);
    bind("NDIlib_find_destroy", c.findDestroy);
    bind("NDIlib_find_wait_for_sources", c.findWaitForSources);
    bind("NDIlib_find_get_current_sources", c.findGetCurrentSources);
    bind("NDIlib_recv_create_v3", c.recvCreate);
    bind("NDIlib_recv_destroy", c.recvDestroy);
    bind("NDIlib_recv_capture_v2", c.recvCapture);
    bind("NDIlib_recv_free_video_v2", c.recvFreeVideo);
    bind("NDIlib_recv_free_audio_v2", c.recvFreeAudio);
    bind("NDIlib_recv_free_metadata", c.recvFreeMetadata);
    bind("NDIlib_recv_get_web_control", c.recvGetWebControl);
    bind("NDIlib_recv_free_string", c.recvFreeString);
    if (lacking != nullptr) {
        if (missing != nullptr) {
            *missing = lacking;
        }
        m_receiveCalls = NdiReceiveCalls{};
        return false;
    }
    return true;
}

void CVendorLoader::Unload() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
    m_handle = nullptr;
    m_calls = NdiRuntimeCalls{};
    m_receiveCalls = NdiReceiveCalls{};
    m_path.clear();
}
