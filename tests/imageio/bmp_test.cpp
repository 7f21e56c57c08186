#include "imageio/bmp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "imageio/codec_fixtures.h"

namespace {

class BmpTest : public FileTest {};

uint32_t get32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
void put32(Bytes& b, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = uint8_t(value >> 8 * i);
}

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

// Failed opens, full disks and refused memory: CliRun.OutputThatCannotBeWritten... and
// Faults.EveryRefusedAllocation...; refusals of the reader: FuzzCorpus.FindingsAndRefusals...
TEST_F(BmpTest, RefusesLayoutsItCannotWriteBeforeAFileExists) {
    OwnedImage source(2, 2, 32);
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
    EXPECT_EQ(capture.errors(), (Messages{data, data, data}));
}

// ImageMagick's files of each header and depth, and by hand what it does not write (the 108-byte
// header, masks after a 40-byte one, rows top-down), read as ImageMagick reads them without its
// alpha (128). Near misses (16 bits, other masks, a header or pixels cut short, pixels said to
// begin inside the headers) are refused in the old words; palettes, RLE, the OS/2 header and
// empty images: FuzzCorpus.FindingsAndRefusals...
TEST_F(BmpTest, ReadsAsImageMagickOrRefusesAsBefore) {
    using Edit = std::function<void(Bytes&)>;
    const Edit v4 = [](Bytes& b) {  // a V5 header less its last 16 bytes
        b.erase(b.begin() + 14 + 108, b.begin() + 14 + 124);
        put32(b, 14, 108);
        put32(b, 10, get32(b, 10) - 16);
    };
    const Edit masks = [](Bytes& b) {
        b.insert(b.begin() + 54, {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0});
        put32(b, 30, 3);
        put32(b, 10, get32(b, 10) + 12);
    };
    const int width = 7, height = 5;  // 24-bit rows padded
    const Edit topDown = [](Bytes& b) {
        const size_t rowSize = (b[28] / 8 * size_t(width) + 3) / 4 * 4, start = get32(b, 10);
        const Bytes rows(b.begin() + long(start), b.end());
        for (size_t y = 0; y < height; ++y)
            std::copy_n(rows.begin() + long((height - 1 - y) * rowSize), rowSize,
                        b.begin() + long(start + y * rowSize));
        put32(b, 22, uint32_t(-height));
    };
    const std::string at = "readBMPFileHeader, ",
                      header = "readBMP, error reading bitmap file header",
                      bits = at + "only 24 bit color supported", data = "Error reading image data",
                      compressed = at + "only uncompressed BMP supported",
                      cut = "Error reading second BMP header segment",
                      alpha = "-alpha set -channel A -evaluate set 50% +channel ",
                      alpha3 = alpha + "-define bmp3:alpha=true bmp3:";
    const struct {
        std::string options;
        Edit edit = {};
        Messages errors = {};  // none: read
    } rows[] = {{"bmp3:"},
                {alpha3},
                {alpha3, masks},
                {"bmp:", v4},
                {alpha + "bmp:", v4},
                {"bmp:"},
                {alpha + "bmp:"},
                {"bmp3:", topDown},
                {alpha + "bmp:", topDown},
                {"-define bmp:subtype=RGB565 bmp:", {}, {bits, header}},
                {alpha + "bmp:", [](Bytes& b) { put32(b, 54, 0xFF); }, {compressed, header}},
                {"bmp:", [](Bytes& b) { b.resize(100); }, {cut, header}},
                {"bmp:", [](Bytes& b) { put32(b, 10, 54); }, {data, header}},
                {alpha + "bmp:", [](Bytes& b) { b.pop_back(); }, {data}}};
    const auto shell = [](const std::string& command) { return std::system(command.c_str()); };
    const Bytes rgb = pattern(width, height, 3);
    writeFile(dir.file("in.ppm"), "P6 7 5 255\n" + std::string(rgb.begin(), rgb.end()));
    const std::string path = dir.file("f.bmp"), ref = dir.file("ref.rgb");
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        ASSERT_EQ(shell("convert '" + dir.file("in.ppm") + "' " + row.options + "'" + path + "'"),
                  0);
        Bytes file = readFile(path);
        if (row.edit)
            row.edit(file);
        put32(file, 2, uint32_t(file.size()));
        writeFile(path, file);
        capture.clear();
        OwnedImage loaded;
        ASSERT_EQ(readBMP(loaded.image, path.c_str()), row.errors.empty() ? 0 : -1);
        EXPECT_EQ(capture.errors(), row.errors);
        if (row.errors.empty()) {
            ASSERT_EQ(shell("convert '" + path + "' -depth 8 'rgb:" + ref + "'"), 0);
            EXPECT_EQ(loaded.bytes(), withFiller(readFile(ref)));
        }
    }
}

}  // namespace
