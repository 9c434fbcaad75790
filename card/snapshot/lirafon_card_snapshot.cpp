// lirafon-card-snapshot: draws the ident card exactly as the sender does right after start-up
// (test card, logo, bottom ident caption), optionally applies a level choice through the engine's
// own ApplyLevelChoice, and writes the picture as a PNG so a person can look at it.
//
//   lirafon-card-snapshot --out FILE.png [--level ebu|smpte|user] [--user-dbu N]
//                         [--ident on|off] [--ident-text TEXT]
#include "ident_card.h"
#include "lirafon_engine.h"

#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: lirafon-card-snapshot --out FILE.png [--level ebu|smpte|user] [--user-dbu N]\n"
    "                             [--ident on|off] [--ident-text TEXT]\n"
    "Draws the ident card as the sender shows it after start-up and writes it as a PNG.\n"
    "  --out FILE.png     where to write the picture (required)\n"
    "  --level L          apply a level choice afterwards: ebu (logo), smpte or user (caption)\n"
    "  --user-dbu N       the user level in whole dBu for --level user (default +16)\n"
    "  --ident on|off     draw the ident caption at the bottom (default on)\n"
    "  --ident-text TEXT  the ident caption (default \"QEL NDI\xC2\xAE Reza Radidired No1\")\n";

struct Options {
    QString out;
    std::optional<int32_t> levelChoice;
    int32_t userDbu = 16;
    int32_t showIdent = 1;
    std::wstring identText = L"QEL NDI\u00AE Reza Radidired No1";
};

bool Fail(const std::string& message) {
    std::fprintf(stderr, "lirafon-card-snapshot: %s\n%s", message.c_str(), kUsage);
    return false;
}

bool ParseDbu(const char* text, int32_t& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

bool SetOption(Options& options, const std::string& name, const char* value) {
    const std::string v = value;
    if (name == "--out") {
        options.out = QString::fromLocal8Bit(value);
        return !v.empty() || Fail("--out needs a file name");
    }
    if (name == "--level") {
        const char* choices[] = {"ebu", "smpte", "user"};
        for (int32_t i = 0; i < 3; ++i) {
            if (v == choices[i]) {
                options.levelChoice = i;
                return true;
            }
        }
        return Fail("--level must be ebu, smpte or user, not \"" + v + "\"");
    }
    if (name == "--user-dbu") {
        if (!ParseDbu(value, options.userDbu)) {
            return Fail("--user-dbu must be a whole number of dBu, not \"" + v + "\"");
        }
        if (!std::isfinite(CLirafonEngine::GainForUserLevel(options.userDbu))) {
            return Fail("--user-dbu " + v + " is too high to be sent (+774 dBu at most)");
        }
        return true;
    }
    if (name == "--ident") {
        if (v != "on" && v != "off") {
            return Fail("--ident must be on or off, not \"" + v + "\"");
        }
        options.showIdent = v == "on" ? 1 : 0;
        return true;
    }
    if (name == "--ident-text") {
        options.identText = QString::fromLocal8Bit(value).toStdWString();
        return true;
    }
    return Fail("unknown option \"" + name + "\"");
}

// Reads --name VALUE and --name=VALUE. False after a message on stderr.
bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::printf("%s", kUsage);
            std::exit(0);
        }
        const size_t equals = name.find('=');
        std::string value;
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return Fail(name.rfind("--", 0) == 0 ? name + " needs a value"
                                                 : "unexpected argument \"" + name + "\"");
        }
        if (!SetOption(options, name, value.c_str())) {
            return false;
        }
    }
    return !options.out.isEmpty() || Fail("--out FILE.png is required");
}

// The record as the sender holds it, drawing through the card library like the sender's hooks.
class SnapshotCard : public CLirafonEngine, public card::CaptionErrorSink {
public:
    bool surfaceFailed = false;

    explicit SnapshotCard(const Options& options) {
        m_showIdentText = options.showIdent;
        m_identText = options.identText;
        m_userLevelDbu = options.userDbu;
    }
    ~SnapshotCard() override { m_videoFrame.p_data = nullptr; }

    // The picture part of sender start-up: a zero-filled block, test card, logo, ident caption.
    void StartPicture() {
        m_pixels.assign(static_cast<size_t>(m_videoWidth) * m_videoHeight * 4, 0);
        m_videoFrame.xres = m_videoWidth;
        m_videoFrame.yres = m_videoHeight;
        m_videoFrame.FourCC = NDIlib_FourCC_video_type_BGRX;
        m_videoFrame.line_stride_in_bytes = m_videoWidth * 4;
        m_videoFrame.p_data = m_pixels.data();
        DrawTestCard(m_videoFrame.p_data);
        DrawLogo();
        RenderCaption(m_showIdentText != 0 ? m_identText.c_str() : nullptr, 1);
    }

    void ApplyLevel(int32_t choice) {
        m_levelChoice = choice;
        ApplyLevelChoice();
    }

    QImage Picture() const {
        return QImage(m_pixels.data(), m_videoWidth, m_videoHeight, m_videoWidth * 4,
                      QImage::Format_RGB32)
            .copy();
    }

    void CaptionSurfaceFailed(const wchar_t* message) override {
        std::fprintf(stderr, "lirafon-card-snapshot: %ls\n", message);
        surfaceFailed = true;
    }

protected:
    void DrawTestCard(uint8_t* pixels) override { card::DrawTestCard(*this, pixels); }
    void DrawLogo() override { card::DrawLogo(*this); }
    void RenderCaption(const wchar_t* text, int32_t atBottom) override {
        card::RenderCaption(*this, text, atBottom, this);
    }

private:
    std::vector<uint8_t> m_pixels;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    // The tool never shows a window; it needs a display only if the user asks for one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);

    SnapshotCard card(options);
    card.StartPicture();
    if (options.levelChoice) {
        card.ApplyLevel(*options.levelChoice);
    }
    std::printf("font: %s\n", card::CaptionFontDescription().c_str());
    if (card.surfaceFailed) {
        return 1;
    }
    if (!card.Picture().save(options.out, "PNG")) {
        std::fprintf(stderr, "lirafon-card-snapshot: cannot write %s\n", qPrintable(options.out));
        return 1;
    }
    std::printf("wrote %s (%d x %d)\n", qPrintable(options.out), card.m_videoWidth,
                card.m_videoHeight);
    return 0;
}
