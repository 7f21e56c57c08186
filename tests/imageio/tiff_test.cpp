#include "imageio/tiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include <tiffio.h>

#include "imageio/codec_fixtures.h"

namespace {

class Tiff : public FileTest {};

constexpr int kNoPhotometric = -1;

struct Layout {
    int samples, bits, photometric, planar, orientation;
    int tile;  // pixels square; 0: one strip
};

// A file of the scanlines in data, plane after plane: one strip per plane, or tiles cut from
// them (whole bytes per pixel only).
void writeTiff(const std::string& path, int width, int height, const Layout& l, const Bytes& data) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    const bool tiled = l.tile != 0;
    // clang-format off
    const std::pair<uint32_t, int> fields[] = {
        {TIFFTAG_IMAGEWIDTH, width}, {TIFFTAG_IMAGELENGTH, height},
        {TIFFTAG_SAMPLESPERPIXEL, l.samples}, {TIFFTAG_BITSPERSAMPLE, l.bits},
        {TIFFTAG_PHOTOMETRIC, l.photometric}, {TIFFTAG_PLANARCONFIG, l.planar},
        {TIFFTAG_ORIENTATION, l.orientation}, {tiled ? TIFFTAG_TILEWIDTH : 0, l.tile},
        {tiled ? TIFFTAG_TILELENGTH : TIFFTAG_ROWSPERSTRIP, tiled ? l.tile : height}};
    // clang-format on
    for (const auto& [tag, value] : fields) {
        if (tag != 0 && value != kNoPhotometric)  // varargs: 16-bit fields arrive as int too
            TIFFSetField(tif, tag, uint32_t(value));
    }
    const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    if (l.samples == 4)
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    const auto line = size_t(TIFFScanlineSize64(tif));
    const int planes = l.planar == PLANARCONFIG_SEPARATE ? l.samples : 1;
    ASSERT_GE(data.size(), planes * height * line);
    for (int plane = 0; plane < planes && l.tile == 0; ++plane) {
        EXPECT_GE(TIFFWriteEncodedStrip(tif, uint32_t(plane),
                                        const_cast<uint8_t*>(&data[plane * height * line]),
                                        tmsize_t(height * line)),
                  0);
    }
    const size_t pixel = line / size_t(width);
    for (int plane = 0; plane < planes && l.tile != 0; ++plane) {
        for (int y0 = 0; y0 < height; y0 += l.tile) {
            for (int x0 = 0; x0 < width; x0 += l.tile) {
                Bytes tile(size_t(TIFFTileSize64(tif)), 0);
                for (int y = y0; y < std::min(y0 + l.tile, height); ++y) {
                    const auto from = data.begin() + long((plane * height + y) * line + x0 * pixel);
                    std::copy(from, from + long(std::min(l.tile, width - x0) * pixel),
                              tile.begin() + long((y - y0) * l.tile * pixel));
                }
                EXPECT_GE(
                    TIFFWriteEncodedTile(
                        tif, TIFFComputeTile(tif, uint32_t(x0), uint32_t(y0), 0, uint16_t(plane)),
                        tile.data(), tmsize_t(tile.size())),
                    0);
            }
        }
    }
    TIFFClose(tif);
}

uint16_t sample16(int x, int y, int c) {
    return uint16_t(x * 4001 + y * 7003 + c * 9011);
}

// One picture stored every way it can be: colour models and depths, contiguous or separate
// planes, strips or tiles, all eight orientations (5-8 on its side). Each must load as the
// same pixels: RGB keeps its depth with the fourth sample (unassociated alpha, as stored) or a
// full filler in front; the rest comes through the RGBA reader as 8-bit grey.
TEST_F(Tiff, ReadsEveryLayoutAsTheSamePicture) {
    const int width = 37, height = 21;  // 3 x 2 tiles of 16
    const int contig = PLANARCONFIG_CONTIG, separate = PLANARCONFIG_SEPARATE;
    const int grey = PHOTOMETRIC_MINISBLACK, rgb = PHOTOMETRIC_RGB;
    const struct {
        int samples, bits, photometric;
    } models[] = {{3, 8, rgb},  {4, 8, rgb},  {3, 16, rgb},          {4, 16, rgb},
                  {1, 8, grey}, {1, 1, grey}, {1, 8, kNoPhotometric}};
    const std::string path = dir.file("in.tif");
    for (const auto& m : models) {
        const bool deep = m.photometric == rgb;
        // 16 bits in host order (as in the file and image), 8 bits the high byte.
        const auto put = [&](Bytes& to, uint16_t value, int bits) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
            if (bits == 8)
                to.push_back(uint8_t(value >> 8));
            else
                to.insert(to.end(), bytes, bytes + 2);
        };
        Bytes expected;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (deep) {
                    put(expected, m.samples == 4 ? sample16(x, y, 3) : 0xFFFF, m.bits);
                    for (int c = 0; c < 3; ++c)
                        put(expected, sample16(x, y, c), m.bits);
                } else {  // one bit: 1 is white
                    const uint8_t high = uint8_t(sample16(x, y, 0) >> 8);
                    const uint8_t g = m.bits != 1 ? high : high & 0x80 ? 255 : 0;
                    expected.insert(expected.end(), {255, g, g, g});
                }
            }
        }
        for (int k = 0; k < 2 * 2 * 8; ++k) {  // planar x tile x orientation
            const int planar = k < 16 ? contig : separate, tile = k / 8 % 2 * 16,
                      orientation = k % 8 + 1;
            if ((planar == separate && m.samples == 1) || (tile != 0 && m.bits == 1))
                continue;
            SCOPED_TRACE(testing::Message() << m.samples << "x" << m.bits << " photometric "
                                            << m.photometric << " planar " << planar << " tile "
                                            << tile << " orientation " << orientation);
            // Stored w x h; where its pixel (c, r) shows, for each orientation.
            const bool turned = orientation >= 5;
            const int w = turned ? height : width, h = turned ? width : height;
            const auto shown = [&](int c, int r) {
                const int x[] = {c, w - 1 - c, w - 1 - c, c, r, h - 1 - r, h - 1 - r, r};
                const int y[] = {r, r, h - 1 - r, h - 1 - r, c, c, w - 1 - c, w - 1 - c};
                return std::pair(x[orientation - 1], y[orientation - 1]);
            };
            Bytes data;
            for (int plane = 0; plane < (planar == separate ? m.samples : 1); ++plane) {
                for (int r = 0; r < h; ++r) {
                    for (int c = 0; c < w; ++c) {
                        const auto [x, y] = shown(c, r);
                        if (m.bits == 1) {  // most significant bit first
                            data.resize(size_t(r * ((w + 7) / 8) + c / 8 + 1));
                            data.back() |= uint8_t((sample16(x, y, 0) >> 15) << (7 - c % 8));
                        }
                        for (int s = 0; s < m.samples && m.bits > 1; ++s) {
                            if (planar == contig || s == plane)
                                put(data, sample16(x, y, s), m.bits);
                        }
                    }
                }
            }
            writeTiff(path, w, h, {m.samples, m.bits, m.photometric, planar, orientation, tile},
                      data);
            OwnedImage loaded;
            ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
            EXPECT_EQ(std::pair(loaded.image.width, loaded.image.height), std::pair(width, height));
            EXPECT_EQ(loaded.image.bitsPerPixel, deep ? 4 * m.bits : 32);
            EXPECT_EQ(loaded.image.bytesPerLine, width * loaded.image.bitsPerPixel / 8);
            EXPECT_EQ(loaded.bytes(), expected);
        }
    }
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
    // Its own open failing: CliRun.OutputThatCannotBeWritten... (late.tif).
    EXPECT_TRUE(capture.errors().empty());
}

}  // namespace
