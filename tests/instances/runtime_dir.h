// A fresh XDG_RUNTIME_DIR of a test's own, removed with everything in it at the end.
#pragma once

#include "instance_folder.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class CTestRuntimeDir {
public:
    CTestRuntimeDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lirafon-copies-XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~CTestRuntimeDir() {
        std::error_code ignored;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    CTestRuntimeDir(const CTestRuntimeDir&) = delete;
    CTestRuntimeDir& operator=(const CTestRuntimeDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Where the copies meet when XDG_RUNTIME_DIR is this directory.
    std::string Folder() const { return m_path + "/" + CInstanceFolder::kFolderName; }

private:
    std::string m_path;
};
