// The main window (dialog template 100): start-up, its dialog procedure with every message and
// command, the transfer of options between the record and the controls, and shutdown.
#pragma once

#include <cstdint>
#include <string>

#include "engine/options.h"
#include "ui/platform/platform.h"

// Where this installation keeps its files. A portable folder (writable) keeps the settings
// and the default output beside the executable. Otherwise (a system-wide install) the
// settings go to home/.config/quorvane/ (created, and set with setSettingsDirectory) and
// the default output to home/Pictures/ (home itself when there is none). Returns the folder
// of the default output, ending in '/'.
std::string chooseUserFolders(const std::string& moduleDirectory, const std::string& home);
// The user's home folder ($HOME, else the password database).
std::string homeDirectory();

// Makes programOptions.outputName absolute: directory (ending in '/') + the current name.
void makeOutputNameAbsolute(const std::string& directory);

// Start-up after the toolkit exists: defaults, the absolute default output name in
// outputDirectory, the window, the settings file, the loaded values shown. Returns the main
// window (also stored in mainWindow), nullptr when it could not be created.
Window* openMainWindow(const std::string& outputDirectory);

intptr_t mainWindowProc(Window* window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Divisor ("%lf") and blend mode into the controls; a mode outside 0 to 3 checks no button.
void applyOptionsToControls(Window* window, const ProgramOptions& options);
// Output name, divisor and blend mode from the controls into programOptions, then the
// argument list is rebuilt and the options listing written.
void readControlsIntoOptions(Window* window);
