#include "imageio/tiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>

#include <tiffio.h>

#include "engine/options.h"
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

// Every compression the library decodes, on both paths (RGB row by row, grey and bilevel through
// the RGBA reader), in strips and tiles: lossless files give the pixels of the uncompressed seed
// of the same model and size, lossy ones those ImageMagick decodes.
TEST_F(Tiff, DecodesEveryCompression) {
    for (const std::string name :
         {"rgb8_lzw_tiled_33x17", "rgb8_zip_33x17", "rgb8_zstd_33x17", "rgb8_lzma_33x17",
          "rgb16_zip_predictor_16x16", "rgb16_lzw_tiled_16x16", "rgba8_webp_lossless_16x16",
          "grey8_lzw_predictor_16x16", "bilevel_g3_33x17", "bilevel_g4_33x17", "rgb8_webp_33x17",
          "rgb8_jpeg_ycbcr_33x17", "rgb8_jpeg_rgb_33x17"}) {
        SCOPED_TRACE(name);
        const std::string path = corpusFile("tiff/" + name + ".tif"),
                          seed = name.substr(0, name.find('_')) + name.substr(name.rfind('_'));
        OwnedImage loaded, original;
        ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
        if (name.starts_with("rgb8_jpeg") || name == "rgb8_webp_33x17") {
            EXPECT_EQ(loaded.bytes(), magickDecode(path));
        } else {
            ASSERT_EQ(readTIFF(original.image, corpusFile("tiff/" + seed + ".tif").c_str()), 0);
            EXPECT_EQ(loaded.bytes(), original.bytes());
        }
    }
    EXPECT_TRUE(capture.errors().empty());
}

// A strip or tile of 300 bytes claiming 60000 x 60000 RGB is refused before memory is taken
// for it: past Deflate's and LZW's densest expansion at once, otherwise by the memory check
// (4 x 60000^2 bytes of pixels; WebP's own buffers counted as 3 x 3 x 60000^2 more); so is a
// tile beyond the machine for a tiny image.
TEST_F(Tiff, RefusesHugeCompressedClaimsBeforeTakingTheMemory) {
    const auto tooBig = [](long kilobytes) {
        return Messages{"Error allocating " + std::to_string(kilobytes) + " KB of memory",
                        "Not enough memory"};
    };
    const struct {
        int compression;
        uint32_t side, tile;  // tile: pixels square; 0: one strip
        Messages errors;
    } cases[] = {{COMPRESSION_ADOBE_DEFLATE, 60000, 0, {"Could not read tiff-data"}},
                 {COMPRESSION_LZW, 60000, 60000, {"Could not read tiff-data"}},
                 {COMPRESSION_ZSTD, 60000, 0, tooBig(14062500)},
                 {COMPRESSION_WEBP, 60000, 0, tooBig(45703125)},
                 {COMPRESSION_ZSTD, 16, 16384, {"Not enough memory"}}};
    const std::string path = dir.file("claims.tif");
    setAllocationFilter([](int64_t size) { return size <= 200'000'000; });
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.compression << " " << c.side << " " << c.tile);
        TIFF* tif = TIFFOpen(path.c_str(), "w");
        const uint32_t unit = c.tile != 0 ? c.tile : c.side;
        // clang-format off
        const std::pair<uint32_t, uint32_t> fields[] = {
            {TIFFTAG_IMAGEWIDTH, c.side}, {TIFFTAG_IMAGELENGTH, c.side}, {TIFFTAG_BITSPERSAMPLE, 8},
            {TIFFTAG_SAMPLESPERPIXEL, 3}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB},
            {TIFFTAG_COMPRESSION, c.compression},
            {c.tile != 0 ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, unit},
            {c.tile != 0 ? TIFFTAG_TILELENGTH : TIFFTAG_ROWSPERSTRIP, unit}};
        // clang-format on
        for (const auto& [tag, value] : fields)
            TIFFSetField(tif, tag, value);
        const auto write = c.tile != 0 ? TIFFWriteRawTile : TIFFWriteRawStrip;
        EXPECT_EQ(write(tif, 0, Bytes(300).data(), 300), 300);
        TIFFClose(tif);
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(readTIFF(loaded.image, path.c_str()), -1);
        EXPECT_EQ(loaded.image.pixels, nullptr);
        EXPECT_EQ(capture.errors(), c.errors);
    }
}

// Each compression at each depth: exactly these tags (tiffinfo shows all but the strips' places),
// PackBits in one strip at 8 bits and strips of about 8 KB (here a row) otherwise, the samples
// back as written (24 and 48 bits with the filler added, 64 with a full one). 8-bit PackBits is
// byte for byte the file written before there was a choice: FNV-1a hashes (libtiff 4.5.0).
TEST_F(Tiff, WritesEveryCompressionWithExactTagsAndRoundTrips) {
    const std::string path = dir.file("out.tif");
    // What each choice writes at 8 and at 16 bits.
    const std::tuple<int, std::string, std::string> choices[] = {
        {TIFF_COMPRESSION_DEFAULT, "PackBits", "AdobeDeflate"},
        {TIFF_COMPRESSION_PACKBITS, "PackBits", "PackBits"},
        {TIFF_COMPRESSION_DEFLATE, "AdobeDeflate", "AdobeDeflate"},
        {TIFF_COMPRESSION_LZW, "LZW", "LZW"},
        {TIFF_COMPRESSION_NONE, "None", "None"}};
    const int width = 1501, height = 3;
    for (const auto& [bits, hash] : {std::pair<int, uint64_t>{24, 0x1c37f45b2a763fd8},
                                     {32, 0x2561f1532d9def65},
                                     {48, 0},
                                     {64, 0}}) {
        OwnedImage source(width, height, bits);
        for (int64_t i = 0; i < source.image.dataSize; ++i)
            source.data()[i] = uint8_t(i * 37 / 5);
        Bytes expected = source.bytes();
        for (int64_t at = 0; bits == 64 && at < source.image.dataSize; at += 8)
            expected[at] = expected[at + 1] = 0xFF;
        if (bits % 24 == 0)
            expected = withFiller(expected, bits / 24);
        for (const auto& [choice, at8, at16] : choices) {
            const std::string scheme = bits >= 48 ? at16 : at8;
            const bool oneStrip = bits < 48 && scheme == "PackBits";
            SCOPED_TRACE(testing::Message() << bits << " bits, " << scheme);
            ASSERT_EQ(writeTIFF(source.image, path.c_str(), choice), 0);
            const auto info = commandOutput<std::string>("tiffinfo '" + path + "'");
            const bool predictor = scheme == "AdobeDeflate" || scheme == "LZW";
            // clang-format off
            EXPECT_EQ(info.substr(std::min(info.find("\n  "), info.size())),
                      "\n  Image Width: 1501 Image Length: 3"
                      "\n  Bits/Sample: " + std::to_string(bits >= 48 ? 16 : 8) +
                      "\n  Compression Scheme: " + scheme +
                      "\n  Photometric Interpretation: RGB color"
                      "\n  Orientation: row 0 top, col 0 lhs"
                      "\n  Samples/Pixel: " + std::to_string(bits == 32 ? 4 : 3) +
                      "\n  Rows/Strip: " + std::to_string(oneStrip ? height : 1) +
                      "\n  Planar Configuration: single image plane" +
                      (predictor ? "\n  Predictor: horizontal differencing 2 (0x2)" : "") + "\n\n");
            // clang-format on
            uint64_t fnv = 0xcbf29ce484222325;
            for (uint8_t byte : readFile(path))
                fnv = (fnv ^ byte) * 0x100000001b3;
            EXPECT_TRUE(!oneStrip || fnv == hash);
            OwnedImage loaded;
            ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
            EXPECT_EQ(loaded.bytes(), expected);
        }
    }
    // Its own open failing: CliRun.OutputThatCannotBeWritten... (late.tif).
    EXPECT_TRUE(capture.errors().empty());
}

}  // namespace
