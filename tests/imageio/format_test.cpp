#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "imageio/bmp.h"
#include "imageio/codec_fixtures.h"
#include "imageio/imageio.h"
#include "imageio/jpeg.h"
#include "imageio/png.h"

namespace {

const std::string kInput = "Unsupported Input File Format: Must be JPEG, TIFF or BMP";
const std::string kOutput = "Unsupported Output File Format: Must be JPEG, TIFF or BMP";

class FormatTest : public FileTest {
  protected:
    FormatTest() { paint(image, pattern(2, 2, 3)); }
    OwnedImage image{2, 2, 32};
};

// Names without a codec are refused by load, save and the pre-run check alike, each time
// after the extension report where there is one, and nothing is created.
TEST_F(FormatTest, ExtensionSelectsFormatAndRefusalsTouchNothing) {
    const struct {
        const char* name;
        int format;
        bool extensionReported;
    } cases[] = {
        {"IMAGE.JPG", FORMAT_JPEG, false},     {"scan.tIf", FORMAT_TIFF, false},
        {"shot.Bmp", FORMAT_BMP, false},       {"image.png", FORMAT_PNG, false},
        {"image.gif", FORMAT_INVALID, false},  {"image.jpgx", FORMAT_INVALID, true},
        {"x.jpeg", FORMAT_JPEG, false},        {"X.JPE", FORMAT_JPEG, false},
        {"x.TiFf", FORMAT_TIFF, false},        {"x.PNG", FORMAT_PNG, false},
        {"image", FORMAT_INVALID, true},       {"image.", FORMAT_INVALID, true},
        {"a.old/image", FORMAT_INVALID, true}, {"a.b/c", FORMAT_INVALID, false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string target = dir.file(test.name);
        const std::string report = "File (" + target + ") must have extension JPG, PNG, TIF or BMP";
        const Messages named = test.extensionReported ? Messages{report} : Messages{};
        capture.clear();
        EXPECT_EQ(getImageFormat(target.c_str()), test.format);
        EXPECT_EQ(capture.errors(), named);
        if (test.format != FORMAT_INVALID) {
            EXPECT_EQ(checkOutputFormat(target.c_str()), 0);
            continue;
        }
        capture.clear();
        Image loaded;
        EXPECT_EQ(readImage(loaded, target.c_str()), -1);
        EXPECT_EQ(writeImage(image.image, target.c_str()), -1);
        EXPECT_EQ(checkOutputFormat(target.c_str()), -1);
        Messages expected;
        for (const std::string& last : {kInput, kOutput, kOutput}) {
            expected.insert(expected.end(), named.begin(), named.end());
            expected.push_back(last);
        }
        EXPECT_EQ(capture.errors(), expected);
    }
    EXPECT_TRUE(dir.list().empty());
}

TEST(OutputDepth, SixteenBitsOnlyWhereTheFormatHoldsThem) {
    const std::string refused = "16-bit output needs a TIFF or PNG file (.tif, .tiff or .png)";
    const struct {
        const char* name;
        int depth;
        std::string problem;
    } cases[] = {
        {"a.jpg", 8, ""},       {"a.bmp", 8, ""},
        {"a.TIF", 16, ""},      {"a.tiff", 16, ""},
        {"d.x/a.png", 16, ""},  {"a.jpg", 16, refused},
        {"a.bmp", 16, refused}, {"a.jpeg", 16, refused},
        {"png", 16, refused},   {"a.png", 12, "the output depth must be 8 or 16 bits"},
    };
    for (const auto& c : cases) {
        MessageCapture quiet;
        EXPECT_EQ(outputDepthProblem(c.name, c.depth), c.problem) << c.name << " " << c.depth;
        EXPECT_TRUE(quiet.errors().empty());
    }
}

// A replaced file's permissions, refused writes that keep the old file and no temporary file
// left: CliRun.OutputThatCannotBeWritten... and
// Faults.EveryRefusedAllocation....
TEST_F(FormatTest, SaveFailsWhenTheRenameDoesAndTheLongestNameStillSaves) {
    // A directory in the way makes the final rename fail.
    const std::string taken = dir.file("taken.bmp");
    std::filesystem::create_directory(taken);
    EXPECT_EQ(writeImage(image.image, taken.c_str()), -1);
    EXPECT_EQ(capture.errors(), Messages{"Could not write " + taken});
    // The longest name a directory can hold: the temporary name is not longer.
    const std::string longest = std::string(251, 'n') + ".jpg";
    EXPECT_EQ(writeImage(image.image, dir.file(longest).c_str()), 0);
    EXPECT_EQ(dir.list(), (Messages{longest, "taken.bmp"}));
}

TEST_F(FormatTest, OutputIsInputComparesFilesNotSpellings) {
    const std::string a = dir.file("a.bmp"), b = dir.file("b.bmp"), link = dir.file("link.bmp");
    std::ofstream(a) << "a";
    std::ofstream(b) << "b";
    std::filesystem::create_hard_link(a, link);
    EXPECT_EQ(outputIsInput(a, {"", b, dir.path + "/./a.bmp"}), 1);
    EXPECT_EQ(outputIsInput(link, {"", a}), 1);
    EXPECT_EQ(outputIsInput(a, {a, b}), 0);  // entry 0 is no input
    EXPECT_EQ(outputIsInput(dir.file("new.bmp"), {"", dir.file("new.bmp")}), 1);
    EXPECT_EQ(outputIsInput(dir.file("new.bmp"), {"", dir.file("other.bmp"), b}), 0);
}

// A small image fits the stream's buffer, so a full disk shows only when the file is flushed
// and closed: each writer must fail then, not report a file it never wrote.
TEST_F(FormatTest, AFullDiskFailsTheWriteWhenTheBytesAreFlushed) {
    if (!std::ifstream("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(writeBMP(image.image, "/dev/full"), -1);
    EXPECT_EQ(writeJPEG(image.image, "/dev/full", 90, 0, nullptr), -1);
    EXPECT_EQ(writePNG(image.image, "/dev/full"), -1);
    EXPECT_EQ(capture.errors().size(), 3u);
}

}  // namespace
