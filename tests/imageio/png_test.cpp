#include "imageio/png.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "imageio/codec_fixtures.h"

namespace {

class Png : public FileTest {};

// Files of every writer layout (24 padded) are as painted to ImageMagick: 8-bit from 24/32 bits,
// big-endian 16-bit from 48/64 bits. They and the seeds, which hold every colour type and depth,
// with and without tRNS, interlaced or not, down to 1x1, decode as ImageMagick decodes them. Its
// gAMA (1/2.2) is cancelled by a display gamma of 2.2, so one file says 1/1.8.
TEST_F(Png, WrittenAndSeedFilesDecodeAsImageMagickDecodesThem) {
    std::vector<std::string> paths{dir.file("gamma_7x5.png")};
    commandOutput("convert '" + corpusFile("png/rgb8_7x5.png") + "' -set gamma 0.55556 PNG24:'" +
                  paths[0] + "'");
    const Bytes rgb = pattern(9, 5, 3);
    for (const auto& [bits, line] : {std::pair(24, 32), {32, 0}, {48, 0}, {64, 0}}) {
        OwnedImage image(9, 5, bits, line), want(9, 5, bits > 32 ? 64 : 32);
        paint(image, rgb);
        paint(want, rgb);  // low bytes 0x5A, as in the source
        for (int64_t at = 0; at < want.image.dataSize; at += want.image.bitsPerPixel / 8)
            std::fill_n(want.data() + at, want.image.bitsPerPixel / 32, 0xFF);
        paths.push_back(dir.file(std::to_string(bits) + "bits_9x5.png"));
        ASSERT_EQ(writePNG(image.image, paths.back().c_str()), 0);
        EXPECT_EQ(magickDecode(paths.back(), bits > 32 ? 16 : 8), want.bytes()) << bits;
    }
    for (const auto& entry : std::filesystem::directory_iterator(corpusFile("png"))) {
        const std::string name = entry.path().filename();  // not claims_, truncated_, no_end_
        if (name.starts_with("grey") || name.starts_with("palette") || name.starts_with("rgb"))
            paths.push_back(entry.path());
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const int depth = readFile(path).at(24) == 16 ? 16 : 8;  // the header's bit depth
        OwnedImage loaded;
        ASSERT_EQ(readPNG(loaded.image, path.c_str()), 0);
        EXPECT_EQ(std::pair(loaded.image.width, loaded.image.height), sizeInName(path));
        EXPECT_EQ(loaded.image.bitsPerPixel, 4 * depth);
        EXPECT_EQ(loaded.bytes(), magickDecode(path, depth));
    }
    EXPECT_EQ(capture.errors(), Messages{});
}

// Nothing is kept of a refused file, also when rows were decoded; a full disk stops the stream in
// the middle (noise outgrows stdio's buffer). Huge claims: FuzzCorpus.FindingsAndRefusals...
TEST_F(Png, FailuresAreReported) {
    const std::string missing = dir.file("missing.png"), path = dir.file("out.png");
    OwnedImage loaded, image(64, 64, 32);
    EXPECT_EQ(readPNG(loaded.image, missing.c_str()), -1);
    EXPECT_EQ(readPNG(loaded.image, corpusFile("png/truncated_interlaced_33x17.png").c_str()), -1);
    EXPECT_EQ(loaded.image.pixels, nullptr);
    uint32_t noise = 1;
    for (uint8_t* at = image.data(); at < image.data() + image.image.dataSize; ++at)
        *at = uint8_t((noise = noise * 1664525u + 1013904223u) >> 24);
    EXPECT_EQ(withFileSizeLimit(200, [&] { return writePNG(image.image, path.c_str(), "x.png"); }),
              -1);
    EXPECT_EQ(capture.errors(), (Messages{"can't open " + missing, "Read Error",
                                          "can't write x.png: File too large"}));
}

}  // namespace
