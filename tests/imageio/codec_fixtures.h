// Shared pieces of the file tests: file contents, owned images in every layout, reference decoders,
// a file-size limit that makes writes fail like a full disk, a fixture with a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "engine/image.h"
#include "support/capture.h"

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::string>;

// Bytes or std::string.
template <class Contents = Bytes>
Contents readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Contents(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class Contents>
void writeFile(const std::string& path, const Contents& contents) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(contents.data()),
               static_cast<std::streamsize>(contents.size()));
}

// An Image that releases its pixels; rows are bytesPerLine apart (0: packed).
struct OwnedImage {
    Image image;
    OwnedImage() = default;
    OwnedImage(int32_t width, int32_t height, int32_t bitsPerPixel, int64_t bytesPerLine = 0) {
        image.width = width;
        image.height = height;
        image.bitsPerPixel = bitsPerPixel;
        image.bytesPerLine = bytesPerLine != 0 ? bytesPerLine : int64_t{width} * bitsPerPixel / 8;
        image.dataSize = image.bytesPerLine * height;
        image.pixels = allocPixels(image.dataSize);
    }
    ~OwnedImage() { freePixels(image.pixels); }
    OwnedImage(const OwnedImage&) = delete;
    OwnedImage& operator=(const OwnedImage&) = delete;
    uint8_t* data() const { return pixelData(image); }
    Bytes bytes() const { return {data(), data() + image.dataSize}; }
};

// A different value for every pixel and channel, packed, so swapped channels or rows show.
inline Bytes pattern(int width, int height, int components) {
    Bytes samples;
    for (int i = 0; i < width * height * components; ++i) {
        const int x = i / components % width, y = i / components / width, c = i % components;
        samples.push_back(uint8_t(x * 7 + y * 5 + c * 60));
    }
    return samples;
}

// Packed RGB as the loaders deliver it: a full filler first; samples of the given bytes.
inline Bytes withFiller(const Bytes& rgb, size_t bytes = 1) {
    Bytes argb;
    for (auto at = rgb.begin(); rgb.end() - at >= long(3 * bytes); at += long(3 * bytes)) {
        argb.insert(argb.end(), bytes, 255);
        argb.insert(argb.end(), at, at + long(3 * bytes));
    }
    return argb;
}

// What a command prints; its complaints are dropped.
template <class Contents = Bytes>
Contents commandOutput(const std::string& command) {
    Contents output;
    if (std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        for (int c; (c = std::fgetc(pipe)) != EOF;)
            output.push_back(static_cast<typename Contents::value_type>(c));
        pclose(pipe);
    }
    return output;
}

// ImageMagick's decode in our layout: samples of 8 bits, or of 16 in host order.
inline Bytes magickDecode(const std::string& path, int depth = 8) {
    const char* endian = std::endian::native == std::endian::little ? "LSB" : "MSB";
    return withFiller(commandOutput("convert '" + path + "' -depth " + std::to_string(depth) +
                                    " -endian " + endian + " rgb:-"),
                      size_t(depth / 8));
}

// A seed of the fuzzers, e.g. "png/rgb8_7x5.png"; the name ends with the picture's size.
inline std::string corpusFile(const std::string& name) {
    return QUORVANE_FUZZ_CORPUS "/" + name;
}
inline std::pair<int, int> sizeInName(const std::string& path) {
    std::pair<int, int> size;
    std::sscanf(path.substr(path.rfind('_')).c_str(), "_%dx%d", &size.first, &size.second);
    return size;
}

// Stores packed RGB in any writer layout (24, 32, 48, 64 bits; rows bytesPerLine apart).
// Fillers and the low bytes of 16-bit samples get 0x5A, which must not reach a file.
inline void paint(OwnedImage& owned, const Bytes& rgb) {
    const Image& image = owned.image;
    const int wide = image.bitsPerPixel > 32 ? 2 : 1, samples = image.bitsPerPixel / 8 / wide;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            for (int s = 0, c = 3 - samples; s < samples; ++s, ++c) {  // c -1: the filler
                uint8_t* at = owned.data() + y * image.bytesPerLine + (x * samples + s) * wide;
                at[0] = at[wide - 1] = 0x5A;
                if (c >= 0)
                    at[wide - 1] = rgb[size_t((y * image.width + x) * 3 + c)];
            }
        }
    }
}

// Written by hand, byte for byte the BMP writer's file of packed RGB.
inline Bytes bmpFile(int32_t width, int32_t height, const Bytes& rgb) {
    const size_t rowSize = (3 * size_t(width) + 3) / 4 * 4;
    Bytes b(54 + rowSize * size_t(height), 0);  // row padding stays zero
    b[0] = 'B', b[1] = 'M', b[26] = 1, b[28] = 24;
    const auto size = uint32_t(b.size());
    const uint32_t fields[][2] = {
        {2, size},       {10, 54},   {14, 40},  {18, uint32_t(width)}, {22, uint32_t(height)},
        {34, size - 54}, {38, 7085}, {42, 7085}};
    for (const auto& field : fields)
        for (size_t i = 0; i < 4; ++i)
            b[field[0] + i] = uint8_t(field[1] >> 8 * i);
    for (size_t i = 0; i < rgb.size(); ++i) {  // bottom row first, blue first
        const size_t x = i / 3 % size_t(width), y = i / 3 / size_t(width);
        b[54 + rowSize * (size_t(height) - 1 - y) + 3 * x + 2 - i % 3] = rgb[i];
    }
    return b;
}

// Runs write() with writes past limit bytes failing as on a full disk (EFBIG instead of
// SIGXFSZ); unlike permissions, this stops root too. Nothing else may write meanwhile.
template <class Write>
int withFileSizeLimit(rlim_t limit, Write write) {
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
    const int result = write();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    return result;
}

// Each test gets its own scratch directory and message capture, and no allocation filter
// outlives it.
class FileTest : public ::testing::Test {
  protected:
    FileTest() {
        std::string pattern = ::testing::TempDir() + "scratchXXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            dir.path = pattern;
    }
    ~FileTest() override {
        setAllocationFilter(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir.path, ignored);
    }
    struct Directory {
        std::string path;
        std::string file(const std::string& name) const { return path + "/" + name; }
        // Sorted names of the entries of the directory or of its subdirectory name.
        Messages list(const std::string& name = ".") const {
            Messages names;
            for (const auto& entry : std::filesystem::directory_iterator(file(name)))
                names.push_back(entry.path().filename());
            std::sort(names.begin(), names.end());
            return names;
        }
    } dir;
    MessageCapture capture;
};
