#include "imageio/bmp.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kBadHeader = "readBMP, error reading bitmap file header";

std::string makeTempDir() {
    std::string pattern = ::testing::TempDir() + "bmpXXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

void putLe(Bytes& b, std::size_t at, uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        b.at(at + static_cast<std::size_t>(i)) = uint8_t(value >> 8 * i);
}

// A different value for every pixel and channel, so swapped channels or rows show.
uint8_t sampleAt(int x, int y, int c) {
    return uint8_t(13 + 50 * x + 90 * y + 70 * c);
}

// An image in any writer layout; 16-bit samples carry a low byte that must be dropped.
Image makeImage(int width, int height, int bits, int64_t bytesPerLine) {
    Image image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = bits;
    image.bytesPerLine = bytesPerLine;
    image.dataSize = bytesPerLine * height;
    image.pixels = allocPixels(image.dataSize);
    const int samples = bits == 32 || bits == 64 ? 4 : 3;
    const int first = samples - 3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = pixelData(image) + y * bytesPerLine + x * bits / 8;
            for (int c = 0; c < 3; ++c) {
                if (bits <= 32) {
                    pixel[first + c] = sampleAt(x, y, c);
                } else {
                    const uint16_t value = uint16_t(sampleAt(x, y, c) << 8 | 0x5A);
                    std::memcpy(pixel + 2 * (first + c), &value, 2);
                }
            }
        }
    }
    return image;
}

// A valid width x height file with a gap of junk between the headers and offset; rows are
// padded with zeros.
Bytes bmpFile(int32_t width, int32_t height, uint32_t offset = 54) {
    const std::size_t rowSize = (3 * std::size_t(width) + 3) / 4 * 4;
    Bytes b(offset + rowSize * std::size_t(height), 0);  // size and resolution fields too
    std::fill(b.begin() + 54, b.begin() + offset, 0xEE);
    b[0] = 'B';
    b[1] = 'M';
    putLe(b, 10, offset, 4);
    putLe(b, 14, 40, 4);
    putLe(b, 18, uint32_t(width), 4);
    putLe(b, 22, uint32_t(height), 4);
    putLe(b, 26, 1, 2);
    putLe(b, 28, 24, 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t at = offset + rowSize * std::size_t(height - 1 - y) + 3 * x;
            for (int c = 0; c < 3; ++c)
                b[at + 2 - c] = sampleAt(x, y, c);
        }
    }
    return b;
}

void expectSamples(const Image& image, int width, int height) {
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    ASSERT_EQ(image.bitsPerPixel, 32);
    ASSERT_EQ(image.bytesPerLine, 4 * width);
    ASSERT_EQ(image.dataSize, 4 * width * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = pixelData(image) + (y * width + x) * 4;
            EXPECT_EQ(p[0], 255);
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(p[1 + c], sampleAt(x, y, c)) << x << "," << y;
        }
    }
}

int64_t largestRequest = 0;
bool recordRequest(int64_t size) {
    largestRequest = std::max(largestRequest, size);
    return true;
}
bool refuseAll(int64_t) {
    return false;
}
bool refuseSmall(int64_t size) {
    return size >= 16;
}

class BmpTest : public ::testing::Test {
  protected:
    void TearDown() override {
        setAllocationFilter(nullptr);
        std::filesystem::remove_all(dir);
    }
    std::string path(const char* name) const { return dir + "/" + name; }
    std::string dir = makeTempDir();
    MessageCapture capture;
};

TEST_F(BmpTest, RoundTripsEveryWriterLayoutAndWidth) {
    for (int bits : {24, 32, 48, 64}) {
        for (int width = 1; width <= 5; ++width) {
            SCOPED_TRACE(testing::Message() << bits << " bits, width " << width);
            const int height = 3;
            // Source rows wider than needed: the writer must follow bytesPerLine.
            Image source = makeImage(width, height, bits, width * bits / 8 + 2);
            ASSERT_EQ(writeBMP(source, path("out.bmp").c_str()), 0);
            freePixels(source.pixels);

            // Byte for byte what we build by hand, with the fields the writer fills in.
            Bytes expected = bmpFile(width, height);
            const uint32_t imageBytes = uint32_t(expected.size()) - 54;
            putLe(expected, 2, uint32_t(expected.size()), 4);
            putLe(expected, 34, imageBytes, 4);
            putLe(expected, 38, 7085, 4);
            putLe(expected, 42, 7085, 4);
            EXPECT_EQ(readFile(path("out.bmp")), expected);

            Image loaded;
            ASSERT_EQ(readBMP(loaded, path("out.bmp").c_str()), 0);
            expectSamples(loaded, width, height);
            freePixels(loaded.pixels);
        }
    }
    EXPECT_TRUE(capture.errors().empty());
}

TEST_F(BmpTest, ReadsPixelsAtTheirOffset) {
    writeFile(path("gap.bmp"), bmpFile(3, 2, 90));
    Image image;
    ASSERT_EQ(readBMP(image, path("gap.bmp").c_str()), 0);
    expectSamples(image, 3, 2);
    freePixels(image.pixels);
}

TEST_F(BmpTest, RefusesUnsupportedFilesBeforeAllocating) {
    using Edit = std::function<void(Bytes&)>;
    const auto field = [](std::size_t at, uint32_t value, int size) {
        return Edit([=](Bytes& b) { putLe(b, at, value, size); });
    };
    const auto cut = [](std::size_t size) { return Edit([=](Bytes& b) { b.resize(size); }); };
    const std::string dims = "readBMPFileHeader, unsupported image dimensions";
    const std::string data = "Error reading image data";
    const struct {
        const char* name;
        Edit edit;
        std::vector<std::string> errors;
    } cases[] = {
        {"empty", cut(0), {"Error reading first BMP header segment", kBadHeader}},
        {"13 bytes", cut(13), {"Error reading first BMP header segment", kBadHeader}},
        {"bad magic",
         field(0, 'B' | 'A' << 8, 2),
         {"readBMPFileHeader, BMP bad magic No", kBadHeader}},
        {"53 bytes", cut(53), {"Error reading second BMP header segment", kBadHeader}},
        {"core header",
         field(14, 12, 4),
         {"readBMPFileHeader, secondary header length wrong -- Not MS version 3 compatible",
          kBadHeader}},
        {"v4 header",
         field(14, 108, 4),
         {"readBMPFileHeader, secondary header length wrong -- Not MS version 3 compatible",
          kBadHeader}},
        {"2 planes", field(26, 2, 2), {"readBMPFileHeader, should be 1 image plane", kBadHeader}},
        {"8 bits", field(28, 8, 2), {"readBMPFileHeader, only 24 bit color supported", kBadHeader}},
        {"32 bits",
         field(28, 32, 2),
         {"readBMPFileHeader, only 24 bit color supported", kBadHeader}},
        {"compressed",
         field(30, 1, 4),
         {"readBMPFileHeader, only uncompressed BMP supported", kBadHeader}},
        {"width 0", field(18, 0, 4), {dims, kBadHeader}},
        {"height 0", field(22, 0, 4), {dims, kBadHeader}},
        {"top-down", field(22, uint32_t(-4), 4), {dims, kBadHeader}},
        {"negative width", field(18, uint32_t(-4), 4), {dims, kBadHeader}},
        {"widest", field(18, INT32_MAX, 4), {dims, kBadHeader}},
        {"truncated rows", cut(54 + 12 * 4 - 1), {data}},
        {"offset past end", field(10, 4096, 4), {data}},
        {"huge claim", [](Bytes& b) { putLe(b, 18, 60000, 4), putLe(b, 22, 60000, 4); }, {data}},
    };
    largestRequest = 0;
    setAllocationFilter(recordRequest);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Bytes file = bmpFile(4, 4);
        test.edit(file);
        writeFile(path("in.bmp"), file);
        capture.clear();
        Image image;
        EXPECT_EQ(readBMP(image, path("in.bmp").c_str()), -1);
        EXPECT_EQ(capture.errors(), test.errors);
        EXPECT_EQ(image.pixels, nullptr);
    }
    EXPECT_EQ(largestRequest, 0);

    capture.clear();
    Image image;
    EXPECT_EQ(readBMP(image, path("missing.bmp").c_str()), -1);
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"readBMP, could not open file"});
}

TEST_F(BmpTest, ReportsMemoryShortage) {
    writeFile(path("in.bmp"), bmpFile(2, 2));
    setAllocationFilter(refuseAll);
    Image image;
    EXPECT_EQ(readBMP(image, path("in.bmp").c_str()), -1);
    EXPECT_EQ(capture.errors(),
              (std::vector<std::string>{"Error allocating 0 KB of memory", "Not enough memory"}));

    // Pixels (16 bytes) granted, the 8-byte row buffer refused: the pixels stay with the image.
    capture.clear();
    setAllocationFilter(refuseSmall);
    EXPECT_EQ(readBMP(image, path("in.bmp").c_str()), -1);
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"Not enough memory"});
    EXPECT_NE(image.pixels, nullptr);
    freePixels(image.pixels);

    capture.clear();
    Image source = makeImage(2, 2, 32, 8);
    EXPECT_EQ(writeBMP(source, path("out.bmp").c_str()), -1);
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"Not enough memory"});
    freePixels(source.pixels);
}

TEST_F(BmpTest, ReportsWriteFailures) {
    Image source = makeImage(2, 2, 32, 8);
    const std::string open = "writeBMP, could not open file";
    const std::string data = "writeBMP, could not write image data";
    EXPECT_EQ(writeBMP(source, path("no/such/dir.bmp").c_str()), -1);
    // The device accepts the buffered writes and fails only on flush.
    EXPECT_EQ(writeBMP(source, "/dev/full"), -1);

    // Layouts the writer cannot read safely are refused before a file exists.
    Image bad = source;
    bad.bitsPerPixel = 256;
    EXPECT_EQ(writeBMP(bad, path("bad.bmp").c_str()), -1);
    bad = source;
    bad.bytesPerLine = 7;
    EXPECT_EQ(writeBMP(bad, path("bad.bmp").c_str()), -1);
    bad = source;
    bad.dataSize = 15;
    EXPECT_EQ(writeBMP(bad, path("bad.bmp").c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(path("bad.bmp")));
    EXPECT_EQ(capture.errors(), (std::vector<std::string>{open, data, data, data, data}));
    freePixels(source.pixels);
}

}  // namespace
