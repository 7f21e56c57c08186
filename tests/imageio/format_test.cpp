#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imageio/bmp.h"
#include "imageio/imageio.h"
#include "support/capture.h"

namespace {

namespace fs = std::filesystem;
using Messages = std::vector<std::string>;
const std::string kInput = "Unsupported Input File Format: Must be JPEG, TIFF or BMP";
const std::string kOutput = "Unsupported Output File Format: Must be JPEG, TIFF or BMP";

std::string extensionReport(const std::string& path) {
    return "File (" + path + ") must have extension JPG, PNG, TIF or BMP";
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> listDirectory(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool refuseAll(int64_t) {
    return false;
}

class FormatTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "formatXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        image.width = 2;
        image.height = 2;
        image.bitsPerPixel = 32;
        image.bytesPerLine = 8;
        image.dataSize = 16;
        image.pixels = allocPixels(16);
        for (int i = 0; i < 16; ++i)
            pixelData(image)[i] = uint8_t(i * 17);
    }
    void TearDown() override {
        freePixels(image.pixels);
        setAllocationFilter(nullptr);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
    Image image;
    MessageCapture capture;
};

TEST_F(FormatTest, ExtensionSelectsFormat) {
    const struct {
        const char* name;
        int format;
        bool extensionReported;
    } cases[] = {
        {"IMAGE.JPG", FORMAT_JPEG, false},    {"image.Jpg", FORMAT_JPEG, false},
        {"scan.TIF", FORMAT_TIFF, false},     {"shot.Bmp", FORMAT_BMP, false},
        {"image.png", FORMAT_PNG, false},     {"image.gif", FORMAT_INVALID, false},
        {"image.jpe", FORMAT_INVALID, false}, {"image.jpeg", FORMAT_INVALID, true},
        {"image.tiff", FORMAT_INVALID, true}, {"image", FORMAT_INVALID, true},
        {"image.", FORMAT_INVALID, true},     {"/photos.old/image", FORMAT_INVALID, true},
        {"/a.b/c", FORMAT_INVALID, false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        capture.clear();
        EXPECT_EQ(getImageFormat(test.name), test.format);
        EXPECT_EQ(capture.errors(),
                  test.extensionReported ? Messages{extensionReport(test.name)} : Messages{});
    }
}

TEST_F(FormatTest, UnsupportedNamesAreReportedAndNothingIsCreated) {
    const struct {
        const char* name;
        bool extensionReported;
    } cases[] = {{"image.jpeg", true},
                 {"image.png", false},
                 {"image.gif", false},
                 {"image", true},
                 {"a.b/c", false}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string target = path(test.name);
        const auto expect = [&](const std::string& last) {
            Messages all;
            if (test.extensionReported)
                all.push_back(extensionReport(target));
            all.push_back(last);
            return all;
        };
        capture.clear();
        Image loaded;
        EXPECT_EQ(readImage(loaded, target.c_str()), -1);
        EXPECT_EQ(capture.errors(), expect(kInput));
        capture.clear();
        EXPECT_EQ(writeImage(image, target.c_str()), -1);
        EXPECT_EQ(capture.errors(), expect(kOutput));
        capture.clear();
        EXPECT_EQ(checkOutputFormat(target.c_str()), -1);
        EXPECT_EQ(capture.errors(), expect(kOutput));
        capture.clear();
    }
    for (const char* name : {"out.jpg", "out.TIF", "out.bmp"}) {
        EXPECT_EQ(checkOutputFormat(path(name).c_str()), 0);
    }
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_TRUE(listDirectory(dir).empty());
}

TEST_F(FormatTest, SaveReplacesTargetAndLoadDispatchesByExtension) {
    const std::string target = path("out.BMP");
    std::ofstream(target) << "old contents";
    const mode_t previous = umask(027);
    EXPECT_EQ(writeImage(image, target.c_str()), 0);
    umask(previous);

    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"out.BMP"});

    Image loaded;
    ASSERT_EQ(readImage(loaded, target.c_str()), 0);
    ASSERT_EQ(loaded.dataSize, 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(pixelData(loaded)[i], i % 4 == 0 ? 255 : i * 17);
    }
    freePixels(loaded.pixels);
    EXPECT_TRUE(capture.errors().empty());
}

TEST_F(FormatTest, FailedSaveKeepsTargetAndLeavesNoTemporary) {
    const std::string target = path("keep.bmp");
    std::ofstream(target) << "precious";

    Image unusable = image;
    unusable.bitsPerPixel = 256;
    EXPECT_EQ(writeImage(unusable, target.c_str()), -1);
    setAllocationFilter(refuseAll);
    EXPECT_EQ(writeImage(image, target.c_str()), -1);
    setAllocationFilter(nullptr);
    EXPECT_EQ(capture.errors(),
              (Messages{"writeBMP, could not write image data", "Not enough memory"}));
    EXPECT_EQ(readText(target), "precious");

    // A directory in the way makes the final rename fail.
    capture.clear();
    fs::create_directory(path("taken.bmp"));
    EXPECT_EQ(writeImage(image, path("taken.bmp").c_str()), -1);
    EXPECT_EQ(capture.errors(), Messages{"Could not write " + path("taken.bmp")});
    EXPECT_TRUE(fs::is_directory(path("taken.bmp")));
    EXPECT_EQ(listDirectory(dir), (std::vector<std::string>{"keep.bmp", "taken.bmp"}));

    // No directory to hold the temporary file: each codec's own open failure.
    capture.clear();
    for (const char* name : {"missing/out.bmp", "missing/out.jpg", "missing/out.tif"}) {
        EXPECT_EQ(writeImage(image, path(name).c_str()), -1);
    }
    EXPECT_EQ(capture.errors(),
              (Messages{"writeBMP, could not open file", "can't open " + path("missing/out.jpg"),
                        "Could not create TIFF-file"}));
}

TEST_F(FormatTest, UnwritableDirectoryKeepsTarget) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only directories";
    const std::string target = path("keep.bmp");
    std::ofstream(target) << "precious";
    fs::permissions(dir, fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(writeImage(image, target.c_str()), -1);
    EXPECT_EQ(capture.errors(), Messages{"writeBMP, could not open file"});
    EXPECT_EQ(readText(target), "precious");
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"keep.bmp"});
}

TEST_F(FormatTest, OutputIsInputComparesFilesNotSpellings) {
    std::ofstream(path("a.bmp")) << "a";
    std::ofstream(path("b.bmp")) << "b";
    fs::create_hard_link(path("a.bmp"), path("link.bmp"));
    const std::string a = path("a.bmp");
    EXPECT_EQ(outputIsInput(a, {"", path("b.bmp"), dir + "/./a.bmp"}), 1);
    EXPECT_EQ(outputIsInput(path("link.bmp"), {"", a}), 1);
    EXPECT_EQ(outputIsInput(a, {a, path("b.bmp")}), 0);  // entry 0 is no input
    EXPECT_EQ(outputIsInput(path("new.bmp"), {"", path("new.bmp")}), 1);
    EXPECT_EQ(outputIsInput(path("new.bmp"), {"", path("other.bmp"), path("b.bmp")}), 0);
}

}  // namespace
