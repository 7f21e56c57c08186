// The Options, Noise Reduction and Output Options dialogs, Help and About.
#pragma once

#include <cstdint>

#include "ui/platform/platform.h"

// Templates 200 ("Options"), 400 ("Noise Reduction") and 500 ("Output Options").
const DialogTemplate& optionsDialogTemplate();
const DialogTemplate& noiseReductionDialogTemplate();
const DialogTemplate& outputOptionsDialogTemplate();

// Modal procedures, opened with dialogBox(200 / 400 / 500, mainWindow, ...).
intptr_t optionsDialogProc(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam);
intptr_t noiseReductionDialogProc(Window* dialog, unsigned message, uintptr_t wParam,
                                  intptr_t lParam);
intptr_t outputOptionsDialogProc(Window* dialog, unsigned message, uintptr_t wParam,
                                 intptr_t lParam);

// Help (command 3010) and About (command 3030).
void showHelp();
void showAbout(Window* window);
