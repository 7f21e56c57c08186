// The JPEG adapter on arbitrary bytes. What it loads must be in the 32-bit layout; small
// results also go through the writer and back, which must keep their size.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "imageio/jpeg.h"

namespace {

// Encoding is slow next to the refusals that most inputs hit; small images cover the writer.
constexpr int64_t kRoundTripPixels = 64 * 64;

void checkLoaded(const Image& image) {
    fuzz::check(image.bitsPerPixel == 32 && image.width > 0 && image.height > 0, "jpeg layout");
    fuzz::check(image.bytesPerLine == 4 * int64_t{image.width} &&
                    image.dataSize == image.bytesPerLine * image.height,
                "jpeg sizes");
    const uint8_t* pixels = pixelData(image);
    fuzz::check(pixels != nullptr, "jpeg pixels");
    for (int64_t i = 0; i < image.dataSize; i += 4)
        fuzz::check(pixels[i] == 255, "jpeg filler");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (fuzz::prepareEngine(), true);
    static const fuzz::ScratchFile input(".jpg");
    static const fuzz::ScratchFile copy(".jpg");
    (void)ready;
    if (!input.write(data, size))
        return 0;

    Image image;
    initImage(image);
    if (readJPEG(image, input.path()) == 0) {
        checkLoaded(image);
        if (int64_t{image.width} * image.height <= kRoundTripPixels) {
            // The first byte picks quality and scan mode, so both vary with the input.
            const int quality = size > 0 ? 1 + data[0] % 100 : 75;
            const int progressive = size > 0 ? data[0] & 1 : 0;
            fuzz::check(writeJPEG(image, copy.path(), quality, progressive) == 0,
                        "jpeg writer takes a loaded image");
            Image again;
            initImage(again);
            fuzz::check(readJPEG(again, copy.path()) == 0, "jpeg written by us is readable");
            fuzz::check(again.width == image.width && again.height == image.height,
                        "jpeg round trip size");
            fuzz::release(again);
        }
    } else {
        fuzz::check(image.pixels == nullptr, "a failed jpeg read keeps no pixels");
    }
    fuzz::release(image);
    return 0;
}
