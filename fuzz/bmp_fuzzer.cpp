// The bitmap reader on arbitrary bytes; whatever it accepts must survive a round trip
// through our writer unchanged.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "imageio/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::ImageTarget target{".bmp",
                                          readBMP,
                                          [](Image& image, const char* path, const uint8_t*,
                                             size_t) { return writeBMP(image, path); },
                                          INT64_MAX,
                                          false,
                                          true};
    return fuzz::fuzzImageReader(target, data, size);
}
