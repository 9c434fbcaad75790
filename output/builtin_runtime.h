#pragma once

#include "ndi_runtime.h"

// The built-in RTP runtime's nine calls.
const NdiRuntimeCalls& BuiltinRuntimeCalls();
