// Format selection and the file-name operations on arbitrary text taken as a path.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "imageio/filenames.h"
#include "imageio/imageio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = (fuzz::prepareEngine(), true);
    // Paths reach these functions as C strings, which end at the first NUL.
    const auto* text = reinterpret_cast<const char*>(data);
    const std::string path(text, strnlen(text, size));

    const int format = getImageFormat(path.c_str());
    fuzz::check(format >= FORMAT_INVALID && format <= FORMAT_RAW, "format code");
    const bool hasCodec = format == FORMAT_JPEG || format == FORMAT_TIFF || format == FORMAT_BMP ||
                          format == FORMAT_PNG;
    fuzz::check((checkOutputFormat(path.c_str()) == 0) == hasCodec,
                "output check agrees with format selection");
    if (format != FORMAT_INVALID) {
        const bool three = path.size() >= 4 && path[path.size() - 4] == '.';
        const bool four = path.size() >= 5 && path[path.size() - 5] == '.';
        fuzz::check(three || four, "a format needs a three- or four-letter extension");
    }

    std::string name = path;
    stripDirectory(name);
    fuzz::check(name.find('/') == std::string::npos, "no directory left");
    fuzz::check(path.size() >= name.size() &&
                    path.compare(path.size() - name.size(), name.size(), name) == 0,
                "the name is the path's tail");
    fuzz::check(name.size() == path.size() || path[path.size() - name.size() - 1] == '/',
                "cut right after a separator");
    // Known extensions hold no '/', so the directory never changes the format.
    fuzz::check(getImageFormat(name.c_str()) == format, "format ignores the directory");

    std::string stem = path;
    std::string extension = "unchanged";
    splitExtension(stem, extension);
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) {
        fuzz::check(stem == path && extension == "unchanged", "no dot: nothing changes");
    } else {
        fuzz::check(stem.size() == dot && stem + "." + extension == path,
                    "stem and extension make the path");
        fuzz::check(extension.find('.') == std::string::npos, "cut at the last dot");
    }
    return 0;
}
