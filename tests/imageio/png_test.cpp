#include "imageio/png.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "imageio/codec_fixtures.h"

namespace {

class Png : public FileTest {};

// Samples differing per pixel and channel (high and low bytes too), cut to the depth.
unsigned sample(int x, int y, int c, int depth) {
    return (unsigned(x) * 7919u + unsigned(y) * 4001u + unsigned(c) * 9011u) % (1u << depth);
}

struct Variant {
    int colorType, depth;
    bool interlaced = false, transparency = false, gamma = false;
};

// A file of the variant made by libpng's writer from sample(); palette entry i is a colour
// of its own, and the transparency keys out pixel (0, 0) or the first palette entries.
void writeVariant(const std::string& path, const Variant& v, int width, int height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), v.depth, v.colorType,
                 v.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const bool palette = v.colorType == PNG_COLOR_TYPE_PALETTE;
    std::vector<png_color> colours;
    for (int i = 0; palette && i < 1 << v.depth; ++i)
        colours.push_back({png_byte(i * 3 + 1), png_byte(255 - i), png_byte(i * 37)});
    if (palette)
        png_set_PLTE(png, info, colours.data(), int(colours.size()));
    png_byte alphas[] = {0, 77};
    png_color_16 key{0, png_uint_16(sample(0, 0, 0, v.depth)),
                     png_uint_16(sample(0, 0, 1, v.depth)), png_uint_16(sample(0, 0, 2, v.depth)),
                     png_uint_16(sample(0, 0, 0, v.depth))};
    if (v.transparency)
        png_set_tRNS(png, info, alphas, palette ? 2 : 0, &key);
    if (v.gamma)
        png_set_gAMA(png, info, 1 / 1.8);
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    std::vector<Bytes> rows(size_t(height), Bytes(png_get_rowbytes(png, info), 0));
    std::vector<png_bytep> pointers;
    for (int y = 0; y < height; ++y) {
        for (int i = 0; i < width * channels; ++i) {  // big-endian bits, first sample highest
            const unsigned value = sample(i / channels, y, i % channels, v.depth);
            for (int b = 0, at = i * v.depth; b < v.depth; ++b, ++at)
                rows[size_t(y)][size_t(at / 8)] |=
                    uint8_t((value >> (v.depth - 1 - b) & 1) << (7 - at % 8));
        }
        pointers.push_back(rows[size_t(y)].data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// ImageMagick's decode in our layout: a filler, then R, G, B of 8 bits, or of 16 in host order.
Bytes magickDecode(const std::string& path, int depth) {
    const bool little = std::endian::native == std::endian::little;
    const std::string command = "convert '" + path + "' -depth " + std::to_string(depth) +
                                " -endian " + (little ? "LSB" : "MSB") + " rgb:-";
    std::FILE* pipe = popen(command.c_str(), "r");
    Bytes ours;
    for (int c, i = 0; pipe != nullptr && (c = std::fgetc(pipe)) != EOF; ++i) {
        if (i % (3 * depth / 8) == 0)
            ours.insert(ours.end(), size_t(depth / 8), 255);
        ours.push_back(uint8_t(c));
    }
    if (pipe != nullptr)
        pclose(pipe);
    return ours;
}

TEST_F(Png, EveryVariantDecodesAsImageMagickDecodesIt) {
    const int grey = PNG_COLOR_TYPE_GRAY, greyAlpha = PNG_COLOR_TYPE_GRAY_ALPHA,
              palette = PNG_COLOR_TYPE_PALETTE, rgb = PNG_COLOR_TYPE_RGB,
              rgba = PNG_COLOR_TYPE_RGB_ALPHA;
    // clang-format off
    const Variant variants[] = {
        {grey, 1}, {grey, 2}, {grey, 4, true}, {grey, 8, false, true}, {grey, 16},
        {greyAlpha, 8}, {greyAlpha, 16, true},
        {palette, 1}, {palette, 1, false, true}, {palette, 2}, {palette, 2, true, true},
        {palette, 4}, {palette, 4, false, true}, {palette, 8, true}, {palette, 8, false, true},
        {rgb, 8, false, false, true}, {rgb, 8, true, true}, {rgb, 16, false, true, true},
        {rgb, 16, true}, {rgba, 8, true}, {rgba, 16}};
    // clang-format on
    const std::string path = dir.file("variant.png");
    for (const auto& [width, height] : {std::pair(13, 11), std::pair(3, 2)}) {
        for (const Variant& v : variants) {
            SCOPED_TRACE(testing::Message() << "type " << v.colorType << ", " << v.depth
                                            << " bits, interlaced " << v.interlaced << ", tRNS "
                                            << v.transparency << ", " << width << "x" << height);
            writeVariant(path, v, width, height);
            OwnedImage loaded;
            ASSERT_EQ(readPNG(loaded.image, path.c_str()), 0);
            const int depth = v.depth == 16 ? 16 : 8;
            EXPECT_EQ(loaded.image.bitsPerPixel, 4 * depth);
            EXPECT_EQ(loaded.image.bytesPerLine, width * depth / 2);
            EXPECT_EQ(loaded.bytes(), magickDecode(path, depth));
        }
    }
    EXPECT_EQ(capture.errors(), Messages{});
}

// Every writer layout (24 padded) comes back from our reader and from ImageMagick as it was
// painted: 8-bit files from 24/32 bits, big-endian 16-bit files from 48/64 bits.
TEST_F(Png, WrittenFilesReadBackAsPainted) {
    const int width = 9, height = 5;
    const Bytes rgb = pattern(width, height, 3);
    const std::string path = dir.file("out.png");
    for (const auto& [bits, line] : {std::pair(24, 32), {32, 0}, {48, 0}, {64, 0}}) {
        SCOPED_TRACE(bits);
        OwnedImage image(width, height, bits, line);
        paint(image, rgb);
        ASSERT_EQ(writePNG(image.image, path.c_str()), 0);
        OwnedImage want(width, height, bits > 32 ? 64 : 32);
        paint(want, rgb);  // low bytes 0x5A, as in the source
        for (int64_t at = 0; at < want.image.dataSize; at += want.image.bitsPerPixel / 8)
            std::fill_n(want.data() + at, want.image.bitsPerPixel / 32, 0xFF);
        const Bytes expected = want.bytes();
        OwnedImage loaded;
        ASSERT_EQ(readPNG(loaded.image, path.c_str()), 0);
        EXPECT_EQ(loaded.bytes(), expected);
        EXPECT_EQ(magickDecode(path, bits > 32 ? 16 : 8), expected);
    }
    EXPECT_EQ(capture.errors(), Messages{});
}

// Header fields are big-endian; a changed header needs its checksum again to get past libpng.
void setHeader(Bytes& file, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i)
        file[at + i] = uint8_t(value >> (24 - 8 * i));
    const uLong crc = crc32(0, file.data() + 12, 17);
    for (size_t i = 0; i < 4; ++i)
        file[29 + i] = uint8_t(crc >> (24 - 8 * i));
}

// Nothing is kept of a refused file, and nothing near a claimed size is asked for.
TEST_F(Png, FailuresAreReported) {
    const std::string path = dir.file("in.png");
    writeVariant(path, {PNG_COLOR_TYPE_RGB, 8, true}, 64, 64);
    const Bytes good = readFile(path);
    const struct {
        void (*change)(Bytes&);  // nullptr: no file
        std::string error;
    } cases[] = {{nullptr, "can't open " + path},
                 {[](Bytes& f) { f[1] = 'X'; }, "Not a PNG file"},
                 {[](Bytes& f) { f.resize(f.size() / 2); }, "Read Error"},
                 {[](Bytes& f) { setHeader(f, 16, 70'000'000); }, "Invalid IHDR data"},
                 // A few kilobytes cannot hold a picture of 14 GB, whatever the machine has.
                 {[](Bytes& f) { setHeader(f, 16, 60'000), setHeader(f, 20, 60'000); },
                  "Not enough image data"}};
    static int64_t largest = 0;
    setAllocationFilter([](int64_t size) { return largest = std::max(largest, size), true; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        capture.clear();
        Bytes file = good;
        if (c.change != nullptr)
            c.change(file), writeFile(path, file);
        else
            std::filesystem::remove(path);
        OwnedImage loaded;
        EXPECT_EQ(readPNG(loaded.image, path.c_str()), -1);
        EXPECT_EQ(loaded.image.pixels, nullptr);
        EXPECT_EQ(capture.errors(), Messages{c.error});
    }
    EXPECT_LT(largest, 1 << 20);
    // A full disk stops the stream in the middle: noise outgrows stdio's buffer.
    OwnedImage image(64, 64, 32);
    uint32_t noise = 1;
    for (uint8_t* at = image.data(); at < image.data() + image.image.dataSize; ++at)
        *at = uint8_t((noise = noise * 1664525u + 1013904223u) >> 24);
    capture.clear();
    EXPECT_EQ(withFileSizeLimit(200, [&] { return writePNG(image.image, path.c_str(), "x.png"); }),
              -1);
    EXPECT_EQ(capture.errors(), Messages{"can't write x.png: File too large"});
}

}  // namespace
