// The PNG adapter on arbitrary bytes. What it loads must be in the 32-bit layout (8-bit files)
// or the 64-bit one (16-bit files), with a full filler in front of every pixel; small results
// go through our writer and back and must come out byte for byte the same.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "imageio/png.h"

namespace {

// The shared layout check takes 64 bits only where the fourth sample may be alpha; ours is a
// filler at either depth, so it is checked here.
int readChecked(Image& image, const char* path) {
    const int result = readPNG(image, path);
    if (result == 0) {
        const int64_t pixelBytes = image.bitsPerPixel / 8;
        const int64_t fillerBytes = pixelBytes / 4;
        const uint8_t* pixels = pixelData(image);
        fuzz::check(pixels != nullptr && (pixelBytes == 4 || pixelBytes == 8), "layout");
        for (int64_t at = 0; at < image.dataSize; at += pixelBytes) {
            for (int64_t i = 0; i < fillerBytes; ++i)
                fuzz::check(pixels[at + i] == 0xFF, "filler");
        }
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Deflating large images again costs far more than finding the next input.
    static const fuzz::ImageTarget target{".png",
                                          readChecked,
                                          [](Image& image, const char* path, const uint8_t*,
                                             size_t) { return writePNG(image, path); },
                                          256 * 256,
                                          true,
                                          true};
    return fuzz::fuzzImageReader(target, data, size);
}
