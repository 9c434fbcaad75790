// The probe as an NMOS node (--nmos): receivers a controller routes, each activation with a
// sender's transport file judged as an input of the probe from its next packet, master_enable
// false stopping it. The node, its route and its registration are the generator's own (nmos/);
// this is the probe's side of it.
//
// Threads: the Qt thread of the probe's server; the monitor it starts inputs on is thread-safe.
#pragma once

#include "monitor.h"
#include "nmos_node.h"
#include "registration.h"

#include <memory>
#include <string>

namespace http {
class Server;
}

class CProbeNode : public nmos::NodeHost {
public:
    // address: the --listen address; port: the one the server took.
    // metrics: where each routed input is labelled with its sender, if the probe keeps any.
    CProbeNode(CMonitor& monitor, CProbeMetrics* metrics, const Options& options,
               std::string address, int port);
    ~CProbeNode() override;
    // The node on the server, registered as the settings say; false with the reason on stderr.
    bool Serve(http::Server& server);

    nmos::NodeFacts Facts() override;
    bool Activate(const std::string&, const std::vector<nmos::Transport>&, bool,
                  std::string* error) override {
        *error = "the probe has no senders";
        return false;
    }
    std::string TransportFile(const std::string&) override { return {}; }
    bool Receive(const std::string& role, const nmos::ReceiverConnection& connection,
                 std::string* error) override;

private:
    CMonitor& m_monitor;
    CProbeMetrics* const m_metrics;
    const Options& m_options;
    const std::string m_address;
    const int m_port;
    std::string m_folder; // the routed streams' session descriptions
    std::unique_ptr<nmos::Node> m_node;
    std::unique_ptr<nmos::Registration> m_registration;
};
