#include "remote_services.h"

#include "address.h"
#include "builtin_runtime.h"
#include "http_server.h"
#include "ndi_dispatch.h"
#include "nmos_host.h"
#include "nmos_node.h"
#include "node_service.h"
#include "registration.h"


#include <cstdio>

std::unique_ptr<CRemoteServices> CRemoteServices::Start(const control::StartupOptions& options,
                                                        control::ControlTarget& target,
                                                        const Source& source) {
    const control::ControlEndpoint& endpoint = options.control;
    if (!endpoint.basePort) {
        return nullptr;
    }
    const int base = *endpoint.basePort;
    const int port = base == 0 ? 0 : base + source.copy - 1;
    std::unique_ptr<CRemoteServices> services(new CRemoteServices);
    services->m_server = std::make_unique<http::Server>();
    QString error;
    if (port > 65535) {
        error = QStringLiteral("port %1 is beyond 65535").arg(port);
    }
    if (!error.isEmpty() ||
        !services->m_server->Bind(endpoint.address, port, QString::fromStdString(endpoint.token),
                                  &error)) {
        std::fprintf(stderr, "ndi-lirafon: control panel: %s; the tone goes on without it\n",
                     qUtf8Printable(error));
        return nullptr;
    }
    services->m_control = std::make_unique<control::ControlServer>(target, *services->m_server);
    services->StartNmos(options, source);
    services->m_server->Start(); // every route is on it: requests are taken from now on
    std::fprintf(stderr, "ndi-lirafon: control panel: %s\n",
                 qUtf8Printable(services->m_control->PanelAddress()));
    services->AnnounceWebControl(options, source);
    return services;
}

CRemoteServices::~CRemoteServices() {
    m_registration.reset();
    m_nmos.reset();
    m_nmosHost.reset();
    m_control.reset();
    m_server.reset();
}

// The built-in runtime's source as an NMOS node, on the control server's address and port. The
// vendor's runtime sends NDI, which NMOS does not route.
void CRemoteServices::StartNmos(const control::StartupOptions& options, const Source& source) {
    if (!options.nmos.enabled) {
        return;
    }
    if (!source.builtin || source.sender == nullptr) {
        if (options.nmos.named) {
            std::fprintf(stderr, "ndi-lirafon: NMOS: the vendor's NDI runtime sends NDI, not "
                                 "RTP: no NMOS node\n");
        }
        return;
    }
    CRuntimeConfig runtime;
    const bool known = GetBuiltinRuntimeConfig(&runtime);
    const bool networked = known && !runtime.destination.IsLoopback();
    const std::string& address = options.control.address;
    m_nmosHost = std::make_unique<CNmosHost>(source.sender, source.copy, address, m_server->Port(),
                                             !networked, source.channels, source.changed);
    m_nmos = std::make_unique<nmos::Node>(*m_nmosHost);
    m_registration =
        nmos::ServeNode(*m_server, *m_nmos, options.nmos, address, networked, "ndi-lirafon");
}

// NDI receivers offer a sender's web page when its connection metadata names one, and the vendor
// runtime puts in place of %IP% the address each receiver reached this computer on. This second
// element follows the product description, which stays as it is. A panel on loopback could be
// opened from no other computer, and the built-in runtime's receivers have no such offer, so
// neither is announced.
void CRemoteServices::AnnounceWebControl(const control::StartupOptions& options,
                                         const Source& source) {
    if (source.sender == nullptr || source.builtin ||
        wire::IsLoopbackAddress(options.control.address)) {
        return;
    }
    std::string text =
        "<ndi_capabilities web_control=\"http://%IP%:" + std::to_string(m_server->Port()) + "/\"/>";
    NDIlib_metadata_frame_t metadata;
    metadata.length = static_cast<int>(text.size());
    metadata.timecode = NDIlib_send_timecode_synthesize;
    metadata.p_data = text.data();
    NDIlib_send_add_connection_metadata(source.sender, &metadata);
}
