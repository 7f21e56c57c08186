// What the writers accept: pixels in one of the 24-, 32-, 48- or 64-bit layouts, whose every
// row (bytesPerLine apart) lies inside the pixel memory.
#pragma once

#include <cstdint>

#include "engine/image.h"

inline bool writableLayout(const Image& image) {
    const int bits = image.bitsPerPixel;
    if (bits != 24 && bits != 32 && bits != 48 && bits != 64)
        return false;
    if (pixelData(image) == nullptr || image.width <= 0 || image.height <= 0)
        return false;
    const int64_t rowBytes = int64_t{image.width} * (bits / 8);
    if (image.bytesPerLine < rowBytes || image.dataSize < rowBytes)
        return false;
    return (image.dataSize - rowBytes) / image.bytesPerLine >= image.height - 1;
}
