#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "engine/image.h"
#include "support/capture.h"

namespace {

TEST(Image, CompareLooksAtSizeAndFormatOnly) {
    Image a, b;
    a.width = 100, a.height = 80, a.bitsPerPixel = 32;
    b.width = 80, b.height = 100, b.bitsPerPixel = 32;
    EXPECT_EQ(compareImages(a, b), 0);
    b.width = 100, b.height = 80, b.bitsPerPixel = 256;
    EXPECT_EQ(compareImages(a, b), 1);
    b.dataFormat = 1;
    EXPECT_EQ(compareImages(a, b), 0);
}

TEST(Image, PixelMemoryIsZeroFilledAndFailuresAreReported) {
    MessageCapture capture;
    PixelBlock* block = allocPixels(3 * 1024 * 1024 + 7);
    ASSERT_NE(block, nullptr);
    const uint8_t* data = pixelData(block);
    for (int64_t i = 0; i < 3 * 1024 * 1024 + 7; i += 4093)
        ASSERT_EQ(data[i], 0);
    freePixels(block);
    freePixels(nullptr);

    EXPECT_EQ(allocPixels(-32), nullptr);
    // Far more than any machine has: refused up front instead of being over-committed.
    EXPECT_EQ(allocPixels(int64_t{1} << 50), nullptr);
    setAllocationFilter([](int64_t) { return false; });
    EXPECT_EQ(allocPixels(4096), nullptr);
    setAllocationFilter(nullptr);
    ASSERT_EQ(capture.errors().size(), 3u);
    EXPECT_EQ(capture.errors()[0], "Error allocating 0 KB of memory");
    EXPECT_EQ(capture.errors()[1], "Error allocating 1099511627776 KB of memory");
    EXPECT_EQ(capture.errors()[2], "Error allocating 4 KB of memory");
}

Image makeImage(int width, int height, int bitsPerPixel, int64_t bytesPerLine, int64_t capacity) {
    Image image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = bitsPerPixel;
    image.bytesPerLine = bytesPerLine;
    image.dataSize = bytesPerLine * height;
    image.pixels = allocPixels(capacity);
    return image;
}

TEST(Image, ExpandDropsRowPaddingAndAddsFiller) {
    // Three pixels per row, rows padded to 12 bytes.
    Image image = makeImage(3, 2, 24, 12, 4 * 3 * 2);
    uint8_t* data = pixelData(image);
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 9; ++i)
            data[y * 12 + i] = static_cast<uint8_t>(10 * y + i + 1);
    expandToFourSamples(image);
    EXPECT_EQ(image.bitsPerPixel, 32);
    EXPECT_EQ(image.bytesPerLine, 12);
    EXPECT_EQ(image.dataSize, 24);
    const uint8_t expected[24] = {255, 1,  2,  3,  255, 4,  5,  6,  255, 7,  8,  9,
                                  255, 11, 12, 13, 255, 14, 15, 16, 255, 17, 18, 19};
    EXPECT_EQ(std::memcmp(data, expected, 24), 0);
    freePixels(image.pixels);
}

TEST(Image, SixteenBitLayoutsExpandAndNarrow) {
    Image image = makeImage(2, 1, 48, 12, 16);
    uint8_t* data = pixelData(image);
    const uint16_t source[6] = {0x1234, 0xABCD, 0x00FF, 0xFF00, 0x8001, 0x7FFF};
    std::memcpy(data, source, sizeof source);
    expandToFourSamples(image);
    ASSERT_EQ(image.bitsPerPixel, 64);
    uint16_t expanded[8];
    std::memcpy(expanded, data, sizeof expanded);
    const uint16_t wantExpanded[8] = {65535, 0x1234, 0xABCD, 0x00FF, 65535, 0xFF00, 0x8001, 0x7FFF};
    EXPECT_EQ(std::memcmp(expanded, wantExpanded, sizeof expanded), 0);

    narrowSamples(image);
    EXPECT_EQ(image.bitsPerPixel, 32);
    EXPECT_EQ(image.bytesPerLine, 8);
    EXPECT_EQ(image.dataSize, 8);
    const uint8_t wantNarrow[8] = {255, 0x12, 0xAB, 0x00, 255, 0xFF, 0x80, 0x7F};
    EXPECT_EQ(std::memcmp(data, wantNarrow, 8), 0);

    narrowSamples(image);  // 32 bits: nothing to do
    EXPECT_EQ(image.bitsPerPixel, 32);
    freePixels(image.pixels);
}

// An address-space limit (ulimit -v) is memory the process cannot have, however much the
// machine holds: an image that fits under it loads, one that would not fit together with its
// accumulator is refused before anything is mapped. Checked in a child, which alone is
// limited.
TEST(Image, AddressSpaceLimitCountsAsUnavailableMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's own mappings make the limit meaningless";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        // 64 MB more than the child uses now; the image is 9 MB, with its accumulator 81 MB.
        const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
        const struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(10);
        Image image;
        image.width = image.height = 1500;
        image.bitsPerPixel = 32;
        image.bytesPerLine = 4 * 1500;
        image.dataSize = image.bytesPerLine * 1500;
        setImageReserve(32);
        if (allocImagePixels(image) != nullptr || !refusedForImageReserve())
            _exit(11);
        setImageReserve(0);
        PixelBlock* alone = allocImagePixels(image);
        _exit(alone == nullptr ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
