// What a user does, delivered to dialogs through the same paths as real input, for the window
// tests (the ui_testing library; the program itself never links it). Call from any thread: the
// work runs on the interface thread. Windows and ids as in ui/platform/platform.h; a dialog or
// control that is gone is ignored.
#pragma once

#include <string>
#include <vector>

#include "ui/platform/internal.h"

void simulateClick(Window* dialog, int id);                            // push/radio/check button
void simulateTyping(Window* dialog, int id, const std::string& text);  // replaces edit text
void simulateKey(Window* dialog, int key);  // kKeyEnter, kKeyEscape, kKeyTab
void simulateClose(Window* dialog);         // the caption's close box
// Paths with "://" go as URLs, the rest as local files; x and y in client coordinates.
void simulateDrop(Window* dialog, const std::vector<std::string>& files, int x, int y);
void simulateTrackbar(Window* dialog, int id, int position);  // user drags: WM_HSCROLL
void simulateChoice(Window* dialog, int id, int index);       // user picks a drop-down entry
enum : int { kKeyEnter = 1, kKeyEscape = 2, kKeyTab = 3 };
