// An NDI source as the analyser's input, received through the vendor's NDI runtime: found by
// name through mDNS (or at the addresses given), its audio handed out like any stream's, and what
// only NDI carries (the audio frame size, the frames' arrival jitter, the connection metadata, the
// picture's format and rate) kept for the report.
#pragma once

#include "pcm_input.h"

#include <memory>
#include <string>

// The source whose whole name is `name`, or whose name's part in parentheses is (so "QEL Audio
// Tone 1" finds "STUDIO-4 (QEL Audio Tone 1)"). extraIps: comma-separated addresses to ask
// directly, for computers mDNS cannot reach. Waits up to timeoutMs for the source and its first
// audio frame (the channel count and rate are known from it). nullptr with the reason in *error;
// *noRuntime tells a missing runtime from a missing source.
std::unique_ptr<CPcmInput> OpenNdi(const std::string& name, const std::string& extraIps,
                                   int timeoutMs, std::string* error, bool* noRuntime);

// NDI's float scale: a sample of 1.0 is +4 dBu, so dBu = dBFS of that scale + 4.
constexpr double kNdiDbuOffset = 4.0;
