// Where a source's session descriptions are kept on disk, for local players to open.
#include "session_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kFolderName = "qel-ndi-lirafon";

bool MakePrivateFolder(const std::string& path, bool mustBePrivate, std::string* error) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = path + " is not a folder";
        return false;
    }
    if (mustBePrivate && (info.st_uid != getuid() || (info.st_mode & 077) != 0)) {
        *error = path + " is not a private folder of this user";
        return false;
    }
    return true;
}

} // namespace

std::string SessionFolder(std::string* error) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
        const std::string path = std::string(runtimeDir) + "/" + kFolderName;
        return MakePrivateFolder(path, false, error) ? path : "";
    }
    const std::string path = std::string("/tmp/") + kFolderName + "-" + std::to_string(getuid());
    return MakePrivateFolder(path, true, error) ? path : "";
}

std::string SdpFileName(const std::string& sourceName, const std::string& part) {
    std::string name = sourceName.empty() ? std::string("source") : sourceName;
    if (!part.empty()) {
        name.append("-").append(part);
    }
    for (char& c : name) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) {
            c = '_';
        }
    }
    if (name.front() == '.') {
        name.front() = '_';
    }
    return name + ".sdp";
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
