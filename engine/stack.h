// The run: dispatch and the stack run over an argument list.
//
// arguments[0] is a placeholder; entries starting with '-' are skipped silently; every other
// entry is an input file. File access goes through the handlers a front end installs (the
// engine knows no file formats). Result: 0 when the run went to its end (with or without an
// output; see outputWritten), -1 when it stopped on request.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/run.h"

// What an output stands for, for the metadata the writer records with it.
struct OutputFacts {
    std::string firstInput;  // the first input given ("" for none)
    int imagesGiven = 0;
    int imagesCombined = 0;
    // The exposure the output amounts to: the sum of the inputs' in Stack mode, that sum over
    // the divisor in Mix; NaN (the first input's stays) otherwise, or when an input lacks it.
    double exposureTime = std::nan("");
    std::string dateTimeOriginal;  // the last combined input's, "" when it has none
    std::string description;       // the mode, the count and the curve, in words
};

// Loads a file into an Image (any layout the codec produces); 0 or -1 after reporting.
using ImageReader = int (*)(Image& image, const char* path);
// Saves an Image under path using runOptions for format parameters; 0 or -1 after reporting.
using ImageWriter = int (*)(Image& image, const char* path, const OutputFacts& facts);
// runEnded, when given, is called as every run ends, for what the reader keeps across a run.
void setImageFileHandlers(ImageReader reader, ImageWriter writer, void (*runEnded)() = nullptr);

// The mean brightness of a file on the 0-255 scale, quickly, or NaN; says nothing. Runs that
// reject bright frames measure every input with it first, on several threads.
using BrightnessMeter = double (*)(const char* path);
void setBrightnessMeter(BrightnessMeter meter);

// Receives the time-lapse frames of runs whose timelapseEvery is set, numbered from 1, on a
// thread of its own, with what each stands for; then a call without a frame as the run ends,
// stopped or not. The frame's pixels stay the caller's; 0 or -1 after reporting.
using TimelapseHandler = int (*)(Image* frame, int number, const OutputFacts& facts);
void setTimelapseHandler(TimelapseHandler handler);

// Snapshots programOptions (under optionsMutex) into a run context; sets combineFunc in
// programOptions for the mode.
RunContext snapshotRunContext();
// Runs over a snapshot, then writes back what the run changed, into programOptions (under
// optionsMutex) and runOptions, which holds the snapshot for the writer and for later readers.
int runProcessing(int argumentCount, const std::vector<std::string>& arguments);
int runProcessing(const RunContext& context, int argumentCount,
                  const std::vector<std::string>& arguments);
