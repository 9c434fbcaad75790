// Placement and clipping of the 450 x 50 blocks (logo and captions) in the picture. Both callers
// go through here so that a centred caption and the logo cover exactly the same rectangle and
// replace each other without leaving traces.
#include "block_copy.h"

#include <algorithm>
#include <cstring>

namespace card {

namespace {

constexpr int32_t kBytesPerPixel = 4;

// One axis of the rule: a block starting at offset inside a picture of pictureSize.
void ClipAxis(int32_t pictureSize, int32_t blockSize, int32_t offset, int32_t& first,
              int32_t& count) {
    if (offset >= 0) {
        first = 0;
        count = std::min(blockSize, pictureSize - offset);
    } else {
        first = -offset;
        count = std::min(pictureSize, blockSize + offset);
    }
}

} // namespace

BlockPlacement PlaceBlock(int32_t pictureWidth, int32_t pictureHeight, int32_t blockWidth,
                          int32_t blockHeight, int32_t x0, int32_t y0) {
    BlockPlacement placement;
    ClipAxis(pictureWidth, blockWidth, x0, placement.sourceColumn, placement.columns);
    ClipAxis(pictureHeight, blockHeight, y0, placement.sourceRow, placement.rows);
    placement.pictureColumn = x0 + placement.sourceColumn;
    placement.pictureRow = y0 + placement.sourceRow;
    return placement;
}

void CopyBlock(const BlockPlacement& placement, const uint8_t* block, int32_t blockWidth,
               uint8_t* picture, int32_t pictureWidth) {
    if (placement.rows <= 0 || placement.columns <= 0) {
        return;
    }
    const size_t rowBytes = static_cast<size_t>(placement.columns) * kBytesPerPixel;
    for (int32_t i = 0; i < placement.rows; ++i) {
        const size_t sourcePixel =
            static_cast<size_t>(placement.sourceRow + i) * static_cast<size_t>(blockWidth) +
            static_cast<size_t>(placement.sourceColumn);
        const size_t picturePixel =
            static_cast<size_t>(placement.pictureRow + i) * static_cast<size_t>(pictureWidth) +
            static_cast<size_t>(placement.pictureColumn);
        std::memcpy(picture + picturePixel * kBytesPerPixel, block + sourcePixel * kBytesPerPixel,
                    rowBytes);
    }
}

} // namespace card
