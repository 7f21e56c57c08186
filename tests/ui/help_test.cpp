// Help and About: the page beside the executable, the built-in text, the About box.
#include <gtest/gtest.h>

#include <algorithm>

#include "imageio/filenames.h"
#include "ui/dialogs.h"
#include "window_fixture.h"

namespace {

namespace fs = std::filesystem;

using HelpTest = WindowTest;

// Name, maker line and address, each centred with spaces in its width (73, 73, 74); returns
// what follows them.
std::string afterBanner(const std::string& text) {
    std::size_t start = 0;
    for (std::size_t width : {73u, 73u, 74u}) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        const std::size_t left = line.find_first_not_of(' ');
        const std::size_t right = line.size() - 1 - line.find_last_not_of(' ');
        EXPECT_EQ(line.size(), width) << line;
        EXPECT_TRUE(left == right || left + 1 == right) << line;
        start = end == std::string::npos ? text.size() : end + 1;
    }
    EXPECT_EQ(text.find("Quorvane"), (73u - 8u) / 2);
    EXPECT_NE(text.find("(https://quorvane.example.org/)"), std::string::npos);
    return text.substr(start);
}

TEST_F(HelpTest, PageBesideTheExecutableOrBuiltInText) {
    std::string directory;
    getModuleDirectory(directory);
    const fs::path helpDir = fs::path(directory) / "help";
    const fs::path page = helpDir / "quorvane_help.htm";
    if (directory.empty() || fs::exists(page))
        GTEST_SKIP() << "no place for a test page";
    const bool madeDir = fs::create_directories(helpDir);
    const fs::path oldCwd = fs::current_path();

    // Present: handed to the shell without a box, also from another current directory.
    std::ofstream(page) << "<html></html>\n";
    fs::current_path(fs::temp_directory_path());
    showHelp();
    fs::current_path(oldCwd);
    EXPECT_EQ(opened, std::vector<std::string>{page.string()});
    EXPECT_TRUE(boxes.empty());

    // A directory of that name is not the page; then nothing at all.
    fs::remove(page);
    fs::create_directory(page);
    showHelp();
    fs::remove(page);
    if (madeDir)
        fs::remove(helpDir);
    showHelp();
    EXPECT_EQ(opened.size(), 1u);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], boxes[1]);
    ASSERT_TRUE(boxes[1].starts_with("Help: ")) << boxes[1];
    const std::string help = afterBanner(boxes[1].substr(6));
    EXPECT_TRUE(help.starts_with(
        "\n\nQuorvane combines multiple digital images into a single image.  It does this \n"))
        << help;
    // The wording is the program's own, spelling slips included.
    EXPECT_NE(help.find("\nintensity of the image.  Veru useful for taking pictures of star "
                        "trails in \n"),
              std::string::npos);
    EXPECT_TRUE(help.ends_with(
        "\nfile extenstion of \"jpg\", \"bmp\" or \"tif\" to specify an output format."));
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 22);
}

TEST_F(HelpTest, AboutShowsBannerAndVersion) {
    ASSERT_TRUE(open());
    command(IDM_ABOUT);
    ASSERT_EQ(boxes.size(), 1u);
    ASSERT_TRUE(boxes[0].starts_with("About: ")) << boxes[0];
    EXPECT_EQ(afterBanner(boxes[0].substr(7)), "\n" + std::string(28, ' ') + "Version:1.03");
}

}  // namespace
