// The copies' broadcast over Unix datagram sockets in the meeting folder.
#include "instance_bus.h"

#include "instance_folder.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool MakeAddress(const std::string& folderPath, const char* name, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const std::string path = folderPath + "/" + name;
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Whether a process still reads the socket at address: connecting is refused when none does.
bool SomeoneListensAt(const sockaddr_un& address) {
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return true;
    }
    const bool listening =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ||
        errno != ECONNREFUSED;
    ::close(probe);
    return listening;
}

bool EndsWith(const char* text, const char* suffix) {
    const size_t textLength = std::strlen(text);
    const size_t suffixLength = std::strlen(suffix);
    return textLength >= suffixLength && std::strcmp(text + textLength - suffixLength, suffix) == 0;
}

} // namespace

CInstanceBus::~CInstanceBus() {
    Close();
}

bool CInstanceBus::IsCopySocketName(const char* name) {
    const size_t prefixLength = std::strlen(kSocketPrefix);
    return std::strncmp(name, kSocketPrefix, prefixLength) == 0 && EndsWith(name, kSocketSuffix) &&
           std::strlen(name) > prefixLength + std::strlen(kSocketSuffix);
}

bool CInstanceBus::Open(const CInstanceFolder& folder, std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    if (m_socketFd >= 0) {
        why = "the instance socket is already open";
        return false;
    }
    if (!folder.IsOpen()) {
        why = "the instance folder is not open";
        return false;
    }
    const std::string name =
        std::string(kSocketPrefix) + std::to_string(::getpid()) + kSocketSuffix;
    sockaddr_un address{};
    if (!MakeAddress(folder.Path(), name.c_str(), address)) {
        why = folder.Path() + ": path too long for a local socket";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("cannot create the instance socket (") + std::strerror(errno) + ")";
        return false;
    }
    const auto* generic = reinterpret_cast<const sockaddr*>(&address);
    int bindError = ::bind(fd, generic, sizeof(address)) == 0 ? 0 : errno;
    if (bindError == EADDRINUSE && !SomeoneListensAt(address)) {
        // The name carries the process id: what is there was left by an earlier process with the
        // same id that died without removing it.
        ::unlinkat(folder.DirFd(), name.c_str(), 0);
        bindError = ::bind(fd, generic, sizeof(address)) == 0 ? 0 : errno;
    }
    if (bindError != 0) {
        why = std::string(address.sun_path) + ": cannot bind (" + std::strerror(bindError) + ")";
        ::close(fd);
        return false;
    }
    // Only this user's copies may write to it, whatever the umask was.
    ::fchmodat(folder.DirFd(), name.c_str(), 0600, 0);
    m_folder = &folder;
    m_socketFd = fd;
    m_socketName = name;
    return true;
}

void CInstanceBus::Close() {
    if (m_socketFd < 0) {
        return;
    }
    ::close(m_socketFd);
    m_socketFd = -1;
    if (m_folder != nullptr && m_folder->IsOpen()) {
        ::unlinkat(m_folder->DirFd(), m_socketName.c_str(), 0);
    }
    m_socketName.clear();
    m_folder = nullptr;
}

void CInstanceBus::PostToAll(const InstanceMessage& message) {
    if (m_socketFd < 0) {
        return;
    }
    const int listFd = ::openat(m_folder->DirFd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) {
        return;
    }
    DIR* listing = ::fdopendir(listFd);
    if (listing == nullptr) {
        ::close(listFd);
        return;
    }
    const CInstanceWire::Datagram datagram = CInstanceWire::Encode(message);
    while (const dirent* entry = ::readdir(listing)) {
        if (!IsCopySocketName(entry->d_name)) {
            continue;
        }
        bool isSocket = entry->d_type == DT_SOCK;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isSocket =
                ::fstatat(m_folder->DirFd(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISSOCK(info.st_mode);
        }
        // Links and other files are never followed or sent to: only a copy's own socket counts.
        if (isSocket) {
            SendTo(entry->d_name, datagram);
        }
    }
    ::closedir(listing);
}

void CInstanceBus::SendTo(const char* name, const CInstanceWire::Datagram& datagram) {
    sockaddr_un address{};
    if (!MakeAddress(m_folder->Path(), name, address)) {
        ++m_counts.undelivered;
        return;
    }
    const ssize_t sent =
        ::sendto(m_socketFd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (sent == static_cast<ssize_t>(datagram.size())) {
        ++m_counts.posted;
        return;
    }
    ++m_counts.undelivered;
    if (sent < 0 && errno == ECONNREFUSED) {
        // Nobody reads this socket any more: its copy has ended without removing it.
        if (::unlinkat(m_folder->DirFd(), name, 0) == 0) {
            ++m_counts.staleRemoved;
        }
    }
}

int32_t CInstanceBus::ReadPending(const std::function<void(const InstanceMessage&)>& handle) {
    if (m_socketFd < 0) {
        return 0;
    }
    int32_t readCount = 0;
    // Larger than a datagram, so an oversized one shows as such (MSG_TRUNC reports its true size).
    uint8_t buffer[CInstanceWire::kSize * 2];
    while (readCount < kMaxReadsPerCall) {
        const ssize_t length = ::recv(m_socketFd, buffer, sizeof(buffer), MSG_DONTWAIT | MSG_TRUNC);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        ++readCount;
        const auto message = static_cast<size_t>(length) <= sizeof(buffer)
                                 ? CInstanceWire::Decode(buffer, static_cast<size_t>(length))
                                 : std::nullopt;
        if (!message) {
            ++m_counts.rejected;
            continue;
        }
        ++m_counts.received;
        handle(*message);
    }
    return readCount;
}
