// What the window tests share: the toolkit's application object, settings in a temporary
// folder, the desktop's message sink, and hooks that answer and record message boxes, file
// dialogs, shell calls and popup menus.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/options.h"
#include "imageio/imageio.h"
#include "settings/settings.h"
#include "ui/drivers.h"
#include "ui/mainwindow.h"
#include "ui/processing.h"
#include "ui/ui.h"

using Strings = std::vector<std::string>;

// One application object per test process, made before the first test.
struct ApplicationEnvironment : ::testing::Environment {
    void SetUp() override {
        static int argc = 1;
        static char name[] = "ui_tests", *argv[] = {name, nullptr};
        platformInit(argc, argv);
    }
};
inline auto* const applicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

// Keeps the interface running until done() holds; false when that took longer than seconds.
template <typename Done>
bool pumpUntil(Done done, int seconds = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (; !done(); processEvents(5))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

// The checked blend mode buttons of the main window.
inline std::vector<int> checkedModes() {
    std::vector<int> ids;
    for (int id : {IDC_MODE_STACK, IDC_MODE_AVERAGE, IDC_MODE_MIX, IDC_MODE_BRIGHTEN})
        if (isDlgButtonChecked(mainWindow, id))
            ids.push_back(id);
    return ids;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = ::testing::TempDir() + "windowXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        setSettingsDirectory(dir);
        installImageFileHandlers();
        installDesktopMessageSink();
        lastFileLocation.clear();
        setDefaultOptions(programOptions);
        PlatformHooks hooks;
        hooks.messageBox = [this](Window*, const std::string& text, const std::string& caption,
                                  unsigned) {
            boxes.push_back(caption + ": " + text);
            if (onBox)
                onBox(text);
            return static_cast<int>(IDOK);
        };
        hooks.fileDialog = [this](const FileDialogRequest& request, std::string& selection) {
            requests.push_back(request);
            if (answers.empty())
                return false;
            selection = answers.front();
            answers.erase(answers.begin());
            return true;
        };
        hooks.shellOpen = [this](const std::string& file) {
            opened.push_back(file);
            return shellResult;
        };
        hooks.popupMenu = [this](Window* owner, int menuId, int index) {
            popups += owner == mainWindow && menuId == IDM_MAIN && index == 0 ? 1 : 100;
        };
        setPlatformHooks(hooks);
    }
    void TearDown() override {
        EXPECT_TRUE(waitForRunEnd());
        if (mainWindow != nullptr)
            simulateClose(mainWindow);
        setPlatformHooks({});
        setSettingsDirectory("");
        installMessageSink(nullptr);
        std::filesystem::remove_all(dir);
    }

    // The main window with its default output in the temporary folder.
    Window* open() { return openMainWindow(dir + "/"); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string text(int id) const { return getDlgItemText(mainWindow, id, 1023); }
    void command(int id) { sendMessage(mainWindow, WM_COMMAND, makeCommand(id, 0), 0); }
    void drop(int target, const Strings& files) {
        const QPoint at = platform_detail::findControl(mainWindow, target)->rect.center();
        simulateDrop(mainWindow, files, at.x(), at.y());
    }
    Strings entries() const {
        Strings result;
        for (int i = 0; i < listCount(listView); ++i)
            result.push_back(listItemText(listView, i, 0, 511));
        return result;
    }
    std::string savedSettings() const {
        return (std::stringstream() << std::ifstream(path("quorvane.ini")).rdbuf()).str();
    }
    // The run and both its threads have ended (within a minute).
    bool waitForRunEnd() {
        return pumpUntil([] { return busy.load() == 0 && runThreadsActive() == 0; }, 60);
    }

    std::string dir;
    Strings boxes;  // "caption: text"
    std::function<void(const std::string&)> onBox;
    std::vector<FileDialogRequest> requests;
    Strings answers;  // selections the file dialog gives, in turn; then cancel
    Strings opened;
    int shellResult = 42;
    int popups = 0;  // popup 0 of the main menu over the main window counts 1, others 100
};
