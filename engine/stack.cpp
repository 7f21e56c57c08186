#include "engine/stack.h"

#include <algorithm>
#include <mutex>

#include "engine/combine.h"
#include "engine/darkframe.h"
#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/options.h"

namespace {

ImageReader imageReader = nullptr;
ImageWriter imageWriter = nullptr;

int readImageFile(Image& image, const std::string& path) {
    if (imageReader == nullptr) {
        reportError("Unsupported Input File Format: Must be JPEG, TIFF or BMP");
        return -1;
    }
    return imageReader(image, path.c_str());
}

int writeImageFile(Image& image, const std::string& path) {
    if (imageWriter == nullptr) {
        reportError("Unsupported Output File Format: Must be JPEG, TIFF or BMP");
        return -1;
    }
    return imageWriter(image, path.c_str());
}

// Owns one image's pixels for the length of the run, so every exit releases them.
struct RunImage {
    Image image;
    RunImage() { initImage(image); }
    ~RunImage() { release(); }
    RunImage(const RunImage&) = delete;
    RunImage& operator=(const RunImage&) = delete;
    void release() {
        freePixels(image.pixels);
        image.pixels = nullptr;
    }
};

// A field the run turns off stays off in the shared record too, so the dialogs and the
// settings file show what actually happened.
void turnOffNoiseReduction() {
    runOptions.useNoiseReduction = 0;
    std::lock_guard<std::mutex> lock(optionsMutex);
    programOptions.useNoiseReduction = 0;
}

void endRun() {
    busy.store(0);
    diagnostic("Finished.\n");
    setStatusText(" ");
}

}  // namespace

void setImageFileHandlers(ImageReader reader, ImageWriter writer) {
    imageReader = reader;
    imageWriter = writer;
}

int runProcessing(int argumentCount, const std::vector<std::string>& arguments) {
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        programOptions.combineFunc =
            programOptions.combine_mode == 3 ? combineBrighten : combineAdd;
        runOptions = programOptions;
        // The run gets its arguments separately; the snapshot need not hold a second copy.
        runOptions.inputFiles.clear();
    }
    setupGamma(runOptions.presetGammaCurve, runOptions.Gamma);
    return runStack(argumentCount, arguments);
}

int runStack(int argumentCount, const std::vector<std::string>& arguments) {
    imageCounter.store(0);
    outputWritten.store(0);
    busy.store(1);
    RunImage output;
    RunImage dark;

    if (runOptions.useNoiseReduction != 0 && !runOptions.darkFrameFile.empty()) {
        const std::string name = runOptions.darkFrameFile;
        setStatus("Reading dark-frame: %s\n", name.c_str());
        if (readImageFile(dark.image, name) != 0) {
            reportError("Problem loading dark-frame: %s\n", name.c_str());
            dark.release();
            initImage(dark.image);
            turnOffNoiseReduction();
        } else {
            narrowSamples(dark.image);
            prepareDarkFrame(dark.image);
        }
    }

    const int count = std::min<int>(argumentCount, static_cast<int>(arguments.size()));
    for (int i = 1; i < count; ++i) {
        const std::string& argument = arguments[i];
        if (!argument.empty() && argument[0] == '-')
            continue;
        setStatus("Loading image %d: %s\n", imageCounter.load() + 1, argument.c_str());
        RunImage input;
        if (readImageFile(input.image, argument) != 0) {
            reportError("Problem loading %s...ignoring\n", argument.c_str());
            continue;
        }
        narrowSamples(input.image);
        if (imageCounter.load() == 0 && output.image.pixels == nullptr) {
            copyImageHeader(input.image, output.image);
            if (prepareAccumulator(output.image) != 0) {
                // Without an accumulator nothing can be combined or saved; the memory
                // report has been shown already.
                endRun();
                return 0;
            }
            setStatus("Setting output image dimensions: %d x %d\n", input.image.width,
                      input.image.height);
            if (runOptions.useNoiseReduction != 0 && compareImages(dark.image, input.image) == 0) {
                turnOffNoiseReduction();
                reportError(
                    "Dark frame image can not be combined with input images -- Turning off "
                    "noise reduction\n");
            }
        } else if (compareImages(input.image, output.image) == 0) {
            reportError(
                "Cannot combine %s...\nNote: all input images must have the same "
                "dimensions.",
                argument.c_str());
            continue;
        }
        if (stopRequest.load() == 1) {
            stopRequest.store(0);
            busy.store(0);
            return -1;
        }
        setStatus("Combining data...\n");
        if (combineImage(output.image, input.image, dark.image) == 0)
            imageCounter.fetch_add(1);
    }

    setStatus("Finalizing...\n");
    if (finalizeImage(output.image) != 0) {
        reportError("Could not create final image.");
    } else {
        const std::string name = runOptions.outputName;
        setStatus("Writing output image: %s\n", name.c_str());
        if (writeImageFile(output.image, name) == 0)
            outputWritten.store(1);
    }
    output.release();
    dark.release();
    endRun();
    return 0;
}
