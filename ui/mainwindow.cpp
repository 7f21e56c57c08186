#include "ui/mainwindow.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "engine/options.h"
#include "settings/settings.h"
#include "ui/dialogs.h"
#include "ui/inputlist.h"
#include "ui/preview.h"
#include "ui/processing.h"
#include "ui/ui.h"

Window* mainWindow = nullptr;
Window* listView = nullptr;

namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void initDialog(Window* window) {
    uiLog("In INIT_DIALOG");
    setDialogIcon(window, IDI_MAIN);
    mainWindow = window;
    listView = getDlgItem(window, IDC_LIST_FILES);
    setupListColumns(listView);
    std::string outputName;
    double divisor = 0.0;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        outputName = programOptions.outputName;
        divisor = programOptions.Divisor;
    }
    setDlgItemText(window, IDC_OUTPUT_NAME, outputName);
    char text[64];
    std::snprintf(text, sizeof text, "%2.3f", divisor);
    setDlgItemText(window, IDC_DIVISOR, text);
    checkDlgButton(window, IDC_MODE_STACK, true);
    showControl(listView, true);
    // A check item, checked while the Preview window shows.
    checkMenuItem(window, IDM_PREVIEW, false);
}

int autosuggestSetting() {
    std::lock_guard<std::mutex> lock(optionsMutex);
    return programOptions.autosuggest_output_name;
}

void sendCommand(Window* window, int id) {
    sendMessage(window, WM_COMMAND, makeCommand(id, BN_CLICKED), 0);
}

void handleNotify(Window* window, uintptr_t wParam, const NotifyHeader* header) {
    uiLog("WM_notify: idCtrl=%d   pnmhdr: %p  code:%ld\n", static_cast<int>(wParam),
          static_cast<const void*>(header), static_cast<long>(header->code));
    if (header->idFrom == IDC_LIST_FILES && header->code == NM_RCLICK)
        trackPopupMenu(window, IDM_MAIN, 0);
    if (header->idFrom == IDC_LIST_FILES && header->code == NM_DBLCLK)
        sendCommand(window, IDM_VIEW_SELECTED);
}

void handleDrop(Window* window, const DropInfo& drop) {
    uiLog("%d files dropped...\n", static_cast<int>(drop.files.size()));
    // The frame precedes the output edit and the Browse button in hit-test order, so a drop
    // anywhere inside it lands here.
    Window* child = childWindowFromPoint(window, drop.x, drop.y);
    if (child != nullptr && getDlgCtrlId(child) == IDC_OUTPUT_FRAME) {
        if (!drop.files.empty())
            setDlgItemText(window, IDC_OUTPUT_NAME, limitPath(drop.files.front(), kPathMax));
        return;
    }
    // Nothing added (only files that are not images): the status line has said so already.
    if (addDroppedFiles(drop) > 0 && autosuggestSetting() == 1)
        sendCommand(window, IDM_SUGGEST_NAME);
}

void handleCommand(uintptr_t wParam) {
    switch (commandId(wParam)) {
        case IDC_START:
        case IDM_START:
            startProcessing(mainWindow);
            break;
        case IDC_STOP:
        case IDM_STOP:
            stopProcessing();
            break;
        case IDC_ADD_IMAGES:
        case IDM_ADD_IMAGES:
            if (browseInputFiles(mainWindow) == 1 && autosuggestSetting() != 0)
                sendCommand(mainWindow, IDM_SUGGEST_NAME);
            break;
        case IDC_REMOVE_SELECTED:
        case IDM_REMOVE_SELECTED:
            removeSelectedEntries();
            break;
        case IDC_BROWSE_OUTPUT:
            browseOutputFile(mainWindow);
            break;
        case IDM_REMOVE_ALL:
            listDeleteAll(listView);
            updateImageCountLabel();
            break;
        case IDM_VIEW_SELECTED:
            viewSelectedImage(mainWindow);
            break;
        case IDM_SUGGEST_NAME:
            suggestOutputName(mainWindow);
            break;
        case IDM_EXIT:
            sendMessage(mainWindow, WM_CLOSE, 0, 0);
            break;
        case IDM_NOISE_REDUCTION:
            dialogBox(IDD_NOISE_REDUCTION, mainWindow, noiseReductionDialogProc);
            break;
        case IDM_OPTIONS:
            dialogBox(IDD_OPTIONS, mainWindow, optionsDialogProc);
            break;
        case IDM_OUTPUT_OPTIONS:
            dialogBox(IDD_OUTPUT_OPTIONS, mainWindow, outputOptionsDialogProc);
            break;
        case IDM_STAR_TRAILS:
            dialogBox(IDD_STAR_TRAILS, mainWindow, starTrailsDialogProc);
            break;
        case IDM_PREVIEW:
            showPreviewWindow(!previewWindowShown());
            break;
        case IDM_PREVIEW_ON_START: {
            int show = 0;
            {
                std::lock_guard<std::mutex> lock(optionsMutex);
                show = programOptions.showPreview = programOptions.showPreview != 0 ? 0 : 1;
            }
            checkMenuItem(mainWindow, IDM_PREVIEW_ON_START, show != 0);
            break;
        }
        case IDM_HELP:
            showHelp();
            break;
        case IDM_ABOUT:
            showAbout(mainWindow);
            break;
        default:
            uiLog("WM_COMMAND received: HIWORD | LOWORD = %d | %d\n", commandCode(wParam),
                  commandId(wParam));
            break;
    }
}

void closeMainWindow(Window* window) {
    // A second close while the first waits for the run is the same request.
    static bool closingNow = false;
    if (closingNow)
        return;
    closingNow = true;
    uiLog("Closing dialog...\n");
    if (busy.load() != 0 || runThreadsActive() > 0) {
        // The run ends at its next check and writes nothing; one already writing finishes.
        // Boxes it shows meanwhile stay answerable.
        setShuttingDown(true);
        if (busy.load() != 0)
            stopRequest.store(1);
        while (busy.load() != 0 || runThreadsActive() > 0)
            processEvents(10);
    }
    closePreviewWindow();
    readControlsIntoOptions(window);
    saveSettings();
    destroyWindow(window);
    mainWindow = nullptr;
    listView = nullptr;
    setShuttingDown(false);
    closingNow = false;
}

}  // namespace

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string chooseUserFolders(const std::string& moduleDirectory, const std::string& home) {
    // A program installed for the whole system keeps nothing beside itself, even when the
    // administrator could write there.
    const bool systemFolder = moduleDirectory.rfind("/usr/", 0) == 0;
    if (!moduleDirectory.empty() && !systemFolder && ::access(moduleDirectory.c_str(), W_OK) == 0)
        return moduleDirectory;
    if (home.empty())
        return moduleDirectory;
    std::string base = home;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base == "/")
        base.clear();
    const std::string config = base + "/.config";
    ::mkdir(config.c_str(), 0700);
    ::mkdir((config + "/quorvane").c_str(), 0700);
    setSettingsDirectory(config + "/quorvane/");
    const std::string pictures = base + "/Pictures";
    return isDirectory(pictures) ? pictures + "/" : base + "/";
}

void makeOutputNameAbsolute(const std::string& directory) {
    std::lock_guard<std::mutex> lock(optionsMutex);
    programOptions.outputName = limitPath(directory + programOptions.outputName, kOutputNameMax);
}

Window* openMainWindow(const std::string& outputDirectory) {
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        setDefaultOptions(programOptions);
    }
    makeOutputNameAbsolute(outputDirectory);
    mainWindow = createDialog(IDD_MAIN, nullptr, mainWindowProc);
    if (mainWindow == nullptr)
        return nullptr;
    loadSettings();
    ProgramOptions loaded;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        loaded = programOptions;
    }
    applyOptionsToControls(mainWindow, loaded);
    return mainWindow;
}

void applyOptionsToControls(Window* window, const ProgramOptions& options) {
    char text[512];
    std::snprintf(text, sizeof text, "%lf", options.Divisor);
    setDlgItemText(window, IDC_DIVISOR, text);
    uiLog("Setting combine mode: %d", options.combine_mode);
    checkDlgButton(window, IDC_MODE_AVERAGE, options.combine_mode == MODE_AVERAGE);
    checkDlgButton(window, IDC_MODE_MIX, options.combine_mode == MODE_MIX);
    checkDlgButton(window, IDC_MODE_BRIGHTEN, options.combine_mode == MODE_BRIGHTEN);
    checkDlgButton(window, IDC_MODE_STACK, options.combine_mode == MODE_STACK);
    checkMenuItem(window, IDM_PREVIEW_ON_START, options.showPreview != 0);
}

void readControlsIntoOptions(Window* window) {
    const std::string outputName = getDlgItemText(window, IDC_OUTPUT_NAME, kPathMax);
    const std::string divisorText = getDlgItemText(window, IDC_DIVISOR, kPathMax);
    // The process keeps LC_NUMERIC at "C", so this reads a full stop whatever the locale.
    const double divisor = std::strtod(divisorText.c_str(), nullptr);
    CombineMode mode = MODE_STACK;
    if (isDlgButtonChecked(window, IDC_MODE_AVERAGE))
        mode = MODE_AVERAGE;
    else if (isDlgButtonChecked(window, IDC_MODE_STACK))
        mode = MODE_STACK;
    else if (isDlgButtonChecked(window, IDC_MODE_MIX))
        mode = MODE_MIX;
    else if (isDlgButtonChecked(window, IDC_MODE_BRIGHTEN))
        mode = MODE_BRIGHTEN;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        programOptions.outputName = outputName;
        programOptions.Divisor = divisor;
        programOptions.combine_mode = mode;
    }
    buildInputFileList();
    ProgramOptions listed;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        listed = programOptions;
    }
    dumpOptions(listed);
}

intptr_t mainWindowProc(Window* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
        case WM_INITDIALOG:
            initDialog(window);
            return 1;
        case WM_NOTIFY:
            handleNotify(window, wParam, reinterpret_cast<const NotifyHeader*>(lParam));
            return 1;
        case WM_DROPFILES:
            handleDrop(window, *reinterpret_cast<const DropInfo*>(wParam));
            return 1;
        case WM_COMMAND:
            handleCommand(wParam);
            return 1;
        case WM_LBUTTONDBLCLK:
            uiLog("Double click");
            return 1;
        case WM_RBUTTONDOWN:
            return 1;
        case WM_CLOSE:
            closeMainWindow(window);
            return 1;
        case WM_DESTROY:
            postQuitMessage(0);
            return 1;
        default:
            return 0;
    }
}
