// Session descriptions for FFmpeg, GStreamer, VLC and ST 2110 equipment. The lines are emitted in
// the one order RFC 8866 prescribes (v o s i c t, then each m= with its a= lines); receivers parse
// them in that order and some reject anything else.
#include "sdp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kFolderName = "qel-ndi-lirafon";

// SDP values are single lines: line breaks in user text would start new fields.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\r' || c == '\n' || c == '\0') {
            c = ' ';
        }
    }
    return line;
}

std::string FrameRateText(int n, int d) {
    if (d <= 0 || n <= 0) {
        return "25";
    }
    return n % d == 0 ? std::to_string(n / d) : std::to_string(n) + "/" + std::to_string(d);
}

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

std::string SdpOriginLine(const SdpDescription& d) {
    const bool v6 = d.originAddress.find(':') != std::string::npos;
    return "o=- " + std::to_string(d.sessionId) + " " + std::to_string(d.version) +
           (v6 ? " IN IP6 " : " IN IP4 ") + d.originAddress;
}

std::string BuildSdp(const SdpDescription& d) {
    const std::string crlf = "\r\n";
    std::string connection = d.destinationHost;
    if (d.destinationMulticast && !d.destinationIpv6) {
        connection += "/" + std::to_string(d.ttl.value_or(1)); // IPv4 multicast requires a TTL
    }
    const bool shortPackets = d.channelCount > 8;
    std::string sdp = "v=0" + crlf;
    sdp += SdpOriginLine(d) + crlf;
    sdp += "s=" + (d.sourceName.empty() ? std::string(" ") : OneLine(d.sourceName)) + crlf;
    if (!d.metadata.empty()) {
        sdp += "i=" + OneLine(d.metadata) + crlf;
    }
    sdp += std::string(d.destinationIpv6 ? "c=IN IP6 " : "c=IN IP4 ") + connection + crlf;
    sdp += "t=0 0" + crlf;
    sdp += "m=audio " + std::to_string(d.audioPort) + " RTP/AVP 96" + crlf;
    sdp += "a=rtpmap:96 L24/48000/" + std::to_string(d.channelCount) + crlf;
    sdp += std::string("a=ptime:") + (shortPackets ? "0.125" : "1") + crlf;
    sdp += "m=video " + std::to_string(d.videoPort) + " RTP/AVP 97" + crlf;
    sdp += "a=rtpmap:97 raw/90000" + crlf;
    sdp += "a=fmtp:97 sampling=RGB; width=" + std::to_string(d.width) +
           "; height=" + std::to_string(d.height) +
           "; depth=8; colorimetry=BT709; exactframerate=" +
           FrameRateText(d.frameRateN, d.frameRateD) + crlf;
    return sdp;
}

std::string SessionFolder(std::string* error) {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
        const std::string path = std::string(runtimeDir) + "/" + kFolderName;
        return MakePrivateFolder(path, false, error) ? path : "";
    }
    const std::string path = std::string("/tmp/") + kFolderName + "-" + std::to_string(getuid());
    return MakePrivateFolder(path, true, error) ? path : "";
}

std::string SdpFileName(const std::string& sourceName) {
    std::string name = sourceName.empty() ? std::string("source") : sourceName;
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
