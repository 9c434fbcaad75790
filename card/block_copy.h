// The one centring and clipping rule shared by the logo and the caption blocks: where a w x h block
// of 4-byte pixels lands in the W x H picture, and the copy of the part that lies inside it.
#pragma once

#include <cstdint>

namespace card {

// Which part of the block is copied and where it lands. Columns and rows may be zero or negative,
// meaning nothing is copied.
struct BlockPlacement {
    int32_t sourceColumn = 0; // first block column copied
    int32_t sourceRow = 0;    // first block row copied
    int32_t pictureColumn = 0;
    int32_t pictureRow = 0;
    int32_t columns = 0;
    int32_t rows = 0;
};

// The horizontal offset of a centred block: (W - w) / 2, rounding toward zero, so an odd excess
// of 3 columns gives -1 (one column cut on the left, two on the right).
constexpr int32_t CentredOffset(int32_t pictureSize, int32_t blockSize) {
    return (pictureSize - blockSize) / 2;
}

// Clips a block of blockWidth x blockHeight placed at (x0, y0) to a picture of
// pictureWidth x pictureHeight.
BlockPlacement PlaceBlock(int32_t pictureWidth, int32_t pictureHeight, int32_t blockWidth,
                          int32_t blockHeight, int32_t x0, int32_t y0);

// Copies the placed part of the block (rows blockWidth x 4 bytes apart, top row first) into the
// picture (rows pictureWidth x 4 bytes apart), all four bytes of each pixel unchanged.
void CopyBlock(const BlockPlacement& placement, const uint8_t* block, int32_t blockWidth,
               uint8_t* picture, int32_t pictureWidth);

} // namespace card
