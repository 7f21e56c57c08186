#include "imageio/tiff.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <tiffio.h>

#include "imageio/codec_fixtures.h"
#include "support/capture.h"

namespace {

using Errors = std::vector<std::string>;
constexpr int kNoPhotometric = -1;

// A file opened for writing with the given layout, one strip; the caller writes the rows.
TIFF* createTiff(const std::string& path, int width, int height, int samples, int bits,
                 int photometric, int planar = PLANARCONFIG_CONTIG,
                 int compression = COMPRESSION_NONE) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr)
        return nullptr;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(samples));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(bits));
    if (photometric != kNoPhotometric) {
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, static_cast<uint16_t>(photometric));
    }
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<uint16_t>(planar));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, static_cast<uint16_t>(compression));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(height));
    return tif;
}

uint16_t sample16(int x, int y, int c) {
    return static_cast<uint16_t>(x * 4001 + y * 7003 + c * 9011);
}
uint8_t sample8(int x, int y, int c) {
    return static_cast<uint8_t>(x * 40 + y * 70 + c * 90);
}
int load16(const uint8_t* p) {
    uint16_t value;
    std::memcpy(&value, p, 2);
    return value;
}

// Contiguous RGB keeps its bit depth; a fourth sample lands in the filler position.
TEST(Tiff, ReadsContiguousRgbRowByRow) {
    ScratchDir dir;
    MessageCapture capture;
    const int width = 5, height = 3;
    for (int bits : {8, 16}) {
        for (int samples : {3, 4}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << samples << " samples");
            const std::string path = dir.file("rgb.tif");
            TIFF* tif = createTiff(path, width, height, samples, bits, PHOTOMETRIC_RGB);
            ASSERT_NE(tif, nullptr);
            const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
            if (samples == 4)
                TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &alpha);
            std::vector<uint16_t> row16(width * samples);
            std::vector<uint8_t> row8(width * samples);
            for (int y = 0; y < height; ++y) {
                for (int i = 0; i < width * samples; ++i) {
                    row16[i] = sample16(i / samples, y, i % samples);
                    row8[i] = sample8(i / samples, y, i % samples);
                }
                void* row = bits == 16 ? static_cast<void*>(row16.data()) : row8.data();
                ASSERT_EQ(TIFFWriteScanline(tif, row, static_cast<uint32_t>(y), 0), 1);
            }
            TIFFClose(tif);

            OwnedImage loaded;
            ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
            const int step = bits / 8;
            EXPECT_EQ(loaded.image.bitsPerPixel, 4 * bits);
            EXPECT_EQ(loaded.image.bytesPerLine, 4 * step * width);
            EXPECT_EQ(loaded.image.dataSize, 4 * step * width * height);
            for (int i = 0; i < width * height * 4; ++i) {
                const int x = i / 4 % width, y = i / 4 / width, slot = i % 4;
                const int c = slot == 0 ? 3 : slot - 1;
                const bool filler = c == 3 && samples == 3;
                const int expected = bits == 16 ? (filler ? 65535 : sample16(x, y, c))
                                                : (filler ? 255 : sample8(x, y, c));
                const uint8_t* p = loaded.data() + i * step;
                ASSERT_EQ(bits == 16 ? load16(p) : *p, expected) << x << "," << y << "/" << slot;
            }
        }
    }
    EXPECT_TRUE(capture.errors().empty());
}

enum Model { kGrey, kPalette, kBilevel, kPlanes, kUntagged };

// Writes a file of the model whose sample values come from sample8; returns the filler and
// colours each pixel must read as.
std::vector<std::array<int, 4>> makeModel(const std::string& path, Model model, int width,
                                          int height) {
    const int planes = model == kPlanes ? 3 : 1;
    const int photometric[] = {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_PALETTE, PHOTOMETRIC_MINISBLACK,
                               PHOTOMETRIC_RGB, kNoPhotometric};
    TIFF* tif = createTiff(path, width, height, planes, model == kBilevel ? 1 : 8,
                           photometric[model], planes == 3 ? PLANARCONFIG_SEPARATE : 1);
    std::vector<uint16_t> red(256), green(256), blue(256);
    for (int i = 0; i < 256; ++i) {
        red[i] = static_cast<uint16_t>(i * 257);
        green[i] = static_cast<uint16_t>((255 - i) * 257);
        blue[i] = static_cast<uint16_t>((i * 3 & 255) * 257);
    }
    if (model == kPalette)
        TIFFSetField(tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    std::vector<std::array<int, 4>> expected(width * height, {255, 0, 0, 0});
    for (int plane = 0; plane < planes; ++plane) {
        for (int y = 0; y < height; ++y) {
            std::vector<uint8_t> row(width);
            for (int x = 0; x < width; ++x) {
                const uint8_t v = sample8(x, y, plane);
                std::array<int, 4>& e = expected[y * width + x];
                if (model == kBilevel) {
                    // One bit per pixel, most significant first; 1 is white.
                    if (v & 0x80)
                        row[x / 8] = static_cast<uint8_t>(row[x / 8] | 0x80 >> x % 8);
                    e = v & 0x80 ? std::array<int, 4>{255, 255, 255, 255} : e;
                } else {
                    row[x] = v;
                    if (model == kPalette)
                        e = {255, v, 255 - v, v * 3 & 255};
                    else if (model == kPlanes)
                        e[plane + 1] = v;
                    else
                        e = {255, v, v, v};
                }
            }
            TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y),
                              static_cast<uint16_t>(plane));
        }
    }
    TIFFClose(tif);
    return expected;
}

TEST(Tiff, ReadsOtherModelsUprightThroughRgbaReader) {
    ScratchDir dir;
    MessageCapture capture;
    const int width = 11;
    for (Model model : {kGrey, kPalette, kBilevel, kPlanes, kUntagged}) {
        for (int height : {5, 6}) {
            SCOPED_TRACE(testing::Message() << "model " << model << ", height " << height);
            const std::string path = dir.file("model.tif");
            const std::vector<std::array<int, 4>> expected = makeModel(path, model, width, height);
            OwnedImage loaded;
            ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
            EXPECT_EQ(loaded.image.bitsPerPixel, 32);
            EXPECT_EQ(loaded.image.bytesPerLine, 4 * width);
            for (int i = 0; i < width * height; ++i) {
                const uint8_t* p = loaded.data() + 4 * i;
                ASSERT_EQ((std::array<int, 4>{p[0], p[1], p[2], p[3]}), expected[i])
                    << "pixel " << i;
            }
        }
    }
    EXPECT_TRUE(capture.errors().empty());
}

TEST(Tiff, RefusesWhatItCannotRead) {
    ScratchDir dir;
    MessageCapture capture;
    const Errors refused{"Could not read tiff-data"};
    const struct {
        int samples, bits, photometric, compression;
        Errors errors;
    } cases[] = {
        {3, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW, refused},
        {1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_ADOBE_DEFLATE, refused},
        {3, 8, PHOTOMETRIC_RGB, COMPRESSION_JPEG, refused},
        {1, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE, refused},
        {3, 4, PHOTOMETRIC_RGB, COMPRESSION_NONE, refused},
        {5, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE, {}},  // silently
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.samples << "x" << c.bits << " " << c.compression);
        const std::string path = dir.file("refused.tif");
        TIFF* tif = createTiff(path, 16, 16, c.samples, c.bits, c.photometric, PLANARCONFIG_CONTIG,
                               c.compression);
        ASSERT_NE(tif, nullptr);
        std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize64(tif)), 0x80);
        for (uint32_t y = 0; y < 16; ++y)
            ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
        TIFFClose(tif);
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(readTIFF(loaded.image, path.c_str()), -1);
        EXPECT_EQ(capture.errors(), c.errors);
        EXPECT_EQ(loaded.image.pixels, nullptr);
    }
    capture.clear();
    OwnedImage loaded;
    EXPECT_EQ(readTIFF(loaded.image, dir.file("missing.tif").c_str()), -1);
    EXPECT_EQ(capture.errors(), Errors{"Could not open tiff-file"});
}

// Tag numbers of the first directory, straight from the file (written in host order).
std::set<int> directoryTags(const std::vector<uint8_t>& file) {
    std::set<int> tags;
    uint32_t offset = 0;
    if (file.size() >= 8 && file[0] == 'I')
        std::memcpy(&offset, file.data() + 4, 4);
    if (offset == 0 || offset + 2 > file.size())
        return tags;
    const auto count = static_cast<uint32_t>(load16(file.data() + offset));
    for (uint32_t i = 0, at = offset + 2; i < count && at + 12 <= file.size(); ++i, at += 12) {
        tags.insert(load16(file.data() + at));
    }
    return tags;
}

// 24 and 48 bits come back with the filler added; 32 and 64 come back byte for byte.
TEST(Tiff, WritesPackBitsWithExactTagsAndRoundTrips) {
    ScratchDir dir;
    MessageCapture capture;
    const int width = 9, height = 5;
    for (int bits : {24, 32, 48, 64}) {
        SCOPED_TRACE(bits);
        OwnedImage source(width, height, bits);
        for (int64_t i = 0; i < source.image.dataSize; ++i)
            source.data()[i] = static_cast<uint8_t>(i * 37 / 5);
        const std::string path = dir.file("out.tif");
        ASSERT_EQ(writeTIFF(source.image, path.c_str()), 0);

        EXPECT_EQ(directoryTags(readBytes(path)),
                  (std::set<int>{256, 257, 258, 259, 262, 273, 274, 277, 278, 279, 284}));
        TIFF* tif = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tif, nullptr);
        const int samples = bits == 24 || bits == 48 ? 3 : 4;
        const std::pair<uint32_t, int> fields[] = {{TIFFTAG_BITSPERSAMPLE, bits / samples},
                                                   {TIFFTAG_SAMPLESPERPIXEL, samples},
                                                   {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB},
                                                   {TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG},
                                                   {TIFFTAG_COMPRESSION, 32773},
                                                   {TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT}};
        for (auto [tag, value] : fields) {
            uint16_t actual = 0;
            EXPECT_EQ(TIFFGetField(tif, tag, &actual), 1);
            EXPECT_EQ(actual, value) << "tag " << tag;
        }
        uint32_t rowsPerStrip = 0;
        TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        EXPECT_EQ(rowsPerStrip, static_cast<uint32_t>(height));
        EXPECT_EQ(TIFFNumberOfStrips(tif), 1u);
        TIFFClose(tif);

        OwnedImage loaded;
        ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
        EXPECT_EQ(loaded.image.bitsPerPixel, bits <= 32 ? 32 : 64);
        std::vector<uint8_t> expected;
        const std::vector<uint8_t> written = source.bytes();
        for (size_t i = 0; i < written.size(); i += bits / 8) {
            if (samples == 3)
                expected.insert(expected.end(), bits / 24, 0xFF);
            expected.insert(expected.end(), written.begin() + i, written.begin() + i + bits / 8);
        }
        EXPECT_EQ(loaded.bytes(), expected);
    }
    EXPECT_TRUE(capture.errors().empty());
}

TEST(Tiff, FailedWritesAreReported) {
    ScratchDir dir;
    MessageCapture capture;
    OwnedImage image(64, 64, 64);
    for (int64_t i = 0; i < image.image.dataSize; ++i) {
        image.data()[i] =
            static_cast<uint8_t>((i * 2654435761u) >> 13);  // PackBits can't shrink it
    }
    EXPECT_EQ(writeTIFF(image.image, dir.file("no/dir/out.tif").c_str()), -1);
    EXPECT_EQ(capture.errors(), Errors{"Could not create TIFF-file"});
    capture.clear();
    int result = 0;
    {
        FileSizeLimit limit(4096);  // no test output may be written while it holds
        result = writeTIFF(image.image, dir.file("full.tif").c_str());
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(capture.errors(), Errors{"Could not write TIFF-file"});
}

}  // namespace
