// The TIFF adapter on arbitrary bytes, through both read paths (the file decides which).
// What it loads (when small) goes through our writer and back and must come out byte for byte
// the same.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "imageio/tiff.h"

namespace {

// Images up to the allocation cap still load (with the library filling in missing strips);
// writing and reading such an image again costs far more than finding the next input.
constexpr int64_t kRoundTripPixels = 256 * 256;

void checkLoaded(const Image& image) {
    fuzz::check((image.bitsPerPixel == 32 || image.bitsPerPixel == 64) && image.width > 0 &&
                    image.height > 0,
                "tiff layout");
    fuzz::check(image.bytesPerLine == int64_t{image.width} * (image.bitsPerPixel / 8) &&
                    image.dataSize == image.bytesPerLine * image.height,
                "tiff sizes");
    fuzz::check(pixelData(image) != nullptr, "tiff pixels");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (fuzz::prepareEngine(), true);
    static const fuzz::ScratchFile input(".tif");
    static const fuzz::ScratchFile copy(".tif");
    (void)ready;
    if (!input.write(data, size))
        return 0;

    Image image;
    initImage(image);
    if (readTIFF(image, input.path()) == 0) {
        checkLoaded(image);
        if (int64_t{image.width} * image.height <= kRoundTripPixels &&
            writeTIFF(image, copy.path()) == 0) {
            Image again;
            initImage(again);
            fuzz::check(readTIFF(again, copy.path()) == 0, "tiff written by us is readable");
            fuzz::check(again.width == image.width && again.height == image.height &&
                            again.bitsPerPixel == image.bitsPerPixel &&
                            again.dataSize == image.dataSize &&
                            std::memcmp(pixelData(again), pixelData(image),
                                        static_cast<size_t>(image.dataSize)) == 0,
                        "tiff round trip");
            fuzz::release(again);
        }
    }
    fuzz::release(image);
    return 0;
}
