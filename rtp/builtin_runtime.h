// The built-in runtime: publishes each source over RTP (L24 audio, RFC 4175 video) with an SDP
// file and SAP announcements, to 127.0.0.1 unless configured otherwise (runtime_config.h).
// NDIlib_version's last word is its own version.
#pragma once

#include "builtin_sender.h"
#include "ndi_runtime.h"

// The nine calls, for the dispatcher.
const NdiRuntimeCalls& BuiltinRuntimeCalls();

// What a terminal user is told about a source of the built-in runtime (destination, ports, SDP
// file), and its counters. False when the sender is not a live built-in one.
bool GetBuiltinSenderInfo(NDIlib_send_instance_t sender, BuiltinSenderInfo* info);
bool GetBuiltinSenderStats(NDIlib_send_instance_t sender, BuiltinSenderStats* stats);
// Moves one stream of a live built-in source (CBuiltinSender::Retarget); false with the reason.
bool RetargetBuiltinSender(NDIlib_send_instance_t sender, BuiltinStream stream,
                           const CSocketAddress& destination, bool enabled, std::string* error,
                           int leg = 0);
// PTP time now (TAI, nanoseconds) and the clock's state, when the runtime follows a PTP clock;
// false when it runs free.
bool BuiltinPtpNow(int64_t* ptpNowNs, PtpReference* reference);
// The configuration the runtime was initialised with, read once from the environment; false
// before NDIlib_initialize succeeded.
bool GetBuiltinRuntimeConfig(CRuntimeConfig* config);
// One stream's current session description ("" when there is none).
std::string BuiltinStreamSdp(NDIlib_send_instance_t sender, BuiltinStream stream);
