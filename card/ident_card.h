// The ident card: the picture sent with the tone. DrawTestCard paints the colour bars and the red
// band once, when the sender starts; DrawLogo and RenderCaption later replace the two 450 x 50
// blocks the card changes while it runs: the centre (logo or level caption) and the bottom (ident
// caption).
//
// The picture is the pixel block of record.m_videoFrame: m_videoWidth x m_videoHeight pixels of
// 4 bytes (blue, green, red, fourth byte 255), rows top to bottom, m_videoWidth x 4 bytes apart.
//
// Threads: all functions run on the UI thread and need a QGuiApplication. DrawLogo and
// RenderCaption draw off-screen first and hold record.m_bankLock only while copying into the
// picture, which the send thread copies under the same lock.
//
// This header is free of Qt so that Qt-free callers can draw the card; the library links Qt Gui.
#pragma once

#include "lirafon_engine.h"

#include <cstdint>
#include <string>

namespace card {

// Where a caption surface failure is reported. The window shows the message in a message box
// with the application's default caption and an OK button.
class CaptionErrorSink {
public:
    virtual ~CaptionErrorSink() = default;
    virtual void CaptionSurfaceFailed(const wchar_t* message) = 0;
};

// The messages a CaptionErrorSink receives.
inline constexpr const wchar_t* kSurfaceNotMadeMessage = L"CreateCB fail";
inline constexpr const wchar_t* kSurfaceNotUsableMessage = L"SelectObject fail";

inline constexpr int32_t kBlockWidth = 450;
inline constexpr int32_t kBlockHeight = 50;
// Rows between the bottom caption block and the bottom edge of the picture.
inline constexpr int32_t kBottomMargin = 20;

// Paints the eight bars over the top three quarters and the band below into pixels, a block of
// record.m_videoWidth x record.m_videoHeight pixels. Columns right of the eighth bar are left as
// they were. Takes no lock: it runs before the send thread exists.
void DrawTestCard(const CLirafonEngine& record, uint8_t* pixels);

// Copies the logo, centred and clipped, into the picture. Nothing when the picture does not exist
// yet (p_data null) or the logo cannot be loaded.
void DrawLogo(CLirafonEngine& record);

// Draws one line of text white on black in a 450 x 50 block and copies it into the picture, at
// the bottom (atBottom non-zero) or in the centre (0). text null: the block is band red instead;
// text "": an all-black block. '&' underlines the next character, "&&" shows one '&'.
// When the surface cannot be made or used, errors (if given) hears why and the picture is left
// as it was. Nothing when the picture does not exist yet.
void RenderCaption(CLirafonEngine& record, const wchar_t* text, int32_t atBottom,
                   CaptionErrorSink* errors);

// Which face the captions use and how it was sized, in UTF-8.
std::string CaptionFontDescription();

// Registers the card's compiled-in images (:/lirafon/logo.png, icon_16.png to icon_128.png,
// link_group.png, link_video.png). The card's own functions call it; other users of those images
// call it once before loading them. Idempotent.
void InitResources();

} // namespace card
