// The benchmarks' stand-in for the NDI call surface (see null_runtime.cpp).
#pragma once

#include "ndi_sdk.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

// The next `ticks` audio calls go through; the last one clears `running`.
void NullRuntimeRunTicks(std::atomic<int32_t>& running, int64_t ticks);
