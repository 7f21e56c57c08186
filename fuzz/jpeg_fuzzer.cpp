// The JPEG adapter on arbitrary bytes. What it loads must be in the 32-bit layout; small
// results also go through the writer and back, which must keep their size.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "imageio/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Encoding is slow next to the refusals most inputs hit; small images cover the writer.
    static const fuzz::ImageTarget target{
        ".jpg",
        readJPEG,
        [](Image& image, const char* path, const uint8_t* input, size_t bytes) {
            // The first byte picks quality and scan mode, so both vary with the input.
            const int quality = bytes > 0 ? 1 + input[0] % 100 : 75;
            const int progressive = bytes > 0 ? input[0] & 1 : 0;
            fuzz::check(writeJPEG(image, path, quality, progressive) == 0,
                        "jpeg writer takes a loaded image");
            return 0;
        },
        64 * 64,
        false,
        false};
    return fuzz::fuzzImageReader(target, data, size);
}
