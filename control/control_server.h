// The control server: the settings, the state and the card over HTTP and WebSocket, and the web
// control panel, on one port. It lives on the user-interface thread (the Qt event loop), so every
// change it makes runs exactly where the window's own handlers run, with no locks of its own.
//
// A browser on this computer can be made to talk to loopback by any web page, so the server's
// guard holds every request to its Host and token, and this route's policy takes changes and
// WebSockets only from the panel's own Origin or none (command-line clients); changes are JSON
// only and bodies are size-limited.
#pragma once

#include "http_types.h"
#include "remote_settings.h"

#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

namespace http {
class Server;
} // namespace http

namespace control {

using http::HttpReply;
using http::HttpRequest;

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

    // Registers the panel and the API on server ("/" and below, WebSocket on the same port) and
    // its sign-in page; the server is started by its owner once every route is on it.
    ControlServer(ControlTarget& target, http::Server& server, QObject* parent = nullptr);
    ~ControlServer() override;

    quint16 Port() const;
    QString PanelAddress() const;

    // Something changed (whoever changed it): every WebSocket client gets the new state, once per
    // turn of the event loop however many changes came together.
    void NotifyChanged();

private:
    HttpReply Route(const HttpRequest& request);
    HttpReply PatchSettings(const HttpRequest& request);
    void AcceptWebSocket(int client);
    void PushState();
    QByteArray StateJson();

    ControlTarget& m_target;
    http::Server& m_server;
    QSet<int> m_clients;
    bool m_pushPending = false;
    quint64 m_revision = 0; // counts changes; every state sent says which it reflects
};

} // namespace control
