#include "imageio/tiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <tiffio.h>

#include "engine/options.h"
#include "imageio/codec_fixtures.h"

namespace {

class Tiff : public FileTest {};

constexpr int kNoPhotometric = -1;

struct Layout {
    int samples, bits, photometric, planar, orientation;
    int tile;  // pixels square; 0: one strip
    int compression = COMPRESSION_NONE;
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
    TIFFSetField(tif, TIFFTAG_COMPRESSION, uint32_t(l.compression));
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

// Every compression the library decodes, on both paths (RGB row by row, grey and bilevel
// through the RGBA reader), in strips and tiles: we decode what the uncompressed original
// holds, or for lossy schemes what libtiff's tiff2rgba makes of the file. tiffcp compresses
// and cuts, or only cuts what the library compressed where tiffcp has no switch.
TEST_F(Tiff, DecodesEveryCompression) {
    const int width = 37, height = 21, rgb8 = 1, rgb16 = 2, grey8 = 4, bilevel = 8, any = 15;
    const struct {
        const char* option;  // tiffcp -c
        int compression, models;
        bool lossy = false;
    } schemes[] = {
        {"lzw", COMPRESSION_LZW, any},
        {"lzw:2", COMPRESSION_LZW, any - bilevel},
        {"zip", COMPRESSION_ADOBE_DEFLATE, any},
        {"zip:2", COMPRESSION_ADOBE_DEFLATE, any - bilevel},
        {"", COMPRESSION_DEFLATE, any - bilevel},
        {"zstd", COMPRESSION_ZSTD, any},
        {"lzma", COMPRESSION_LZMA, any},
        {"lerc", COMPRESSION_LERC, any - bilevel},
        {"webp:p100", COMPRESSION_WEBP, rgb8},  // lossless
        {"webp", COMPRESSION_WEBP, rgb8, true},
        {"jpeg", COMPRESSION_JPEG, rgb8 | grey8, true},  // colour as subsampled YCbCr
        {"jpeg:r", COMPRESSION_JPEG, rgb8, true},        // colour as RGB
        {"g3:2d", COMPRESSION_CCITTFAX3, bilevel},
        {"g4", COMPRESSION_CCITTFAX4, bilevel},
        {"", COMPRESSION_CCITTRLE, bilevel},
    };
    const struct {
        int model, samples, bits, photometric;
    } models[] = {{rgb8, 3, 8, PHOTOMETRIC_RGB},
                  {rgb16, 3, 16, PHOTOMETRIC_RGB},
                  {grey8, 1, 8, PHOTOMETRIC_MINISBLACK},
                  {bilevel, 1, 1, PHOTOMETRIC_MINISBLACK}};
    const std::string original = dir.file("original.tif"), path = dir.file("compressed.tif"),
                      source = dir.file("source.tif"), rgba = dir.file("rgba.tif");
    const auto shell = [](const std::string& command) {
        return std::system((command + " 2>/dev/null").c_str());
    };
    for (const auto& m : models) {
        const int line = (width * m.samples * m.bits + 7) / 8;
        Bytes data(size_t(line * height));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(sample16(int(i) % line, int(i) / line, 0) >> 8);
        Layout layout{m.samples, m.bits, m.photometric, PLANARCONFIG_CONTIG, 1, 0};
        writeTiff(original, width, height, layout, data);
        OwnedImage expected;
        ASSERT_EQ(readTIFF(expected.image, original.c_str()), 0);
        for (const auto& scheme : schemes) {
            for (const std::string how : {"-r 16", "-t -w 16 -l 16"}) {
                if ((scheme.models & m.model) == 0)
                    continue;
                SCOPED_TRACE(testing::Message() << scheme.compression << " " << how << " "
                                                << m.samples << "x" << m.bits);
                const bool cut = *scheme.option == 0;
                layout.compression = cut ? scheme.compression : COMPRESSION_NONE;
                writeTiff(source, width, height, layout, data);
                const std::string c = cut ? "" : std::string(" -c ") + scheme.option;
                ASSERT_EQ(shell("tiffcp " + how + c + " '" + source + "' '" + path + "'"), 0);
                OwnedImage loaded, decoded;
                ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
                if (scheme.lossy) {
                    ASSERT_EQ(shell("tiff2rgba -n -c none '" + path + "' '" + rgba + "'"), 0);
                    ASSERT_EQ(readTIFF(decoded.image, rgba.c_str()), 0);
                }
                EXPECT_EQ(loaded.bytes(), (scheme.lossy ? decoded : expected).bytes());
            }
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
    } cases[] = {
        {COMPRESSION_ADOBE_DEFLATE, 60000, 0, {"Could not read tiff-data"}},
        {COMPRESSION_LZW, 60000, 60000, {"Could not read tiff-data"}},
        {COMPRESSION_ZSTD, 60000, 0, tooBig(14062500)},
        {COMPRESSION_WEBP, 60000, 0, tooBig(45703125)},
        {COMPRESSION_ZSTD, 16, 16384, {"Not enough memory"}},
    };
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
        Bytes junk(300);
        EXPECT_EQ((c.tile != 0 ? TIFFWriteRawTile : TIFFWriteRawStrip)(tif, 0, junk.data(), 300),
                  300);
        TIFFClose(tif);
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(readTIFF(loaded.image, path.c_str()), -1);
        EXPECT_EQ(loaded.image.pixels, nullptr);
        EXPECT_EQ(capture.errors(), c.errors);
    }
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

// Each compression at each depth: the tags tiffinfo reads, PackBits in one strip at 8 bits
// and strips of about 8 KB (here a row) otherwise, and the samples back as written: 24 and 48
// bits with the filler added, 32 bits byte for byte, 64 bits with a full filler. 8-bit
// PackBits is byte for byte the file written before there was a choice: the FNV-1a hashes of
// those files (libtiff 4.5.0).
TEST_F(Tiff, WritesEveryCompressionWithExactTagsAndRoundTrips) {
    const std::string path = dir.file("out.tif");
    const struct {
        int choice;
        std::string at8, at16;
    } choices[] = {{TIFF_COMPRESSION_DEFAULT, "PackBits", "AdobeDeflate"},
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
        // All but 32 bits get a full filler in front of the R G B written, 64 bits instead of
        // the one they had.
        Bytes expected;
        const Bytes written = source.bytes();
        const long pixel = bits / 8, rgb = bits >= 48 ? 6 : 3;
        for (auto at = written.begin(); at != written.end(); at += pixel) {
            if (bits != 32)
                expected.insert(expected.end(), rgb / 3, 0xFF);
            expected.insert(expected.end(), at + (bits != 32 ? pixel - rgb : 0), at + pixel);
        }
        for (const auto& c : choices) {
            const bool deep = bits >= 48;
            const std::string scheme = deep ? c.at16 : c.at8;
            const bool predictor = scheme == "AdobeDeflate" || scheme == "LZW",
                       oneStrip = !deep && scheme == "PackBits";
            SCOPED_TRACE(testing::Message() << bits << " bits, " << scheme);
            ASSERT_EQ(writeTIFF(source.image, path.c_str(), c.choice), 0);
            std::system(("tiffinfo '" + path + "' > '" + path + ".txt' 2>/dev/null").c_str());
            const auto info = readFile<std::string>(path + ".txt");
            for (const std::string& line :
                 {"Bits/Sample: " + std::to_string(deep ? 16 : 8),
                  "Samples/Pixel: " + std::to_string(bits == 32 ? 4 : 3),
                  "Compression Scheme: " + scheme,
                  std::string("Photometric Interpretation: RGB color"),
                  std::string("Orientation: row 0 top, col 0 lhs"),
                  "Rows/Strip: " + std::to_string(oneStrip ? height : 1)}) {
                EXPECT_NE(info.find("  " + line + "\n"), std::string::npos) << line << "\n" << info;
            }
            std::set<int> tags{256, 257, 258, 259, 262, 273, 274, 277, 278, 279, 284};
            if (predictor)
                tags.insert(317);  // horizontal differencing, as tiffinfo says
            EXPECT_EQ(directoryTags(readFile(path)), tags);
            EXPECT_EQ(predictor,
                      info.find("Predictor: horizontal differencing") != std::string::npos);
            uint64_t fnv = 0xcbf29ce484222325;
            for (uint8_t byte : readFile(path))
                fnv = (fnv ^ byte) * 0x100000001b3;
            EXPECT_TRUE(!oneStrip || fnv == hash);
            OwnedImage loaded;
            ASSERT_EQ(readTIFF(loaded.image, path.c_str()), 0);
            EXPECT_EQ(loaded.image.bitsPerPixel, deep ? 64 : 32);
            EXPECT_EQ(loaded.bytes(), expected);
        }
    }
    // Its own open failing: CliRun.OutputThatCannotBeWritten... (late.tif).
    EXPECT_TRUE(capture.errors().empty());
}

}  // namespace
