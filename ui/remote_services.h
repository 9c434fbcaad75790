// The program's servers, started in one place: the HTTP server on the control address, the
// control panel and API as its "/" route, and, for the built-in runtime, the NMOS node as its
// "/x-nmos" route with the origins the operator allowed, then registration with a registry.
// The window only says when its sender has started and hands over what the servers control.
//
// Threads: the user-interface thread only.
#pragma once

#include "control_server.h"
#include "ndi_sdk.h"
#include "remote_settings.h"

#include <functional>
#include <memory>

class CNmosHost;
namespace http {
class Server;
} // namespace http
namespace nmos {
class Node;
class Registration;
} // namespace nmos

class CRemoteServices {
public:
    struct Source {
        NDIlib_send_instance_t sender = nullptr;
        bool builtin = false; // the built-in runtime's (NMOS routes RTP, not NDI)
        int copy = 1;
        std::function<int()> channels; // sent now
        std::function<void()> changed; // after an NMOS activation
    };

    // Starts what the options ask for; nullptr when there is no control server (off, or its port
    // could not be had: said on stderr, and the tone goes on without it).
    static std::unique_ptr<CRemoteServices> Start(const control::StartupOptions& options,
                                                  control::ControlTarget& target,
                                                  const Source& source);
    // The node and its registration go first, so nothing re-targets a source being stopped.
    ~CRemoteServices();

    control::ControlServer& Control() { return *m_control; }

private:
    CRemoteServices() = default;
    void StartNmos(const control::StartupOptions& options, const Source& source);
    void AnnounceWebControl(const control::StartupOptions& options, const Source& source);

    std::unique_ptr<http::Server> m_server;
    std::unique_ptr<control::ControlServer> m_control;
    std::unique_ptr<CNmosHost> m_nmosHost;
    std::unique_ptr<nmos::Node> m_nmos;
    std::unique_ptr<nmos::Registration> m_registration;
};
