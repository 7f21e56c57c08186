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

// What one of the four settings dialogs does besides opening and closing.
struct SettingsDialog {
    int okId;
    int cancelId;
    void (*init)(Window* dialog);
    // OK: reads and stores what the dialog holds; false keeps it open (a refusal was shown).
    bool (*accept)(Window* dialog);
    // Another button (a Browse...); nullptr, or false for a command it leaves alone.
    bool (*command)(Window* dialog, int id) = nullptr;
    // A slider moved; nullptr for dialogs without one.
    void (*slid)(Window* dialog) = nullptr;
    // The log line of a command nothing handles; nullptr: the common one.
    void (*traceCommand)(uintptr_t wParam, intptr_t lParam) = nullptr;
};
// Their procedure: the icon and init on opening; OK accepts; Cancel, Escape and the close box
// end the dialog without storing anything; Enter and the controls' own commands do nothing.
intptr_t settingsDialogProc(const SettingsDialog& kind, Window* dialog, unsigned message,
                            uintptr_t wParam, intptr_t lParam);
// A refusal of what the dialog holds, in a plain box over it.
void refuse(Window* dialog, const char* message);

// The number an edit's text starts with, as the dialogs read them: blanks, a sign, then a
// decimal number, "inf" or "nan", whatever the process locale; no number reads as 0.
double leadingNumber(std::string_view text);

// Help (command 3010) and About (command 3030).
void showHelp();
void showAbout(Window* window);
