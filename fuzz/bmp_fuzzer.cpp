// The bitmap reader on arbitrary bytes; whatever it accepts must survive a round trip
// through our writer unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "imageio/bmp.h"

namespace {

void checkLoaded(const Image& image) {
    fuzz::check(image.bitsPerPixel == 32 && image.width > 0 && image.height > 0, "bitmap layout");
    fuzz::check(image.bytesPerLine == 4 * int64_t{image.width} &&
                    image.dataSize == image.bytesPerLine * image.height,
                "bitmap sizes");
    const uint8_t* pixels = pixelData(image);
    fuzz::check(pixels != nullptr, "bitmap pixels");
    for (int64_t i = 0; i < image.dataSize; i += 4)
        fuzz::check(pixels[i] == 255, "bitmap filler");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (fuzz::prepareEngine(), true);
    static const fuzz::ScratchFile input(".bmp");
    static const fuzz::ScratchFile copy(".bmp");
    (void)ready;
    if (!input.write(data, size))
        return 0;

    Image image;
    initImage(image);
    if (readBMP(image, input.path()) == 0) {
        checkLoaded(image);
        if (writeBMP(image, copy.path()) == 0) {
            Image again;
            initImage(again);
            fuzz::check(readBMP(again, copy.path()) == 0, "bitmap written by us is readable");
            fuzz::check(again.width == image.width && again.height == image.height &&
                            again.dataSize == image.dataSize &&
                            std::memcmp(pixelData(again), pixelData(image),
                                        static_cast<size_t>(image.dataSize)) == 0,
                        "bitmap round trip");
            fuzz::release(again);
        }
    }
    fuzz::release(image);
    return 0;
}
