#include "open_input.h"

#include "media_input.h"
#include "ndi_input.h"
#include "rtp_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace {

// The file's first bytes, or why it cannot be read.
bool Head(const std::string& path, std::string* head, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char bytes[64];
    head->assign(bytes, std::fread(bytes, 1, sizeof bytes, file));
    std::fclose(file);
    return true;
}

bool IsWav(const std::string& head) {
    return head.size() >= 12 && head.compare(0, 4, "RIFF") == 0 && head.compare(8, 4, "WAVE") == 0;
}

// A session description begins with its version line (RFC 8866), perhaps after a byte-order mark.
bool IsSdp(const std::string& head) {
    const size_t from = head.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    return head.compare(from, 3, "v=0") == 0;
}

} // namespace

std::unique_ptr<CPcmInput> OpenInput(const InputRequest& request, InputKind* kind,
                                     std::string* error) {
    *kind = InputKind::recording;
    if (!request.ndiName.empty()) {
        *kind = InputKind::ndi;
        bool noRuntime = false;
        return OpenNdi(request.ndiName, request.ndiExtraIps, 20000, error, &noRuntime);
    }
    // A pipe or a device yields its bytes once: peeking at its head and opening it again would
    // lose them and, once the writer saw the first reader go, wait for a writer that never comes.
    // It is read as standard input is: a WAV header if it brings one, raw PCM otherwise.
    struct stat facts {};
    if (request.path == "-" || (stat(request.path.c_str(), &facts) == 0 &&
                                (S_ISFIFO(facts.st_mode) || S_ISCHR(facts.st_mode)))) {
        return OpenRaw(request.path, request.format, request.channels, request.rate, error);
    }
    std::string head;
    if (!Head(request.path, &head, error)) {
        return nullptr;
    }
    if (IsWav(head)) {
        return OpenWav(request.path, error);
    }
    if (IsSdp(head)) {
        *kind = InputKind::stream;
        SdpStream stream;
        if (!ParseSdpFile(request.path, &stream, error)) {
            return nullptr;
        }
        return OpenRtp(stream, request.interfaceName, request.ptpSocket, error,
                       request.mergeBufferMs);
    }
    if (request.raw) {
        return OpenRaw(request.path, request.format, request.channels, request.rate, error);
    }
    std::string why;
    std::unique_ptr<CPcmInput> input = OpenMedia(request.path, &why);
    if (!input) {
        if (why.compare(0, request.path.size() + 2, request.path + ": ") == 0) {
            why.erase(0, request.path.size() + 2);
        }
        *error = request.path + " is no recording this analyser can read (" + why +
                 "); raw PCM needs --format, --channels or --rate";
    }
    return input;
}
