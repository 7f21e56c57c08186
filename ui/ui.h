// State the desktop program's parts share on the interface thread.
#pragma once

#include <string>

#include "ui/platform/platform.h"

// The main dialog (template 100) and its input list (control 101).
extern Window* mainWindow;
extern Window* listView;
// First string of the last successful open or save dialog; initial location of both.
extern std::string lastFileLocation;

// Control and command ids of the main window and its menu.
enum : int {
    IDD_MAIN = 100,
    IDC_LIST_FILES = 101,
    IDC_START = 102,
    IDC_STOP = 103,
    IDC_BLEND_FRAME = 104,
    IDC_MODE_STACK = 105,
    IDC_MODE_AVERAGE = 106,
    IDC_MODE_MIX = 107,
    IDC_MODE_BRIGHTEN = 108,
    IDI_MAIN = 109,
    IDC_DIVISOR = 110,
    IDC_ADD_IMAGES = 111,
    IDC_REMOVE_SELECTED = 112,
    IDC_OUTPUT_NAME = 113,
    IDC_OUTPUT_FRAME = 116,
    IDC_BROWSE_OUTPUT = 117,
    IDC_INPUT_FRAME = 118,
    IDC_PROGRESS = 119,
    IDC_COUNT_LABEL = 120,
    IDC_STATUS = 121,
    IDD_OPTIONS = 200,
    IDD_NOISE_REDUCTION = 400,
    IDD_OUTPUT_OPTIONS = 500,
    IDD_STAR_TRAILS = 600,
    IDM_MAIN = 1000,
    IDM_ADD_IMAGES = 1010,
    IDM_REMOVE_SELECTED = 1011,
    IDM_REMOVE_ALL = 1012,
    IDM_VIEW_SELECTED = 1015,
    IDM_SUGGEST_NAME = 1020,
    IDM_EXIT = 1040,
    IDM_PREVIEW = 1510,  // checked while the Preview window shows
    IDM_PREVIEW_ON_START = 1520,
    IDM_START = 2010,
    IDM_STOP = 2020,
    IDM_NOISE_REDUCTION = 2030,
    IDM_OPTIONS = 2040,
    IDM_OUTPUT_OPTIONS = 2050,
    IDM_STAR_TRAILS = 2060,
    IDM_HELP = 3010,
    IDM_ABOUT = 3030,
};

// Diagnostic lines of the interface go to standard output (buffered; never slows the
// program).
void uiLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
