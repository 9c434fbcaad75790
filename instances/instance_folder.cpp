// Finding, creating and vetting the meeting folder of the copies.
#include "instance_folder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Describe(const std::string& path, const char* what, int errorNumber) {
    std::string text = path + ": " + what;
    if (errorNumber != 0) {
        text += std::string(" (") + std::strerror(errorNumber) + ")";
    }
    return text;
}

} // namespace

CInstanceFolder::~CInstanceFolder() {
    if (m_dirFd >= 0) {
        ::close(m_dirFd);
    }
}

std::string CInstanceFolder::DefaultPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') {
        return std::string(runtimeDir) + "/" + kFolderName;
    }
    return std::string("/tmp/") + kFolderName + "-" + std::to_string(::getuid());
}

bool CInstanceFolder::Open(const std::string& path, std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    if (m_dirFd >= 0) {
        why = Describe(m_path, "already open", 0);
        return false;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = Describe(path, "cannot create the folder", errno);
        return false;
    }
    // O_NOFOLLOW: a symbolic link planted in /tmp must not redirect the copies elsewhere.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why = Describe(path, "cannot open the folder", errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        why = Describe(path, "cannot inspect the folder", errno);
        ::close(fd);
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        why = Describe(path, "belongs to another user", 0);
        ::close(fd);
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = Describe(path, "is writable by other users", 0);
        ::close(fd);
        return false;
    }
    m_dirFd = fd;
    m_path = path;
    return true;
}
