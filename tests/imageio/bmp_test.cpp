#include "imageio/bmp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

}  // namespace
