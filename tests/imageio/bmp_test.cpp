#include "imageio/bmp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "imageio/codec_fixtures.h"

namespace {

class BmpTest : public FileTest {};

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

// ImageMagick's files of each header size and depth, bottom-up and top-down, and V5 headers said to
// be 40 bytes long (the rest a gap): 32 bits alone or followed by masks. They read as ImageMagick
// reads them without alpha. 16 bits, other masks and pixels said to begin inside the headers are
// refused in the old words; the other refusals: FuzzCorpus.FindingsAndRefusals...
TEST_F(BmpTest, ReadsAsImageMagickOrRefusesAsBefore) {
    const struct {
        std::string seed;
        std::vector<std::pair<size_t, uint32_t>> fields = {};  // changed: where, what
        std::string error = {};                                // the reader's; none: read
    } rows[] = {
        {"bmp3_rgb24_topdown_7x5"},
        {"v4_argb32_7x5"},
        {"v5_argb32_topdown_7x5"},
        {"v5_argb32_7x5", {{14, 40}, {30, 0}}},  // no masks
        {"v5_argb32_7x5", {{14, 40}}},           // masks after 40 bytes
        {"v5_argb32_7x5", {{28, 16}}, "readBMPFileHeader, only 24 bit color supported"},
        {"v5_argb32_7x5", {{54, 0xFF}}, "readBMPFileHeader, only uncompressed BMP supported"},
        {"v5_argb32_7x5", {{10, 54}}, "Error reading image data"}};
    const std::string path = dir.file("f.bmp");
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        Bytes file = readFile(corpusFile("bmp/" + row.seed + ".bmp"));
        for (const auto& [at, value] : row.fields)
            for (size_t i = 0; i < 4; ++i)
                file[at + i] = uint8_t(value >> 8 * i);
        writeFile(path, file);
        capture.clear();
        OwnedImage loaded;
        ASSERT_EQ(readBMP(loaded.image, path.c_str()), row.error.empty() ? 0 : -1);
        const Messages errors{row.error, "readBMP, error reading bitmap file header"};
        EXPECT_EQ(capture.errors(), row.error.empty() ? Messages{} : errors);
        if (row.error.empty()) {
            EXPECT_EQ(loaded.bytes(), magickDecode(path));
        }
    }
}

}  // namespace
