// The Options, Noise Reduction, Output Options and Star Trails dialogs, Help and About.
#pragma once

#include <cstdint>
#include <string_view>

#include "ui/platform/platform.h"

// Templates 200 ("Options"), 400 ("Noise Reduction"), 500 ("Output Options") and 600 ("Star
// Trails").
const DialogTemplate& optionsDialogTemplate();
const DialogTemplate& noiseReductionDialogTemplate();
const DialogTemplate& outputOptionsDialogTemplate();
const DialogTemplate& starTrailsDialogTemplate();

// Modal procedures, opened with dialogBox(200 / 400 / 500 / 600, mainWindow, ...).
intptr_t optionsDialogProc(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t noiseReductionDialogProc(Window* dialog, unsigned message, uintptr_t wParam,
                                  intptr_t lParam);
intptr_t outputOptionsDialogProc(Window* dialog, unsigned message, uintptr_t wParam,
                                 intptr_t lParam);
intptr_t starTrailsDialogProc(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam);

// The number an edit's text starts with, as the dialogs read them: blanks, a sign, then a
// decimal number, "inf" or "nan", whatever the process locale; no number reads as 0.
double leadingNumber(std::string_view text);

// Help (command 3010) and About (command 3030).
void showHelp();
void showAbout(Window* window);
