#include "imageio/tiff.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include <tiffio.h>

#include "imageio/codec_fixtures.h"

namespace {

class Tiff : public FileTest {};

constexpr int kNoPhotometric = -1;

// A one-strip file whose scanlines, plane after plane, are taken from data in turn.
void writeTiff(const std::string& path, int width, int height, int samples, int bits,
               int photometric, Bytes data, int planar = PLANARCONFIG_CONTIG,
               int compression = COMPRESSION_NONE) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(samples));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
    if (photometric != kNoPhotometric)
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(photometric));
    const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    if (samples == 4)
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(planar));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(compression));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(height));
    const auto line = size_t(TIFFScanlineSize64(tif));
    const int rows = (planar == PLANARCONFIG_SEPARATE ? samples : 1) * height;
    ASSERT_GE(data.size(), rows * line);
    for (int i = 0; i < rows; ++i) {
        EXPECT_EQ(TIFFWriteScanline(tif, data.data() + i * line, uint32_t(i % height),
                                    uint16_t(i / height)),
                  1);
    }
    TIFFClose(tif);
}

uint16_t sample16(int x, int y, int c) {
    return uint16_t(x * 4001 + y * 7003 + c * 9011);
}

// Contiguous RGB is read row by row and keeps its depth, a fourth sample in the filler's
// place. The rest goes through the library's RGBA reader, whose bottom-up raster is turned
// upright in place: odd and even heights.
TEST_F(Tiff, ReadsEveryModel) {
    const int width = 11, contig = PLANARCONFIG_CONTIG, separate = PLANARCONFIG_SEPARATE;
    const struct {
        int samples, bits, photometric, planar;
    } layouts[] = {
        {3, 8, PHOTOMETRIC_RGB, contig},        {4, 8, PHOTOMETRIC_RGB, contig},
        {3, 16, PHOTOMETRIC_RGB, contig},       {4, 16, PHOTOMETRIC_RGB, contig},
        {1, 8, PHOTOMETRIC_MINISBLACK, contig}, {1, 1, PHOTOMETRIC_MINISBLACK, contig},
        {1, 8, kNoPhotometric, contig},         {3, 8, PHOTOMETRIC_RGB, separate},
    };
    const std::string path = dir.file("in.tif");
    for (const auto& l : layouts) {
        for (int height : {5, 6}) {
            SCOPED_TRACE(testing::Message() << l.samples << "x" << l.bits << " bits, photometric "
                                            << l.photometric << ", height " << height);
            const bool rowByRow = l.photometric == PHOTOMETRIC_RGB && l.planar != separate;
            // 16 bits in host order (as in the file and image), 8 bits the high byte.
            const auto put = [&](Bytes& to, uint16_t value) {
                const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
                if (l.bits == 8)
                    to.push_back(uint8_t(value >> 8));
                else
                    to.insert(to.end(), bytes, bytes + 2);
            };
            Bytes data, planes[3], expected;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const uint8_t r = uint8_t(sample16(x, y, 0) >> 8);
                    if (l.bits == 1) {  // one bit per pixel, most significant first; 1 is white
                        data.resize(size_t(y * 2 + x / 8 + 1));
                        data.back() = uint8_t(data.back() | (r & 0x80) >> x % 8);
                    }
                    for (int c = 0; c < l.samples && l.bits > 1; ++c)
                        put(l.planar == separate ? planes[c] : data, sample16(x, y, c));
                    if (rowByRow) {
                        put(expected, l.samples == 4 ? sample16(x, y, 3) : 0xFFFF);
                        for (int c = 0; c < 3; ++c)
                            put(expected, sample16(x, y, c));
                    } else if (l.samples == 3) {
                        expected.insert(expected.end(), {255, r, uint8_t(sample16(x, y, 1) >> 8),
                                                         uint8_t(sample16(x, y, 2) >> 8)});
                    } else {
                        const uint8_t grey = l.bits != 1 ? r : r & 0x80 ? 255 : 0;
                        expected.insert(expected.end(), {255, grey, grey, grey});
                    }
                }
            }
            for (const Bytes& plane : planes)
                data.insert(data.end(), plane.begin(), plane.end());
            writeTiff(path, width, height, l.samples, l.bits, l.photometric, data, l.planar);
            OwnedImage loaded;
            ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
            EXPECT_EQ(loaded.image.bitsPerPixel, rowByRow ? 4 * l.bits : 32);
            EXPECT_EQ(loaded.image.bytesPerLine, width * loaded.image.bitsPerPixel / 8);
            EXPECT_EQ(loaded.bytes(), expected);
        }
    }
    EXPECT_TRUE(capture.errors().empty());
}

TEST_F(Tiff, RefusesWhatItCannotRead) {
    const Messages refused{"Could not read tiff-data"};
    const struct {
        int samples, bits, photometric, compression;
        Messages errors;
    } cases[] = {
        {3, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW, refused},
        {1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, refused},
        {3, 8, PHOTOMETRIC_RGB, COMPRESSION_JPEG, refused},
        {1, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE, refused},
        {3, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, refused},
        {5, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE, {}},  // silently
    };
    const std::string path = dir.file("refused.tif");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.samples << "x" << c.bits << " " << c.compression);
        writeTiff(path, 16, 16, c.samples, c.bits, c.photometric, Bytes(16 * 16 * 5, 0x80),
                  PLANARCONFIG_CONTIG, c.compression);
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(readTIFF(loaded.image, path.c_str()), -1);
        EXPECT_EQ(capture.errors(), c.errors);
        EXPECT_EQ(loaded.image.pixels, nullptr);
    }
}

// Refusing files that claim far more pixels than they hold must spare the densest PackBits,
// 128 bytes of 2: one grey value throughout, 4096-byte rows in 32 runs of 128.
TEST_F(Tiff, DensestPackBitsStillLoads) {
    const std::string path = dir.file("dense.tif");
    const int width = 4096, height = 64;
    writeTiff(path, width, height, 1, 8, PHOTOMETRIC_MINISBLACK, Bytes(width * height, 0x40),
              PLANARCONFIG_CONTIG, COMPRESSION_PACKBITS);
    ASSERT_LT(readFile(path).size() * 60, size_t(width) * height);
    OwnedImage dense;
    ASSERT_EQ(readTIFF(dense.image, path.c_str()), 0);
    EXPECT_EQ(dense.image.width, width);
    EXPECT_EQ(dense.data()[4 * (width * height - 1) + 1], 0x40);
    EXPECT_TRUE(capture.errors().empty());
}

// Tag numbers of the first directory, straight from the file (written in host order).
std::set<int> directoryTags(const Bytes& file) {
    std::set<int> tags;
    uint32_t offset = 0;
    uint16_t count = 0, tag = 0;
    if (file.size() >= 8)
        std::memcpy(&offset, file.data() + 4, 4);
    if (offset + 2 <= file.size())
        std::memcpy(&count, file.data() + offset, 2);
    for (size_t at = offset + 2; count-- > 0 && at + 12 <= file.size(); at += 12)
        tags.insert((std::memcpy(&tag, file.data() + at, 2), tag));
    return tags;
}

// 24 and 48 bits come back with the filler added; 32 and 64 come back byte for byte.
TEST_F(Tiff, WritesPackBitsWithExactTagsAndRoundTrips) {
    const std::string path = dir.file("out.tif");
    for (int bits : {24, 32, 48, 64}) {
        SCOPED_TRACE(bits);
        OwnedImage source(9, 5, bits);
        for (int64_t i = 0; i < source.image.dataSize; ++i)
            source.data()[i] = uint8_t(i * 37 / 5);
        ASSERT_EQ(writeTIFF(source.image, path.c_str()), 0);

        EXPECT_EQ(directoryTags(readFile(path)),
                  (std::set<int>{256, 257, 258, 259, 262, 273, 274, 277, 278, 279, 284}));
        TIFF* tif = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tif, nullptr);
        const std::pair<uint32_t, int> fields[] = {{TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB},
                                                   {TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS},
                                                   {TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT}};
        for (auto [tag, value] : fields) {
            uint16_t actual = 0;
            EXPECT_EQ(TIFFGetField(tif, tag, &actual), 1);
            EXPECT_EQ(actual, value) << "tag " << tag;
        }
        EXPECT_EQ(TIFFNumberOfStrips(tif), 1u);
        TIFFClose(tif);

        OwnedImage loaded;
        ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
        EXPECT_EQ(loaded.image.bitsPerPixel, bits <= 32 ? 32 : 64);
        Bytes expected;
        const Bytes written = source.bytes();
        for (size_t i = 0; i < written.size(); i += bits / 8) {
            if (bits % 24 == 0)
                expected.insert(expected.end(), bits / 24, 0xFF);
            expected.insert(expected.end(), written.begin() + i, written.begin() + i + bits / 8);
        }
        EXPECT_EQ(loaded.bytes(), expected);
    }
    // Only a direct call meets the writer's own open failing: a save creates the file first.
    OwnedImage image(2, 2, 32);
    EXPECT_EQ(writeTIFF(image.image, dir.file("no/dir/out.tif").c_str()), -1);
    EXPECT_EQ(capture.errors(), Messages{"Could not create TIFF-file"});
}

}  // namespace
