#include "engine/options.h"

#include <cstdint>

#include "engine/combine.h"
#include "engine/messages.h"

ProgramOptions programOptions;
ProgramOptions runOptions;
std::mutex optionsMutex;

std::atomic<int32_t> busy{0};
std::atomic<int32_t> imageCounter{0};
std::atomic<int32_t> stopRequest{0};
std::atomic<int32_t> outputWritten{0};
std::atomic<int32_t> runFellBack{0};
std::atomic<int32_t> imagesRejected{0};

namespace {
std::mutex statusMutex;
std::string statusText;
}  // namespace

std::string copyStatusText() {
    std::lock_guard<std::mutex> lock(statusMutex);
    return statusText;
}

void setStatusText(const std::string& text) {
    std::lock_guard<std::mutex> lock(statusMutex);
    statusText = text.substr(0, kMessageMax);
}

void setDefaultOptions(ProgramOptions& options) {
    options.outputName = "combined.jpg";
    options.Divisor = 1.0;
    options.presetGammaCurve = CURVE_SRGB;
    options.Gamma = 2.2;
    options.jpeg_quality = 96;
    options.combine_mode = MODE_STACK;
    options.low_pass_threshold = 0;
    options.high_pass_threshold = 255;
    options.launch_after_processing = 1;
    options.combineFunc = combineAdd;
    options.autosuggest_output_name = 1;
    options.darkFrameFile.clear();
    options.darkFrameOpacity = 1.0;
    options.useNoiseReduction = 0;
    options.outputDepth = 8;
    options.tiffCompression = TIFF_COMPRESSION_DEFAULT;
    options.keepMetadata = 1;
    options.rawDaylight = 0;
    options.rawHalfSize = 0;
    options.cometLength = 0;
    options.reverseOrder = 0;
    options.timelapseEvery = 0;
    options.timelapseFolder.clear();
    options.videoFile.clear();
    options.videoFps = 25;
    options.videoWidth = 0;
    options.rejectBright = 0;
    options.rejectDeviations = 5.0;
    options.fillGaps = 0;
    options.showPreview = 1;
}

void dumpOptions(const ProgramOptions& options) {
    // The function pointer goes through an integer: printing it as data is not portable.
    const void* combineAddress =
        reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(options.combineFunc));
    diagnostic("Program Options: \n\n");
    diagnostic("Output name: %s\n", options.outputName.c_str());
    diagnostic("Divisor: %lf\n", options.Divisor);
    diagnostic("Gamma: %lf\n", options.Gamma);
    diagnostic("Preset Gamma Curve: %d\n", options.presetGammaCurve);
    diagnostic("JPEG Quality: %d\n", options.jpeg_quality);
    diagnostic("Combine Mode: %d\n", options.combine_mode);
    diagnostic("Combine Func Ptr: %p\n", combineAddress);
    diagnostic("Low pass threshold: %d\n", options.low_pass_threshold);
    diagnostic("High pass threshold: %d\n", options.high_pass_threshold);
    diagnostic("Dark Frame File: %s\n", options.darkFrameFile.c_str());
    diagnostic("Dark Frame Opacity: %lf\n", options.darkFrameOpacity);
    diagnostic("Use Noise Reduction: %d\n", options.useNoiseReduction);
    // Listed only when set, so the listing of a default run reads as it always has.
    if (options.outputDepth != 8)
        diagnostic("Output Depth: %d\n", options.outputDepth);
    if (options.tiffCompression != TIFF_COMPRESSION_DEFAULT)
        diagnostic("TIFF Compression: %d\n", options.tiffCompression);
    if (options.keepMetadata != 1)
        diagnostic("Keep Metadata: %d\n", options.keepMetadata);
    if (options.rawDaylight != 0)
        diagnostic("RAW Daylight White Balance: %d\n", options.rawDaylight);
    if (options.rawHalfSize != 0)
        diagnostic("RAW Half Size: %d\n", options.rawHalfSize);
    if (options.cometLength != 0)
        diagnostic("Comet Length: %d\n", options.cometLength);
    if (options.reverseOrder != 0)
        diagnostic("Reverse Order: %d\n", options.reverseOrder);
    if (options.fillGaps != 0)
        diagnostic("Fill Gaps: %d\n", options.fillGaps);
    if (options.timelapseEvery != 0)
        diagnostic("Time-lapse: every %d, folder %s, video %s at %d fps\n", options.timelapseEvery,
                   options.timelapseFolder.c_str(), options.videoFile.c_str(), options.videoFps);
}

void freeInputFiles(ProgramOptions& options) {
    options.inputFiles.clear();
    options.inputFiles.shrink_to_fit();
    options.inputFileCount = 0;
}
