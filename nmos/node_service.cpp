#include "node_service.h"

#include "address.h"
#include "dns_sd.h"
#include "http_server.h"

#include <QUrl>

#include <cstdio>

namespace nmos {

std::unique_ptr<Registration> ServeNode(http::Server& server, Node& node, const Settings& settings,
                                        const std::string& address, bool networked,
                                        const char* program) {
    // Controllers that are not browsers send no Origin and may change state; a browser context
    // (a page of any origin, or a sandboxed frame's "null") only from an origin the operator
    // listed. Pages of every origin may read.
    http::RoutePolicy policy;
    policy.ownOrigin = false;
    policy.cors = true;
    policy.bodyBytes = 64 * 1024; // a bulk activation of every sender at once
    for (const std::string& origin : settings.allowedOrigins) {
        policy.allowedOrigins.push_back(QByteArray::fromStdString(origin));
    }
    policy.originRefusal = QStringLiteral(
        "changes are not taken from this page's origin: a plant lists its controller's origin in "
        "LIRAFON_NMOS_ALLOWED_ORIGINS");
    Node* target = &node;
    server.AddRoute(QStringLiteral("/x-nmos"), policy, [target](const http::HttpRequest& request) {
        return target->Handle(request).value_or(http::ErrorReply(404, QStringLiteral("not found")));
    });
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    std::fprintf(stderr, "%s: NMOS node %s: http://%s:%d/x-nmos/\n", program,
                 qUtf8Printable(node.NodeId()), host.c_str(), server.Port());
    std::vector<QUrl> registries;
    for (const std::string& registry : settings.registries) {
        registries.emplace_back(QString::fromStdString(registry));
    }
    // DNS-SD is multicast on the network: only for a source set up to send there, as the rest
    // of the built-in runtime keeps to this computer until told otherwise.
    std::unique_ptr<DnsSd> dnsSd;
    if (registries.empty() && !networked) {
        std::fprintf(stderr,
                     "%s: NMOS: the streams stay on this computer, so no registry is "
                     "looked for: name one with LIRAFON_NMOS_REGISTRY\n",
                     program);
    } else if (registries.empty()) {
        dnsSd = std::make_unique<DnsSd>(!wire::IsLoopbackAddress(address));
        std::string error;
        if (!dnsSd->Start(&error)) {
            std::fprintf(stderr,
                         "%s: NMOS: no DNS-SD (avahi-daemon: %s), so no registry is found: name "
                         "one with LIRAFON_NMOS_REGISTRY\n",
                         program, error.c_str());
            dnsSd.reset();
        }
    }
    return std::make_unique<Registration>(node, registries, std::move(dnsSd));
}

} // namespace nmos
