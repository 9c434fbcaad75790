// Whether a vendor NDI runtime is installed where the loader looks without a folder variable:
// "auto" then chooses it, and the tests of the built-in fallback have nothing to fall back from.
#pragma once

#include "scoped_env.h"
#include "vendor_loader.h"

inline bool SystemHasVendorRuntime() {
    ScopedEnv env;
    env.Clear("NDI_RUNTIME_DIR_V6").Clear("NDI_RUNTIME_DIR_V5");
    CVendorLoader loader;
    if (loader.Load() != CVendorLoader::Result::loaded) {
        return false;
    }
    loader.Pin(); // what the vendor's runtime keeps is then named in leak reports (lsan.supp)
    return true;
}
