// The options record, the shared run state, and the per-run snapshot.
//
// programOptions is the one record the front ends and the settings file read and write.
// A run never reads it directly: runProcessing copies it (into a RunContext) under
// optionsMutex at the start, so a dialog changing options mid-run cannot tear the run.
// combineFunc is set for the mode when a run starts; the two fields a run changes (Divisor in
// average mode, useNoiseReduction when the dark frame is unusable) are written back to both
// records when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Folds one pixel's linear values (new*) into its accumulator slots (acc*).
using CombineFunc = void (*)(const double& newR, const double& newG, const double& newB,
                             double& accR, double& accG, double& accB);

// The values of combine_mode and presetGammaCurve, as stored in settings files.
enum CombineMode : int32_t {
    MODE_STACK = 0,
    MODE_AVERAGE = 1,
    MODE_MIX = 2,
    MODE_BRIGHTEN = 3,
};
// How TIFF outputs are compressed (tiffCompression); the default depends on the depth:
// PackBits at 8 bits, Deflate with horizontal differencing at 16.
enum TiffCompression : int32_t {
    TIFF_COMPRESSION_DEFAULT = 0,
    TIFF_COMPRESSION_PACKBITS = 1,
    TIFF_COMPRESSION_DEFLATE = 2,
    TIFF_COMPRESSION_LZW = 3,
    TIFF_COMPRESSION_NONE = 4,
};
enum GammaCurve : int32_t {
    CURVE_SRGB = 0,
    CURVE_HIGH_CONTRAST = 1,
    CURVE_CUSTOM = 99,  // (i / 255)^Gamma
};

struct ProgramOptions {
    std::string outputName;               // at most kOutputNameMax characters
    std::vector<std::string> inputFiles;  // entry 0 is a placeholder
    int32_t inputFileCount = 0;           // entries in inputFiles, placeholder included
    double Divisor = 0.0;
    int32_t presetGammaCurve = 0;  // 0 sRGB, 1 High Contrast, 99 custom (Gamma)
    double Gamma = 0.0;
    int32_t jpeg_quality = 0;
    int32_t combine_mode = 0;  // 0 stack, 1 average, 2 mix, 3 brighten
    int32_t low_pass_threshold = 0;
    int32_t high_pass_threshold = 0;
    int32_t launch_after_processing = 0;
    CombineFunc combineFunc = nullptr;
    int32_t autosuggest_output_name = 0;
    std::string darkFrameFile;  // at most kDarkFrameFileMax characters
    double darkFrameOpacity = 0.0;
    int32_t useNoiseReduction = 0;
    int32_t outputDepth = 8;      // bits per output sample: 8, or 16 for TIFF and PNG outputs
    int32_t tiffCompression = 0;  // a TiffCompression
    int32_t keepMetadata = 1;     // the first input's EXIF, XMP, IPTC and ICC profile go along
    int32_t rawDaylight = 0;      // RAW white balance: 0 the camera's, 1 daylight
    int32_t rawHalfSize = 0;      // RAW files decoded at half size (2x2 superpixels)
    int32_t cometLength = 0;      // comet trails fading to 1 % over this many images; 0 off
    int32_t reverseOrder = 0;     // the inputs combined last to first
    int32_t timelapseEvery = 0;   // a time-lapse frame after every so many images; 0 off
    std::string timelapseFolder;  // where its images go ("" none)
    std::string videoFile;        // the video of its frames ("" none)
    int32_t videoFps = 25;
    int32_t videoWidth = 0;         // the video's largest width; 0: the frame's, at most 3840
    int32_t rejectBright = 0;       // inputs much brighter than their neighbours are left out
    double rejectDeviations = 5.0;  // how much brighter: median absolute deviations
    // Brighten: gaps of up to twice this many pixels between one frame's trails and the
    // next's are bridged; 0 off, else 1..8.
    int32_t fillGaps = 0;
    int32_t showPreview = 1;  // the desktop program opens its Preview window on Start
};

constexpr std::size_t kOutputNameMax = 1023;
constexpr std::size_t kDarkFrameFileMax = 1023;
constexpr std::size_t kPathMax = 511;
constexpr std::size_t kMessageMax = 1023;

extern ProgramOptions programOptions;
// The snapshot the current (or last) run started from, with what it changed written back:
// the image writer reads its format parameters here. The engine's operations take the run's
// own copy (RunContext) instead.
extern ProgramOptions runOptions;
// Guards programOptions against the run's snapshot and write-backs.
extern std::mutex optionsMutex;

// Shared run state, read by the progress display while the worker writes it.
extern std::atomic<int32_t> busy;
extern std::atomic<int32_t> imageCounter;
extern std::atomic<int32_t> stopRequest;
// 1 when the last run wrote its output file, 0 otherwise (reset when a run starts).
extern std::atomic<int32_t> outputWritten;
// 1 when the last run could not apply the requested dark frame or fell back from an invalid
// gamma curve (reset when a run starts): its output is not what was asked for.
extern std::atomic<int32_t> runFellBack;
// Inputs the last run left out because they were too bright (as asked).
extern std::atomic<int32_t> imagesRejected;

// The current progress line; handed over under a lock so no reader sees half a text.
std::string copyStatusText();
void setStatusText(const std::string& text);

// Fills every field but inputFiles/inputFileCount with its default.
void setDefaultOptions(ProgramOptions& options);
// Writes the options listing to the diagnostic channel.
void dumpOptions(const ProgramOptions& options);
// Releases the argument list of programOptions.
void freeInputFiles(ProgramOptions& options);
