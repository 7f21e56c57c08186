#include "engine/stack.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/combine.h"
#include "engine/darkframe.h"
#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "engine/parallel.h"
#include "engine/prefetch.h"

namespace {

// Images alive at once besides the accumulator and the dark frame: loaded ahead, or accepted
// and waiting to be combined.
constexpr int kFramesInFlight = 4;
// Images folded in one pass over the accumulator. Folding is bound by the accumulator's
// memory traffic, so the run gathers this many before a pass, while the one frame left over
// keeps a loader busy during it.
constexpr std::size_t kMaxRunBatch = kFramesInFlight - 1;

ImageReader imageReader = nullptr;
ImageWriter imageWriter = nullptr;

int unsupportedInput(Image&, const char*) {
    reportError("Unsupported Input File Format: Must be JPEG, TIFF or BMP");
    return -1;
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
    runFellBack.store(1);
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
    runFellBack.store(0);
    setupGamma(runOptions.presetGammaCurve, runOptions.Gamma);
    return runStack(argumentCount, arguments);
}

int runStack(int argumentCount, const std::vector<std::string>& arguments) {
    // Declared first, so it runs last: every image of the run has been freed by then.
    struct ReleaseCacheAtEnd {
        ~ReleaseCacheAtEnd() { releaseCachedPixels(); }
    } releaseCacheAtEnd;
    imageCounter.store(0);
    outputWritten.store(0);
    busy.store(1);
    RunImage output;
    RunImage dark;
    // Fixed for the run: a loader left behind by a stop keeps calling the one it started with.
    const ImageReader reader = imageReader != nullptr ? imageReader : unsupportedInput;
    // The loaders go first, while the request is still set: it tells them not to wait for a
    // loader stuck in a file.
    const auto stopped = [](std::optional<Prefetcher>& loads) {
        loads.reset();
        stopRequest.store(0);
        busy.store(0);
        return -1;
    };

    if (runOptions.useNoiseReduction != 0 && !runOptions.darkFrameFile.empty()) {
        const std::string name = runOptions.darkFrameFile;
        setStatus("Reading dark-frame: %s\n", name.c_str());
        // Loaded like an input, so that a file which never answers cannot hold up a stop.
        std::optional<Prefetcher> darkLoad;
        darkLoad.emplace(std::vector<std::string>{name}, reader, 0, 1);
        Prefetcher::Loaded loaded = darkLoad->take();
        if (loaded.stopped)
            return stopped(darkLoad);
        replayMessages(loaded.messages);
        dark.image = loaded.image;
        if (loaded.result != 0) {
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
    std::vector<std::string> inputs;
    for (int i = 1; i < count; ++i) {
        if (arguments[i].empty() || arguments[i][0] != '-')
            inputs.push_back(arguments[i]);
    }
    // With one core (or a sequential run) each file is loaded only when the run reaches it.
    const int loaders = workerCount() > 1 ? workerCount() : 0;
    // Until the run has its accumulator, any image it loads may become the first, whose
    // accumulator (four doubles per pixel) must fit beside it: one that cannot is refused
    // before it is decoded, not after.
    std::optional<Prefetcher> loads(std::in_place, inputs, reader, loaders, kFramesInFlight,
                                    4 * sizeof(double));

    // Accepted images wait here until the batch is full (or the inputs end), then are folded
    // into the accumulator in one pass; each pixel still takes them in input order. A
    // sequential run folds each image at once.
    const std::size_t batchLimit = loaders > 0 ? kMaxRunBatch : 1;
    std::vector<std::unique_ptr<RunImage>> batch;
    const auto combineBatch = [&]() {
        if (batch.empty())
            return;
        Image* images[kMaxCombineBatch];
        for (std::size_t j = 0; j < batch.size(); ++j)
            images[j] = &batch[j]->image;
        if (combineImages(output.image, images, static_cast<int>(batch.size()), dark.image) == 0) {
            imageCounter.fetch_add(static_cast<int32_t>(batch.size()));
        }
        // Freed before they are handed back, so a loader that starts on their budget can
        // reuse their memory instead of mapping more.
        const std::size_t combined = batch.size();
        batch.clear();
        for (std::size_t j = 0; j < combined; ++j)
            loads->release();
    };
    // What imageCounter will be once the batch is combined: the numbering the user sees.
    const auto accepted = [&]() {
        return imageCounter.load() + static_cast<int32_t>(batch.size());
    };

    for (const std::string& argument : inputs) {
        if (batch.size() == batchLimit)
            combineBatch();
        setStatus("Loading image %d: %s\n", accepted() + 1, argument.c_str());
        Prefetcher::Loaded loaded = loads->take();
        if (loaded.stopped || stopRequest.load() == 1) {
            // Whatever this file turned out to be, the run ends here; the images accepted
            // before it count as combined, as they would have been one at a time.
            freePixels(loaded.image.pixels);
            combineBatch();
            return stopped(loads);
        }
        replayMessages(loaded.messages);
        auto input = std::make_unique<RunImage>();
        input->image = loaded.image;
        if (loaded.result != 0) {
            reportError("Problem loading %s...ignoring\n", argument.c_str());
            input.reset();
            loads->release();
            continue;
        }
        narrowSamples(input->image);
        if (accepted() == 0 && output.image.pixels == nullptr) {
            copyImageHeader(input->image, output.image);
            if (prepareAccumulator(output.image) != 0) {
                // Without an accumulator nothing can be combined or saved; the memory
                // report has been shown already.
                input.reset();
                loads.reset();
                endRun();
                return 0;
            }
            loads->dropImageReserve();
            setStatus("Setting output image dimensions: %d x %d\n", input->image.width,
                      input->image.height);
            if (runOptions.useNoiseReduction != 0 && compareImages(dark.image, input->image) == 0) {
                turnOffNoiseReduction();
                reportError(
                    "Dark frame image can not be combined with input images -- Turning off "
                    "noise reduction\n");
            }
        } else if (compareImages(input->image, output.image) == 0) {
            reportError(
                "Cannot combine %s...\nNote: all input images must have the same "
                "dimensions.",
                argument.c_str());
            input.reset();
            loads->release();
            continue;
        }
        setStatus("Combining data...\n");
        batch.push_back(std::move(input));
    }
    combineBatch();
    loads.reset();

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
