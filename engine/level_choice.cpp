// The three line-up levels. The gain scale has a sample of 1.0 at +4 dBu, so a level of L dBu is
// the gain 10^((L - 4) / 20): EBU 0 dBu is 0.63095737, SMPTE +4 dBu is 1.0.
#include "lirafon_engine.h"

#include <cmath>
#include <cwchar>

float CLirafonEngine::GainForUserLevel(int32_t levelDbu) {
    // Each step in float32, with the float32 power function.
    const float exponent = (static_cast<float>(levelDbu) - 4.0f) / 20.0f;
    return std::pow(10.0f, exponent);
}

std::wstring CLirafonEngine::UserLevelText(int32_t levelDbu) {
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"User-specified NDI Tone at %+d dBu",
                  levelDbu);
    return text;
}

void CLirafonEngine::ApplyLevelChoice() {
    TakeControlValues();
    switch (m_levelChoice) {
    case 0:
        m_levelLine = kEbuLevelLine;
        m_level = kEbuLevel;
        LevelLineChanged();
        DrawCentre();
        break;
    case 1:
        m_levelLine = kSmpteLevelLine;
        m_level = 1.0f;
        LevelLineChanged();
        DrawCentre();
        break;
    case 2: {
        // A gain that overflows float32 (+775 dBu and above) would send meaningless samples:
        // refuse it and keep the level that is playing.
        const float gain = GainForUserLevel(m_userLevelDbu);
        if (!std::isfinite(gain)) {
            wchar_t text[160];
            std::swprintf(text, sizeof text / sizeof text[0],
                          L"A user level of %+d dBu is too high to be sent. The level was not "
                          L"changed.",
                          m_userLevelDbu);
            ShowMessage(text);
            return;
        }
        m_level = gain;
        m_levelLine = UserLevelText(m_userLevelDbu);
        LevelLineChanged();
        DrawCentre();
        break;
    }
    default:
        break;
    }
    SendPictureNow();
    RefillAllFrames();
}

// The card's centre: the surround ident's name while one plays (which legs carry what is the first
// thing a receiving engineer needs), else the level's own: the logo for EBU, its caption
// otherwise.
void CLirafonEngine::DrawCentre() {
    const wchar_t* text = nullptr;
    if (const wchar_t* surround = PlayingSurroundName()) {
        text = surround;
    } else if (m_levelChoice == 1) {
        text = kSmpteCaption;
    } else if (m_levelChoice == 2) {
        text = m_levelLine.c_str();
    }
    if (m_avSync.load() != 0) {
        // The mode is named first: a monitor at the far end shows that the flashes are meant.
        const std::wstring line =
            text != nullptr ? std::wstring(kAvSyncCaption) + L" \u00b7 " + text : kAvSyncCaption;
        RenderCaption(line.c_str(), 0);
    } else if (text != nullptr) {
        RenderCaption(text, 0);
    } else {
        DrawLogo();
    }
}

void CLirafonEngine::SetAvSync(bool on) {
    if ((m_avSync.load() != 0) == on) {
        return;
    }
    m_avSync = on ? 1 : 0;
    if (m_senderStarted != 0) {
        DrawCentre();
        SendPictureNow();
    }
}
