// DNS-SD for the node, through avahi-daemon (as the vendor's NDI runtime uses it): browses for
// registries (_nmos-register._tcp) and resolves each, and advertises the node itself
// (_nmos-node._tcp) while it is not registered (IS-04's peer-to-peer mode). avahi's own thread
// runs the callbacks; what they find is kept under a lock for the user-interface thread to read.
#pragma once

#include <QUrl>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiServiceBrowser;
struct AvahiEntryGroup;

namespace nmos {

struct FoundRegistry {
    QUrl url;
    int priority = 100;
};

// The registries a node may use, best first: api_proto http, api_ver naming v1.3, by priority
// (lower first; IS-04's TXT record "pri"), the order found among equals. Pure, for the tests.
struct Advert {
    std::string name;
    std::string address; // numeric
    int port = 0;
    std::map<std::string, std::string> txt;
};
std::vector<FoundRegistry> UsableRegistries(const std::vector<Advert>& adverts);

class DnsSd {
public:
    // advertise: the node's API is reachable from other computers, so peers may be told of it.
    explicit DnsSd(bool advertise);
    ~DnsSd();
    DnsSd(const DnsSd&) = delete;
    DnsSd& operator=(const DnsSd&) = delete;

    // False (with avahi's words in *why) when avahi-daemon cannot be reached.
    bool Start(std::string* why);
    std::vector<FoundRegistry> Registries();
    // Advertises the node's API at port (api_ver v1.3, api_proto http, api_auth false) with the
    // ver_* counters, or withdraws it when advertise is false. The counters are 0 to 255.
    void AdvertiseNode(bool advertise, const std::string& name, int port,
                       const std::map<std::string, int>& versions);

    struct Impl;

private:
    const bool m_advertise;
    std::unique_ptr<Impl> m_impl;
};

} // namespace nmos
