// The caption surface factory: a replaceable seam between the caption drawing and the memory it
// draws on, so the failure paths can be exercised for real.
#include "caption_surface.h"

#include <utility>

namespace card {

namespace {

CaptionSurfaceFactory& Factory() {
    static CaptionSurfaceFactory factory;
    return factory;
}

} // namespace

void SetCaptionSurfaceFactory(CaptionSurfaceFactory factory) {
    Factory() = std::move(factory);
}

QImage MakeCaptionSurface(int32_t width, int32_t height) {
    if (Factory()) {
        return Factory()(width, height);
    }
    // Format_RGB32 is the card's byte order: blue, green, red, then a fourth byte.
    return QImage(width, height, QImage::Format_RGB32);
}

} // namespace card
