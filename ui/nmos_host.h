// The program's side of the NMOS node: what the built-in runtime's source is and sends, read
// from the runtime at each request, and the activations put through to it.
#pragma once

#include "ndi_sdk.h"
#include "nmos_node.h"

#include <functional>
#include <string>

class CNmosHost : public nmos::NodeHost {
public:
    // loopbackOnly: the source was set up to keep its streams on this computer, so a controller
    // (or a web page that reaches the API) cannot send them out of it. channels: the channel
    // count sent now; changed: called after every activation.
    CNmosHost(NDIlib_send_instance_t sender, int copy, std::string apiHost, int apiPort,
              bool loopbackOnly, std::function<int()> channels, std::function<void()> changed);

    nmos::NodeFacts Facts() override;
    bool Activate(const std::string& role, const std::vector<nmos::Transport>& legs,
                  bool masterEnable, std::string* error) override;
    std::string TransportFile(const std::string& role) override;
    std::optional<int64_t> PtpNowNs() override;

private:
    NDIlib_send_instance_t m_sender;
    int m_copy;
    std::string m_apiHost;
    int m_apiPort;
    std::function<int()> m_channels;
    std::function<void()> m_changed;
    bool m_loopbackOnly = true;
};
