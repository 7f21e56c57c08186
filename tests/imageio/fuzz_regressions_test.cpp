// The fuzzers' seeds and findings (fuzz/corpus/), replayed through the readers: every file
// either loads without a report or is refused with no pixels, and a small file claiming a huge
// image is refused before the codec or its library takes the memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "imageio/codec_fixtures.h"
#include "imageio/imageio.h"

namespace {

const std::string kCorpus = QUORVANE_FUZZ_CORPUS;

TEST(FuzzCorpus, EverySeedLoadsCleanlyOrIsRefusedWithNoPixels) {
    MessageCapture capture;
    setAllocationFilter([](int64_t size) { return size <= int64_t{200'000'000}; });
    int loaded = 0, refused = 0;
    for (const char* codec : {"bmp", "jpeg", "tiff", "png", "raw"}) {
        for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/" + codec)) {
            SCOPED_TRACE(entry.path().string());
            capture.clear();
            OwnedImage image;
            const int result = readImage(image.image, entry.path().c_str());
            EXPECT_EQ(result == 0, image.image.pixels != nullptr);
            if (result == 0) {
                EXPECT_EQ(capture.errors(), Messages{});
            }
            ++(result == 0 ? loaded : refused);
        }
    }
    setAllocationFilter(nullptr);
    // Both outcomes are seeded, so neither rule above holds vacuously.
    EXPECT_GT(loaded, 50);
    EXPECT_GT(refused, 15);
}

// Findings (what each made the reader do is in its comment) and the refusals of each codec.
TEST(FuzzCorpus, FindingsAndRefusalsAreReportedBeforeMemoryIsTaken) {
    const Messages unreadable{"Could not read tiff-data"};
    const auto tooBig = [](long kilobytes) {
        return Messages{"Error allocating " + std::to_string(kilobytes) + " KB of memory",
                        "Not enough memory"};
    };
    // A BMP header fault is reported twice; with no memory at all, so that each is seen to be
    // refused before its pixels are asked for.
    const auto bmp = [](const std::string& error,
                        const std::string& where = "readBMPFileHeader, ") {
        return Messages{where + error, "readBMP, error reading bitmap file header"};
    };
    const Messages length = bmp("secondary header length wrong -- Not MS version 3 compatible"),
                   bits = bmp("only 24 bit color supported"),
                   dims = bmp("unsupported image dimensions"), data{"Error reading image data"};
    constexpr int64_t kMachine = 200'000'000;  // no single request above this is granted
    const struct {
        const char* file;
        Messages errors;
        std::pair<int, int> size;  // {0, 0}: refused
        int64_t machine = kMachine;
    } cases[] = {
        {"bmp/refused_cut_13.bmp", bmp("Error reading first BMP header segment", ""), {}, 0},
        {"bmp/refused_magic_BA.bmp", bmp("BMP bad magic No"), {}, 0},
        {"bmp/refused_cut_53.bmp", bmp("Error reading second BMP header segment", ""), {}, 0},
        {"bmp/refused_header12.bmp", length, {}, 0},
        {"bmp/refused_header108.bmp", bmp("Error reading second BMP header segment", ""), {}, 0},
        {"bmp/refused_planes2.bmp", bmp("should be 1 image plane"), {}, 0},
        {"bmp/refused_bits8.bmp", bits, {}, 0},
        {"bmp/refused_bits32.bmp", data, {}, 0},
        {"bmp/refused_rle8_claimed.bmp", bmp("only uncompressed BMP supported"), {}, 0},
        {"bmp/refused_width0.bmp", dims, {}, 0},
        {"bmp/refused_height0.bmp", dims, {}, 0},
        {"bmp/refused_topdown_4x4.bmp", {}, {4, 4}},
        {"bmp/refused_width_negative.bmp", dims, {}, 0},
        {"bmp/refused_width_max.bmp", dims, {}, 0},
        {"bmp/refused_cut_one_byte_short.bmp", data, {}, 0},
        {"bmp/refused_offset_past_end.bmp", data, {}, 0},
        {"bmp/refused_height_max.bmp", data, {}, 0},  // rows beyond 32-bit sizes
        // The library took and cleared gigabytes of coefficients in jpeg_start_decompress,
        // before our pixels were asked for; now both are asked for together, first.
        // Pixels 4 x 9000^2 bytes, more than the machine: allocPixels refuses them.
        {"jpeg/claims_9000_baseline.jpg", tooBig(316406), {}},
        // Pixels 4 x 6000^2 would fit, but 4:2:0 coefficients come on top:
        // (750^2 luma + 2 x 375^2 chroma blocks) x 128 bytes = 108,000,000.
        {"jpeg/claims_6000_progressive.jpg", tooBig(246093), {}},
        // Files ending early load what they have, at full size.
        {"jpeg/truncated_progressive_64x64.jpg", {}, {64, 64}},
        {"jpeg/truncated_baseline_64x64.jpg", {}, {64, 64}},
        {"jpeg/grey_16x16.jpg", {}, {16, 16}},
        {"jpeg/cmyk_16x16.jpg", {}, {16, 16}},
        // Files of a few hundred bytes claiming a million pixels took most of a second each to
        // fill an image with nothing: under 1/128 of the claimed sample bytes is refused.
        // The library had read the first 8 KB piece of the strip and skipped the missing rest.
        {"tiff/claims_8192x1024_grey8_holds_8300.tif", unreadable, {}},
        {"tiff/claims_60000x60000_grey8.tif", unreadable, {}},
        // ...but not the densest PackBits, 128 bytes of 2 (one grey value throughout).
        {"tiff/grey8_packbits_densest_4096x64.tif", {}, {4096, 64}},
        // No colour model sends RGB to the RGBA reader, whose one compressed 16-bit strip is
        // 6 x 500^2 bytes: the 4 x 500^2 bytes of pixels would fit, but not with the strip.
        {"tiff/claims_500x500_rgb16_packbits_no_photometric.tif", tooBig(2441), {}, 2'000'000},
        {"tiff/rgb16_no_photometric_2x1.tif", {}, {2, 1}, 2'000'000},
        // Every compression the library decodes is read, on both paths.
        {"tiff/rgb8_lzw_16x16.tif", {}, {16, 16}},
        {"tiff/grey8_deflate_16x16.tif", {}, {16, 16}},
        {"tiff/rgb8_jpeg_16x16.tif", {}, {16, 16}},
        // Samples that are no unsigned integers (half floats, signed), RGB that is not 3 or 4
        // samples of 8 or 16 bits.
        {"tiff/rgb16_float_16x16.tif", unreadable, {}},
        {"tiff/grey16_float_16x16.tif", unreadable, {}},
        {"tiff/rgb8_signed_16x16.tif", unreadable, {}},
        {"tiff/rgb_one_sample_16x16.tif", unreadable, {}},
        {"tiff/rgb4_16x16.tif", unreadable, {}},
        {"tiff/five_samples_16x16.tif", {}, {}},  // silently
        // Deflate shrinks at most 1032:1; the width limit is the bitmap reader's.
        {"png/claims_60000x60000.png", {"Not enough image data"}, {}},
        {"png/claims_70000000x1.png", {"Invalid IHDR data"}, {}},
    };
    MessageCapture capture;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        static int64_t machine;
        machine = c.machine;
        setAllocationFilter([](int64_t size) { return size <= machine; });
        capture.clear();
        OwnedImage loaded;
        const bool loads = c.size != std::pair(0, 0);
        EXPECT_EQ(readImage(loaded.image, (kCorpus + "/" + c.file).c_str()), loads ? 0 : -1);
        EXPECT_EQ(capture.errors(), c.errors);
        EXPECT_EQ(loaded.image.pixels != nullptr, loads);
        if (loads) {
            EXPECT_EQ(std::pair(loaded.image.width, loaded.image.height), c.size);
        } else if (std::string(c.file).starts_with("jpeg")) {  // nothing decoded or missed
            EXPECT_EQ(capture.diagnosticText(), "");
        }
    }
    setAllocationFilter(nullptr);
}

}  // namespace
