#include "imageio/bmp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "imageio/codec_fixtures.h"

namespace {

class BmpTest : public FileTest {};

const std::string kBadHeader = "readBMP, error reading bitmap file header";

TEST_F(BmpTest, RoundTripsEveryWriterLayoutAndWidth) {
    for (int bits : {24, 32, 48, 64}) {
        for (int width = 1; width <= 5; ++width) {
            SCOPED_TRACE(testing::Message() << bits << " bits, width " << width);
            // Source rows wider than needed: the writer must follow bytesPerLine.
            OwnedImage source(width, 3, bits, width * bits / 8 + 2);
            paint(source, pattern(width, 3, 3));
            ASSERT_EQ(writeBMP(source.image, dir.file("out.bmp").c_str()), 0);

            EXPECT_EQ(readFile(dir.file("out.bmp")), bmpFile(width, 3, pattern(width, 3, 3)));

            OwnedImage loaded;
            ASSERT_EQ(readBMP(loaded.image, dir.file("out.bmp").c_str()), 0);
            EXPECT_EQ(loaded.image.width, width);
            EXPECT_EQ(loaded.image.bitsPerPixel, 32);
            EXPECT_EQ(loaded.bytes(), withFiller(pattern(width, 3, 3)));
        }
    }
    // Pixels are found at the header's offset, not right after the headers.
    writeFile(dir.file("gap.bmp"), bmpFile(3, 2, pattern(3, 2, 3), 90));
    OwnedImage loaded;
    ASSERT_EQ(readBMP(loaded.image, dir.file("gap.bmp").c_str()), 0);
    EXPECT_EQ(loaded.bytes(), withFiller(pattern(3, 2, 3)));
    EXPECT_TRUE(capture.errors().empty());
}

// Every refusal comes before the pixels are asked for; a header fault is reported twice.
TEST_F(BmpTest, RefusesUnsupportedFilesBeforeAllocating) {
    const std::string length =
        "readBMPFileHeader, secondary header length wrong -- Not MS version 3 compatible";
    const std::string bits = "readBMPFileHeader, only 24 bit color supported";
    const std::string dims = "readBMPFileHeader, unsupported image dimensions";
    const std::string data = "Error reading image data";
    const int kCut = -1;  // value is the length to cut the file to
    const struct {
        int at;
        uint32_t value;
        std::string error;
    } cases[] = {
        {kCut, 13, "Error reading first BMP header segment"},
        {0, 'B' | 'A' << 8, "readBMPFileHeader, BMP bad magic No"},
        {kCut, 53, "Error reading second BMP header segment"},
        {14, 12, length},
        {14, 108, length},
        {26, 2, "readBMPFileHeader, should be 1 image plane"},
        {28, 8, bits},
        {28, 32, bits},
        {30, 1, "readBMPFileHeader, only uncompressed BMP supported"},
        {18, 0, dims},
        {22, 0, dims},
        {22, uint32_t(-4), dims},  // top-down
        {18, uint32_t(-4), dims},
        {18, INT32_MAX, dims},
        {kCut, 54 + 12 * 4 - 1, data},
        {10, 4096, data},       // offset past the end
        {22, INT32_MAX, data},  // rows beyond 32-bit sizes
    };
    static int64_t largestRequest = 0;
    setAllocationFilter([](int64_t size) {
        largestRequest = std::max(largestRequest, size);
        return true;
    });
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message() << test.at << ": " << test.value);
        Bytes file = bmpFile(4, 4, pattern(4, 4, 3));
        if (test.at == kCut)
            file.resize(test.value);
        else
            putLe32(file, std::size_t(test.at), test.value);
        writeFile(dir.file("in.bmp"), file);
        capture.clear();
        OwnedImage image;
        EXPECT_EQ(readBMP(image.image, dir.file("in.bmp").c_str()), -1);
        const Messages errors = {test.error, kBadHeader};
        EXPECT_EQ(capture.errors(), test.error == data ? Messages{data} : errors);
        EXPECT_EQ(image.image.pixels, nullptr);
    }
    EXPECT_EQ(largestRequest, 0);
}

TEST_F(BmpTest, ReportsMemoryShortageAndWriteFailures) {
    writeFile(dir.file("in.bmp"), bmpFile(2, 2, pattern(2, 2, 3)));
    OwnedImage image, source(2, 2, 32);
    // Pixels (16 bytes) granted, the 8-byte row buffer refused: the pixels stay with the image.
    setAllocationFilter([](int64_t size) { return size >= 16; });
    EXPECT_EQ(readBMP(image.image, dir.file("in.bmp").c_str()), -1);
    EXPECT_EQ(capture.errors(), Messages{"Not enough memory"});
    EXPECT_NE(image.image.pixels, nullptr);
    setAllocationFilter(nullptr);

    capture.clear();
    EXPECT_EQ(writeBMP(source.image, dir.file("no/such/dir.bmp").c_str()), -1);
    // The device accepts the buffered writes and fails only on flush.
    EXPECT_EQ(writeBMP(source.image, "/dev/full"), -1);
    // Layouts the writer cannot read safely are refused before a file exists.
    const auto refused = [&](auto field, auto value) {
        Image bad = source.image;
        bad.*field = value;
        return writeBMP(bad, dir.file("bad.bmp").c_str());
    };
    EXPECT_EQ(refused(&Image::bitsPerPixel, 256), -1);
    EXPECT_EQ(refused(&Image::bytesPerLine, 7), -1);
    EXPECT_EQ(refused(&Image::dataSize, 15), -1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("bad.bmp")));
    const std::string data = "writeBMP, could not write image data";
    EXPECT_EQ(capture.errors(),
              (Messages{"writeBMP, could not open file", data, data, data, data}));
}

}  // namespace
