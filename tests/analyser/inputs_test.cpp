// Recordings opened by what they hold: a WAV file whatever its name, and at its own width; raw
// PCM only when asked for; a file nothing can read refused with one line that names it.
#include "open_input.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string TempPath(const char* name) {
    return testing::TempDir() + "/" + std::to_string(getpid()) + "-" + name;
}

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A 16-bit mono WAV file of the samples given.
std::vector<uint8_t> Wav16(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> w;
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    for (const char c : std::string("RIFF"))
        w.push_back(static_cast<uint8_t>(c));
    Put(w, 36 + data, 4);
    for (const char c : std::string("WAVEfmt "))
        w.push_back(static_cast<uint8_t>(c));
    Put(w, 16, 4);
    Put(w, 1, 2);     // PCM
    Put(w, 1, 2);     // mono
    Put(w, 48000, 4); // rate
    Put(w, 96000, 4); // bytes a second
    Put(w, 2, 2);
    Put(w, 16, 2);
    for (const char c : std::string("data"))
        w.push_back(static_cast<uint8_t>(c));
    Put(w, data, 4);
    for (const int16_t s : samples) {
        Put(w, static_cast<uint16_t>(s), 2);
    }
    return w;
}

} // namespace

TEST(OpenInput, AWavFileIsReadAsOneWhateverItsNameAtItsOwnWidth) {
    const std::string path = TempPath("tone.raw");
    Write(path, Wav16({32767, -32768, 0, 16384}));
    InputRequest request;
    request.path = path;
    InputKind kind;
    std::string error;
    const std::unique_ptr<CPcmInput> input = OpenInput(request, &kind, &error);
    ASSERT_NE(input, nullptr) << error;
    EXPECT_EQ(input->Channels(), 1);
    EXPECT_EQ(input->FullScale(), 32767.0 / 32768.0);
    std::vector<double> samples;
    input->Read(samples, 16);
    ASSERT_EQ(samples.size(), 4u);
    EXPECT_EQ(samples[0], input->FullScale());
    EXPECT_EQ(samples[1], -1.0);
    std::remove(path.c_str());
}

TEST(OpenInput, RawPcmOnlyWhenAskedForAndAnUnreadableFileIsNamed) {
    const std::string path = TempPath("noise.wav");
    std::vector<uint8_t> bytes(6000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    Write(path, bytes);
    InputRequest request;
    request.path = path;
    InputKind kind;
    std::string error;
    EXPECT_EQ(OpenInput(request, &kind, &error), nullptr);
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    request.raw = true;
    request.channels = 2;
    request.format = RawFormat::s16le;
    const std::unique_ptr<CPcmInput> raw = OpenInput(request, &kind, &error);
    ASSERT_NE(raw, nullptr) << error;
    EXPECT_EQ(raw->Channels(), 2);
    EXPECT_EQ(raw->FullScale(), 32767.0 / 32768.0);
    std::remove(path.c_str());
    EXPECT_EQ(OpenInput(request, &kind, &error), nullptr);
    EXPECT_NE(error.find("cannot read " + path), std::string::npos) << error;
}
