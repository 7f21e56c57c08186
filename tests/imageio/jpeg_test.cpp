#include "imageio/jpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imageio/codec_fixtures.h"
#include "support/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Errors = std::vector<std::string>;

Bytes pattern(int width, int height, int components) {
    Bytes samples;
    for (int i = 0; i < width * height * components; ++i) {
        const int x = i / components % width, y = i / components / width, c = i % components;
        samples.push_back(static_cast<uint8_t>(x * 7 + y * 5 + c * 60));
    }
    return samples;
}

// libjpeg driven directly: the oracle for our writer and the maker of grey and CMYK files.
void encodeReference(const std::string& path, int width, int height, int components,
                     J_COLOR_SPACE space, Bytes samples, int quality) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = samples.data() + y * width * components;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

// djpeg's own decode as packed RGB; empty when djpeg fails.
Bytes djpegRgb(const std::string& jpeg, const std::string& ppm) {
    if (std::system(("djpeg -ppm -outfile '" + ppm + "' '" + jpeg + "'").c_str()) != 0)
        return {};
    std::ifstream in(ppm, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    in >> magic >> width >> height >> maximum;
    in.get();
    Bytes rgb(static_cast<size_t>(width) * height * 3);
    in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
    return magic == "P6" && in ? rgb : Bytes{};
}

TEST(Jpeg, DecodesExactlyLikeDjpegBaselineAndProgressive) {
    ScratchDir dir;
    MessageCapture capture;
    const int width = 37, height = 23;
    for (int progressive : {0, 1}) {
        SCOPED_TRACE(progressive);
        OwnedImage source(width, height, 24);
        const Bytes samples = pattern(width, height, 3);
        std::copy(samples.begin(), samples.end(), source.data());
        const std::string path = dir.file("colour.jpg");
        ASSERT_EQ(writeJPEG(source.image, path.c_str(), 90, progressive), 0);
        // Start of frame: baseline 0xC0, progressive 0xC2.
        const Bytes file = readBytes(path);
        const Bytes sof = {0xFF, static_cast<uint8_t>(progressive ? 0xC2 : 0xC0)};
        EXPECT_NE(std::search(file.begin(), file.end(), sof.begin(), sof.end()), file.end());

        const Bytes expected = djpegRgb(path, dir.file("colour.ppm"));
        ASSERT_EQ(expected.size(), samples.size());
        OwnedImage loaded;
        ASSERT_EQ(readJPEG(loaded.image, path.c_str()), 0);
        EXPECT_EQ(loaded.image.width, width);
        EXPECT_EQ(loaded.image.height, height);
        EXPECT_EQ(loaded.image.bitsPerPixel, 32);
        EXPECT_EQ(loaded.image.bytesPerLine, 4 * width);
        EXPECT_EQ(loaded.image.dataSize, 4 * width * height);
        Bytes fillers, rgb;
        for (int64_t i = 0; i < loaded.image.dataSize; i += 4) {
            fillers.push_back(loaded.data()[i]);
            rgb.insert(rgb.end(), loaded.data() + i + 1, loaded.data() + i + 4);
        }
        EXPECT_EQ(fillers, Bytes(fillers.size(), 255));
        EXPECT_EQ(rgb, expected);
    }
    EXPECT_TRUE(capture.errors().empty());
}

// Every layout must reach libjpeg as the same RGB rows at the caller's quality, so our file
// equals the one libjpeg makes from those rows.
TEST(Jpeg, WriterMatchesLibjpegForEveryLayoutAndQuality) {
    ScratchDir dir;
    const int width = 48, height = 32;
    const Bytes rgb = pattern(width, height, 3);
    for (int bits : {24, 32, 64}) {
        std::vector<size_t> sizes;
        for (int quality : {1, 100}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, quality " << quality);
            OwnedImage image(width, height, bits);
            uint8_t* p = image.data();
            for (size_t i = 0; i < rgb.size(); i += 3) {
                if (bits == 32)
                    *p++ = 0x5A;  // a filler that must not reach the file
                if (bits == 64)
                    *p++ = 0x34, *p++ = 0xFF;
                for (size_t c = i; c < i + 3; ++c) {
                    // 16-bit samples, little-endian, with a low byte that must be dropped.
                    if (bits == 64)
                        *p++ = static_cast<uint8_t>(c);
                    *p++ = rgb[c];
                }
            }
            const std::string ours = dir.file("ours.jpg"), reference = dir.file("ref.jpg");
            ASSERT_EQ(writeJPEG(image.image, ours.c_str(), quality, 0), 0);
            encodeReference(reference, width, height, 3, JCS_RGB, rgb, quality);
            EXPECT_EQ(readBytes(ours), readBytes(reference));
            sizes.push_back(readBytes(ours).size());
            if (bits == 64) {
                // Narrowed in place: the caller keeps the 32-bit layout of the high bytes.
                EXPECT_EQ(image.image.bitsPerPixel, 32);
                EXPECT_EQ(image.image.bytesPerLine, 4 * width);
                EXPECT_EQ(image.image.dataSize, 4 * width * height);
                EXPECT_EQ(Bytes(image.data(), image.data() + 4),
                          Bytes({0xFF, rgb[0], rgb[1], rgb[2]}));
            }
        }
        EXPECT_LT(sizes[0] * 2, sizes[1]);
    }
}

TEST(Jpeg, RefusesGreyscaleAndCmyk) {
    ScratchDir dir;
    MessageCapture capture;
    for (auto [components, space] : {std::pair{1, JCS_GRAYSCALE}, std::pair{4, JCS_CMYK}}) {
        SCOPED_TRACE(components);
        const std::string path = dir.file("other.jpg");
        encodeReference(path, 16, 8, components, space, pattern(16, 8, components), 90);
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(readJPEG(loaded.image, path.c_str()), -1);
        EXPECT_EQ(capture.errors(), Errors{"Image must be rgb"});
        EXPECT_EQ(loaded.image.width, 16);
        EXPECT_EQ(loaded.image.height, 8);
        EXPECT_EQ(loaded.image.pixels, nullptr);
    }
}

// A fatal library error is one report and -1; the process and later reads carry on.
TEST(Jpeg, BrokenFilesAreReportedNotFatal) {
    ScratchDir dir;
    MessageCapture capture;
    const std::string good = dir.file("good.jpg");
    encodeReference(good, 8, 8, 3, JCS_RGB, pattern(8, 8, 3), 90);
    Bytes headerOnly = readBytes(good);
    headerOnly.resize(20);
    const struct {
        Bytes bytes;
        std::string messageStart;
    } cases[] = {{{}, "Empty input file"}, {{'h', 'i', '\n'}, "Not a JPEG file"}, {headerOnly, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.messageStart);
        writeBytes(dir.file("bad.jpg"), c.bytes);
        capture.clear();
        OwnedImage loaded;
        EXPECT_EQ(readJPEG(loaded.image, dir.file("bad.jpg").c_str()), -1);
        ASSERT_EQ(capture.errors().size(), 1u);
        EXPECT_FALSE(capture.errors()[0].empty());
        EXPECT_EQ(capture.errors()[0].rfind(c.messageStart, 0), 0u) << capture.errors()[0];
        EXPECT_EQ(loaded.image.pixels, nullptr);
    }
    capture.clear();
    OwnedImage loaded;
    EXPECT_EQ(readJPEG(loaded.image, dir.file("missing.jpg").c_str()), -1);
    EXPECT_EQ(capture.errors(), Errors{"can't open " + dir.file("missing.jpg")});
    EXPECT_EQ(readJPEG(loaded.image, good.c_str()), 0);
}

TEST(Jpeg, TruncatedFileStillLoads) {
    ScratchDir dir;
    MessageCapture capture;
    const std::string full = dir.file("full.jpg"), cut = dir.file("cut.jpg");
    encodeReference(full, 64, 64, 3, JCS_RGB, pattern(64, 64, 3), 95);
    Bytes bytes = readBytes(full);
    bytes.resize(bytes.size() / 2);
    writeBytes(cut, bytes);

    OwnedImage whole, partial;
    ASSERT_EQ(readJPEG(whole.image, full.c_str()), 0);
    ASSERT_EQ(readJPEG(partial.image, cut.c_str()), 0);
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_NE(capture.diagnosticText().find("Premature end of JPEG file"), std::string::npos);
    EXPECT_EQ(partial.image.height, 64);
    // The top rows' data is complete, so they decode as in the whole file.
    EXPECT_TRUE(std::equal(whole.data(), whole.data() + 4 * 64, partial.data()));
}

TEST(Jpeg, FailedWritesAndAllocationsAreReported) {
    ScratchDir dir;
    MessageCapture capture;
    OwnedImage image(8, 8, 24);
    EXPECT_EQ(writeJPEG(image.image, dir.file("no/dir/out.jpg").c_str(), 90, 0, "shown.jpg"), -1);
    EXPECT_EQ(capture.errors(), Errors{"can't open shown.jpg"});
    // A full disk: the library's write error or our stream check, never success.
    capture.clear();
    EXPECT_EQ(writeJPEG(image.image, "/dev/full", 90, 0), -1);
    EXPECT_EQ(capture.errors().size(), 1u);

    const std::string good = dir.file("good.jpg");
    encodeReference(good, 8, 8, 3, JCS_RGB, pattern(8, 8, 3), 90);
    // Refusing only small blocks lets the pixels through and stops the row buffers.
    setAllocationFilter([](int64_t size) { return size > 64; });
    capture.clear();
    OwnedImage loaded;
    EXPECT_EQ(readJPEG(loaded.image, good.c_str()), -1);
    EXPECT_EQ(loaded.image.pixels, nullptr);
    EXPECT_EQ(writeJPEG(image.image, dir.file("out.jpg").c_str(), 90, 0), -1);
    EXPECT_EQ(capture.errors(), Errors({"Not enough memory", "Not enough memory"}));
    setAllocationFilter(nullptr);
}

}  // namespace
