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
#include <string_view>

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
    std::string line = "o=- ";
    line.append(std::to_string(d.sessionId)).append(" ").append(std::to_string(d.version));
    line.append(v6 ? " IN IP6 " : " IN IP4 ").append(d.originAddress);
    return line;
}

// Appends one "<field>=<value>" line with its CRLF. Lines are built by appending into one string,
// never by chaining temporaries, so the text is copied once.
static void AddLine(std::string& sdp, std::string_view field, std::string_view value) {
    sdp.append(field).append("=").append(value).append("\r\n");
}

std::string BuildSdp(const SdpDescription& d) {
    std::string connection(d.destinationIpv6 ? "IN IP6 " : "IN IP4 ");
    connection.append(d.destinationHost);
    if (d.destinationMulticast && !d.destinationIpv6) {
        // IPv4 multicast requires a TTL.
        connection.append("/").append(std::to_string(d.ttl.value_or(1)));
    }
    const bool shortPackets = d.channelCount > 8;
    std::string sdp;
    AddLine(sdp, "v", "0");
    AddLine(sdp, "o", SdpOriginLine(d).substr(2));
    AddLine(sdp, "s", d.sourceName.empty() ? std::string(" ") : OneLine(d.sourceName));
    if (!d.metadata.empty()) {
        AddLine(sdp, "i", OneLine(d.metadata));
    }
    AddLine(sdp, "c", connection);
    AddLine(sdp, "t", "0 0");
    AddLine(sdp, "m", "audio " + std::to_string(d.audioPort) + " RTP/AVP 96");
    AddLine(sdp, "a", "rtpmap:96 L24/48000/" + std::to_string(d.channelCount));
    AddLine(sdp, "a", shortPackets ? "ptime:0.125" : "ptime:1");
    AddLine(sdp, "m", "video " + std::to_string(d.videoPort) + " RTP/AVP 97");
    AddLine(sdp, "a", "rtpmap:97 raw/90000");
    std::string format = "fmtp:97 sampling=RGB; width=" + std::to_string(d.width);
    format.append("; height=").append(std::to_string(d.height));
    format.append("; depth=8; colorimetry=BT709; exactframerate=");
    format.append(FrameRateText(d.frameRateN, d.frameRateD));
    AddLine(sdp, "a", format);
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
