// Image files: format selection by extension, load and save dispatch.
//
// The extension alone chooses the codec (ASCII letters compared in lower case): jpg, jpe and
// jpeg, tif and tiff, bmp, png. Loaders deliver the 32-bit layout (16-bit TIFF and PNG:
// 64-bit). Results: 0 success, -1 failure, reported through reportError where
// detected. Saving writes a temporary file beside the target and renames it over the target
// only when the codec succeeded and the file is synced, so a failed save never destroys an
// existing file. The target is the end of a symbolic link's chain (the link stays), an
// existing target must be writable by us, and its replacement keeps its permission bits and,
// where we may set them, its owner and group. Other hard links keep the old contents.
#pragma once

#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/stack.h"

enum ImageFormat : int {
    FORMAT_INVALID = -1,
    FORMAT_JPEG = 0,
    FORMAT_TIFF = 1,
    FORMAT_BMP = 2,
    FORMAT_PNG = 3,
    FORMAT_RAW = 4,  // camera RAW files (read only)
};

// The format for path's extension; a missing extension, or one of neither three letters nor a
// known four-letter spelling, is reported.
int getImageFormat(const char* path);
// The format for path's extension without reporting anything (FORMAT_INVALID when unknown).
int imageFormatOf(const char* path);
// Whether files of this format can be written (JPEG, TIFF, BMP and PNG).
bool formatWritable(int format);
// Whether the output format can hold depth bits per sample (8 always; 16 for TIFF and PNG).
bool formatHoldsDepth(int format, int depth);
// Why output cannot be written at depth bits per sample, or "" when it can.
std::string outputDepthProblem(const std::string& output, int depth);
int readImage(Image& image, const char* path);
// The pixels alone, as readImage loads them, without the facts: for showing a file beside a
// run that may be starting, whose options it does not read (RAW files aside).
int readImagePixels(Image& image, const char* path);
// Saves with runOptions.jpeg_quality for JPEG (baseline) and runOptions.tiffCompression for
// TIFF; 16-bit pixels go to JPEG and BMP narrowed to their high byte. Through replaceFile
// (system.h); a process about to die of a signal removes the save's temporary with
// discardTemporaryFile.
// facts, from a run, describe what the output stands for; the first input's metadata goes
// along with them when runOptions.keepMetadata is set.
int writeImage(Image& image, const char* path, const OutputFacts& facts = OutputFacts());

// Checks an output name before a run, with the save dispatch's messages; touches nothing.
int checkOutputFormat(const char* path);
// Checks before a run that a save to path may replace what is there (nothing, or a file we can
// write), with the codec's open-failure message; touches nothing.
int checkOutputWritable(const char* path);
// 1 when output names the same existing file as one of the inputs (entry 0 is skipped) or as
// the dark frame, when one is given (pass the name only while noise reduction is on).
int outputIsInput(const std::string& output, const std::vector<std::string>& arguments,
                  const std::string& darkFrame = std::string());

// The k-th time-lapse image of a run writing output: folder/<output's stem>_0000k.<extension>.
std::string timelapseFrameName(const std::string& folder, const std::string& output, int number);
// Writes a time-lapse frame into runOptions.timelapseFolder and/or runOptions.videoFile; a call
// without a frame closes the video.
int writeTimelapseFrame(Image* frame, int number, const OutputFacts& facts);

// Lets the engine's runs load and save through this layer (time-lapse frames included).
void installImageFileHandlers();
