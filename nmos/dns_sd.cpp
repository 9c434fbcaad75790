#include "dns_sd.h"

#include "values.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace nmos {

std::vector<FoundRegistry> UsableRegistries(const std::vector<Advert>& adverts) {
    std::vector<FoundRegistry> found;
    for (const Advert& a : adverts) {
        const auto value = [&](const char* key) {
            const auto it = a.txt.find(key);
            return it == a.txt.end() ? std::string() : it->second;
        };
        bool v13 = false;
        std::stringstream versions(value("api_ver"));
        for (std::string version; std::getline(versions, version, ',');) {
            v13 = v13 || version == "v1.3";
        }
        if (value("api_proto") != "http" || !v13 || a.port <= 0 || a.address.empty()) {
            continue;
        }
        const std::optional<int64_t> priority = wire::ParseInteger(value("pri"), 0, 65535);
        if (!priority) {
            continue; // no priority: not an advert a node should use
        }
        QUrl url;
        url.setScheme(QStringLiteral("http"));
        url.setHost(QString::fromStdString(a.address));
        url.setPort(a.port);
        url.setPath(QStringLiteral("/"));
        found.push_back({url, static_cast<int>(*priority)});
    }
    std::stable_sort(
        found.begin(), found.end(),
        [](const FoundRegistry& x, const FoundRegistry& y) { return x.priority < y.priority; });
    return found;
}

struct DnsSd::Impl {
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::mutex lock; // guards adverts (written on avahi's thread)
    std::vector<Advert> adverts;
};

namespace {

void Resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
              const char* name, const char*, const char*, const char*, const AvahiAddress* address,
              uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* data) {
    auto* impl = static_cast<DnsSd::Impl*>(data);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
        Advert advert;
        advert.name = name;
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        advert.address = text;
        advert.port = port;
        for (AvahiStringList* item = txt; item != nullptr;
             item = avahi_string_list_get_next(item)) {
            char* key = nullptr;
            char* value = nullptr;
            if (avahi_string_list_get_pair(item, &key, &value, nullptr) == 0) {
                advert.txt[key] = value != nullptr ? value : "";
                avahi_free(key);
                avahi_free(value);
            }
        }
        std::lock_guard guard(impl->lock);
        auto& list = impl->adverts;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const Advert& a) { return a.name == advert.name; }),
                   list.end());
        list.push_back(advert);
    }
    avahi_service_resolver_free(resolver);
}

void Browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* data) {
    auto* impl = static_cast<DnsSd::Impl*>(data);
    if (event == AVAHI_BROWSER_NEW) {
        // IPv4: the registries' addresses are what a plant's control network uses.
        avahi_service_resolver_new(impl->client, interface, protocol, name, type, domain,
                                   AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), Resolved,
                                   impl);
    } else if (event == AVAHI_BROWSER_REMOVE) {
        std::lock_guard guard(impl->lock);
        auto& list = impl->adverts;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const Advert& a) { return a.name == name; }),
                   list.end());
    }
}

} // namespace

DnsSd::DnsSd(bool advertise) : m_advertise(advertise), m_impl(std::make_unique<Impl>()) {}

DnsSd::~DnsSd() {
    if (m_impl->poll != nullptr) {
        avahi_threaded_poll_stop(m_impl->poll);
    }
    if (m_impl->client != nullptr) {
        avahi_client_free(m_impl->client); // frees the browser, resolvers and group too
    }
    if (m_impl->poll != nullptr) {
        avahi_threaded_poll_free(m_impl->poll);
    }
}

bool DnsSd::Start(std::string* why) {
    m_impl->poll = avahi_threaded_poll_new();
    if (m_impl->poll == nullptr) {
        *why = "out of memory";
        return false;
    }
    int error = 0;
    m_impl->client = avahi_client_new(
        avahi_threaded_poll_get(m_impl->poll), static_cast<AvahiClientFlags>(0),
        [](AvahiClient*, AvahiClientState, void*) {}, nullptr, &error);
    if (m_impl->client == nullptr) {
        *why = avahi_strerror(error);
        return false;
    }
    m_impl->browser = avahi_service_browser_new(
        m_impl->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, "_nmos-register._tcp", nullptr,
        static_cast<AvahiLookupFlags>(0), Browsed, m_impl.get());
    if (m_impl->browser == nullptr || avahi_threaded_poll_start(m_impl->poll) < 0) {
        *why = avahi_strerror(avahi_client_errno(m_impl->client));
        return false;
    }
    return true;
}

std::vector<FoundRegistry> DnsSd::Registries() {
    std::lock_guard guard(m_impl->lock);
    return UsableRegistries(m_impl->adverts);
}

void DnsSd::AdvertiseNode(bool advertise, const std::string& name, int port,
                          const std::map<std::string, int>& versions) {
    if (m_impl->client == nullptr || !m_advertise) {
        return;
    }
    avahi_threaded_poll_lock(m_impl->poll);
    if (m_impl->group == nullptr) {
        m_impl->group = avahi_entry_group_new(
            m_impl->client, [](AvahiEntryGroup*, AvahiEntryGroupState, void*) {}, nullptr);
    }
    if (m_impl->group != nullptr) {
        avahi_entry_group_reset(m_impl->group);
        if (advertise) {
            AvahiStringList* txt =
                avahi_string_list_new("api_proto=http", "api_ver=v1.3", "api_auth=false", nullptr);
            for (const auto& [key, value] : versions) {
                txt = avahi_string_list_add_printf(txt, "%s=%d", key.c_str(), value % 256);
            }
            if (avahi_entry_group_add_service_strlst(
                    m_impl->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                    static_cast<AvahiPublishFlags>(0), name.c_str(), "_nmos-node._tcp", nullptr,
                    nullptr, static_cast<uint16_t>(port), txt) == 0) {
                avahi_entry_group_commit(m_impl->group);
            }
            avahi_string_list_free(txt);
        }
    }
    avahi_threaded_poll_unlock(m_impl->poll);
}

} // namespace nmos
