// Asks avahi-daemon for its state through its own client library, as the vendor runtime does:
// one connection to the system bus, opened and closed at start-up, never per frame.
#include "avahi_probe.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

bool AvahiDaemonReachable(std::string* why) {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (poll == nullptr) {
        if (why != nullptr) {
            *why = "out of memory";
        }
        return false;
    }
    int error = 0;
    // No AVAHI_CLIENT_NO_FAIL: a missing daemon is an error here, not something to wait for.
    AvahiClient* client = avahi_client_new(
        avahi_simple_poll_get(poll), static_cast<AvahiClientFlags>(0),
        [](AvahiClient*, AvahiClientState, void*) {}, nullptr, &error);
    bool reachable = false;
    if (client != nullptr) {
        const AvahiClientState state = avahi_client_get_state(client);
        reachable = state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING ||
                    state == AVAHI_CLIENT_S_COLLISION;
        if (!reachable && why != nullptr) {
            *why = "the daemon is not running";
        }
        avahi_client_free(client);
    } else if (why != nullptr) {
        *why = avahi_strerror(error);
    }
    avahi_simple_poll_free(poll);
    return reachable;
}
