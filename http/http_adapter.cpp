// Boost.Beast behind our own request and reply. One network thread runs every connection; its
// parser stops at the header and body limits while it reads, every read has a deadline, and the
// guard judges Host, Origin and token the moment the headers are complete, so a refused request
// never has its body read. Requests that pass go to the user-interface thread whole; the reply
// comes back to the network thread to be written.
//
// Threads: everything in Core but `handler`, `owner` and the inbox belongs to the network thread;
// the user-interface thread reaches it only through asio::post, and the network thread reaches
// the user-interface thread only through the inbox. A connection waiting for its reply is held by
// Core::waiting, so it outlives the round trip.
#include "http_adapter.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <QSocketNotifier>
#include <QUrl>

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

class HttpSession;
class WebSocketSession;

} // namespace

struct HttpAdapter::Core {
    // Connections hold a reference to this, not a share: what owns a connection (a pending
    // operation in io, or `waiting`) is released here first, while everything it touches lives.
    ~Core() {
        inbox.clear();
        waiting.clear();
        acceptor.reset();
        io.reset();
        if (wake >= 0) {
            close(wake);
        }
    }

    // Network thread: runs `work` on the owner's thread. Queued under a mutex and signalled by
    // an eventfd, both of which ThreadSanitizer sees, rather than by a posted Qt event, whose
    // locking inside Qt it cannot. The work may use Core: the owner, and so Core, outlives it.
    void PostToOwner(std::function<void()> work) {
        {
            std::lock_guard guard(inboxLock);
            inbox.push_back(std::move(work));
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
    }

    // Owner's thread: what the network thread queued.
    void RunInbox() {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wake, &count, sizeof count);
        std::deque<std::function<void()>> work;
        {
            std::lock_guard guard(inboxLock);
            work.swap(inbox);
        }
        for (const std::function<void()>& item : work) {
            item();
        }
    }

    std::unique_ptr<asio::io_context> io = std::make_unique<asio::io_context>(1);
    std::unique_ptr<tcp::acceptor> acceptor = std::make_unique<tcp::acceptor>(*io);
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::mutex inboxLock;
    std::deque<std::function<void()>> inbox;
    HttpLimits limits;
    Guard guard;
    Handler handler;    // user-interface thread only
    HttpAdapter* owner; // for posting to the user-interface thread while the thread runs
    std::atomic<int> connections{0};
    std::map<int, std::shared_ptr<HttpSession>> waiting; // for their reply
    int nextRequest = 1;
    std::map<int, std::weak_ptr<WebSocketSession>> clients;
    int nextClient = 1;

    void Accept();
};

namespace {

using Core = HttpAdapter::Core;

// One open connection, counted while it lives, whichever session holds it.
class ConnectionSlot {
public:
    explicit ConnectionSlot(Core& core) : m_core(&core) { ++m_core->connections; }
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : m_core(std::exchange(other.m_core, nullptr)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (m_core != nullptr) {
            --m_core->connections;
        }
    }

private:
    Core* m_core;
};

HttpRequest FromBeast(const bhttp::request<bhttp::string_body>& request, const QByteArray& peer) {
    HttpRequest ours;
    ours.method = QByteArray(request.method_string().data(),
                             static_cast<qsizetype>(request.method_string().size()));
    const QByteArray target(request.target().data(),
                            static_cast<qsizetype>(request.target().size()));
    const qsizetype question = target.indexOf('?');
    ours.path = QUrl::fromPercentEncoding(question < 0 ? target : target.left(question));
    if (question >= 0) {
        ours.query = QUrlQuery(QString::fromUtf8(target.mid(question + 1)));
    }
    for (const auto& field : request) {
        ours.headers.push_back(
            {QByteArray(field.name_string().data(),
                        static_cast<qsizetype>(field.name_string().size()))
                 .toLower(),
             QByteArray(field.value().data(), static_cast<qsizetype>(field.value().size()))});
    }
    ours.peer = peer;
    ours.webSocket = websocket::is_upgrade(request);
    return ours;
}

HttpReply Refusal(int status, const char* message) {
    HttpReply reply;
    reply.status = status;
    reply.body = QByteArray("{\"error\":\"") + message + "\"}";
    return reply;
}

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    WebSocketSession(beast::tcp_stream&& stream, ConnectionSlot&& slot, Core& core)
        : m_socket(std::move(stream)), m_slot(std::move(slot)), m_core(core) {}

    void Accept(bhttp::request<bhttp::string_body> request) {
        beast::get_lowest_layer(m_socket).expires_never();
        // Beast's server defaults close a client that sends nothing for 5 minutes, and a page
        // only listens: it is pinged, and its browser's pongs keep it.
        websocket::stream_base::timeout timeouts =
            websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = m_core.limits.webSocketIdleTimeout;
        timeouts.keep_alive_pings = true;
        m_socket.set_option(timeouts);
        m_socket.read_message_max(m_core.limits.webSocketMessageBytes);
        m_request = std::move(request);
        m_socket.async_accept(m_request, [self = shared_from_this()](beast::error_code error) {
            self->OnAccept(error);
        });
    }

    // Network thread.
    void Send(std::string text) {
        if (!m_open) {
            return;
        }
        if (m_queue.size() >= m_core.limits.webSocketQueue) {
            // A client that does not read would hold every push in memory: it goes.
            beast::get_lowest_layer(m_socket).close();
            return;
        }
        m_queue.push_back(std::move(text));
        if (m_queue.size() == 1) {
            Write();
        }
    }

private:
    void OnAccept(beast::error_code error) {
        if (error) {
            return;
        }
        m_open = true;
        m_id = m_core.nextClient++;
        m_core.clients[m_id] = weak_from_this();
        const int id = m_id;
        m_core.PostToOwner([core = &m_core, id] { emit core->owner->webSocketOpened(id); });
        Read();
    }

    // What a client sends is read (so its pings and close are answered) and dropped; one
    // message beyond the limit ends that connection alone.
    void Read() {
        m_socket.async_read(m_buffer,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                if (error) {
                                    self->Closed();
                                    return;
                                }
                                self->m_buffer.consume(self->m_buffer.size());
                                self->Read();
                            });
    }

    void Write() {
        m_socket.text(true);
        m_socket.async_write(asio::buffer(m_queue.front()),
                             [self = shared_from_this()](beast::error_code error, std::size_t) {
                                 if (error) {
                                     self->Closed();
                                     return;
                                 }
                                 self->m_queue.pop_front();
                                 if (!self->m_queue.empty()) {
                                     self->Write();
                                 }
                             });
    }

    void Closed() {
        if (!m_open) {
            return;
        }
        m_open = false;
        m_queue.clear();
        m_core.clients.erase(m_id);
        const int id = m_id;
        m_core.PostToOwner([core = &m_core, id] { emit core->owner->webSocketClosed(id); });
    }

    websocket::stream<beast::tcp_stream> m_socket;
    ConnectionSlot m_slot;
    Core& m_core;
    bhttp::request<bhttp::string_body> m_request;
    beast::flat_buffer m_buffer;
    std::deque<std::string> m_queue;
    bool m_open = false;
    int m_id = 0;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, Core& core)
        : m_stream(std::move(socket)), m_slot(core), m_core(core) {
        beast::error_code ignored;
        const tcp::endpoint peer = m_stream.socket().remote_endpoint(ignored);
        m_peer = QByteArray::fromStdString(peer.address().to_string(ignored));
    }

    void Start() { ReadHeader(m_core.limits.headerTimeout); }

    // Network thread: the reply to the request this session handed over.
    void Reply(const HttpReply& reply) { Write(reply, !m_keepAlive); }

private:
    void ReadHeader(std::chrono::milliseconds deadline) {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_core.limits.headerBytes));
        m_parser->body_limit(m_core.limits.bodyBytes);
        m_stream.expires_after(deadline);
        bhttp::async_read_header(m_stream, m_buffer, *m_parser,
                                 [self = shared_from_this()](beast::error_code error, std::size_t) {
                                     self->OnHeader(error);
                                 });
    }

    // A read that fails on a limit is answered and the connection closed; any other failure
    // (the client went, a deadline passed) closes it without a word.
    bool Failed(beast::error_code error) {
        if (!error) {
            return false;
        }
        if (error == bhttp::error::header_limit) {
            Write(Refusal(431, "the request's headers are too large"), true, true);
        } else if (error == bhttp::error::body_limit) {
            Write(Refusal(413, "the request body is too large"), true, true);
        } else if (error.category() == make_error_code(bhttp::error::bad_method).category() &&
                   error != bhttp::error::end_of_stream && error != bhttp::error::partial_message) {
            Write(Refusal(400, "malformed request"), true, true);
        } else {
            Close();
        }
        return true;
    }

    void OnHeader(beast::error_code error) {
        if (Failed(error)) {
            return;
        }
        HttpRequest request = FromBeast(m_parser->get(), m_peer);
        m_keepAlive = m_parser->get().keep_alive();
        std::size_t bodyLimit = m_core.limits.bodyBytes;
        if (std::optional<HttpReply> refused = m_core.guard(request, &bodyLimit)) {
            Write(*refused, true, true); // the body, if any, is never read
            return;
        }
        // The route's own limit, before any of the body is read: a declared length is judged
        // now (the parser judged it against the server's largest as the header came in), a
        // chunked body as its chunks arrive.
        if (m_parser->content_length() && *m_parser->content_length() > bodyLimit) {
            Write(Refusal(413, "the request body is too large"), true, true);
            return;
        }
        m_parser->body_limit(bodyLimit);
        if (request.webSocket) {
            auto session =
                std::make_shared<WebSocketSession>(std::move(m_stream), std::move(m_slot), m_core);
            session->Accept(m_parser->release());
            return;
        }
        if (request.Header("expect").toLower() == "100-continue") {
            // The client waits for this before it sends its body (curl, for bodies over 1 KiB).
            auto go = std::make_shared<bhttp::response<bhttp::empty_body>>(
                bhttp::status::continue_, m_parser->get().version());
            bhttp::async_write(m_stream, *go,
                               [self = shared_from_this(), go](beast::error_code e, std::size_t) {
                                   if (!e) {
                                       self->ReadBody();
                                   } else {
                                       self->Close();
                                   }
                               });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        m_stream.expires_after(m_core.limits.bodyTimeout);
        bhttp::async_read(m_stream, m_buffer, *m_parser,
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              self->OnBody(error);
                          });
    }

    void OnBody(beast::error_code error) {
        if (Failed(error)) {
            return;
        }
        m_stream.expires_never(); // the user-interface thread answers; no client time runs
        HttpRequest request = FromBeast(m_parser->get(), m_peer);
        const std::string& body = m_parser->get().body();
        request.body = QByteArray(body.data(), static_cast<qsizetype>(body.size()));
        const int id = m_core.nextRequest++;
        m_core.waiting[id] = shared_from_this();
        m_core.PostToOwner([core = &m_core, id, request = std::move(request)] {
            HttpReply reply = core->handler(request);
            asio::post(*core->io, [core, id, reply = std::move(reply)] {
                const auto waiting = core->waiting.find(id);
                if (waiting != core->waiting.end()) {
                    const std::shared_ptr<HttpSession> session = waiting->second;
                    core->waiting.erase(waiting);
                    session->Reply(reply);
                }
            });
        });
    }

    // close: the connection ends after this reply. linger: the client may still be sending (a
    // refused request's body), so what it sends is drained a while before the socket closes.
    void Write(const HttpReply& reply, bool close, bool linger = false) {
        auto response = std::make_shared<bhttp::response<bhttp::string_body>>();
        response->version(m_parser ? m_parser->get().version() : 11);
        response->result(static_cast<unsigned>(reply.status));
        response->set(bhttp::field::content_type,
                      beast::string_view(reply.contentType.constData(),
                                         static_cast<std::size_t>(reply.contentType.size())));
        for (const auto& [name, value] : reply.headers) {
            response->insert(
                beast::string_view(name.constData(), static_cast<std::size_t>(name.size())),
                beast::string_view(value.constData(), static_cast<std::size_t>(value.size())));
        }
        if (!reply.headOnly) {
            response->body().assign(reply.body.constData(),
                                    static_cast<std::size_t>(reply.body.size()));
        }
        response->content_length(static_cast<std::uint64_t>(reply.body.size()));
        response->keep_alive(!close);
        m_stream.expires_after(m_core.limits.bodyTimeout); // a client that never reads goes too
        bhttp::async_write(m_stream, *response,
                           [self = shared_from_this(), response, close,
                            linger](beast::error_code error, std::size_t) {
                               if (error || (close && !linger)) {
                                   self->Close();
                               } else if (close) {
                                   self->Linger();
                               } else {
                                   self->ReadHeader(self->m_core.limits.idleTimeout);
                               }
                           });
    }

    void Close() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.close();
    }

    // After a last reply: the sending side is shut, and what the client still sends is read
    // into a small scrap and dropped for a short while, so closing does not reset the connection
    // before the client has read the reply (a refused upload is still arriving).
    void Linger() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        m_stream.expires_after(std::chrono::seconds(2));
        Drain(256 * 1024);
    }

    void Drain(std::size_t allowance) {
        m_stream.async_read_some(
            asio::buffer(m_scrap),
            [self = shared_from_this(), allowance](beast::error_code error, std::size_t bytes) {
                if (error || bytes >= allowance) {
                    self->m_stream.close();
                } else {
                    self->Drain(allowance - bytes);
                }
            });
    }

    beast::tcp_stream m_stream;
    ConnectionSlot m_slot;
    Core& m_core;
    QByteArray m_peer;
    std::array<char, 4096> m_scrap{}; // what a refused client still sends, read and dropped
    beast::flat_buffer m_buffer{8 * 1024};
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    bool m_keepAlive = true;
};

} // namespace

void HttpAdapter::Core::Accept() {
    acceptor->async_accept([this](beast::error_code error, tcp::socket socket) {
        if (!acceptor->is_open()) {
            return;
        }
        if (!error) {
            if (connections.load() >= limits.maxConnections) {
                beast::error_code ignored;
                socket.close(ignored); // refused at once: held sockets must not lock others out
            } else {
                std::make_shared<HttpSession>(std::move(socket), *this)->Start();
            }
        }
        Accept();
    });
}

HttpAdapter::HttpAdapter(Guard guard, Handler handler, HttpLimits limits, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_core(std::make_shared<Core>()) {
    m_core->limits = limits;
    auto* notifier = new QSocketNotifier(m_core->wake, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this,
            [core = m_core.get()] { core->RunInbox(); });
    m_core->guard = std::move(guard);
    m_core->handler = m_handler;
    m_core->owner = this;
}

HttpAdapter::~HttpAdapter() {
    if (m_thread.joinable()) {
        m_core->io->stop();
        m_thread.join();
    }
    // What the network thread held (connections waiting for a reply, pending reads) goes with
    // Core, on this thread, now that nothing else runs it: at once, unless a round trip to this
    // thread is still queued, which Qt drops with this object.
}

quint16 HttpAdapter::Listen(const std::string& address, quint16 port, QString* error) {
    beast::error_code failure;
    const asio::ip::address ip = asio::ip::make_address(address, failure);
    tcp::acceptor& acceptor = *m_core->acceptor;
    if (!failure) {
        acceptor.open(ip.is_v6() ? tcp::v6() : tcp::v4(), failure);
    }
    if (!failure) {
        acceptor.set_option(asio::socket_base::reuse_address(true), failure);
        acceptor.bind(tcp::endpoint(ip, port), failure);
    }
    if (!failure) {
        acceptor.listen(asio::socket_base::max_listen_connections, failure);
    }
    if (failure) {
        if (error != nullptr) {
            *error = QString::fromStdString(failure.message());
        }
        beast::error_code ignored;
        acceptor.close(ignored);
        return 0;
    }
    return acceptor.local_endpoint(failure).port();
}

void HttpAdapter::Start() {
    if (m_thread.joinable() || !m_core->acceptor->is_open()) {
        return;
    }
    m_core->Accept();
    m_thread = std::thread([core = m_core.get()] {
        // Control traffic yields to the audio: at nice 10 a burst of requests does not take the
        // core the packet pacing needs (best effort; a refusal changes nothing else).
        [[maybe_unused]] const int niced =
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
        core->io->run();
    });
}

void HttpAdapter::SendText(int client, const QByteArray& text) {
    asio::post(*m_core->io, [core = m_core.get(), client, text = text.toStdString()]() mutable {
        const auto found = core->clients.find(client);
        if (found == core->clients.end()) {
            return;
        }
        if (const std::shared_ptr<WebSocketSession> session = found->second.lock()) {
            session->Send(std::move(text));
        }
    });
}

int HttpAdapter::OpenConnections() const {
    return m_core->connections.load();
}

} // namespace http
