// The input list of the main window (control 101): how files get in (open dialog, drops), how
// they leave, the count label under it, and the output-name operations that depend on it.
//
// Every entry's label is one full path of at most kPathMax bytes (cut without splitting a
// multi-byte character); its second column is always empty. The list is sorted byte-wise
// after every addition and may hold the same path more than once. Everything here runs on
// the interface thread and reports to the user through message boxes.
#pragma once

#include <string>
#include <vector>

#include "ui/platform/platform.h"

// Inserts the two columns ("Image Name" 500 pixels, an empty one of 1 pixel); returns 1.
int setupListColumns(Window* list);
// Appends one entry and refreshes the count label; returns 1.
int addListEntry(const std::string& text, const std::string& subText);
// "%d images loaded" in control 120 of the main window.
void updateImageCountLabel();
// Deletes every selected entry, then refreshes the count label.
void removeSelectedEntries();
// Re-sorts all entries byte-wise ascending.
void sortListEntries();
// Adds the paths of an open dialog's selection (see fileDialog in platform.h), a folder as the
// image files directly inside it, and says in the status line (control 121) how many of the
// folders' other files were left out; no sort. Returns how many entries were added.
int addSelection(const std::string& buffer);
// Turns a directory-plus-names selection into full paths; returns how many.
int splitMultiSelection(const std::string& buffer, std::vector<std::string>& paths);
// Adds the dropped image files (by the open dialog's extensions), a folder as the image files
// directly inside it, then sorts; the status line says how many other files were left out.
// Returns how many entries were added.
int addDroppedFiles(const DropInfo& drop);
// Add Images: 1 when files were chosen and added, 0 when the dialog was cancelled or gave
// nothing to add.
int browseInputFiles(Window* window);
// Browse for the output file; sets the output name edit when one was chosen.
void browseOutputFile(Window* window);
// Output name from the first and last entries: "<first without extension>_<last's name>", or
// "<first without extension>_<last without extension>.tif" when the last's format cannot be
// written (RAW files).
void suggestOutputName(Window* window);
// Opens the first selected entry in the desktop's default viewer.
void viewSelectedImage(Window* window);

// A path cut to at most maxBytes bytes without splitting a UTF-8 character.
std::string limitPath(const std::string& path, std::size_t maxBytes);
