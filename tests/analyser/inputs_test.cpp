// Recordings opened by what they hold: a WAV file whatever its name, and at its own width; raw
// PCM only when asked for; a file nothing can read refused with one line that names it.
#include "open_input.h"
#include "rtp_input.h"
#include "sdp_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
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

// A pipe is read once: the WAV header it brings says what follows, and not a sample is lost to a
// look at its head (a pipe opened twice lost its first bytes, and could wait for ever).
TEST(OpenInput, APipeIsReadOnceFromItsFirstByte) {
    const std::string path = TempPath("pipe.wav");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::vector<int16_t> samples(4800);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(i * 7 - 16000);
    }
    std::thread writer([&] { Write(path, Wav16(samples)); });
    InputRequest request;
    request.path = path;
    InputKind kind;
    std::string error;
    const std::unique_ptr<CPcmInput> input = OpenInput(request, &kind, &error);
    ASSERT_NE(input, nullptr) << error;
    std::vector<double> read;
    while (read.size() < samples.size() && input->Read(read, 1000)) {
    }
    writer.join();
    ASSERT_EQ(read.size(), samples.size());
    for (size_t i = 0; i < samples.size(); i += 997) {
        EXPECT_EQ(read[i], samples[i] / 32768.0) << i;
    }
    std::remove(path.c_str());
}

// ST 2022-7 sessions (RFC 7104): the legs in a=group:DUP's order, each with its own address and
// port; a group naming a section that is not there, or other than two legs, is refused by name.
TEST(SessionDescription, TwoLegsInTheGroupsOrderAndWhatIsRefused) {
    const auto sdp = [](const std::string& group, const std::string& secondMid) {
        return "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=two legs\r\nt=0 0\r\n" + group +
               "m=audio 5004 RTP/AVP 96\r\nc=IN IP4 239.1.1.1/32\r\na=rtpmap:96 L24/48000/8\r\n"
               "a=mid:A\r\nm=audio 5006 RTP/AVP 96\r\nc=IN IP4 239.2.2.2/32\r\n"
               "a=rtpmap:96 L24/48000/8\r\na=mid:" +
               secondMid + "\r\n";
    };
    const std::string path = TempPath("legs.sdp");
    const auto parse = [&](const std::string& text, SdpStream* stream, std::string* error) {
        Write(path, std::vector<uint8_t>(text.begin(), text.end()));
        return ParseSdpFile(path, stream, error);
    };
    SdpStream stream;
    std::string error;
    ASSERT_TRUE(parse(sdp("a=group:DUP B A\r\n", "B"), &stream, &error)) << error;
    ASSERT_EQ(stream.legs.size(), 2u);
    EXPECT_EQ(stream.legs[0].address, "239.2.2.2");
    EXPECT_EQ(stream.legs[0].port, 5006);
    EXPECT_EQ(stream.legs[1].address, "239.1.1.1");
    EXPECT_EQ(stream.address, "239.2.2.2") << "the first leg describes the stream";
    EXPECT_EQ(stream.channels, 8);

    SdpStream one;
    ASSERT_TRUE(parse(sdp("", "B"), &one, &error)) << error;
    EXPECT_TRUE(one.legs.empty()) << "no group: one leg, the first section";
    EXPECT_EQ(one.port, 5004);

    SdpStream refused;
    EXPECT_FALSE(parse(sdp("a=group:DUP A C\r\n", "B"), &refused, &error));
    EXPECT_NE(error.find("names C"), std::string::npos) << error;
    EXPECT_FALSE(parse(sdp("a=group:DUP A\r\n", "B"), &refused, &error));
    EXPECT_NE(error.find("two are read"), std::string::npos) << error;
    std::remove(path.c_str());
}

// Both ends share the wire format: a two-leg session as the sending end writes it is read here as
// its two legs, each at its own group and port, in the group's order.
TEST(SessionDescription, TheSendingEndsTwoLegsAreReadAsWritten) {
    SdpDescription d;
    d.sourceName = "QEL Audio Tone 1";
    d.originAddress = "192.168.10.20";
    d.destinationHost = "239.69.10.1";
    d.destinationMulticast = true;
    d.audioPort = 5004;
    d.videoPort = 5006;
    d.channelCount = 8;
    d.secondLeg = SdpSecondLeg{"239.69.20.1", true, "192.168.20.20", 100, {}, {}};
    const std::string path = TempPath("written.sdp");
    for (const SdpSession& session : BuildSdpSessions(d)) {
        if (session.part == "video") {
            continue;
        }
        Write(path, std::vector<uint8_t>(session.text.begin(), session.text.end()));
        SdpStream stream;
        std::string error;
        ASSERT_TRUE(ParseSdpFile(path, &stream, &error)) << session.part << ": " << error;
        ASSERT_EQ(stream.legs.size(), 2u) << session.part;
        EXPECT_EQ(stream.legs[0].address, "239.69.10.1");
        EXPECT_EQ(stream.legs[0].port, 5004);
        EXPECT_EQ(stream.legs[1].address, "239.69.20.1");
        EXPECT_EQ(stream.legs[1].port, 5104);
        EXPECT_EQ(stream.legs[1].rtcpPort, 5105);
        EXPECT_EQ(stream.channels, 8);
    }
    std::remove(path.c_str());
}
