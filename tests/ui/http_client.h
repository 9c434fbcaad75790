// A plain HTTP/1.1 client on POSIX sockets, for tests that must send exactly the bytes they mean
// (foreign Origins, wrong Hosts, garbage). It blocks, so it runs off the Qt thread: OffThread
// keeps the event loop (and so the server under test) turning while it waits.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

struct HttpAnswer {
    int status = 0; // 0: no answer (closed or timed out)
    std::string head;
    std::string body;
};

inline HttpAnswer HttpExchange(int port, const std::string& request, int timeoutMs = 5000,
                               bool closeAfterSending = false) {
    HttpAnswer answer;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return answer;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    if (closeAfterSending) {
        shutdown(fd, SHUT_WR);
    }
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t wanted = std::string::npos;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 50) != 1) {
            continue;
        }
        char buffer[8192];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<size_t>(n));
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos && wanted == std::string::npos) {
            size_t length = 0;
            const size_t at = data.find("Content-Length: ");
            if (at != std::string::npos && at < end) {
                length = std::strtoul(data.c_str() + at + 16, nullptr, 10);
            }
            wanted = end + 4 + length;
        }
        if (wanted != std::string::npos && data.size() >= wanted) {
            break;
        }
    }
    close(fd);
    if (data.rfind("HTTP/1.1 ", 0) == 0) {
        answer.status = std::atoi(data.c_str() + 9);
        const size_t end = data.find("\r\n\r\n");
        answer.head = data.substr(0, end);
        answer.body = end == std::string::npos ? "" : data.substr(end + 4);
    }
    return answer;
}

// Runs f on another thread while this one keeps the Qt event loop turning.
template <typename F> auto OffThread(F f) {
    auto result = std::async(std::launch::async, std::move(f));
    while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return result.get();
}

inline std::string HttpRequestText(const std::string& method, const std::string& path, int port,
                                   const std::string& extraHeaders = "",
                                   const std::string& body = "") {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:";
    text.append(std::to_string(port)).append("\r\n").append(extraHeaders);
    if (!body.empty() || method == "PATCH" || method == "POST") {
        text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    }
    return text.append("\r\n").append(body);
}
