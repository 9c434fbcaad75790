// Loads the vendor's NDI runtime at run time, so nothing of it is needed to build or to run:
// libndi.so.6, then libndi.so.5, looked for in $NDI_RUNTIME_DIR_V6, then $NDI_RUNTIME_DIR_V5,
// then on the library path and in the loader's cache, then in the usual system folders (where
// the set-up installs it, in case the cache was not renewed). A library is taken only when all nine
// calls resolve by name.
//
// Threads: used only under the dispatcher's set-up lock.
#pragma once

#include "ndi_runtime.h"

#include <string>
#include <vector>

class CVendorLoader {
public:
    enum class Result { loaded, notFound, incomplete };

    CVendorLoader() = default;
    ~CVendorLoader() { Unload(); }
    CVendorLoader(const CVendorLoader&) = delete;
    CVendorLoader& operator=(const CVendorLoader&) = delete;

    // Loads the first runtime found. A library that lacks a call is unloaded again and reported
    // in one stderr line naming the library and the call; a file that is there but does not load
    // is reported the same way and the search goes on.
    Result Load();
    void Unload();

    bool IsLoaded() const { return m_handle != nullptr; }
    const NdiRuntimeCalls& Calls() const { return m_calls; }

    // Binds the find and receive calls of the loaded runtime, for programs that receive. False,
    // with the first missing call named in *missing, when the runtime lacks one; the send calls
    // stay usable either way.
    bool ResolveReceiveCalls(std::string* missing);

    // Keeps the loaded runtime in memory for the rest of the process, even after Unload. For
    // programs about to exit: the vendor's runtime keeps memory and threads after its destroy
    // call, and what it kept can then still be told apart from the program's own.
    void Pin() const;
    const NdiReceiveCalls& ReceiveCalls() const { return m_receiveCalls; }
    const std::string& Path() const { return m_path; }

    // The files tried, in order: a folder's entries only when its variable is set.
    static std::vector<std::string> Candidates();

private:
    bool Resolve();

    void* m_handle = nullptr;
    NdiRuntimeCalls m_calls{};
    NdiReceiveCalls m_receiveCalls{};
    std::string m_path;
};
