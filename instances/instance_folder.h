// The folder the copies of one user meet in: their sockets and the slot lock files live there.
//
// $XDG_RUNTIME_DIR/qel-ndi-lirafon, or /tmp/qel-ndi-lirafon-<uid> when XDG_RUNTIME_DIR is unset,
// empty or relative. The folder is created 0700; an existing one is used only when it is a real
// directory (not a symbolic link) owned by this user and writable by no one else, so no other user
// can plant sockets or lock files that a copy would trust.
#pragma once

#include <string>

class CInstanceFolder {
public:
    static constexpr const char* kFolderName = "qel-ndi-lirafon";

    CInstanceFolder() = default;
    ~CInstanceFolder();
    CInstanceFolder(const CInstanceFolder&) = delete;
    CInstanceFolder& operator=(const CInstanceFolder&) = delete;

    // The folder for this user from the environment.
    static std::string DefaultPath();

    // Creates the folder when missing and opens it. On failure says why in *error.
    bool Open(const std::string& path, std::string* error);

    bool IsOpen() const { return m_dirFd >= 0; }
    int DirFd() const { return m_dirFd; }
    const std::string& Path() const { return m_path; }

private:
    int m_dirFd = -1;
    std::string m_path;
};
