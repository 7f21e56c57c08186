// The TIFF adapter on arbitrary bytes, through both read paths (the file decides which).
// What it loads (when small) goes through our writer and back and must come out byte for byte
// the same.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "imageio/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Images up to the allocation cap still load (the library filling in missing strips);
    // writing and reading such an image again costs far more than finding the next input.
    static const fuzz::ImageTarget target{".tif",
                                          readTIFF,
                                          [](Image& image, const char* path, const uint8_t*,
                                             size_t) { return writeTIFF(image, path); },
                                          256 * 256,
                                          true,
                                          true};
    return fuzz::fuzzImageReader(target, data, size);
}
