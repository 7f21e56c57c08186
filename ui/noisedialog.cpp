// The Noise Reduction dialog (template 400): dark-frame subtraction on or off, the dark-frame
// file and its opacity. Nothing is checked here; the stack run reports an unusable dark frame
// when it loads it.
#include <cmath>
#include <cstddef>
#include <mutex>
#include <string>

#include "engine/options.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

void initNoiseReductionDialog(Window* dialog);
int readNoiseReductionDialog(Window* dialog, ProgramOptions& scratch);
void applyNoiseReductionDialog(const ProgramOptions& scratch);
int updateOpacityLabel(Window* dialog);
void browseDarkFrame(Window* dialog);

namespace {

enum : int {
    IDC_DARK_FRAME_FILE = 401,
    IDC_NOISE_OK = 402,
    IDC_NOISE_CANCEL = 403,
    IDC_BROWSE_DARK_FRAME = 404,
    IDC_OPACITY = 405,
    IDC_NOISE_TEXT = 406,
    IDC_DARK_FRAME_FRAME = 407,
    IDC_OPACITY_MIN_MARK = 410,
    IDC_OPACITY_MAX_MARK = 411,
    IDC_OPACITY_LABEL = 413,
    IDC_OPACITY_VALUE = 414,
    IDC_USE_NOISE_REDUCTION = 415,
};

constexpr std::size_t kEditTextMax = 511;

using K = ControlKind;

const DialogTemplate noiseTemplate{
    IDD_NOISE_REDUCTION,
    "Noise Reduction",
    6,
    29,
    333,
    165,
    kDialogCaption | kDialogSystemMenu | kDialogModalFrame,
    0,
    8,
    {
        {IDC_NOISE_OK, K::PushButton, "OK", 258, 137, 61, 18, kTabStop},
        {IDC_NOISE_CANCEL, K::PushButton, "Cancel", 193, 137, 61, 18, kTabStop},
        {IDC_OPACITY, K::Trackbar, "", 79, 94, 169, 18, kHorizontal},
        {IDC_NOISE_TEXT, K::Static,
         "Using dark-frame subtraction can reduce the appearance of image noise.  Check the "
         "box below and select a dark-frame image to use noise-reduction.  Choose an opacity "
         "less than 100% to reduce the appearance of dark points where noise has been reduced.",
         16, 12, 309, 29, 0},
        {IDC_DARK_FRAME_FRAME, K::GroupBox, "Dark Frame Image:", 11, 62, 311, 66, 0},
        {IDC_DARK_FRAME_FILE, K::Edit, "", 15, 74, 232, 13, kBorder | kAutoHScroll | kTabStop},
        {IDC_BROWSE_DARK_FRAME, K::PushButton, "Browse...", 253, 73, 63, 14, kTabStop},
        {IDC_OPACITY_LABEL, K::Static, "Opacity:", 34, 100, 44, 10, kAlignRight},
        {IDC_OPACITY_MIN_MARK, K::Static, "0%", 85, 115, 14, 9, 0},
        {IDC_OPACITY_MAX_MARK, K::Static, "100%", 232, 115, 20, 9, 0},
        {IDC_OPACITY_VALUE, K::Static, "100", 251, 101, 19, 12, 0},
        {IDC_USE_NOISE_REDUCTION, K::AutoCheckBox, "Use dark-frame noise reduction", 18, 43, 275,
         10, kTabStop},
    },
};

// Trackbar position for an opacity: percent, to the nearest whole number, within 1 to 100.
// Checked in double first so that no value from the settings file (1e300, NaN, infinity)
// reaches an undefined int conversion; a non-finite opacity shows as full.
int opacityPosition(double opacity) {
    const double percent = std::round(opacity * 100.0);
    if (!std::isfinite(percent) || percent >= 100.0)
        return 100;
    if (percent <= 1.0)
        return 1;
    return static_cast<int>(percent);
}

bool acceptNoiseReductionDialog(Window* dialog) {
    ProgramOptions scratch;
    readNoiseReductionDialog(dialog, scratch);
    applyNoiseReductionDialog(scratch);
    return true;
}

bool browseFor(Window* dialog, int id) {
    if (id != IDC_BROWSE_DARK_FRAME)
        return false;
    browseDarkFrame(dialog);
    return true;
}

void opacityMoved(Window* dialog) {
    updateOpacityLabel(dialog);
}

}  // namespace

const DialogTemplate& noiseReductionDialogTemplate() {
    return noiseTemplate;
}

int updateOpacityLabel(Window* dialog) {
    const int position = trackbarPos(getDlgItem(dialog, IDC_OPACITY));
    setDlgItemText(dialog, IDC_OPACITY_VALUE, std::to_string(position));
    return position;
}

void initNoiseReductionDialog(Window* dialog) {
    double opacity = 0.0;
    int32_t useNoiseReduction = 0;
    std::string darkFrameFile;
    {
        // A run that finds the dark frame unusable turns noise reduction off in the record.
        std::lock_guard<std::mutex> lock(optionsMutex);
        opacity = programOptions.darkFrameOpacity;
        useNoiseReduction = programOptions.useNoiseReduction;
        darkFrameFile = programOptions.darkFrameFile;
    }
    Window* trackbar = getDlgItem(dialog, IDC_OPACITY);
    trackbarSetRange(trackbar, 1, 100);
    trackbarSetPos(trackbar, opacityPosition(opacity));
    updateOpacityLabel(dialog);
    checkDlgButton(dialog, IDC_USE_NOISE_REDUCTION, useNoiseReduction == 1);
    setDlgItemText(dialog, IDC_DARK_FRAME_FILE, darkFrameFile);
}

int readNoiseReductionDialog(Window* dialog, ProgramOptions& scratch) {
    scratch.useNoiseReduction = isDlgButtonChecked(dialog, IDC_USE_NOISE_REDUCTION) ? 1 : 0;
    scratch.darkFrameFile = getDlgItemText(dialog, IDC_DARK_FRAME_FILE, kEditTextMax);
    scratch.darkFrameOpacity = updateOpacityLabel(dialog) / 100.0;
    return 0;
}

void applyNoiseReductionDialog(const ProgramOptions& scratch) {
    // A run starting now snapshots the record under this lock; a run already going keeps its
    // snapshot, so the change counts from the next run.
    std::lock_guard<std::mutex> lock(optionsMutex);
    programOptions.darkFrameFile = scratch.darkFrameFile;
    programOptions.darkFrameOpacity = scratch.darkFrameOpacity;
    programOptions.useNoiseReduction = scratch.useNoiseReduction;
}

void browseDarkFrame(Window* dialog) {
    FileDialogRequest request;
    request.owner = dialog;
    request.title = "Select dark frame file";
    // Starts at the dark frame chosen so far: the last input is a light frame, the one file
    // that must not be picked here. Nothing chosen yet: the current directory.
    request.initialLocation = getDlgItemText(dialog, IDC_DARK_FRAME_FILE, kEditTextMax);
    request.fileMustExist = true;
    std::string selection;
    if (!fileDialog(request, selection))
        return;
    // A single selection is one full path followed by its terminators.
    const std::string path = selection.substr(0, selection.find('\0'));
    if (path.empty())
        return;
    // Neither the check box nor lastFileLocation changes: the choice counts only on OK.
    setDlgItemText(dialog, IDC_DARK_FRAME_FILE, path);
}

intptr_t noiseReductionDialogProc(Window* dialog, unsigned message, uintptr_t wParam,
                                  intptr_t lParam) {
    static const SettingsDialog kind{
        .okId = IDC_NOISE_OK,
        .cancelId = IDC_NOISE_CANCEL,
        .init = initNoiseReductionDialog,
        .accept = acceptNoiseReductionDialog,
        .command = browseFor,
        .slid = opacityMoved,
    };
    return settingsDialogProc(kind, dialog, message, wParam, lParam);
}
