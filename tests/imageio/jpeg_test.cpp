#include "imageio/jpeg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <jpeglib.h>

#include "imageio/codec_fixtures.h"

namespace {

class Jpeg : public FileTest {};

// libjpeg driven directly: the oracle for our writer and the maker of grey and CMYK files.
Bytes encodeReference(const std::string& path, int width, int height, int components,
                      J_COLOR_SPACE space, int quality = 90) {
    Bytes samples = pattern(width, height, components);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    FILE* file = std::fopen(path.c_str(), "wb");
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    for (JSAMPROW row = samples.data(); row < samples.data() + samples.size();
         row += width * components)
        jpeg_write_scanlines(&cinfo, &row, 1);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
    return readFile(path);
}

TEST_F(Jpeg, DecodesExactlyLikeDjpegBaselineAndProgressive) {
    const int width = 37, height = 23;
    const std::string path = dir.file("colour.jpg"), ppm = dir.file("colour.ppm");
    OwnedImage source(width, height, 24);
    const Bytes samples = pattern(width, height, 3);
    std::copy(samples.begin(), samples.end(), source.data());
    for (int progressive : {0, 1}) {
        SCOPED_TRACE(progressive);
        ASSERT_EQ(writeJPEG(source.image, path.c_str(), 90, progressive), 0);
        // djpeg's binary PPM ends with the packed RGB samples.
        ASSERT_EQ(std::system(("djpeg -ppm -outfile '" + ppm + "' '" + path + "'").c_str()), 0);
        const Bytes ppmFile = readFile(ppm);
        ASSERT_GT(ppmFile.size(), samples.size());
        const Bytes expected =
            withFiller(Bytes(ppmFile.end() - long(samples.size()), ppmFile.end()));
        OwnedImage loaded;
        ASSERT_EQ(readJPEG(loaded.image, path.c_str()), 0);
        EXPECT_EQ(loaded.image.width, width);
        EXPECT_EQ(loaded.image.bitsPerPixel, 32);
        EXPECT_EQ(loaded.bytes(), expected);
    }
    EXPECT_TRUE(capture.errors().empty());
}

// Every layout must reach libjpeg as the same RGB rows at the caller's quality, so our file
// equals the one libjpeg makes from those rows.
TEST_F(Jpeg, WriterMatchesLibjpegForEveryLayoutAndQuality) {
    const int width = 48, height = 32;
    const Bytes rgb = pattern(width, height, 3);
    for (int bits : {24, 32, 48, 64}) {
        for (int quality : {1, 100}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, quality " << quality);
            OwnedImage image(width, height, bits);
            paint(image, rgb);
            const std::string ours = dir.file("ours.jpg");
            ASSERT_EQ(writeJPEG(image.image, ours.c_str(), quality, 0), 0);
            EXPECT_EQ(readFile(ours),
                      encodeReference(dir.file("ref.jpg"), width, height, 3, JCS_RGB, quality));
            if (bits > 32) {  // narrowed in place: the caller keeps the high bytes
                OwnedImage narrow(width, height, bits / 2);
                paint(narrow, rgb);
                EXPECT_EQ(image.image.bitsPerPixel, bits / 2);
                EXPECT_EQ(image.image.bytesPerLine, narrow.image.bytesPerLine);
                EXPECT_TRUE(
                    std::equal(narrow.data(), narrow.data() + narrow.image.dataSize, image.data()));
            }
        }
    }
}

TEST_F(Jpeg, FailedWritesAndAllocationsAreReported) {
    OwnedImage image(8, 8, 24);
    EXPECT_EQ(writeJPEG(image.image, dir.file("no/dir/out.jpg").c_str(), 90, 0, "shown.jpg"), -1);
    EXPECT_EQ(capture.errors(), Messages{"can't open shown.jpg"});
    // A full disk: CliRun.OutputThatCannotBeWritten....
    const std::string good = dir.file("good.jpg");
    encodeReference(good, 8, 8, 3, JCS_RGB);
    // Refusing only small blocks lets the pixels through and stops the row buffers.
    setAllocationFilter([](int64_t size) { return size > 64; });
    capture.clear();
    OwnedImage loaded;
    EXPECT_EQ(readJPEG(loaded.image, good.c_str()), -1);
    EXPECT_EQ(loaded.image.pixels, nullptr);
    EXPECT_EQ(writeJPEG(image.image, dir.file("out.jpg").c_str(), 90, 0), -1);
    EXPECT_EQ(capture.errors(), Messages({"Not enough memory", "Not enough memory"}));
    // Refusals of the codec itself: FuzzCorpus.FindingsAndRefusals... replays them.
    capture.clear();
    EXPECT_EQ(readJPEG(loaded.image, dir.file("missing.jpg").c_str()), -1);
    EXPECT_EQ(capture.errors(), Messages{"can't open " + dir.file("missing.jpg")});
}

// Decoding may land in memory a previous frame of the same size has just given back, which is
// not cleared first: every byte must still come from this file, also when it ends early.
TEST_F(Jpeg, DecodingIntoReusedMemoryLeavesNothingOfTheLastFrame) {
    const int width = 1200, height = 1000;  // large enough for freed blocks to be kept
    const std::string path = dir.file("in.jpg");
    const Bytes whole = encodeReference(path, width, height, 3, JCS_RGB, 90);
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
