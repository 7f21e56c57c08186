// What every fuzz target shares: silence, a cap on pixel memory, and a scratch file for the
// readers that only take a path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/image.h"
#include "engine/messages.h"

namespace fuzz {

// Inputs routinely claim images of gigabytes; with this cap they take the refusal path that
// a machine without the memory would take, instead of spending seconds filling a huge block.
constexpr int64_t kAllocationCap = int64_t{16} << 20;

inline void ignoreText(const std::string&) {}

// Quiet channels (a report per input would drown the fuzzer's own output) and the cap.
inline void prepareEngine() {
    static const MessageSink quiet{ignoreText, ignoreText, ignoreText};
    installMessageSink(&quiet);
    setAllocationFilter([](int64_t size) { return size <= kAllocationCap; });
}

// A file of this process's own, rewritten for every input; removed when the process ends.
class ScratchFile {
  public:
    explicit ScratchFile(const char* suffix) {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quorvane-fuzz-" +
                std::to_string(getpid()) + "-" + std::to_string(serial()++) + suffix;
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const char* path() const { return path_.c_str(); }

    // Replaces the contents; false when the file could not be written (then skip the input).
    bool write(const uint8_t* data, size_t size) const {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr)
            return false;
        const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
        return std::fclose(file) == 0 && written;
    }

  private:
    static int& serial() {
        static int next = 0;
        return next;
    }
    std::string path_;
};

// A broken promise of the code under test: libFuzzer records the input as a crash.
inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// Releases what a reader left in the image, whatever its result, so leaks show as leaks.
inline void release(Image& image) {
    freePixels(image.pixels);
    image.pixels = nullptr;
    releaseCachedPixels();
}

// One image reader on arbitrary bytes. Whatever it loads must be in its documented layout (32
// bits with a full filler; with alpha: 32 or 64 bits, the fourth sample as stored) and, up to
// roundTripPixels, survive our writer and the reader again: the size always, the bytes where
// exact. A failed read keeps no pixels.
struct ImageTarget {
    const char* suffix;
    int (*read)(Image&, const char*);
    int (*write)(Image&, const char*, const uint8_t* data, size_t size);
    int64_t roundTripPixels;
    bool alpha, exact;
};

inline void checkLoaded(const Image& image, bool alpha) {
    check((image.bitsPerPixel == 32 || (alpha && image.bitsPerPixel == 64)) && image.width > 0 &&
              image.height > 0,
          "layout");
    check(image.bytesPerLine == int64_t{image.width} * (image.bitsPerPixel / 8) &&
              image.dataSize == image.bytesPerLine * image.height,
          "sizes");
    const uint8_t* pixels = pixelData(image);
    check(pixels != nullptr, "pixels");
    for (int64_t i = 0; i < image.dataSize && !alpha; i += 4)
        check(pixels[i] == 255, "filler");
}

// Sets the filler of every pixel of a 64-bit image to 65535.
inline void fillWideFiller(Image& image) {
    const uint16_t opaque = 65535;
    for (int64_t i = 0; i + 8 <= image.dataSize; i += 8)
        std::memcpy(pixelData(image) + i, &opaque, sizeof opaque);
}

inline int fuzzImageReader(const ImageTarget& target, const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = (prepareEngine(), true);
    static const ScratchFile input(target.suffix);
    static const ScratchFile copy(target.suffix);
    if (!input.write(data, size))
        return 0;
    Image image;
    initImage(image);
    if (target.read(image, input.path()) != 0) {
        check(image.pixels == nullptr, "a failed read keeps no pixels");
    } else {
        checkLoaded(image, target.alpha);
        if (int64_t{image.width} * image.height <= target.roundTripPixels &&
            target.write(image, copy.path(), data, size) == 0) {
            Image again;
            initImage(again);
            check(target.read(again, copy.path()) == 0, "what we wrote is readable");
            check(again.width == image.width && again.height == image.height, "round trip size");
            check(!target.exact || (again.dataSize == image.dataSize &&
                                    std::memcmp(pixelData(again), pixelData(image),
                                                static_cast<size_t>(image.dataSize)) == 0),
                  "round trip");
            release(again);
        }
    }
    release(image);
    return 0;
}

}  // namespace fuzz
