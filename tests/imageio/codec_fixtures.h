// Shared pieces of the JPEG and TIFF tests: a scratch directory, file bytes, owned images
// and a file-size limit that makes writes fail like a full disk.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/image.h"

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = ::testing::TempDir() + "codecXXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// An Image that releases its pixels.
struct OwnedImage {
    Image image;
    OwnedImage() = default;
    OwnedImage(int32_t width, int32_t height, int32_t bitsPerPixel) {
        image.width = width;
        image.height = height;
        image.bitsPerPixel = bitsPerPixel;
        image.bytesPerLine = static_cast<int64_t>(width) * bitsPerPixel / 8;
        image.dataSize = image.bytesPerLine * height;
        image.pixels = allocPixels(image.dataSize);
    }
    ~OwnedImage() { freePixels(image.pixels); }
    OwnedImage(const OwnedImage&) = delete;
    OwnedImage& operator=(const OwnedImage&) = delete;
    uint8_t* data() const { return pixelData(image); }
    std::vector<uint8_t> bytes() const { return {data(), data() + image.dataSize}; }
};

// While alive, writes past limit bytes fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    sighandler_t previous_ = nullptr;
};
