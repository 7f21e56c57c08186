// Help and About: the page beside the executable, the built-in text, the About box.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "imageio/filenames.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

namespace {

namespace fs = std::filesystem;

struct Box {
    Window* owner;
    std::string text, caption;
    unsigned flags;
};

class HelpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PlatformHooks hooks;
        hooks.messageBox = [this](Window* owner, const std::string& text,
                                  const std::string& caption, unsigned flags) {
            boxes.push_back({owner, text, caption, flags});
            return IDOK;
        };
        hooks.shellOpen = [this](const std::string& path) {
            opened.push_back(path);
            return 42;
        };
        setPlatformHooks(hooks);
    }
    void TearDown() override { setPlatformHooks({}); }

    std::vector<Box> boxes;
    std::vector<std::string> opened;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\n')
            lines.emplace_back();
        else
            lines.back() += c;
    }
    return lines;
}

// Name, maker line and address, each centred with spaces in its width.
void expectBanner(const std::vector<std::string>& lines) {
    const std::size_t widths[] = {73, 73, 74};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string& line = lines[i];
        const std::size_t left = line.find_first_not_of(' ');
        const std::size_t right = line.size() - 1 - line.find_last_not_of(' ');
        EXPECT_EQ(line.size(), widths[i]) << line;
        EXPECT_TRUE(left == right || left + 1 == right) << line;
    }
    EXPECT_EQ(lines[0].find("Quorvane"), (73u - 8u) / 2);
    EXPECT_NE(lines[2].find("(https://quorvane.example.org/)"), std::string::npos);
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
    EXPECT_EQ(boxes[0].text, boxes[1].text);
    EXPECT_EQ(boxes[1].caption, "Help");
    EXPECT_EQ(boxes[1].flags, MB_ICONINFORMATION);
    EXPECT_EQ(boxes[1].owner, nullptr);

    const std::vector<std::string> lines = splitLines(boxes[1].text);
    ASSERT_GE(lines.size(), 3u);
    expectBanner(lines);
    const std::vector<std::string> help = {
        "",
        "",
        "Quorvane combines multiple digital images into a single image.  It does this ",
        "by combining corresponding pixels in each image together using one of these ",
        "blending modes:",
        "",
        "1. Stack.  Adds the value of pixels together.  This is useful for ",
        "synthesizing very long exposures, or to increase the brightness of individual ",
        "images.",
        "2. Average.  Averages the value of pixels.  This is most useful for reducing ",
        "noise in digital images, by averaging random fluctuations.",
        "3. Brighten.  This mode uses the value of the brightest pixel from each source ",
        "image.  This is useful for stacking images without increasing the overall ",
        "intensity of the image.  Veru useful for taking pictures of star trails in ",
        "light-polluted areas.",
        "4. Stack/Average Mix.  A combination of stacking and blending.  Using a divisor ",
        "of 1.0 is equivalent to the \"Stack\" Mode.  Using a divisor equal to the number ",
        "of input images is equivalent to the \"Average\" mode.  Useful for stacking ",
        "images and reducing noise simultaneously.",
        "",
        "Notes: All images must have exactly the same dimensions in order to be ",
        "combined.  Quorvane reads and writes JPEG, BMP and TIFF files.  Use a ",
        "file extenstion of \"jpg\", \"bmp\" or \"tif\" to specify an output format.",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), help);
}

TEST_F(HelpTest, AboutShowsBannerAndVersion) {
    Window* owner = createDialog(IDD_NOISE_REDUCTION, nullptr, noiseReductionDialogProc);
    ASSERT_NE(owner, nullptr);
    showAbout(owner);
    destroyWindow(owner);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].caption, "About");
    EXPECT_EQ(boxes[0].flags, MB_ICONINFORMATION);
    const std::vector<std::string> lines = splitLines(boxes[0].text);
    ASSERT_GE(lines.size(), 3u);
    expectBanner(lines);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
              (std::vector<std::string>{"", std::string(28, ' ') + "Version:1.03"}));
}

}  // namespace
