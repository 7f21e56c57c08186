#include "imageio/jpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <tuple>
#include <utility>

#include "imageio/codec_fixtures.h"

namespace {

class Jpeg : public FileTest {
  protected:
    // The packed RGB of a pattern in an OwnedImage of the given layout.
    OwnedImage& painted(int width, int height, int bits) {
        images.emplace_back(width, height, bits);
        paint(images.back(), pattern(width, height, 3));
        return images.back();
    }
    std::deque<OwnedImage> images;
};

// Our decode equals ImageMagick's for colour and greyscale, baseline and progressive, for its CMYK
// files (stored as YCCK), the same samples marked plain CMYK, and those without Adobe's marker
// (still taken as stored inverted, as ImageMagick does).
TEST_F(Jpeg, DecodesExactlyLikeTheReferenceDecoders) {
    const std::string plain = corpusFile("jpeg/cmyk_plain_33x17.jpg"),
                      unmarked = dir.file("cmyk_unmarked_33x17.jpg"), tag = "Adobe";
    Bytes file = readFile(plain);
    const auto adobe = std::search(file.begin(), file.end(), tag.begin(), tag.end());
    ASSERT_NE(adobe, file.end());
    file.erase(adobe - 4, adobe + 12);
    writeFile(unmarked, file);
    for (const std::string& path :
         {corpusFile("jpeg/baseline420_33x17.jpg"), corpusFile("jpeg/progressive_33x17.jpg"),
          corpusFile("jpeg/grey_16x16.jpg"), corpusFile("jpeg/grey_progressive_33x17.jpg"),
          corpusFile("jpeg/ycck_33x17.jpg"), plain, unmarked}) {
        SCOPED_TRACE(path);
        OwnedImage loaded;
        ASSERT_EQ(readJPEG(loaded.image, path.c_str()), 0);
        EXPECT_EQ(std::pair(loaded.image.width, loaded.image.height), sizeInName(path));
        EXPECT_EQ(loaded.bytes(), magickDecode(path));
    }
    EXPECT_TRUE(capture.errors().empty());
}

// Every layout must reach libjpeg as the same RGB rows at the caller's quality, so our file
// equals the one cjpeg makes from those rows (baseline tables, as ours, even at quality 1).
TEST_F(Jpeg, WriterMatchesCjpegForEveryLayoutAndQuality) {
    const int width = 48, height = 32;
    const Bytes rgb = pattern(width, height, 3);
    std::string ppm = "P6 48 32 255\n";
    writeFile(dir.file("in.ppm"), ppm.append(rgb.begin(), rgb.end()));
    for (int quality : {1, 100}) {
        const Bytes reference =
            commandOutput("cjpeg -baseline -quality " + std::to_string(quality) + " '" +
                          dir.file("in.ppm") + "'");
        for (int bits : {24, 32, 48, 64}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, quality " << quality);
            OwnedImage& image = painted(width, height, bits);
            const std::string ours = dir.file("ours.jpg");
            ASSERT_EQ(writeJPEG(image.image, ours.c_str(), quality, 0), 0);
            EXPECT_EQ(readFile(ours), reference);
            if (bits > 32) {  // narrowed in place: the caller keeps the high bytes
                const OwnedImage& narrow = painted(width, height, bits / 2);
                EXPECT_EQ(image.image.bitsPerPixel, bits / 2);
                EXPECT_EQ(image.image.bytesPerLine, narrow.image.bytesPerLine);
                EXPECT_TRUE(
                    std::equal(narrow.data(), narrow.data() + narrow.image.dataSize, image.data()));
            }
        }
    }
}

// Refusing only small blocks lets the pixels through and stops the row buffers. Other refusals
// of the codec: FuzzCorpus.FindingsAndRefusals...; a write that cannot open its file names the
// file shown to the user: CliRun.OutputThatCannotBeWritten... (ro.jpg).
TEST_F(Jpeg, FailedReadsAndAllocationsAreReported) {
    OwnedImage& image = painted(8, 8, 24);
    const std::string good = dir.file("good.jpg");
    ASSERT_EQ(writeJPEG(image.image, good.c_str(), 90, 0), 0);
    setAllocationFilter([](int64_t size) { return size > 64; });
    OwnedImage loaded;
    EXPECT_EQ(readJPEG(loaded.image, good.c_str()), -1);
    EXPECT_EQ(loaded.image.pixels, nullptr);
    EXPECT_EQ(writeJPEG(image.image, dir.file("out.jpg").c_str(), 90, 0), -1);
    EXPECT_EQ(readJPEG(loaded.image, dir.file("missing.jpg").c_str()), -1);
    // Two components, neither grey nor colour: the last one dropped from frame and scan headers.
    Bytes two = readFile(good);
    for (const auto& [marker, count, size] : {std::tuple(0xC0, 9, 3), std::tuple(0xDA, 4, 2)}) {
        const uint8_t code[] = {0xFF, uint8_t(marker)};
        const auto at = std::search(two.begin(), two.end(), code, code + 2);
        at[3] = uint8_t(at[3] - size);  // length
        at[count] = uint8_t(at[count] - 1);
        two.erase(at + count + 1 + 2 * size, at + count + 1 + 3 * size);
    }
    writeFile(dir.file("two.jpg"), two);
    EXPECT_EQ(readJPEG(loaded.image, dir.file("two.jpg").c_str()), -1);
    EXPECT_EQ(capture.errors(),
              Messages({"Not enough memory", "Not enough memory",
                        "can't open " + dir.file("missing.jpg"), "Image must be rgb"}));
}

// Decoding may land in memory a previous frame of the same size has just given back, which is
// not cleared first: every byte must still come from this file, also when it ends early.
TEST_F(Jpeg, DecodingIntoReusedMemoryLeavesNothingOfTheLastFrame) {
    const int width = 1200, height = 1000;  // large enough for freed blocks to be kept
    const std::string path = dir.file("in.jpg");
    ASSERT_EQ(writeJPEG(painted(width, height, 24).image, path.c_str(), 90, 0), 0);
    const Bytes whole = readFile(path);
    Bytes wholeTop;
    for (const bool truncated : {false, true}) {
        SCOPED_TRACE(truncated);
        if (truncated)
            writeFile(path, Bytes(whole.begin(), whole.begin() + long(whole.size() / 3)));
        Bytes fresh;
        {
            OwnedImage first;
            ASSERT_EQ(readJPEG(first.image, path.c_str()), 0);
            fresh = first.bytes();
            std::fill(first.data(), first.data() + first.image.dataSize, 0xA5);
        }  // the dirty block is kept for the next image of its size
        OwnedImage again;
        ASSERT_EQ(readJPEG(again.image, path.c_str()), 0);
        EXPECT_TRUE(again.bytes() == fresh);
        wholeTop = truncated ? wholeTop : fresh;
        // A file cut short still decodes its complete top rows as the whole file does.
        EXPECT_TRUE(std::equal(wholeTop.begin(), wholeTop.begin() + 4 * width * 8, fresh.begin()));
    }
    releaseCachedPixels();
}

}  // namespace
