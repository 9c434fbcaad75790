// Which NDI runtime the nine NDIlib_* calls go to, for the start-up report. The choice is made by
// NDIlib_initialize (LIRAFON_NDI_RUNTIME=auto|vendor|builtin, default auto) and undone by
// NDIlib_destroy.
#pragma once

#include <string>

enum class NdiRuntimeKind { none, vendor, builtin };

// The runtime in use since the last successful NDIlib_initialize; none before it and after
// NDIlib_destroy.
NdiRuntimeKind ActiveNdiRuntime();
// The file of the loaded vendor runtime ("" when none is loaded).
std::string VendorRuntimePath();
