// The main window as the user meets it: start-up values, the settings file, keys, drops, the
// list's right click, closing, and where an installation keeps its files.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "imageio/filenames.h"
#include "settings/settings.h"
#include "ui/mainwindow.h"
#include "ui/processing.h"
#include "ui/ui.h"

namespace {

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = ::testing::TempDir() + "mainwindowXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        setSettingsDirectory(dir);
        installDesktopMessageSink();
        getModuleDirectory(moduleDirectory);
        PlatformHooks hooks;
        hooks.messageBox = [this](Window*, const std::string& text, const std::string&, unsigned) {
            boxes.push_back(text);
            return static_cast<int>(IDOK);
        };
        hooks.popupMenu = [this](Window* owner, int menuId, int index) {
            popups += owner == mainWindow && menuId == IDM_MAIN && index == 0 ? 1 : 100;
        };
        setPlatformHooks(hooks);
    }
    void TearDown() override {
        if (mainWindow != nullptr)
            simulateClose(mainWindow);
        setPlatformHooks({});
        setSettingsDirectory("");
        installMessageSink(nullptr);
        std::filesystem::remove_all(dir);
    }

    std::string ini() const { return dir + "/quorvane.ini"; }
    std::string text(int id) const { return getDlgItemText(mainWindow, id, 1023); }
    // The one checked blend mode's id; 0 for none, -1 for several.
    int checkedMode() const {
        int checked = 0;
        for (int id : {IDC_MODE_STACK, IDC_MODE_AVERAGE, IDC_MODE_MIX, IDC_MODE_BRIGHTEN}) {
            if (isDlgButtonChecked(mainWindow, id))
                checked = checked == 0 ? id : -1;
        }
        return checked;
    }

    std::string dir;
    std::string moduleDirectory;
    std::vector<std::string> boxes;
    int popups = 0;
};

TEST_F(MainWindowTest, StartUpShowsDefaults) {
    ASSERT_NE(openMainWindow(moduleDirectory), nullptr);
    EXPECT_EQ(text(IDC_DIVISOR), "1.000000");
    EXPECT_EQ(checkedMode(), IDC_MODE_STACK);
    EXPECT_EQ(text(IDC_OUTPUT_NAME), moduleDirectory + "combined.jpg");
    EXPECT_EQ(text(IDC_OUTPUT_NAME).front(), '/');
    EXPECT_EQ(text(IDC_COUNT_LABEL), "");
    EXPECT_EQ(listCount(listView), 0);
    // A reader of standard output that goes away must not end the program.
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}

TEST_F(MainWindowTest, SettingsFileShownAndWindowValuesSavedOnClose) {
    struct Case {
        const char* file;  // nullptr: none
        int shownMode;
        const char* shownDivisor;
        int click;          // 0: none
        const char* typed;  // nullptr: the divisor as shown
        const char* saved;
    };
    const Case cases[] = {
        {"[General]\ncombine_mode=4\nDivisor=2.5\n", 0, "2.500000", 0, nullptr,
         "Divisor=2.500000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=0\n"},
        {"[General]\ncombine_mode=3\n", IDC_MODE_BRIGHTEN, "1.000000", IDC_MODE_MIX, "3.5abc",
         "Divisor=3.500000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=2\n"},
        {nullptr, IDC_MODE_STACK, "1.000000", IDC_MODE_AVERAGE, "",
         "Divisor=0.000000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.saved);
        std::filesystem::remove(ini());
        if (c.file != nullptr)
            std::ofstream(ini()) << c.file;
        ASSERT_NE(openMainWindow(moduleDirectory), nullptr);
        EXPECT_EQ(checkedMode(), c.shownMode);
        EXPECT_EQ(text(IDC_DIVISOR), c.shownDivisor);
        if (c.click != 0)
            simulateClick(mainWindow, c.click);
        if (c.typed != nullptr)
            simulateTyping(mainWindow, IDC_DIVISOR, c.typed);
        simulateClose(mainWindow);
        EXPECT_EQ(mainWindow, nullptr);
        std::stringstream saved;
        saved << std::ifstream(ini()).rdbuf();
        EXPECT_NE(saved.str().find(c.saved), std::string::npos) << saved.str();
    }
}

TEST_F(MainWindowTest, KeysAndListClicksDoNotCloseButExitDoes) {
    ASSERT_NE(openMainWindow(moduleDirectory), nullptr);
    // A focused push button is what Enter presses; from an edit it is command 1.
    setFocusTo(mainWindow, IDC_DIVISOR);
    simulateKey(mainWindow, kKeyEnter);
    simulateKey(mainWindow, kKeyEscape);
    simulateListNotify(mainWindow, IDC_LIST_FILES, NM_RCLICK);
    simulateListNotify(mainWindow, IDC_LIST_FILES, NM_DBLCLK);
    EXPECT_EQ(popups, 1);
    EXPECT_EQ(boxes, std::vector<std::string>{"No image is currently selected"});
    ASSERT_EQ(activeDialog(), mainWindow);
    EXPECT_FALSE(std::filesystem::exists(ini()));

    sendMessage(mainWindow, WM_COMMAND, makeCommand(IDM_EXIT, 0), 0);
    EXPECT_EQ(mainWindow, nullptr);
    EXPECT_TRUE(std::filesystem::exists(ini()));
}

TEST_F(MainWindowTest, DropsInsideTheOutputFrameNameTheOutput) {
    const int targets[] = {IDC_OUTPUT_FRAME, IDC_OUTPUT_NAME, IDC_BROWSE_OUTPUT,
                           IDC_LIST_FILES,   IDC_BLEND_FRAME, IDC_START};
    ASSERT_NE(openMainWindow(moduleDirectory), nullptr);
    for (int target : targets) {
        SCOPED_TRACE(target);
        const bool namesOutput =
            target == IDC_OUTPUT_FRAME || target == IDC_OUTPUT_NAME || target == IDC_BROWSE_OUTPUT;
        sendMessage(mainWindow, WM_COMMAND, makeCommand(IDM_REMOVE_ALL, 0), 0);
        int x = 0;
        int y = 0;
        controlCenter(mainWindow, target, x, y);
        simulateDrop(mainWindow, {"/d/c.jpg", "/d/a.jpg", "/d/b.bmp"}, x, y);
        EXPECT_EQ(text(IDC_OUTPUT_NAME), namesOutput ? "/d/c.jpg" : "/d/a_c.jpg");
        EXPECT_EQ(listCount(listView), namesOutput ? 0 : 3);
        if (!namesOutput) {
            EXPECT_EQ(listItemText(listView, 0, 0, 511), "/d/a.jpg");
            EXPECT_EQ(text(IDC_COUNT_LABEL), "3 images loaded");
        }
        setDlgItemText(mainWindow, IDC_OUTPUT_NAME, "/before.jpg");
    }
    EXPECT_TRUE(boxes.empty());
}

TEST(UserFolders, PortableFolderOrPerUserFolders) {
    std::string home = ::testing::TempDir() + "homeXXXXXX";
    ASSERT_NE(mkdtemp(home.data()), nullptr);
    std::string moduleDirectory;
    getModuleDirectory(moduleDirectory);

    // A writable program folder keeps everything beside the program.
    EXPECT_EQ(chooseUserFolders(home + "/", home), home + "/");
    buildSettingsPath(kSettingsFileName);
    EXPECT_EQ(settingsPath(), moduleDirectory + "quorvane.ini");

    // One that cannot be written (here: missing) sends the settings to the configuration
    // folder and the output to Pictures, or home without one.
    const std::string system = home + "/usr-share/";
    EXPECT_EQ(chooseUserFolders(system, home), home + "/");
    buildSettingsPath(kSettingsFileName);
    EXPECT_EQ(settingsPath(), home + "/.config/quorvane/quorvane.ini");
    EXPECT_TRUE(std::filesystem::is_directory(home + "/.config/quorvane"));
    std::filesystem::create_directory(home + "/Pictures");
    EXPECT_EQ(chooseUserFolders(system, home + "/"), home + "/Pictures/");

    setSettingsDirectory("");
    std::filesystem::remove_all(home);
}

}  // namespace
