// The program's resource definitions: the main window's dialog template, menu 1000 and
// icon 109. The templates of the other dialogs live beside their procedures.
#include <string>

#include "engine/system.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

namespace {

using K = ControlKind;

const DialogTemplate mainTemplate{
    IDD_MAIN,
    "Quorvane",
    59,
    106,
    388,
    253,
    kDialogVisible | kDialogCaption | kDialogSystemMenu | kDialogSizingBorder | kDialogMinimizeBox |
        kDialogMaximizeBox,
    IDM_MAIN,
    8,
    {
        {IDC_START, K::PushButton, "&Start", 317, 199, 59, 20, kTabStop},
        {IDC_STOP, K::PushButton, "St&op", 253, 199, 59, 20, 0},
        {IDC_BLEND_FRAME, K::GroupBox, "Image Blending Options:", 12, 154, 157, 64, 0},
        {IDC_MODE_STACK, K::AutoRadioButton, "Stac&k (Add all images)", 19, 166, 101, 10, kTabStop},
        {IDC_MODE_AVERAGE, K::AutoRadioButton, "&Average (Average all images)", 19, 178, 112, 10,
         kTabStop},
        {IDC_MODE_MIX, K::AutoRadioButton, "Stack/Average Mix->Divisor: ", 19, 202, 107, 10,
         kTabStop},
        {IDC_MODE_BRIGHTEN, K::AutoRadioButton, "&Brighten (Use brightest pixel)", 19, 190, 108, 10,
         kTabStop},
        {IDC_PROGRESS, K::ProgressBar, "", 7, 222, 375, 11, kClipSiblings | kGroup},
        // Its text is the widest it shows ("%lf" of the default), so the layout makes room.
        {IDC_DIVISOR, K::Edit, "1.000000", 130, 203, 35, 11, kBorder | kTabStop | kAutoHScroll},
        {IDC_OUTPUT_FRAME, K::GroupBox, "Output File:", 12, 119, 365, 31, 0},
        {IDC_OUTPUT_NAME, K::Edit, "", 22, 130, 276, 12, kBorder | kTabStop | kAutoHScroll},
        {IDC_BROWSE_OUTPUT, K::PushButton, "&Browse...", 303, 129, 69, 14, kTabStop},
        {IDC_INPUT_FRAME, K::GroupBox, "Input Files:", 12, 6, 365, 110, 0},
        {IDC_LIST_FILES, K::ListView, "", 18, 15, 354, 77,
         kBorder | kReportView | kSharedImageLists | kEditLabels | kMultiSelect | kTabStop,
         "list_files_1"},
        {IDC_REMOVE_SELECTED, K::PushButton, "&Remove Selected", 229, 98, 69, 14, kTabStop},
        {IDC_ADD_IMAGES, K::PushButton, "&Add Images...", 303, 98, 69, 14, kTabStop},
        {IDC_COUNT_LABEL, K::Static, "", 19, 97, 194, 12, kGroup},
        {IDC_STATUS, K::Static, "", 177, 158, 197, 34, kGroup},
    },
};

const MenuTemplate mainMenu{
    IDM_MAIN,
    {
        {"&File",
         0,
         {
             {"&Add Images...\tCtrl+O", IDM_ADD_IMAGES, {}},
             {"&Remove Selected\tDel", IDM_REMOVE_SELECTED, {}},
             {"Remo&ve All Images", IDM_REMOVE_ALL, {}},
             {nullptr, 0, {}},
             {"&View Selected Image", IDM_VIEW_SELECTED, {}},
             {nullptr, 0, {}},
             {"&Suggest Output Name", IDM_SUGGEST_NAME, {}},
             {nullptr, 0, {}},
             {"E&xit\tCtrl+Q", IDM_EXIT, {}},
         }},
        {"&View",
         0,
         {
             {"&Preview", IDM_PREVIEW, {}},
             {"Show Preview on &Start", IDM_PREVIEW_ON_START, {}},
         }},
        {"&Tools",
         0,
         {
             {"&Start Processing", IDM_START, {}},
             {"Sto&p Processing", IDM_STOP, {}},
             {nullptr, 0, {}},
             {"&Noise Reduction...", IDM_NOISE_REDUCTION, {}},
             {nullptr, 0, {}},
             {"&Options...", IDM_OPTIONS, {}},
             {"O&utput Options...", IDM_OUTPUT_OPTIONS, {}},
             {"S&tar Trails...", IDM_STAR_TRAILS, {}},
         }},
        {"&Help",
         0,
         {
             {"&Help\tF1", IDM_HELP, {}},
             {nullptr, 0, {}},
             {"&About", IDM_ABOUT, {}},
         }},
    },
};

}  // namespace

const DialogTemplate* findDialogTemplate(int id) {
    switch (id) {
        case IDD_MAIN:
            return &mainTemplate;
        case IDD_OPTIONS:
            return &optionsDialogTemplate();
        case IDD_NOISE_REDUCTION:
            return &noiseReductionDialogTemplate();
        case IDD_OUTPUT_OPTIONS:
            return &outputOptionsDialogTemplate();
        case IDD_STAR_TRAILS:
            return &starTrailsDialogTemplate();
        default:
            return nullptr;
    }
}

const MenuTemplate* findMenuTemplate(int id) {
    return id == IDM_MAIN ? &mainMenu : nullptr;
}

std::string iconResourcePath(int id) {
    if (id != IDI_MAIN)
        return {};
    return executableDirectory() + "quorvane.png";
}
