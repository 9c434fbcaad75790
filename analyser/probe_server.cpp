#include "probe_server.h"

#include "http_server.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <thread>

int ServeWhileRunning(const std::string& address, int port, const std::string& token,
                      CProbeMetrics& metrics, std::atomic<bool>& stop,
                      const std::function<int()>& run) {
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
    server.Start();
    std::fprintf(stderr, "lirafon-check: metrics at %smetrics\n", qUtf8Printable(server.BaseUrl()));
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
    return status;
}
