// Small images with known pixels, shared by the test suites.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/image.h"

using Rgb = std::array<uint8_t, 3>;

// A 32-bit image whose pixels are given row by row (missing ones stay black, filler 255).
inline Image makeRgbImage(int width, int height, const std::vector<Rgb>& pixels) {
    Image image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = 32;
    image.bytesPerLine = 4 * width;
    image.dataSize = image.bytesPerLine * height;
    image.pixels = allocPixels(image.dataSize);
    uint8_t* data = pixelData(image);
    for (int64_t n = 0; n < int64_t{width} * height; ++n) {
        const Rgb rgb = static_cast<std::size_t>(n) < pixels.size() ? pixels[n] : Rgb{0, 0, 0};
        data[n * 4] = 255;
        for (int k = 0; k < 3; ++k)
            data[n * 4 + 1 + k] = rgb[k];
    }
    return image;
}
