// The main window as the user meets it: start-up values, the settings file, keys, drops,
// closing, and where an installation keeps its files.
#include <gtest/gtest.h>
#include <signal.h>

#include "imageio/filenames.h"
#include "window_fixture.h"

namespace {

using MainWindowTest = WindowTest;

// The one checked blend mode's id; 0 for none, -1 for several.
int checkedMode() {
    int checked = 0;
    for (int id : {IDC_MODE_STACK, IDC_MODE_AVERAGE, IDC_MODE_MIX, IDC_MODE_BRIGHTEN}) {
        if (isDlgButtonChecked(mainWindow, id))
            checked = checked == 0 ? id : -1;
    }
    return checked;
}

// Start-up shows the defaults or the settings file's values; Enter and Escape leave the window
// open; closing it (box or Exit) saves what it shows.
TEST_F(MainWindowTest, StartUpShowsSettingsAndClosingSavesThem) {
    struct Case {
        const char* file;  // nullptr: none
        int shownMode;
        const char* shownDivisor;
        int click;          // 0: none
        const char* typed;  // nullptr: the divisor as shown
        bool exit;          // the menu's Exit, else the close box
        const char* saved;
    };
    const Case cases[] = {
        {nullptr, IDC_MODE_STACK, "1.000000", IDC_MODE_AVERAGE, "", false,
         "Divisor=0.000000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=1\n"},
        {"[General]\ncombine_mode=4\nDivisor=2.5\n", 0, "2.500000", 0, nullptr, true,
         "Divisor=2.500000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=0\n"},
        {"[General]\ncombine_mode=3\n", IDC_MODE_BRIGHTEN, "1.000000", IDC_MODE_MIX, "3.5abc",
         false,
         "Divisor=3.500000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.saved);
        std::filesystem::remove(path("quorvane.ini"));
        if (c.file != nullptr)
            std::ofstream(path("quorvane.ini")) << c.file;
        ASSERT_TRUE(open());
        EXPECT_EQ(checkedMode(), c.shownMode);
        EXPECT_EQ(text(IDC_DIVISOR), c.shownDivisor);
        EXPECT_EQ(text(IDC_OUTPUT_NAME), dir + "/combined.jpg");
        EXPECT_EQ(text(IDC_COUNT_LABEL) + std::to_string(listCount(listView)), "0");
        if (c.click != 0)
            simulateClick(mainWindow, c.click);
        if (c.typed != nullptr)
            simulateTyping(mainWindow, IDC_DIVISOR, c.typed);
        setFocusTo(mainWindow, IDC_DIVISOR);
        simulateKey(mainWindow, kKeyEnter);
        simulateKey(mainWindow, kKeyEscape);
        ASSERT_NE(mainWindow, nullptr) << "Enter or Escape closed the window";
        if (c.exit)
            command(IDM_EXIT);
        else
            simulateClose(mainWindow);
        EXPECT_EQ(mainWindow, nullptr);
        EXPECT_NE(savedSettings().find(c.saved), std::string::npos) << savedSettings();
    }
    EXPECT_TRUE(boxes.empty());
    // A reader of standard output that goes away must not end the program.
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST_F(MainWindowTest, DropsInsideTheOutputFrameNameTheOutput) {
    ASSERT_TRUE(open());
    drop(IDC_LIST_FILES, {"https://example.org/x.jpg"});  // nothing local: no drop at all
    for (int target : {IDC_OUTPUT_FRAME, IDC_OUTPUT_NAME, IDC_BROWSE_OUTPUT, IDC_LIST_FILES,
                       IDC_BLEND_FRAME, IDC_START}) {
        SCOPED_TRACE(target);
        const bool namesOutput =
            target == IDC_OUTPUT_FRAME || target == IDC_OUTPUT_NAME || target == IDC_BROWSE_OUTPUT;
        command(IDM_REMOVE_ALL);
        setDlgItemText(mainWindow, IDC_OUTPUT_NAME, "/before.jpg");
        // Only local files arrive; a remote one is left out.
        drop(target, {"/d/c.jpg", "https://example.org/x.jpg", "/d/a.jpg", "/d/b.bmp"});
        EXPECT_EQ(text(IDC_OUTPUT_NAME), namesOutput ? "/d/c.jpg" : "/d/a_c.jpg");
        const std::vector<std::string> listed{"/d/a.jpg", "/d/b.bmp", "/d/c.jpg"};
        EXPECT_EQ(entries(), namesOutput ? std::vector<std::string>{} : listed);
        EXPECT_EQ(text(IDC_COUNT_LABEL), namesOutput ? "0 images loaded" : "3 images loaded");
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, PortableFolderOrPerUserFolders) {
    setSettingsDirectory("");
    std::string moduleDirectory;
    getModuleDirectory(moduleDirectory);
    // A writable program folder keeps everything beside the program.
    EXPECT_EQ(chooseUserFolders(dir + "/", dir), dir + "/");
    buildSettingsPath(kSettingsFileName);
    EXPECT_EQ(settingsPath(), moduleDirectory + "quorvane.ini");
    // One that cannot be written (here: missing) sends the settings to the configuration
    // folder and the output to Pictures, or home without one.
    EXPECT_EQ(chooseUserFolders(dir + "/usr-share/", dir), dir + "/");
    buildSettingsPath(kSettingsFileName);
    EXPECT_EQ(settingsPath(), dir + "/.config/quorvane/quorvane.ini");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/.config/quorvane"));
    std::filesystem::create_directory(dir + "/Pictures");
    EXPECT_EQ(chooseUserFolders(dir + "/usr-share/", dir + "/"), dir + "/Pictures/");
}

}  // namespace
