// Management messages over ptp4l's UNIX datagram socket. ptp4l answers only on a socket bound to a
// path of the asker's own (an abstract auto-bound socket gets no reply across network
// namespaces), and only to messages in its own domain, which the client finds once by asking in
// every domain.
#include "ptp_client.h"

#include "session_files.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr uint16_t kDefaultDataSet = 0x2000;
constexpr uint16_t kParentDataSet = 0x2002;
constexpr uint16_t kTimePropertiesDataSet = 0x2003;
constexpr uint16_t kPortPropertiesNp = 0xC004;
constexpr int kMessageBytes = 54;
constexpr int kManagementTlv = 0x0001;
constexpr int kActionResponse = 2;
constexpr int kAnswerMs = 300;

void Put16(std::string& out, size_t at, uint16_t value) {
    out[at] = static_cast<char>(value >> 8);
    out[at + 1] = static_cast<char>(value & 0xff);
}

uint16_t Get16(const std::string& in, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(in[at]) << 8 |
                                 static_cast<uint8_t>(in[at + 1]));
}

std::atomic<unsigned> g_clients{0};

} // namespace

bool PtpStatus::Synchronised() const {
    constexpr int kMaster = 6;
    constexpr int kSlave = 9;
    constexpr int kGrandMaster = 10; // linuxptp's own state for a port of the grandmaster
    return portState == kSlave ||
           ((portState == kMaster || portState == kGrandMaster) && grandmaster == ownClock);
}

std::string PtpStatus::GrandmasterText() const {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < grandmaster.size(); ++i) {
        if (i > 0) {
            text += '-';
        }
        text += digits[grandmaster[i] >> 4];
        text += digits[grandmaster[i] & 0xf];
    }
    return text;
}

std::string PtpManagementGet(uint16_t managementId, uint16_t sequence, int domain) {
    std::string message(kMessageBytes, '\0');
    message[0] = 0x0d; // management
    message[1] = 0x02; // PTP version 2
    Put16(message, 2, kMessageBytes);
    message[4] = static_cast<char>(domain);
    // sourcePortIdentity: this process, so answers to two clients never cross.
    const uint32_t pid = static_cast<uint32_t>(getpid());
    for (int i = 0; i < 4; ++i) {
        message[24 + static_cast<size_t>(i)] = static_cast<char>(pid >> (24 - 8 * i));
    }
    Put16(message, 28, 1);
    Put16(message, 30, sequence);
    message[32] = 0x04;                  // controlField: management
    message[33] = 0x7f;                  // logMessageInterval
    std::memset(&message[34], 0xff, 10); // targetPortIdentity: every clock, every port
    message[46] = 0;                     // actionField: GET
    Put16(message, 48, kManagementTlv);
    Put16(message, 50, 2);
    Put16(message, 52, managementId);
    return message;
}

CPtpClient::CPtpClient(std::string socketPath) : m_server(std::move(socketPath)) {}

CPtpClient::~CPtpClient() {
    if (m_fd >= 0) {
        close(m_fd);
        unlink(m_ownPath.c_str());
    }
}

bool CPtpClient::ServerExists() const {
    return access(m_server.c_str(), F_OK) == 0;
}

bool CPtpClient::Open(std::string* error) {
    if (m_fd >= 0) {
        return true;
    }
    std::string folderError;
    const std::string folder = SessionFolder(&folderError);
    if (folder.empty()) {
        *error = folderError;
        return false;
    }
    m_ownPath = folder + "/ptp-" + std::to_string(getpid()) + "-" + std::to_string(++g_clients);
    sockaddr_un own{};
    own.sun_family = AF_UNIX;
    if (m_ownPath.size() >= sizeof own.sun_path || m_server.size() >= sizeof own.sun_path) {
        *error = "socket path too long: " + m_server;
        return false;
    }
    std::memcpy(own.sun_path, m_ownPath.c_str(), m_ownPath.size() + 1);
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(m_ownPath.c_str()); // a socket file left by a process of ours that was killed
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        *error = std::string("no management socket: ") + std::strerror(errno);
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
        return false;
    }
    return true;
}

std::optional<std::string> CPtpClient::Get(uint16_t id, int domain, int timeoutMs) {
    sockaddr_un server{};
    server.sun_family = AF_UNIX;
    std::memcpy(server.sun_path, m_server.c_str(), m_server.size() + 1);
    char buffer[1500];
    while (recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        // answers to an earlier question, or from the other ports of a multi-port ptp4l
    }
    const uint16_t sequence = ++m_sequence;
    // domain < 0: ask in every domain at once, to find ptp4l's.
    for (int d = domain < 0 ? 0 : domain; d <= (domain < 0 ? 127 : domain); ++d) {
        const std::string message = PtpManagementGet(id, sequence, d);
        if (sendto(m_fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&server),
                   sizeof server) != static_cast<ssize_t>(message.size())) {
            return std::nullopt;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd wait{m_fd, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) != 1) {
            return std::nullopt;
        }
        const ssize_t size = recv(m_fd, buffer, sizeof buffer, 0);
        if (size < kMessageBytes) {
            continue;
        }
        const std::string answer(buffer, static_cast<size_t>(size));
        const size_t tlvLength = Get16(answer, 50);
        if ((answer[0] & 0x0f) != 0x0d || Get16(answer, 30) != sequence ||
            (answer[46] & 0x0f) != kActionResponse || Get16(answer, 48) != kManagementTlv ||
            Get16(answer, 52) != id || tlvLength < 2 || 52 + tlvLength > answer.size()) {
            continue;
        }
        m_domain = static_cast<uint8_t>(answer[4]);
        return answer.substr(kMessageBytes, tlvLength - 2);
    }
}

std::optional<PtpStatus> CPtpClient::Query(std::string* error) {
    if (!Open(error)) {
        return std::nullopt;
    }
    auto defaults = Get(kDefaultDataSet, m_domain, kAnswerMs);
    if (!defaults) {
        defaults = Get(kDefaultDataSet, -1, kAnswerMs);
    }
    if (!defaults) {
        *error = "ptp4l does not answer on " + m_server;
        return std::nullopt;
    }
    const auto parent = Get(kParentDataSet, m_domain, kAnswerMs);
    const auto time = Get(kTimePropertiesDataSet, m_domain, kAnswerMs);
    const auto port = Get(kPortPropertiesNp, m_domain, kAnswerMs);
    if (defaults->size() < 19 || !parent || parent->size() < 32 || !time || time->size() < 3 ||
        !port || port->size() < 13) {
        *error = "ptp4l on " + m_server + " gave an incomplete answer";
        return std::nullopt;
    }
    PtpStatus status;
    std::memcpy(status.ownClock.data(), defaults->data() + 10, 8);
    status.domain = static_cast<uint8_t>((*defaults)[18]);
    std::memcpy(status.grandmaster.data(), parent->data() + 24, 8);
    status.utcOffset = static_cast<int16_t>(Get16(*time, 0));
    status.utcOffsetValid = ((*time)[2] & 0x04) != 0;
    status.ptpTimescale = ((*time)[2] & 0x08) != 0;
    status.portState = static_cast<uint8_t>((*port)[10]);
    status.hardwareTimestamps = (*port)[11] != 0;
    const size_t nameLength = static_cast<uint8_t>((*port)[12]);
    status.interfaceName = port->substr(13, std::min(nameLength, port->size() - 13));
    return status;
}
