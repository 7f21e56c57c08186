// The RAW adapter on arbitrary bytes, twice per input: developed as it is, then at half size
// with daylight balance and the input as its own dark frame (which, matching itself, takes the
// sensor subtraction path). What loads must be in the 64-bit layout with a full filler; a
// refused file keeps no pixels.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "imageio/raw.h"

namespace {

void checkLoaded(const Image& image) {
    fuzz::check(image.bitsPerPixel == 64 && image.width > 0 && image.height > 0, "layout");
    fuzz::check(image.bytesPerLine == int64_t{image.width} * 8 &&
                    image.dataSize == image.bytesPerLine * image.height,
                "sizes");
    const uint8_t* pixels = pixelData(image);
    fuzz::check(pixels != nullptr, "pixels");
    for (int64_t i = 0; i < image.dataSize; i += 8) {
        uint16_t filler = 0;
        std::memcpy(&filler, pixels + i, sizeof filler);
        fuzz::check(filler == 65535, "filler");
    }
}

void develop(const char* path, const RawOptions& options) {
    Image image;
    initImage(image);
    if (readRAW(image, path, options) == 0)
        checkLoaded(image);
    else
        fuzz::check(image.pixels == nullptr, "a failed read keeps no pixels");
    fuzz::release(image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = (fuzz::prepareEngine(), true);
    static const fuzz::ScratchFile input(".dng");
    if (!input.write(data, size))
        return 0;
    develop(input.path(), RawOptions{});
    RawOptions options;
    options.halfSize = true;
    options.daylight = true;
    options.darkFrame = input.path();
    options.darkOpacity = 0.75;
    develop(input.path(), options);
    // The scratch file is rewritten within the file system's time resolution: the next input
    // must not find this one's dark.
    releaseRawDarkFrame();
    return 0;
}
