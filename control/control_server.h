// The control server: the settings, the state and the card over HTTP and WebSocket, and the web
// control panel, on one port. It lives on the user-interface thread (the Qt event loop), so every
// change it makes runs exactly where the window's own handlers run, with no locks of its own.
//
// A browser on this computer can be made to talk to loopback by any web page, so: the Host header
// must name the listening address (no DNS-rebinding names); every change and every WebSocket
// carries the panel's own Origin or none (command-line clients); changes are JSON only; bodies are
// size-limited; and on any address but loopback every request needs the token.
#pragma once

#include "remote_settings.h"

#include <QHostAddress>
#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace control {

class HttpAdapter;
struct HttpRequest;
struct HttpReply;

// What the server controls: the window, in the program.
class ControlTarget {
public:
    virtual ~ControlTarget() = default;
    // Every setting under the API's names, and what the source is and sends.
    virtual QJsonObject ControlState() = 0;
    // Applies an already validated change through the window's own handlers.
    virtual void ApplySettings(const SettingsChange& change) = 0;
    // The picture as it is being sent now.
    virtual QImage CardPicture() = 0;
};

// Reads a JSON object of settings (the API's names) as one change. nullopt with one line naming
// the setting and what it accepts when any value is refused.
std::optional<SettingsChange> SettingsFromJson(const QJsonObject& object, QString* error);

class ControlServer : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype kMaxBodyBytes = 16 * 1024;

    ControlServer(ControlTarget& target, QObject* parent = nullptr);
    ~ControlServer() override;

    // Listens on address:port (0: any free port). False with the reason in *error.
    bool Listen(const QString& address, int port, const QString& token, QString* error);
    quint16 Port() const { return m_port; }
    QString PanelAddress() const;

    // Something changed (whoever changed it): every WebSocket client gets the new state, once per
    // turn of the event loop however many changes came together.
    void NotifyChanged();

    // Requests under /x-nmos/ go to this handler (the NMOS node's APIs): it answers them on this
    // thread, after the same guard as every request, except that an Origin of "null" (what NMOS
    // tools and sandboxed controller pages send) is let through there.
    using ApiRoute = std::function<std::optional<HttpReply>(const HttpRequest&)>;
    void SetNmosRoute(ApiRoute route) { m_nmosRoute = std::move(route); }

private:
    // Network thread, the moment a request's headers are complete: Host, token, Origin. Reads
    // only what Listen set, which never changes after.
    std::optional<HttpReply> Guard(const HttpRequest& request) const;
    // User-interface thread: a whole request that passed the guard.
    HttpReply Handle(const HttpRequest& request);
    HttpReply Route(const HttpRequest& request);
    HttpReply PatchSettings(const HttpRequest& request);
    HttpReply Login(const HttpRequest& request);
    bool HostAllowed(const QByteArray& host) const;
    bool OriginAllowed(const QByteArray& origin, const QByteArray& host) const;
    // Token mode: a live session (the sign-in's cookie) or the token itself, which a client
    // address that guessed wrong too often may not try for a while (*throttledFor: seconds).
    bool Authorised(const HttpRequest& request, int* throttledFor) const;
    bool TokenMatches(const QByteArray& given, const QByteArray& peer, int* throttledFor) const;
    HttpReply Logout(const HttpRequest& request);
    QByteArray SessionId(const HttpRequest& request) const;
    void AcceptWebSocket(int client);
    void PushState();
    QByteArray StateJson();

    ControlTarget& m_target;
    std::unique_ptr<HttpAdapter> m_http;
    QSet<int> m_clients;
    QString m_address;
    QString m_token;
    QByteArray m_cookieName; // carries the port: copies on one computer never share a session
    quint16 m_port = 0;

    using Clock = std::chrono::steady_clock;
    struct Failures {
        int count = 0;
        int lockouts = 0;
        Clock::time_point since;
        Clock::time_point lockedUntil;
    };
    // Read by the guard on the network thread and by the sign-in on this one.
    mutable std::mutex m_authLock;
    mutable std::map<QByteArray, Clock::time_point> m_sessions; // id -> expiry
    mutable std::map<QByteArray, Failures> m_failures;          // by client address
    ApiRoute m_nmosRoute;
    bool m_pushPending = false;
    quint64 m_revision = 0; // counts changes; every state sent says which it reflects
};

} // namespace control
