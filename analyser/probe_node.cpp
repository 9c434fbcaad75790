#include "probe_node.h"

#include "address.h"
#include "node_service.h"
#include "session_files.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

CProbeNode::CProbeNode(CMonitor& monitor, CProbeMetrics* metrics, const Options& options,
                       std::string address, int port)
    : m_monitor(monitor), m_metrics(metrics), m_options(options), m_address(std::move(address)),
      m_port(port) {}

CProbeNode::~CProbeNode() {
    m_registration.reset(); // unregistered while the node still answers
    m_node.reset();
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

bool CProbeNode::Serve(http::Server& server) {
    std::string error;
    const std::string sessions = SessionFolder(&error);
    if (sessions.empty()) {
        std::fprintf(stderr, "lirafon-check: NMOS: %s: no node\n", error.c_str());
        return false;
    }
    m_folder = sessions + "/probe-" + std::to_string(getpid());
    std::error_code failed;
    std::filesystem::create_directories(m_folder, failed);
    if (failed) {
        std::fprintf(stderr, "lirafon-check: NMOS: cannot make %s: %s: no node\n", m_folder.c_str(),
                     failed.message().c_str());
        return false;
    }
    m_node = std::make_unique<nmos::Node>(*this);
    // On the network: serving beyond loopback, or told to receive on an interface other than
    // loopback's. Only then may DNS-SD look for a registry there.
    const bool networked = !wire::IsLoopbackAddress(m_address) ||
                           (!m_options.interfaceName.empty() && m_options.interfaceName != "lo");
    m_registration = nmos::ServeNode(server, *m_node, m_options.nmosSettings, m_address, networked,
                                     "lirafon-check");
    return true;
}

nmos::NodeFacts CProbeNode::Facts() {
    nmos::NodeFacts facts;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    facts.hostname = host;
    // Ids stable per host and probe: a probe is known by its port.
    facts.copy = m_port;
    facts.sourceName = "Lirafon probe " + std::to_string(m_port);
    facts.apiHost = m_address;
    facts.apiPort = m_port;
    facts.interfaceMac = "00-00-00-00-00-00";
    facts.nodeDescription = "Line-up probe: the far end of a path, judged";
    facts.deviceDescription = "Line-up analyser";
    for (int n = 1; n <= m_options.receivers; ++n) {
        nmos::ReceiverFacts receiver;
        receiver.role = "receiver-" + std::to_string(n);
        receiver.label = "Lirafon probe " + std::to_string(m_port) + " input " + std::to_string(n);
        receiver.rates = {44100, 48000, 96000};
        receiver.interfaceIp = m_address;
        facts.receivers.push_back(receiver);
    }
    return facts;
}

bool CProbeNode::Receive(const std::string& role, const nmos::ReceiverConnection& connection,
                         std::string* error) {
    if (!connection.enabled || connection.sdp.empty()) {
        m_monitor.Stop(role);
        std::fprintf(stderr, "lirafon-check: NMOS: %s parked%s\n", role.c_str(),
                     connection.enabled ? " (routed without a transport file)" : "");
        return true;
    }
    const std::string path = m_folder + "/" + role + ".sdp";
    if (!WriteFileAtomically(path, connection.sdp, error)) {
        return false;
    }
    InputRequest request;
    request.path = path;
    request.interfaceName = m_options.interfaceName;
    request.mergeBufferMs = m_options.mergeBufferMs;
    request.ptpSocket = m_options.ptpSocket;
    if (!m_monitor.Start(role, request, m_options.expect, error)) {
        return false;
    }
    if (m_metrics != nullptr) {
        m_metrics->SetSender(role, connection.senderId);
    }
    std::fprintf(stderr, "lirafon-check: NMOS: %s routed to sender %s\n", role.c_str(),
                 connection.senderId.empty() ? "(none named)" : connection.senderId.c_str());
    return true;
}
