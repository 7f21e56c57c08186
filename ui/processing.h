// Start and Stop, the argument list a run works on, the worker and progress threads, and what
// the user sees when a run completes.
//
// A run belongs to its worker thread: Start builds the argument list, hands the worker its
// own copy and raises busy before the thread exists, so a second Start is refused at once and
// a later Start can never release a list that a run still reads. The progress thread mirrors
// imageCounter and the status text into the window every 10 ms while busy is 1, the status
// with the run's effects after it ("Combining data... (comet 30, reversed)"). Neither
// thread is joined; runThreadsActive() tells when both have ended.
#pragma once

#include "ui/platform/platform.h"

// The Start command: checks, reads the controls, prepares the time-lapse folder, starts the
// worker and the progress thread.
void startProcessing(Window* window);
// The Stop command: asks a busy run to stop at its next check.
void stopProcessing();
// Rebuilds programOptions.inputFiles from the list (entry 0 an empty placeholder).
void buildInputFileList();

// Thread bodies; each takes ownership of the heap record Start gave it.
void processingThread(void* parameter);
void progressThread(void* parameter);

// Routes the engine's messages to the desktop: errors in a box captioned "Error" (the caller
// waits, so the worker pauses), except the frames a run rejects ("Rejected ..."), which are
// listed together in one box captioned "Rejected Frames" when the run ends; status lines and
// diagnostics to standard output.
void installDesktopMessageSink();

// Number of worker and progress threads that have not ended yet.
int runThreadsActive();
// Set while the window closes: a run that ends now shows no completion box and opens no
// viewer.
void setShuttingDown(bool shuttingDown);
