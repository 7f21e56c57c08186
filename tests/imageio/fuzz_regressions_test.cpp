// Inputs found by fuzzing (fuzz/), and the hostile-header rules that came out of them: a
// small file claiming a huge image is refused before the codec or its library takes the
// memory, with the allocator's report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <tiffio.h>

#include "imageio/codec_fixtures.h"
#include "imageio/jpeg.h"
#include "imageio/tiff.h"

namespace {

class FuzzRegressions : public FileTest {
  protected:
    // The machine seen by the codecs: no single request above this is granted.
    static constexpr int64_t kMachine = 200'000'000;
    void SetUp() override {
        setAllocationFilter([](int64_t size) { return size <= kMachine; });
    }
    // Reads path, expecting exactly errors (none: success; else no pixels are kept); returns
    // the size read.
    std::pair<int, int> read(int (*reader)(Image&, const char*), const std::string& path,
                             const Messages& errors) {
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(reader(loaded.image, path.c_str()), errors.empty() ? 0 : -1);
        EXPECT_EQ(loaded.image.pixels == nullptr, !errors.empty());
        EXPECT_EQ(capture.errors(), errors);
        return {loaded.image.width, loaded.image.height};
    }
};

// One of our own 16x16 JPEGs with the frame header changed to claim width x height.
Bytes jpegClaiming(const std::string& path, int progressive, int size) {
    OwnedImage image(16, 16, 24);
    paint(image, pattern(16, 16, 3));
    EXPECT_EQ(writeJPEG(image.image, path.c_str(), 90, progressive), 0);
    Bytes file = readFile(path);
    const Bytes marker = {0xFF, uint8_t(progressive ? 0xC2 : 0xC0)};
    const auto frame = std::search(file.begin(), file.end(), marker.begin(), marker.end());
    EXPECT_NE(frame, file.end());
    // Marker, length (2), precision (1), then height and width, big-endian.
    for (int at : {5, 7}) {
        frame[at] = uint8_t(size >> 8);
        frame[at + 1] = uint8_t(size);
    }
    return file;
}

// Found with the seed corpus: a 2 KB progressive file claiming 60000 x 60000 pixels made the
// library take and clear gigabytes of coefficients in jpeg_start_decompress, before our
// pixels were even asked for. Now both are asked for together, before the library starts.
TEST_F(FuzzRegressions, JpegClaimingHugeImageIsRefusedBeforeDecoding) {
    const std::string path = dir.file("claims.jpg");
    const struct {
        int progressive, size;
        long kilobytes;
    } cases[] = {
        // Pixels 4 x 9000^2 bytes, more than the machine: allocPixels refuses them.
        {0, 9000, 316406},
        // Pixels 4 x 6000^2 bytes would fit, but 4:2:0 coefficients come on top:
        // (750^2 luma + 2 x 375^2 chroma blocks) x 128 bytes = 108,000,000.
        {1, 6000, 246093},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.progressive);
        writeFile(path, jpegClaiming(path, c.progressive, c.size));
        read(readJPEG, path,
             {"Error allocating " + std::to_string(c.kilobytes) + " KB of memory",
              "Not enough memory"});
        // Nothing was decoded, so the library never warned about the missing data.
        EXPECT_EQ(capture.diagnosticText(), "");
    }

    // An ordinary progressive file that ends early still loads in full size.
    OwnedImage image(64, 64, 24);
    paint(image, pattern(64, 64, 3));
    ASSERT_EQ(writeJPEG(image.image, path.c_str(), 90, 1), 0);
    const Bytes whole = readFile(path);
    writeFile(path, Bytes(whole.begin(), whole.begin() + long(whole.size() / 2)));
    EXPECT_EQ(read(readJPEG, path, {}), std::pair(64, 64));
}

// A little-endian TIFF whose directory comes first and whose one strip holds `present` bytes
// of the width x height pixels it claims. Without a colour model (photometric -1) it goes to
// the RGBA reader, which then guesses from the sample count.
Bytes tiffClaiming(uint32_t width, uint32_t height, int samples, int bits, int photometric,
                   int compression, size_t present) {
    std::vector<std::pair<uint16_t, uint32_t>> fields = {
        {256, width},
        {257, height},
        {258, uint32_t(bits)},
        {259, uint32_t(compression)},
        {262, uint32_t(photometric)},
        {273, 0},
        {277, uint32_t(samples)},
        {278, height},
        {279, uint32_t(uint64_t{width} * height * samples * bits / 8)}};
    if (photometric < 0)
        fields.erase(fields.begin() + 4);
    const uint32_t dataOffset = uint32_t(8 + 2 + 12 * fields.size() + 4);
    Bytes file = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const auto put16 = [&file](uint32_t value) {
        file.insert(file.end(), {uint8_t(value), uint8_t(value >> 8)});
    };
    const auto put32 = [&](uint32_t value) {
        put16(value & 0xFFFF);
        put16(value >> 16);
    };
    put16(uint32_t(fields.size()));
    for (const auto& [tag, value] : fields) {
        put16(tag);
        put16(tag == 258 || tag == 259 || tag == 262 || tag == 277 ? 3 : 4);  // SHORT or LONG
        put32(1);
        put32(tag == 273 ? dataOffset : value);
    }
    put32(0);  // no further directory; the strip follows
    file.resize(file.size() + present, 0x80);
    return file;
}

// Found by fuzzing: files of a few hundred bytes claiming a million pixels, each read taking
// most of a second to fill an image with nothing. A file holding less than 1/128 of the sample
// bytes it claims is now refused before anything is allocated. And the RGBA reader's strip
// buffer, which for 16-bit RGB in one compressed strip (the library cuts uncompressed ones into
// small pieces) is half as big again as our pixels, is asked for with them before the library
// reads. Files that can be what they claim still load (the densest: Tiff.DensestPackBits...).
TEST_F(FuzzRegressions, TiffClaimingMoreThanItHoldsOrCanBeGivenIsRefusedUpFront) {
    const std::string path = dir.file("claims.tif");
    const int grey = PHOTOMETRIC_MINISBLACK, none = COMPRESSION_NONE;
    const Messages unreadable{"Could not read tiff-data"},
        tooBig{"Error allocating 244140 KB of memory", "Not enough memory"};
    const struct {
        uint32_t width, height;
        int samples, bits, photometric, compression;
        size_t present;
        Messages errors;
    } cases[] = {
        // The library read the first 8 KB piece of the strip and skipped the missing rest.
        {8192, 1024, 1, 8, grey, none, 8300, unreadable},
        {60000, 7500, 1, 8, grey, none, 64, unreadable},
        // No colour model, which sends RGB to the RGBA reader. Over 1/128 of 6 x 5000^2 bytes
        // is there; 4 x 5000^2 bytes of pixels would fit, but not with 6 x 5000^2 of strip.
        {5000, 5000, 3, 16, -1, COMPRESSION_PACKBITS, 1'200'000, tooBig},
        {2, 1, 3, 16, -1, none, 12, {}},  // the same kind of file at a size that fits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        writeFile(path, tiffClaiming(c.width, c.height, c.samples, c.bits, c.photometric,
                                     c.compression, c.present));
        const auto size = read(readTIFF, path, c.errors);
        if (c.errors.empty()) {
            EXPECT_EQ(size, std::pair(int(c.width), int(c.height)));
        }
    }
}

}  // namespace
