#include "imageio/filenames.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/capture.h"

namespace {

TEST(FileNames, SplitExtensionAndStripDirectory) {
    const struct {
        const char* path;
        const char* stem;
        const char* extension;
    } splits[] = {
        {"/a/photo.jpg", "/a/photo", "jpg"},
        {"/a/photo.tar.jpg", "/a/photo.tar", "jpg"},
        {"/a/photo", "/a/photo", "keep"},
        {"/a.b/photo", "/a", "b/photo"},
        {"photo.", "photo", ""},
    };
    for (const auto& test : splits) {
        std::string path = test.path;
        std::string extension = "keep";
        splitExtension(path, extension);
        EXPECT_EQ(path, test.stem);
        EXPECT_EQ(extension, test.extension);
    }

    const struct {
        const char* path;
        const char* name;
    } strips[] = {{"/a/b/photo.jpg", "photo.jpg"}, {"photo.jpg", "photo.jpg"}, {"/a/b/", ""}};
    for (const auto& test : strips) {
        std::string path = test.path;
        stripDirectory(path);
        EXPECT_EQ(path, test.name);
    }
}

TEST(FileNames, ModuleDirectoryIsAnExistingDirectory) {
    std::string directory;
    getModuleDirectory(directory);
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.front(), '/');
    EXPECT_EQ(directory.back(), '/');
    struct stat info {};
    ASSERT_EQ(stat(directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(FileNames, SortsByteWiseAndLogsEveryComparison) {
    MessageCapture capture;
    std::vector<std::string> items = {"b.jpg", "a.jpg", "\xC3\xA9.jpg", "Z.jpg", "A.jpg", "keep"};
    sortStringArray(items, 5);
    EXPECT_EQ(items, (std::vector<std::string>{"A.jpg", "Z.jpg", "a.jpg", "b.jpg", "\xC3\xA9.jpg",
                                               "keep"}));
    const auto& lines = capture.diagnostics();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "In sortStringArray\n");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("Comparing: ", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find(" | "), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].find("keep"), std::string::npos) << "sorted past count";
    }

    for (int count : {0, 1}) {
        capture.clear();
        sortStringArray(items, count);
        EXPECT_EQ(capture.diagnostics(), std::vector<std::string>{"In sortStringArray\n"});
    }

    capture.clear();
    EXPECT_LT(compareStrings("Z.jpg", "a.jpg"), 0);
    EXPECT_GT(compareStrings("\xC3\xA9", "z"), 0);
    EXPECT_EQ(compareStrings("same", "same"), 0);
    EXPECT_EQ(capture.diagnostics().front(), "Comparing: Z.jpg | a.jpg\n");
}

}  // namespace
