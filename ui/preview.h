// The Preview window: the result so far of the running combination, scaled to the window,
// then the output the run wrote.
//
// The window and its feed (engine/preview.h) are made the first time they are needed and live
// until the main window closes. Every run of the desktop program attaches the feed; while the
// window is hidden it asks for no pictures, so the run takes no copies, and hiding or closing
// it never touches the run. The View menu's "Preview" item shows and hides it (checked while
// it shows); "Show Preview on Start" is programOptions.showPreview.
#pragma once

#include <string>

#include "engine/run.h"
#include "ui/platform/platform.h"

// Shows the window (making it first when needed), or hides it; interface thread.
void showPreviewWindow(bool visible);
bool previewWindowShown();
// Start: opens the window when programOptions.showPreview says so, and readies the feed
// either way, so that a window opened during the run is fed; interface thread.
void preparePreview(bool show);
// The worker thread, before the run: installs the feed as context's afterBatch.
void attachPreview(RunContext& context);
// The worker thread, after a run that wrote output: the window shows that file.
void previewOutput(const std::string& output);
// The main window closing, after the run has ended: the feed's thread ends, the window goes.
void closePreviewWindow();
