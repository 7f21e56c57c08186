// The Options dialog (template 200): gamma curve, threshold filters, JPEG quality and the two
// behaviour switches. It edits programOptions only; the settings file is written when the
// main window closes.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/options.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

void initOptionsDialog(Window* dialog);
int readOptionsDialog(Window* dialog, ProgramOptions& scratch);
void applyOptionsDialog(const ProgramOptions& scratch);
int updateQualityLabel(Window* dialog);

namespace {

enum : int {
    IDC_QUALITY = 201,
    IDC_QUALITY_VALUE = 203,
    IDC_QUALITY_LABEL = 204,
    IDC_GAMMA_FRAME = 206,
    IDC_GAMMA = 207,
    IDC_THRESHOLD_FRAME = 208,
    IDC_LOW_PASS = 209,
    IDC_HIGH_PASS = 210,
    IDC_LOW_PASS_LABEL = 212,
    IDC_HIGH_PASS_LABEL = 213,
    IDC_THRESHOLD_TEXT = 214,
    IDC_OPTIONS_OK = 215,
    IDC_OPTIONS_CANCEL = 216,
    IDC_LAUNCH = 217,
    IDC_GAMMA_TEXT = 218,
    IDC_AUTOSUGGEST = 219,
    IDC_GAMMA_SRGB = 221,
    IDC_GAMMA_HIGH_CONTRAST = 222,
    IDC_GAMMA_CUSTOM = 223,
};

constexpr std::size_t kEditTextMax = 511;

using K = ControlKind;
constexpr unsigned kEditStyle = kBorder | kAutoHScroll | kTabStop;

const DialogTemplate optionsTemplate{
    IDD_OPTIONS,
    "Options",
    20,
    54,
    249,
    211,
    kDialogCaption | kDialogSystemMenu,
    0,
    8,
    {
        {IDC_QUALITY, K::Trackbar, "", 88, 158, 132, 18, kHorizontal | kTabStop},
        {IDC_QUALITY_LABEL, K::Static, "JPEG Save Quality:", 11, 162, 71, 12, kAlignRight},
        {IDC_QUALITY_VALUE, K::Static, "100", 218, 161, 20, 12, kAlignCenter},
        {IDC_GAMMA_FRAME, K::GroupBox, "Gamma Settings:", 15, 9, 222, 54, 0},
        {IDC_GAMMA, K::Edit, "", 199, 47, 32, 12, kEditStyle},
        {IDC_THRESHOLD_FRAME, K::GroupBox, "Threshold Filters:", 15, 69, 222, 56, 0},
        {IDC_LOW_PASS, K::Edit, "", 91, 109, 32, 12, kEditStyle},
        {IDC_HIGH_PASS, K::Edit, "", 199, 110, 32, 11, kEditStyle},
        {IDC_THRESHOLD_TEXT, K::Static,
         "Pixels with intensity values below the low pass threshold will be set to black.  "
         "Pixels with intensity above the high pass threshold will be set to pure white.",
         21, 78, 210, 25, 0},
        {IDC_LOW_PASS_LABEL, K::Static, "&Low Pass (0-255):", 24, 111, 64, 12, kAlignRight},
        {IDC_HIGH_PASS_LABEL, K::Static, "&High Pass (0-255):", 133, 111, 64, 12, kAlignRight},
        {IDC_OPTIONS_OK, K::PushButton, "&OK", 181, 185, 57, 18, kTabStop},
        {IDC_OPTIONS_CANCEL, K::PushButton, "&Cancel", 119, 185, 57, 18, kTabStop},
        {IDC_LAUNCH, K::AutoCheckBox, "Launch output image in default viewer when complete", 19,
         130, 220, 10, kTabStop},
        {IDC_GAMMA_TEXT, K::Static,
         "Specify the gamma curve used by your input images.  sRGB works best for most "
         "images.  \"High Contrast\" is best for contrasty images.  Or, enter a custom value "
         "(typically between 2.0 and 2.5).",
         21, 19, 211, 26, 0},
        {IDC_AUTOSUGGEST, K::AutoCheckBox,
         "Automatically suggest output name when input files are added", 18, 141, 221, 10,
         kTabStop},
        // The three radio buttons are one group: checking one clears the others.
        {IDC_GAMMA_SRGB, K::AutoRadioButton, "sRGB (Default)", 21, 48, 66, 10, kGroup | kTabStop},
        {IDC_GAMMA_HIGH_CONTRAST, K::AutoRadioButton, "High Contrast", 91, 48, 59, 10, kTabStop},
        {IDC_GAMMA_CUSTOM, K::AutoRadioButton, "Custom: ", 155, 48, 42, 10, kTabStop},
    },
};

}  // namespace

// The text's leading number, as strtod reads it but without regard to the process locale:
// blanks, a sign, then a decimal number, "inf"/"infinity" or "nan"; the rest is ignored and
// text without a number reads as 0. Out-of-range magnitudes become infinity or zero, like
// strtod's overflow and underflow.
double leadingNumber(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() &&
           (text[start] == ' ' || (text[start] >= '\t' && text[start] <= '\r'))) {
        ++start;
    }
    text.remove_prefix(start);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // A second sign is not part of a number; from_chars would accept a '-' here.
    if (text.empty() || text.front() == '+' || text.front() == '-') {
        return 0.0;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::invalid_argument) {
        return 0.0;
    }
    if (error == std::errc::result_out_of_range) {
        // Tell overflow from underflow by the decimal exponent of the first significant digit.
        const std::string_view number(text.data(), static_cast<std::size_t>(end - text.data()));
        long exponent = 0;
        std::size_t i = 0;
        bool significant = false;
        for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i) {
            if (number[i] != '0')
                significant = true;
            if (significant)
                ++exponent;
        }
        if (i < number.size() && number[i] == '.') {
            for (++i; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i) {
                if (significant)
                    break;
                if (number[i] != '0')
                    significant = true;
                if (!significant)
                    --exponent;
            }
            while (i < number.size() && number[i] >= '0' && number[i] <= '9')
                ++i;
        }
        if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
            ++i;
            const bool negativeExponent = number[i] == '-';
            if (number[i] == '+' || number[i] == '-')
                ++i;
            long written = 0;
            const auto parsed =
                std::from_chars(number.data() + i, number.data() + number.size(), written);
            // An exponent too large for a long still decides the direction by its sign.
            if (parsed.ec != std::errc())
                written = std::numeric_limits<long>::max() / 2;
            exponent += negativeExponent ? -written : written;
        }
        value = exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

namespace {

// A threshold is read as a number truncated toward zero; only 0 to 255 pass. Checking the
// untruncated value keeps infinities, NaN and huge values away from the int conversion.
bool readThreshold(Window* dialog, int id, int32_t& threshold) {
    const double value = leadingNumber(getDlgItemText(dialog, id, kEditTextMax));
    if (!std::isfinite(value) || value <= -1.0 || value >= 256.0) {
        return false;
    }
    threshold = static_cast<int32_t>(value);
    return true;
}

// "%2.3f" without the process locale: the decimal point is always '.'.
std::string formatGamma(double gamma) {
    char buffer[400];  // the widest double in fixed notation with three decimals fits
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, gamma, std::chars_format::fixed, 3);
    if (result.ec != std::errc())
        return {};
    return std::string(buffer, result.ptr);
}

// The seven fields this dialog shows and stores.
void copyDialogFields(const ProgramOptions& from, ProgramOptions& to) {
    to.Gamma = from.Gamma;
    to.presetGammaCurve = from.presetGammaCurve;
    to.low_pass_threshold = from.low_pass_threshold;
    to.high_pass_threshold = from.high_pass_threshold;
    to.jpeg_quality = from.jpeg_quality;
    to.launch_after_processing = from.launch_after_processing;
    to.autosuggest_output_name = from.autosuggest_output_name;
}

bool acceptOptionsDialog(Window* dialog) {
    ProgramOptions scratch;
    if (readOptionsDialog(dialog, scratch) != 0)
        return false;
    applyOptionsDialog(scratch);
    return true;
}

void qualityMoved(Window* dialog) {
    updateQualityLabel(dialog);
}

void traceOptionsCommand(uintptr_t wParam, intptr_t lParam) {
    uiLog("WM_COMMAND received: wParam (LO|HI) = %d | %d, lParam = %d\n", commandId(wParam),
          commandCode(wParam), static_cast<int>(lParam));
}

}  // namespace

const DialogTemplate& optionsDialogTemplate() {
    return optionsTemplate;
}

int updateQualityLabel(Window* dialog) {
    const int position = trackbarPos(getDlgItem(dialog, IDC_QUALITY));
    setDlgItemText(dialog, IDC_QUALITY_VALUE, std::to_string(position));
    return position;
}

void initOptionsDialog(Window* dialog) {
    ProgramOptions shown;
    {
        // A finishing run may be writing its results back to the record right now.
        std::lock_guard<std::mutex> lock(optionsMutex);
        copyDialogFields(programOptions, shown);
    }
    setDlgItemText(dialog, IDC_GAMMA, formatGamma(shown.Gamma));
    checkDlgButton(dialog, IDC_GAMMA_SRGB, shown.presetGammaCurve == CURVE_SRGB);
    checkDlgButton(dialog, IDC_GAMMA_HIGH_CONTRAST, shown.presetGammaCurve == CURVE_HIGH_CONTRAST);
    checkDlgButton(dialog, IDC_GAMMA_CUSTOM, shown.presetGammaCurve == CURVE_CUSTOM);
    setDlgItemText(dialog, IDC_LOW_PASS, std::to_string(shown.low_pass_threshold));
    setDlgItemText(dialog, IDC_HIGH_PASS, std::to_string(shown.high_pass_threshold));
    Window* trackbar = getDlgItem(dialog, IDC_QUALITY);
    trackbarSetRange(trackbar, 1, 100);
    // The trackbar clamps, so a quality of 0 from the settings file shows (and stores) 1.
    trackbarSetPos(trackbar, shown.jpeg_quality);
    updateQualityLabel(dialog);
    checkDlgButton(dialog, IDC_LAUNCH, shown.launch_after_processing == 1);
    checkDlgButton(dialog, IDC_AUTOSUGGEST, shown.autosuggest_output_name == 1);
}

int readOptionsDialog(Window* dialog, ProgramOptions& scratch) {
    // The gamma value is checked whichever curve is chosen, so that a value kept for later
    // is always usable.
    scratch.Gamma = leadingNumber(getDlgItemText(dialog, IDC_GAMMA, kEditTextMax));
    if (isDlgButtonChecked(dialog, IDC_GAMMA_SRGB)) {
        scratch.presetGammaCurve = CURVE_SRGB;
    } else if (isDlgButtonChecked(dialog, IDC_GAMMA_HIGH_CONTRAST)) {
        scratch.presetGammaCurve = CURVE_HIGH_CONTRAST;
    } else {
        scratch.presetGammaCurve = CURVE_CUSTOM;
    }
    // Written so that NaN fails too.
    if (!(scratch.Gamma >= 0.2 && scratch.Gamma <= 10.0)) {
        refuse(dialog,
               "Gamma must be between 0.2 and 10.0 (typical values are between 1.5 and 2.8)");
        return -1;
    }
    if (!readThreshold(dialog, IDC_LOW_PASS, scratch.low_pass_threshold)) {
        refuse(dialog,
               "Low pass threshold must be between 0 and 255 (typical values are between 0 and "
               "50)");
        return -1;
    }
    if (!readThreshold(dialog, IDC_HIGH_PASS, scratch.high_pass_threshold)) {
        refuse(dialog,
               "High pass threshold must be between 0 and 255 (typical values are between 150 "
               "and 255)");
        return -1;
    }
    scratch.jpeg_quality = updateQualityLabel(dialog);
    scratch.launch_after_processing = isDlgButtonChecked(dialog, IDC_LAUNCH) ? 1 : 0;
    scratch.autosuggest_output_name = isDlgButtonChecked(dialog, IDC_AUTOSUGGEST) ? 1 : 0;
    return 0;
}

void applyOptionsDialog(const ProgramOptions& scratch) {
    // A run starting now snapshots the record under this lock; it sees all or none of the
    // change. A run already going keeps its snapshot: the change counts from the next run.
    std::lock_guard<std::mutex> lock(optionsMutex);
    copyDialogFields(scratch, programOptions);
}

intptr_t optionsDialogProc(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam) {
    static const SettingsDialog kind{
        .okId = IDC_OPTIONS_OK,
        .cancelId = IDC_OPTIONS_CANCEL,
        .init = initOptionsDialog,
        .accept = acceptOptionsDialog,
        .slid = qualityMoved,
        .traceCommand = traceOptionsCommand,
    };
    return settingsDialogProc(kind, dialog, message, wParam, lParam);
}
