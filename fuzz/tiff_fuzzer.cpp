// The TIFF adapter on arbitrary bytes, through both read paths (the file decides which).
// What it loads (when small) goes through our writer and back and must come out byte for byte
// the same; 16-bit images are written with three samples, so their filler is made the one a
// reader gives first.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "imageio/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Images up to the allocation cap still load (the library filling in missing strips);
    // writing and reading such an image again costs far more than finding the next input.
    static const fuzz::ImageTarget target{
        ".tif",
        readTIFF,
        [](Image& image, const char* path, const uint8_t*, size_t) {
            if (image.bitsPerPixel == 64)
                fuzz::fillWideFiller(image);
            return writeTIFF(image, path);
        },
        256 * 256,
        true,
        true};
    return fuzz::fuzzImageReader(target, data, size);
}
