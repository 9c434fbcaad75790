// The probe's HTTP server: /metrics for Prometheus on the --listen address, with the same guard
// as the generator's control server (Host, limits, deadlines; the token on any address but
// loopback). Qt's event loop runs it on this thread while the judging runs on others.
#pragma once

#include "probe_metrics.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace http {
class Server;
}

// Serves metrics on address:port until run() (called on a thread of its own) returns; its
// status, or 2 when the address cannot be had (said on standard error). extend, when given,
// adds to the server (its routes, and what they need kept until the end) before it takes
// requests; false stops the start with status 2.
int ServeWhileRunning(const std::string& address, int port, const std::string& token,
                      CProbeMetrics& metrics, std::atomic<bool>& stop,
                      const std::function<int()>& run,
                      const std::function<std::shared_ptr<void>(http::Server&)>& extend = {});
