// The Output Options dialog (template 500): how many bits per sample the output file holds, how
// TIFF outputs are compressed, whether the first input's metadata goes along, and how RAW inputs
// are developed. Like the Options dialog it edits programOptions only; the settings file is
// written when the main window closes, and Start checks the depth against the output's format,
// since the name may change after this dialog closed.
#include <cstdint>
#include <iterator>
#include <mutex>

#include "engine/options.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

namespace {

enum : int {
    IDC_FORMAT_FRAME = 501,
    IDC_DEPTH_LABEL = 502,
    IDC_OUTPUT_DEPTH = 503,
    IDC_COMPRESSION_LABEL = 504,
    IDC_TIFF_COMPRESSION = 505,
    IDC_FORMAT_NOTE = 506,
    IDC_OUTPUT_OK = 507,
    IDC_OUTPUT_CANCEL = 508,
    IDC_KEEP_METADATA = 509,
    IDC_RAW_FRAME = 510,
    IDC_WHITE_BALANCE_LABEL = 511,
    IDC_WHITE_BALANCE = 512,
    IDC_HALF_SIZE = 513,
};

// The depth list's entries, in order.
constexpr int32_t kDepths[] = {8, 16};

using K = ControlKind;

// One frame per subject, stacked with the buttons below them: a later subject takes a frame of
// its own above the buttons.
const DialogTemplate outputTemplate{
    IDD_OUTPUT_OPTIONS,
    "Output Options",
    20,
    54,
    300,
    192,
    kDialogCaption | kDialogSystemMenu,
    0,
    8,
    {
        {IDC_FORMAT_FRAME, K::GroupBox, "Output File:", 11, 8, 278, 92, 0},
        {IDC_DEPTH_LABEL, K::Static, "Output &depth:", 16, 23, 70, 10, kAlignRight},
        {IDC_OUTPUT_DEPTH, K::ComboBox, "8 bits per sample\n16 bits per sample (TIFF and PNG)", 90,
         20, 192, 14, kTabStop},
        {IDC_COMPRESSION_LABEL, K::Static, "&TIFF compression:", 16, 42, 70, 10, kAlignRight},
        // Entries in the order of TiffCompression, so an entry's index is its value.
        {IDC_TIFF_COMPRESSION, K::ComboBox,
         "Default (PackBits at 8 bits, Deflate at 16 bits)\nPackBits\nDeflate\nLZW\nNone", 90, 39,
         192, 14, kTabStop},
        {IDC_FORMAT_NOTE, K::Static,
         "JPEG and BMP files always hold 8 bits per sample.  Every TIFF compression keeps the "
         "image exactly; they differ only in file size and speed.",
         18, 60, 264, 20, 0},
        {IDC_KEEP_METADATA, K::AutoCheckBox,
         "Keep &metadata (EXIF, XMP, IPTC, ICC profile) of the first image", 18, 84, 264, 10,
         kTabStop},
        {IDC_RAW_FRAME, K::GroupBox, "RAW Files:", 11, 106, 278, 52, 0},
        {IDC_WHITE_BALANCE_LABEL, K::Static, "&White balance:", 16, 121, 70, 10, kAlignRight},
        // The entry's index is the rawDaylight value.
        {IDC_WHITE_BALANCE, K::ComboBox, "As shot (camera)\nDaylight", 90, 118, 192, 14, kTabStop},
        {IDC_HALF_SIZE, K::AutoCheckBox,
         "Decode at &half size (faster, for previews and time-lapses)", 18, 140, 264, 10, kTabStop},
        {IDC_OUTPUT_OK, K::PushButton, "&OK", 232, 166, 57, 18, kTabStop},
        {IDC_OUTPUT_CANCEL, K::PushButton, "&Cancel", 170, 166, 57, 18, kTabStop},
    },
};

struct OutputChoices {
    int32_t outputDepth = 8;
    int32_t tiffCompression = TIFF_COMPRESSION_DEFAULT;
    int32_t keepMetadata = 1;
    int32_t rawDaylight = 0;
    int32_t rawHalfSize = 0;
};

void initOutputOptionsDialog(Window* dialog) {
    OutputChoices shown;
    {
        // A finishing run may be writing its results back to the record right now.
        std::lock_guard<std::mutex> lock(optionsMutex);
        shown = {programOptions.outputDepth, programOptions.tiffCompression,
                 programOptions.keepMetadata, programOptions.rawDaylight,
                 programOptions.rawHalfSize};
    }
    // The settings file lets only valid values through; anything else shows the default.
    comboSetSelection(getDlgItem(dialog, IDC_OUTPUT_DEPTH), shown.outputDepth == 16 ? 1 : 0);
    const bool known = shown.tiffCompression >= TIFF_COMPRESSION_DEFAULT &&
                       shown.tiffCompression <= TIFF_COMPRESSION_NONE;
    comboSetSelection(getDlgItem(dialog, IDC_TIFF_COMPRESSION),
                      known ? shown.tiffCompression : TIFF_COMPRESSION_DEFAULT);
    checkDlgButton(dialog, IDC_KEEP_METADATA, shown.keepMetadata != 0);
    comboSetSelection(getDlgItem(dialog, IDC_WHITE_BALANCE), shown.rawDaylight == 1 ? 1 : 0);
    checkDlgButton(dialog, IDC_HALF_SIZE, shown.rawHalfSize == 1);
}

OutputChoices readOutputOptionsDialog(Window* dialog) {
    OutputChoices chosen;
    const int depth = comboSelection(getDlgItem(dialog, IDC_OUTPUT_DEPTH));
    if (depth >= 0 && depth < static_cast<int>(std::size(kDepths)))
        chosen.outputDepth = kDepths[depth];
    const int compression = comboSelection(getDlgItem(dialog, IDC_TIFF_COMPRESSION));
    if (compression >= 0)
        chosen.tiffCompression = compression;
    chosen.keepMetadata = isDlgButtonChecked(dialog, IDC_KEEP_METADATA) ? 1 : 0;
    chosen.rawDaylight = comboSelection(getDlgItem(dialog, IDC_WHITE_BALANCE)) == 1 ? 1 : 0;
    chosen.rawHalfSize = isDlgButtonChecked(dialog, IDC_HALF_SIZE) ? 1 : 0;
    return chosen;
}

void applyOutputOptionsDialog(const OutputChoices& chosen) {
    // A run starting now snapshots the record under this lock; a run already going keeps its
    // snapshot, so the change counts from the next run.
    std::lock_guard<std::mutex> lock(optionsMutex);
    programOptions.outputDepth = chosen.outputDepth;
    programOptions.tiffCompression = chosen.tiffCompression;
    programOptions.keepMetadata = chosen.keepMetadata;
    programOptions.rawDaylight = chosen.rawDaylight;
    programOptions.rawHalfSize = chosen.rawHalfSize;
}

bool acceptOutputOptionsDialog(Window* dialog) {
    applyOutputOptionsDialog(readOutputOptionsDialog(dialog));
    return true;
}

}  // namespace

const DialogTemplate& outputOptionsDialogTemplate() {
    return outputTemplate;
}

intptr_t outputOptionsDialogProc(Window* dialog, unsigned message, uintptr_t wParam,
                                 intptr_t lParam) {
    static const SettingsDialog kind{
        .okId = IDC_OUTPUT_OK,
        .cancelId = IDC_OUTPUT_CANCEL,
        .init = initOutputOptionsDialog,
        .accept = acceptOutputOptionsDialog,
    };
    return settingsDialogProc(kind, dialog, message, wParam, lParam);
}
