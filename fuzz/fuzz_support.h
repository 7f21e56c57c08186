// What every fuzz target shares: silence, a cap on pixel memory, and a scratch file for the
// readers that only take a path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/image.h"
#include "engine/messages.h"

namespace fuzz {

// Inputs routinely claim images of gigabytes; with this cap they take the refusal path that
// a machine without the memory would take, instead of spending seconds filling a huge block.
constexpr int64_t kAllocationCap = int64_t{16} << 20;

inline bool underCap(int64_t size) {
    return size <= kAllocationCap;
}

inline void ignoreText(const std::string&) {}

// Quiet channels (a report per input would drown the fuzzer's own output) and the cap.
inline void prepareEngine() {
    static const MessageSink quiet{ignoreText, ignoreText, ignoreText};
    installMessageSink(&quiet);
    setAllocationFilter(underCap);
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
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition)
        fail(what);
}

// Releases what a reader left in the image, whatever its result, so leaks show as leaks.
inline void release(Image& image) {
    freePixels(image.pixels);
    image.pixels = nullptr;
    releaseCachedPixels();
}

}  // namespace fuzz
