// The settings file: twenty-eight fields of ProgramOptions in section "General" of
// "quorvane.ini" beside the executable.
//
// File text as written (LF line ends, final newline, keys in this order):
//   [General]
//   Divisor=%lf  Gamma=%lf  presetGammaCurve=%d  jpeg_quality=%d  combine_mode=%d
//   low_pass_threshold=%d  high_pass_threshold=%d  launch_after_processing=%d
//   autosuggest_output_name=%d  useNoiseReduction=%d  darkFrameFile=%s  darkFrameOpacity=%lf
//   outputDepth=%d  tiffCompression=%d  keepMetadata=%d  rawDaylight=%d  rawHalfSize=%d
//   cometLength=%d  reverseOrder=%d  timelapseEvery=%d  timelapseFolder=%s  videoFile=%s
//   videoFps=%d  videoWidth=%d  rejectBright=%d  rejectDeviations=%lf  fillGaps=%d
//   showPreview=%d
// one key per line. The keys after darkFrameOpacity are written only when they differ from
// their defaults, so a file from default use holds the first twelve alone. "%lf" is six
// decimals, and numbers always use '.' whatever the process locale. Values are cut to 511
// characters.
//
// Reading: a key that is absent, empty or exactly "$$$$" leaves its field unchanged. Only the
// numbers after darkFrameOpacity are range-checked, and any value outside their range reads as
// their default: outputDepth 8 or 16; tiffCompression 0 to 4 (a TiffCompression);
// keepMetadata, rawDaylight, rawHalfSize, reverseOrder, rejectBright and showPreview 0 or 1;
// cometLength 0 or 2 to 100000; timelapseEvery 0 to 100000; videoFps 1 to 240; videoWidth 0
// or 16 to 7680; rejectDeviations above 0; fillGaps 0 to 8. Integers take blanks, a sign and
// the longest run of digits ("80.9" -> 80, "abc" -> 0, out-of-range values saturate). Doubles take
// a decimal number the same way ("abc", "nan", "inf" -> 0). launch_after_processing and
// autosuggest_output_name are read as doubles and truncated toward zero (0.99 -> 0). CRLF files are
// accepted; other sections and keys are ignored (and gone after the next save).
//
// Errors: none is reported. A missing file leaves the fields as they were; a failed save
// leaves the previous file intact (the new text goes to a temporary file that is renamed over
// it); a saved file keeps its mode, and a link to it stays a link. The explicit-file functions
// return 0 / -1 so that a front end can tell its user.
//
// Threads: the path functions and the directory override are for one thread (the interface
// thread); loadSettings and saveSettings touch programOptions only under optionsMutex.
#pragma once

#include <string>

#include "engine/options.h"

constexpr const char* kSettingsFileName = "quorvane.ini";

// Sets the settings path to the executable's directory (or the override below) + name.
// When the executable's path cannot be read the settings path becomes empty, so that
// nothing is read or written in some unrelated current directory.
void buildSettingsPath(const char* name);
// The path the last buildSettingsPath built.
const std::string& settingsPath();
// Uses dir instead of the executable's directory for every later buildSettingsPath (tests,
// portable front ends); an empty dir restores the executable's directory.
void setSettingsDirectory(const std::string& dir);

// Builds the path for name; 1 when a regular file is there, else 0. A direct status query:
// '*', '?' and brackets are ordinary characters in a path.
int settingsFileExists(const char* name);

// Reads "quorvane.ini" into programOptions, when the file exists.
void loadSettings();
// Writes the keys of programOptions to "quorvane.ini".
void saveSettings();

// The same reader on an explicit file: 0 when it was read, -1 when it could not be opened or
// read (options then unchanged). Used by the command line's --settings FILE.
int loadSettingsFile(const std::string& path, ProgramOptions& options);
// The same writer on an explicit file: 0 when written, -1 when not (previous file intact).
int saveSettingsFile(const std::string& path, const ProgramOptions& options);
