#include "imageio/filenames.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

using Names = std::vector<std::string>;

TEST(FileNames, SplitExtensionAndStripDirectory) {
    const struct {
        const char* path;
        const char* stem;
        const char* extension;
        const char* name;
    } cases[] = {
        {"/a/photo.tar.jpg", "/a/photo.tar", "jpg", "photo.tar.jpg"},
        {"/a/photo", "/a/photo", "keep", "photo"},
        {"/a.b/photo", "/a", "b/photo", "photo"},
        {"photo.", "photo", "", "photo."},
        {"/a/b/", "/a/b/", "keep", ""},
    };
    for (const auto& test : cases) {
        std::string path = test.path, extension = "keep", name = test.path;
        splitExtension(path, extension);
        stripDirectory(name);
        EXPECT_EQ(path, test.stem);
        EXPECT_EQ(extension, test.extension);
        EXPECT_EQ(name, test.name);
    }
}

TEST(FileNames, ModuleDirectoryHoldsThisExecutable) {
    std::string directory;
    getModuleDirectory(directory);
    EXPECT_EQ(directory[0], '/');
    EXPECT_TRUE(std::filesystem::is_regular_file(directory + "imageio_tests")) << directory;
}

TEST(FileNames, SortsByteWiseAndLogsEveryComparison) {
    MessageCapture capture;
    Names items = {"b.jpg", "a.jpg", "\xC3\xA9.jpg", "Z.jpg", "A.jpg", "keep"};
    sortStringArray(items, 5);
    EXPECT_EQ(items, (Names{"A.jpg", "Z.jpg", "a.jpg", "b.jpg", "\xC3\xA9.jpg", "keep"}));
    const Names& lines = capture.diagnostics();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "In sortStringArray\n");
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind("Comparing: ", 0), 0u) << lines[i];

    for (int count : {-1, 0, 1}) {
        capture.clear();
        sortStringArray(items, count);
        EXPECT_EQ(capture.diagnostics(), Names{"In sortStringArray\n"});
    }

    // The sort above already shows the order; here equality and the exact log line.
    capture.clear();
    EXPECT_EQ(compareStrings("same", "same"), 0);
    EXPECT_EQ(capture.diagnostics(), Names{"Comparing: same | same\n"});
}

}  // namespace
