// A node on a program's HTTP server: its route under /x-nmos/ with who may change what, the line
// that says where it is, and its registration (the registries named, else those DNS-SD finds
// where the program is on the network). The same for the generator's senders and the probe's
// receivers.
#pragma once

#include "nmos_node.h"
#include "nmos_settings.h"
#include "registration.h"

#include <memory>
#include <string>

namespace http {
class Server;
}

namespace nmos {

// networked: the program sends or receives beyond this computer, so DNS-SD may look for a
// registry there. program: the name the lines on stderr begin with.
std::unique_ptr<Registration> ServeNode(http::Server& server, Node& node, const Settings& settings,
                                        const std::string& address, bool networked,
                                        const char* program);

} // namespace nmos
