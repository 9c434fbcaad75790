#include "pcm_input.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int32_t Little(const uint8_t* p, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | p[i];
    }
    // Sign-extend from the sample's own width.
    const int shift = 32 - 8 * bytes;
    return static_cast<int32_t>(value << shift) >> shift;
}

class CFileInput : public CPcmInput {
public:
    // prefix: bytes already read from the file that belong to its samples.
    CFileInput(FILE* file, bool owned, RawFormat format, int channels, int rate,
               std::vector<uint8_t> prefix = {})
        : m_file(file), m_owned(owned), m_format(format), m_channels(channels), m_rate(rate),
          m_bytes(std::move(prefix)), m_pending(m_bytes.size()) {}
    ~CFileInput() override {
        if (m_owned) {
            std::fclose(m_file);
        }
    }
    int Channels() const override { return m_channels; }
    int Rate() const override { return m_rate; }
    double FullScale() const override {
        switch (m_format) {
        case RawFormat::s16le:
            return FullScaleOfBits(16);
        case RawFormat::s32le:
            return FullScaleOfBits(32);
        case RawFormat::f32le:
            return 1.0;
        default:
            return FullScaleOfBits(24);
        }
    }
    bool Read(std::vector<double>& out, int maxFrames) override {
        const int width = m_format == RawFormat::s16le ? 2 : m_format == RawFormat::s24le ? 3 : 4;
        const size_t frameBytes = static_cast<size_t>(width) * m_channels;
        m_bytes.resize(std::max(m_pending, frameBytes * static_cast<size_t>(maxFrames)));
        size_t got = m_pending;
        got += std::fread(m_bytes.data() + got, 1, m_bytes.size() - got, m_file);
        const size_t frames = got / frameBytes;
        const size_t samples = frames * static_cast<size_t>(m_channels);
        const size_t first = out.size();
        out.resize(first + samples);
        double* to = out.data() + first;
        const uint8_t* p = m_bytes.data();
        // Each format's own loop: a recording of 16 channels is millions of samples a minute.
        switch (m_format) {
        case RawFormat::f32le:
            for (size_t i = 0; i < samples; ++i, p += 4) {
                float f = 0;
                std::memcpy(&f, p, 4);
                to[i] = f;
            }
            break;
        case RawFormat::s32le:
            for (size_t i = 0; i < samples; ++i, p += 4) {
                to[i] = Little(p, 4) / 2147483648.0;
            }
            break;
        case RawFormat::s24le:
            for (size_t i = 0; i < samples; ++i, p += 3) {
                const uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                   static_cast<uint32_t>(p[2]) << 16;
                to[i] = static_cast<int32_t>(v << 8) * (1.0 / 2147483648.0);
            }
            break;
        case RawFormat::s16le:
            for (size_t i = 0; i < samples; ++i, p += 2) {
                const auto v = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
                to[i] = v * (1.0 / 32768.0);
            }
            break;
        }
        // A partial frame waits for the rest.
        m_pending = got - frames * frameBytes;
        std::memmove(m_bytes.data(), m_bytes.data() + frames * frameBytes, m_pending);
        return frames > 0 || !std::feof(m_file);
    }

private:
    FILE* m_file;
    bool m_owned;
    RawFormat m_format;
    int m_channels;
    int m_rate;
    std::vector<uint8_t> m_bytes;
    size_t m_pending = 0;
};

// Skips bytes by reading them, so a pipe can be skipped too.
bool Skip(FILE* file, uint32_t bytes) {
    uint8_t scrap[4096];
    while (bytes > 0) {
        const size_t step = std::min<size_t>(bytes, sizeof scrap);
        if (std::fread(scrap, 1, step, file) != step) {
            return false;
        }
        bytes -= static_cast<uint32_t>(step);
    }
    return true;
}

// The WAV header after its first 12 bytes ("RIFF", size, "WAVE"), up to the samples.
std::unique_ptr<CPcmInput> ReadWavHeader(FILE* file, bool owned, const std::string& path,
                                         std::string* error) {
    const auto fail = [&](const std::string& why) -> std::unique_ptr<CPcmInput> {
        if (owned) {
            std::fclose(file);
        }
        *error = why;
        return nullptr;
    };
    int channels = 0;
    int rate = 0;
    int bits = 0;
    int tag = 0;
    while (true) {
        uint8_t chunk[8];
        if (std::fread(chunk, 1, 8, file) != 8) {
            return fail(path + " has no audio data");
        }
        const uint32_t size = static_cast<uint32_t>(Little(chunk + 4, 4));
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && size < 256) {
            uint8_t format[256];
            if (std::fread(format, 1, size + (size & 1), file) != size + (size & 1)) {
                break;
            }
            tag = Little(format, 2) & 0xffff;
            channels = Little(format + 2, 2);
            rate = Little(format + 4, 4);
            bits = Little(format + 14, 2);
            if (tag == 0xfffe && size >= 26) {
                tag = Little(format + 24, 2) & 0xffff; // the sub-format's first two bytes
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            break;
        } else if (!Skip(file, size + (size & 1))) {
            break;
        }
    }
    std::optional<RawFormat> format;
    if (tag == 1 && bits == 16) {
        format = RawFormat::s16le;
    } else if (tag == 1 && bits == 24) {
        format = RawFormat::s24le;
    } else if (tag == 1 && bits == 32) {
        format = RawFormat::s32le;
    } else if (tag == 3 && bits == 32) {
        format = RawFormat::f32le;
    }
    if (!format) {
        return fail(path + ": only PCM 16, 24 or 32 bits or 32-bit float WAV files are read");
    }
    if (channels < 1 || channels > kMaxInputChannels) {
        return fail(path + " has " + std::to_string(channels) + " channels; 1 to " +
                    std::to_string(kMaxInputChannels) + " are read");
    }
    if (rate < 8000 || rate > 384000) {
        return fail(path + " is sampled at " + std::to_string(rate) +
                    " Hz; 8000 to 384000 Hz are read");
    }
    return std::make_unique<CFileInput>(file, owned, *format, channels, rate);
}

} // namespace

std::optional<RawFormat> ParseRawFormat(const std::string& text) {
    if (text == "s16le") {
        return RawFormat::s16le;
    }
    if (text == "s24le") {
        return RawFormat::s24le;
    }
    if (text == "s32le") {
        return RawFormat::s32le;
    }
    if (text == "f32le") {
        return RawFormat::f32le;
    }
    return std::nullopt;
}

std::unique_ptr<CPcmInput> OpenRaw(const std::string& path, RawFormat format, int channels,
                                   int rate, std::string* error) {
    FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    // A WAV file piped in says what it is: its header is read, not played as samples.
    std::vector<uint8_t> head(12);
    head.resize(std::fread(head.data(), 1, head.size(), file));
    if (head.size() == 12 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
        std::memcmp(head.data() + 8, "WAVE", 4) == 0) {
        return ReadWavHeader(file, path != "-", path == "-" ? "standard input" : path, error);
    }
    return std::make_unique<CFileInput>(file, path != "-", format, channels, rate, std::move(head));
}

std::unique_ptr<CPcmInput> OpenWav(const std::string& path, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    uint8_t head[12];
    if (std::fread(head, 1, 12, file) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        std::fclose(file);
        *error = path + " is not a WAV file";
        return nullptr;
    }
    return ReadWavHeader(file, true, path, error);
}
