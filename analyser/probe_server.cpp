#include "probe_server.h"

#include "http_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTimer>

#include <cstdio>
#include <thread>

int ServeWhileRunning(const std::string& address, int port, const std::string& token,
                      CProbeMetrics& metrics, std::atomic<bool>& stop,
                      const std::function<int()>& run,
                      const std::function<std::shared_ptr<void>(http::Server&)>& extend) {
    int argc = 1;
    char name[] = "lirafon-check";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    http::Server server;
    QString error;
    if (!server.Bind(address, port, QString::fromStdString(token), &error)) {
        std::fprintf(stderr, "lirafon-check: --listen: %s\n", qUtf8Printable(error));
        return 2;
    }
    http::RoutePolicy policy; // reads only: no origin may change anything here
    policy.bodyBytes = 0;
    server.AddRoute(QStringLiteral("/metrics"), policy,
                    [&metrics](const http::HttpRequest& request) {
                        if (!http::IsRead(request)) {
                            return http::ErrorReply(405, QStringLiteral("use GET"));
                        }
                        http::HttpReply reply;
                        reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
                        reply.body = QByteArray::fromStdString(metrics.Text());
                        return reply;
                    });
    // The live page, and its state pushed to every page that is open, ten times a second.
    http::RoutePolicy page;
    page.webSocket = true;
    page.bodyBytes = 0;
    server.AddRoute(QStringLiteral("/"), page, [](const http::HttpRequest& request) {
        struct File {
            const char* path;
            const char* resource;
            const char* type;
        };
        static constexpr File kFiles[] = {
            {"/", ":/probe/probe.html", "text/html; charset=utf-8"},
            {"/probe.js", ":/probe/probe.js", "text/javascript; charset=utf-8"},
            {"/probe.css", ":/probe/probe.css", "text/css; charset=utf-8"},
        };
        for (const File& file : kFiles) {
            if (request.path == QLatin1String(file.path)) {
                if (!http::IsRead(request)) {
                    return http::ErrorReply(405, QStringLiteral("use GET"));
                }
                QFile content(QString::fromLatin1(file.resource));
                content.open(QIODevice::ReadOnly);
                http::HttpReply reply;
                reply.contentType = file.type;
                reply.body = content.readAll();
                return reply;
            }
        }
        return http::ErrorReply(404, QStringLiteral("not found"));
    });
    QSet<int> viewers;
    QObject::connect(&server, &http::Server::webSocketOpened, &app,
                     [&](int client) { viewers.insert(client); });
    QObject::connect(&server, &http::Server::webSocketClosed, &app,
                     [&](int client) { viewers.remove(client); });
    QTimer push;
    QObject::connect(&push, &QTimer::timeout, &app, [&] {
        if (viewers.isEmpty()) {
            return;
        }
        const QByteArray state = QByteArray::fromStdString(metrics.LiveJson());
        for (const int client : viewers) {
            server.SendText(client, state);
        }
    });
    push.start(100);
    std::shared_ptr<void> extension;
    if (extend) {
        extension = extend(server);
        if (!extension) {
            return 2;
        }
    }
    server.Start();
    std::fprintf(stderr, "lirafon-check: live page at %s, metrics at %smetrics\n",
                 qUtf8Printable(server.BaseUrl()), qUtf8Printable(server.BaseUrl()));
    int status = 0;
    std::atomic<bool> done{false};
    std::thread judging([&] {
        status = run();
        done = true;
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (done || stop) {
            stop = true;
            app.quit();
        }
    });
    watch.start(100);
    app.exec();
    judging.join();
    extension.reset(); // before the server: a node unregisters while it still answers
    return status;
}
