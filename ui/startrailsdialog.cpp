// The Star Trails dialog (template 600): comet trails, the order the inputs are combined in,
// the gaps between trails filled, the time-lapse of the result so far (images and/or a video)
// and the rejection of frames too bright for their neighbours. Like the Options dialog it edits
// programOptions only and checks its numbers on OK; Start checks what depends on the rest of
// the run (the mode, the names of the inputs and the output), since those may change after
// this dialog closed.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/options.h"
#include "imageio/filenames.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

namespace {

enum : int {
    IDC_TRAILS_FRAME = 601,
    IDC_COMET = 602,
    IDC_COMET_LENGTH = 603,
    IDC_COMET_UNIT = 604,
    IDC_REVERSE = 605,
    IDC_TIMELAPSE_FRAME = 606,
    IDC_FOLDER_LABEL = 607,
    IDC_TIMELAPSE_FOLDER = 608,
    IDC_BROWSE_FOLDER = 609,
    IDC_EVERY_LABEL = 610,
    IDC_EVERY = 611,
    IDC_EVERY_UNIT = 612,
    IDC_VIDEO_LABEL = 613,
    IDC_VIDEO_FILE = 614,
    IDC_BROWSE_VIDEO = 615,
    IDC_FPS_LABEL = 616,
    IDC_FPS = 617,
    IDC_FPS_UNIT = 618,
    IDC_BRIGHT_FRAME = 619,
    IDC_REJECT = 620,
    IDC_REJECT_LIMIT = 621,
    IDC_REJECT_UNIT = 622,
    IDC_STAR_OK = 623,
    IDC_STAR_CANCEL = 624,
    IDC_FILL_GAPS = 625,
    IDC_GAP_WIDTH = 626,
    IDC_GAP_UNIT = 627,
};

constexpr std::size_t kEditTextMax = 511;

using K = ControlKind;
constexpr unsigned kEditStyle = kBorder | kAutoHScroll | kTabStop;

// One frame per subject, stacked with the buttons below them, like the Output Options dialog.
const DialogTemplate starTrailsTemplate{
    IDD_STAR_TRAILS,
    "Star Trails",
    20,
    54,
    300,
    242,
    kDialogCaption | kDialogSystemMenu,
    0,
    8,
    {
        {IDC_TRAILS_FRAME, K::GroupBox, "Trails:", 11, 8, 278, 64, 0},
        {IDC_COMET, K::AutoCheckBox, "&Comet trails, fading over", 18, 22, 104, 10, kTabStop},
        {IDC_COMET_LENGTH, K::Edit, "", 124, 21, 40, 12, kEditStyle},
        {IDC_COMET_UNIT, K::Static, "frames (2 to 100000)", 168, 23, 114, 10, 0},
        {IDC_REVERSE, K::AutoCheckBox, "&Reverse order (trail heads at the first frame)", 18, 38,
         264, 10, kTabStop},
        {IDC_FILL_GAPS, K::AutoCheckBox, "Fill &gaps up to", 18, 54, 104, 10, kTabStop},
        {IDC_GAP_WIDTH, K::Edit, "", 124, 53, 40, 12, kEditStyle},
        {IDC_GAP_UNIT, K::Static, "pixels each side (1 to 8)", 168, 55, 114, 10, 0},
        {IDC_TIMELAPSE_FRAME, K::GroupBox, "Time-lapse:", 11, 78, 278, 86, 0},
        {IDC_FOLDER_LABEL, K::Static, "&Folder:", 16, 95, 50, 10, kAlignRight},
        {IDC_TIMELAPSE_FOLDER, K::Edit, "", 70, 93, 150, 12, kEditStyle},
        {IDC_BROWSE_FOLDER, K::PushButton, "Br&owse...", 226, 92, 57, 14, kTabStop},
        {IDC_EVERY_LABEL, K::Static, "&Every:", 16, 113, 50, 10, kAlignRight},
        {IDC_EVERY, K::Edit, "", 70, 111, 40, 12, kEditStyle},
        {IDC_EVERY_UNIT, K::Static, "images (1 to 100000)", 114, 113, 168, 10, 0},
        {IDC_VIDEO_LABEL, K::Static, "&Video file:", 16, 131, 50, 10, kAlignRight},
        {IDC_VIDEO_FILE, K::Edit, "", 70, 129, 150, 12, kEditStyle},
        {IDC_BROWSE_VIDEO, K::PushButton, "Bro&wse...", 226, 128, 57, 14, kTabStop},
        {IDC_FPS_LABEL, K::Static, "Fr&ame rate:", 16, 149, 50, 10, kAlignRight},
        {IDC_FPS, K::Edit, "", 70, 147, 40, 12, kEditStyle},
        {IDC_FPS_UNIT, K::Static, "frames per second (1 to 240)", 114, 149, 168, 10, 0},
        {IDC_BRIGHT_FRAME, K::GroupBox, "Bright Frames:", 11, 170, 278, 38, 0},
        {IDC_REJECT, K::AutoCheckBox, "Reject &bright frames, more than", 18, 186, 120, 10,
         kTabStop},
        {IDC_REJECT_LIMIT, K::Edit, "", 140, 185, 32, 12, kEditStyle},
        {IDC_REJECT_UNIT, K::Static, "deviations above their neighbours", 176, 187, 108, 10, 0},
        {IDC_STAR_OK, K::PushButton, "&OK", 232, 216, 57, 18, kTabStop},
        {IDC_STAR_CANCEL, K::PushButton, "&Cancel", 170, 216, 57, 18, kTabStop},
    },
};

// The fields this dialog shows and stores.
void copyDialogFields(const ProgramOptions& from, ProgramOptions& to) {
    to.cometLength = from.cometLength;
    to.reverseOrder = from.reverseOrder;
    to.fillGaps = from.fillGaps;
    to.timelapseEvery = from.timelapseEvery;
    to.timelapseFolder = from.timelapseFolder;
    to.videoFile = from.videoFile;
    to.videoFps = from.videoFps;
    to.rejectBright = from.rejectBright;
    to.rejectDeviations = from.rejectDeviations;
}

// The shortest text that reads back as the value, with '.' whatever the process locale.
std::string formatLimit(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string();
}

// A count is read like the Options dialog's thresholds: a number truncated toward zero, the
// untruncated value checked so that nothing out of range reaches the int conversion.
bool readCount(Window* dialog, int id, int least, int most, int32_t& count) {
    const double value = leadingNumber(getDlgItemText(dialog, id, kEditTextMax));
    if (!(std::isfinite(value) && value >= least && value < most + 1.0))
        return false;
    count = static_cast<int32_t>(value);
    return true;
}

void initStarTrailsDialog(Window* dialog) {
    ProgramOptions shown;
    {
        // A finishing run may be writing its results back to the record right now.
        std::lock_guard<std::mutex> lock(optionsMutex);
        copyDialogFields(programOptions, shown);
    }
    checkDlgButton(dialog, IDC_COMET, shown.cometLength > 0);
    setDlgItemText(dialog, IDC_COMET_LENGTH,
                   shown.cometLength > 0 ? std::to_string(shown.cometLength) : "");
    checkDlgButton(dialog, IDC_REVERSE, shown.reverseOrder == 1);
    // Without gap filling the width is not kept; the command line's default stands in.
    checkDlgButton(dialog, IDC_FILL_GAPS, shown.fillGaps > 0);
    setDlgItemText(dialog, IDC_GAP_WIDTH, std::to_string(shown.fillGaps > 0 ? shown.fillGaps : 3));
    setDlgItemText(dialog, IDC_TIMELAPSE_FOLDER, shown.timelapseFolder);
    // Without a time-lapse the step is not kept; the command line's default stands in.
    setDlgItemText(dialog, IDC_EVERY,
                   std::to_string(shown.timelapseEvery > 0 ? shown.timelapseEvery : 1));
    setDlgItemText(dialog, IDC_VIDEO_FILE, shown.videoFile);
    setDlgItemText(dialog, IDC_FPS, std::to_string(shown.videoFps));
    checkDlgButton(dialog, IDC_REJECT, shown.rejectBright == 1);
    setDlgItemText(dialog, IDC_REJECT_LIMIT, formatLimit(shown.rejectDeviations));
}

// Only what is switched on is checked: a number beside a box left clear is not kept.
int readStarTrailsDialog(Window* dialog, ProgramOptions& scratch) {
    scratch.cometLength = 0;
    if (isDlgButtonChecked(dialog, IDC_COMET) &&
        !readCount(dialog, IDC_COMET_LENGTH, 2, 100000, scratch.cometLength)) {
        refuse(dialog, "Comet length must be between 2 and 100000 frames");
        return -1;
    }
    scratch.reverseOrder = isDlgButtonChecked(dialog, IDC_REVERSE) ? 1 : 0;
    scratch.fillGaps = 0;
    if (isDlgButtonChecked(dialog, IDC_FILL_GAPS) &&
        !readCount(dialog, IDC_GAP_WIDTH, 1, 8, scratch.fillGaps)) {
        refuse(dialog, "Gap width must be between 1 and 8 pixels");
        return -1;
    }
    scratch.timelapseFolder = getDlgItemText(dialog, IDC_TIMELAPSE_FOLDER, kEditTextMax);
    scratch.videoFile = getDlgItemText(dialog, IDC_VIDEO_FILE, kEditTextMax);
    scratch.timelapseEvery = 0;
    if ((!scratch.timelapseFolder.empty() || !scratch.videoFile.empty()) &&
        !readCount(dialog, IDC_EVERY, 1, 100000, scratch.timelapseEvery)) {
        refuse(dialog, "Time-lapse step must be between 1 and 100000 images");
        return -1;
    }
    // Kept with or without a video, so that a rate kept for later is always usable.
    if (!readCount(dialog, IDC_FPS, 1, 240, scratch.videoFps)) {
        refuse(dialog, "Frame rate must be between 1 and 240 frames per second");
        return -1;
    }
    scratch.rejectBright = isDlgButtonChecked(dialog, IDC_REJECT) ? 1 : 0;
    if (scratch.rejectBright == 1) {
        scratch.rejectDeviations = leadingNumber(getDlgItemText(dialog, IDC_REJECT_LIMIT, 64));
        if (!(std::isfinite(scratch.rejectDeviations) && scratch.rejectDeviations > 0.0)) {
            refuse(dialog, "Bright frame limit must be a number greater than 0");
            return -1;
        }
    }
    return 0;
}

void applyStarTrailsDialog(const ProgramOptions& scratch) {
    // A run starting now snapshots the record under this lock; it sees all or none of the
    // change. A run already going keeps its snapshot: the change counts from the next run.
    std::lock_guard<std::mutex> lock(optionsMutex);
    const double deviations = programOptions.rejectDeviations;
    copyDialogFields(scratch, programOptions);
    if (scratch.rejectBright == 0)
        programOptions.rejectDeviations = deviations;
}

// Fills the edit with the chosen path; nothing else changes before OK.
void browse(Window* dialog, int editId, FileDialogRequest request) {
    request.owner = dialog;
    request.initialLocation = getDlgItemText(dialog, editId, kEditTextMax);
    std::string selection;
    if (!fileDialog(request, selection))
        return;
    std::string path = selection.substr(0, selection.find('\0'));
    if (path.empty())
        return;
    if (!request.folder) {
        // A name typed without an extension gets the video's.
        std::string name = path, extension;
        stripDirectory(name);
        splitExtension(name, extension);
        if (extension.empty())
            path += ".mp4";
    }
    setDlgItemText(dialog, editId, path);
}

// The Browse... buttons of the folder and the video.
bool browseFor(Window* dialog, int id) {
    FileDialogRequest request;
    if (id == IDC_BROWSE_FOLDER) {
        request.title = "Select time-lapse folder";
        request.folder = true;
        browse(dialog, IDC_TIMELAPSE_FOLDER, request);
        return true;
    }
    if (id == IDC_BROWSE_VIDEO) {
        request.title = "Save time-lapse video as";
        request.save = true;
        request.promptOverwrite = true;
        request.nameFilter = "Video Files (*.mp4)";
        browse(dialog, IDC_VIDEO_FILE, request);
        return true;
    }
    return false;
}

bool acceptStarTrailsDialog(Window* dialog) {
    ProgramOptions scratch;
    if (readStarTrailsDialog(dialog, scratch) != 0)
        return false;
    applyStarTrailsDialog(scratch);
    return true;
}

}  // namespace

const DialogTemplate& starTrailsDialogTemplate() {
    return starTrailsTemplate;
}

intptr_t starTrailsDialogProc(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam) {
    static const SettingsDialog kind{
        .okId = IDC_STAR_OK,
        .cancelId = IDC_STAR_CANCEL,
        .init = initStarTrailsDialog,
        .accept = acceptStarTrailsDialog,
        .command = browseFor,
    };
    return settingsDialogProc(kind, dialog, message, wParam, lParam);
}
