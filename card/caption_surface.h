// The off-screen surface a caption block is drawn on. Normally a fresh 32-bit QImage; tests
// replace the factory to make the surface fail the way a platform surface can: a null image (it
// cannot be made), an image QPainter cannot open (it cannot be used), or one of another pixel
// size (its pixels cannot be read as 4-byte BGRX).
//
// UI thread only.
#pragma once

#include <QImage>

#include <cstdint>
#include <functional>

namespace card {

using CaptionSurfaceFactory = std::function<QImage(int32_t width, int32_t height)>;

// An empty factory restores the normal one.
void SetCaptionSurfaceFactory(CaptionSurfaceFactory factory);

QImage MakeCaptionSurface(int32_t width, int32_t height);

} // namespace card
