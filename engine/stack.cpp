#include "engine/stack.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>

#include "engine/combine.h"
#include "engine/darkframe.h"
#include "engine/gapfill.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "engine/parallel.h"
#include "engine/prefetch.h"
#include "engine/rejection.h"
#include "engine/system.h"
#include "engine/timelapse.h"

namespace {

using Frame = Prefetcher::Frame;

ImageReader imageReader = nullptr;
ImageWriter imageWriter = nullptr;
TimelapseHandler timelapseHandler = nullptr;
BrightnessMeter brightnessMeter = nullptr;

// The places of the inputs left when those much brighter than their neighbours are taken out
// (each reported); nullopt when a stop came while measuring. A few files at a time, so a stop
// is seen within about one file's measuring.
std::optional<std::vector<int>> withoutBrightFrames(const RunContext& context,
                                                    const std::vector<std::string>& inputs) {
    setStatus("Measuring the brightness of %d images...\n", static_cast<int>(inputs.size()));
    std::vector<double> means(inputs.size());
    const int64_t step = std::max(1, workerCount());
    for (int64_t start = 0; start < static_cast<int64_t>(inputs.size()); start += step) {
        if (stopRequest.load() == 1)
            return std::nullopt;
        const int64_t count = std::min<int64_t>(step, static_cast<int64_t>(inputs.size()) - start);
        parallelFor(count, 1, [&](int64_t begin, int64_t end) {
            for (int64_t i = begin; i < end; ++i)
                means[start + i] = brightnessMeter(inputs[start + i].c_str());
        });
    }
    const std::vector<Rejection> verdicts = rejectBright(means, context.options.rejectDeviations);
    std::vector<int> kept;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!verdicts[i].rejected) {
            kept.push_back(static_cast<int>(i));
            continue;
        }
        imagesRejected.fetch_add(1);
        reportError("Rejected %s: too bright (%.1f > %.1f)\n", inputs[i].c_str(), verdicts[i].value,
                    verdicts[i].limit);
    }
    return kept;
}
void (*runEndedHook)() = nullptr;

int unsupportedInput(Image&, const char*) {
    reportError("Unsupported Input File Format: Must be JPEG, TIFF or BMP");
    return -1;
}

int writeImageFile(Image& image, const std::string& path, const OutputFacts& facts) {
    if (imageWriter == nullptr) {
        reportError("Unsupported Output File Format: Must be JPEG, TIFF or BMP");
        return -1;
    }
    return imageWriter(image, path.c_str(), facts);
}

std::string curveName(const ProgramOptions& options) {
    switch (options.presetGammaCurve) {
        case CURVE_SRGB:
            return "sRGB curve";
        case CURVE_HIGH_CONTRAST:
            return "High Contrast curve";
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "gamma %g curve", options.Gamma);
            return text;
        }
    }
}

// The inputs' exposures and dates, gathered as they are combined.
struct Exposures {
    double sum = 0.0;
    bool complete = true;
    std::string lastDate;

    void add(const Image& image) {
        if (std::isnan(image.exposureTime))
            complete = false;
        else
            sum += image.exposureTime;
        lastDate = image.dateTimeOriginal;
    }

    OutputFacts facts(const RunContext& context, const std::string& firstInput, int given,
                      int combined, double divisor) const {
        static const char* const kModes[] = {"Stack", "Average", "Stack/Average Mix", "Brighten"};
        OutputFacts facts;
        facts.firstInput = firstInput;
        facts.imagesGiven = given;
        facts.imagesCombined = combined;
        if (complete && combined > 0 && context.mode == MODE_STACK)
            facts.exposureTime = sum;
        if (complete && combined > 0 && context.mode == MODE_MIX)
            facts.exposureTime = sum / divisor;
        facts.dateTimeOriginal = lastDate;
        const int mode =
            context.mode >= MODE_STACK && context.mode <= MODE_BRIGHTEN ? context.mode : MODE_STACK;
        facts.description = std::string(kModes[mode]) + " of " + std::to_string(combined) +
                            (combined == 1 ? " image, " : " images, ") + curveName(context.options);
        return facts;
    }
};

// How many loaders decode at once, how many frames may be alive (loaded ahead, or accepted
// and waiting to be folded) and how many are folded in one pass over the accumulator.
struct Plan {
    int loaders;
    int frames;
    int batch;
};

// The floor is what a two-core machine needs: a batch of three folded while a fourth frame
// keeps a loader busy. More cores decode more frames at once, and folding is bound by the
// accumulator's memory traffic, so larger batches keep the fold's share of the run down.
// Frames take at most half of the memory left once the accumulator and the dark frame are in
// place, so the page cache and the codecs keep their room.
// kept: frames the run holds beyond its batch (gap filling's previous frame).
Plan planRun(const Image& first, int64_t bytesPerPixel, int kept) {
    constexpr int kFloorFrames = 4;
    constexpr int kFloorBatch = 3;
    const int cores = workerCount();
    if (cores <= 1)
        return {1, 1 + kept, 1};  // one file at a time, folded at once
    int batch = std::clamp(cores + 1, kFloorBatch, kMaxCombineBatch);
    int frames = batch + cores - 1 + kept;
    const int64_t frameBytes = int64_t{first.width} * first.height * bytesPerPixel;
    const int64_t room = availableMemory() / 2;
    if (frameBytes > 0 && room / frameBytes < frames)
        frames = static_cast<int>(std::max<int64_t>(kFloorFrames + kept, room / frameBytes));
    batch = std::min(batch, std::max(kFloorBatch, frames - 1 - kept));
    return {cores, frames, batch};
}

void progress(RunProgress::Phase phase, int index, int total, const std::string& file = {}) {
    RunProgress p;
    p.phase = phase;
    p.index = index;
    p.total = total;
    p.file = file;
    reportProgress(p);
}

// The run proper. -1 when it stopped on request; the loaders have been dealt with then.
// places: each input's place in the combining order before any was rejected.
int runStack(const RunContext& context, const std::vector<std::string>& inputs,
             const std::vector<int>& places, const std::string& firstGiven, RunOutcome& outcome) {
    const ProgramOptions& options = context.options;
    // Fixed for the run: a loader left behind by a stop keeps calling the one it started with.
    const ImageReader reader = imageReader != nullptr ? imageReader : unsupportedInput;
    const int total = static_cast<int>(inputs.size());
    // At 16 bits every image is brought to the 64-bit layout (8-bit ones widened, so they read
    // the curve's values at multiples of 257); at 8 bits 16-bit images lose their low byte.
    const bool wide = options.outputDepth == 16;
    const int bits = wide ? 16 : 8;
    // Only the 64-bit layout's fold fades the sums (comet trails); 8-bit samples widened read
    // the same curve values there.
    const bool wideFolds = wide || context.cometFade != 1.0;
    const auto toRunLayout = [wideFolds](Image& image) {
        if (image.linearSamples != 0)
            return true;  // linear light already: never narrowed, never through the curve
        if (!wideFolds) {
            narrowSamples(image);
            return true;
        }
        return widenSamples(image);
    };
    const auto turnOffNoiseReduction = [&outcome] {
        runFellBack.store(1);
        outcome.noiseReductionOff = true;
    };

    Frame dark;
    double darkScale = 1.0;
    bool subtractDark = options.useNoiseReduction != 0;
    if (subtractDark && !options.darkFrameFile.empty()) {
        const std::string& name = options.darkFrameFile;
        setStatus("Reading dark-frame: %s\n", name.c_str());
        // Loaded like an input, so that a file which never answers cannot hold up a stop.
        Prefetcher darkLoad({name}, reader, 0);
        Prefetcher::Loaded loaded = darkLoad.take();
        if (loaded.stopped)
            return -1;
        replayMessages(loaded.messages);
        if (loaded.result != 0) {
            reportError("Problem loading dark-frame: %s\n", name.c_str());
            subtractDark = false;
            turnOffNoiseReduction();
        } else {
            dark = std::move(loaded.frame);
            if (toRunLayout(dark.image)) {
                prepareDarkFrame(context, dark.image);
                // A 64-bit frame keeps its linear values; the fold scales them.
                if (dark.image.bitsPerPixel == 64)
                    darkScale = darkFrameScale(options.darkFrameOpacity);
            } else {
                reportError("Problem loading dark-frame: %s\n", name.c_str());
                subtractDark = false;
                turnOffNoiseReduction();
            }
        }
    }

    // Every load, the first one included, runs on a loader thread; until the accumulator
    // exists they go one at a time, in order, so nothing loaded ahead competes with it.
    const bool parallel = workerCount() > 1;
    std::optional<Prefetcher> loads(std::in_place, inputs, reader, parallel ? workerCount() : 0);
    std::optional<Accumulator> sums;
    std::size_t batchLimit = 1;

    // Accepted images wait here until the batch is full (or the inputs end, or a cut is
    // reached), then are folded in one pass; each pixel still takes them in input order.
    std::vector<Frame> batch;
    std::vector<int> batchPositions;  // each batched image's place among the inputs, from 1
    std::optional<GapFiller> gaps;
    if (options.fillGaps > 0 && context.mode == MODE_BRIGHTEN)
        gaps.emplace(options.fillGaps);
    int lastPosition = 0;  // of the last image combined; 0 none
    Exposures exposures;
    // The time-lapse: a frame after every K-th image combined, and after the last; a batch
    // ends at each.
    const int every = timelapseHandler != nullptr ? options.timelapseEvery : 0;
    std::optional<TimelapseQueue> timelapse;
    std::set<int> cuts;
    if (every > 0) {
        timelapse.emplace(timelapseHandler);
        for (int k = every; k <= total; k += every)
            cuts.insert(k);
    }
    int timelapseFrames = 0;
    int givenSoFar = 0;  // inputs up to the last one combined
    const auto timelapseFrame = [&](int combined) {
        const double divisor = modeDivisor(context, combined);
        Image frame = sums->finalize(context.curve, divisor, bits);
        if (frame.pixels == nullptr)
            return;  // reported; the run goes on without this frame
        timelapse->push(frame, ++timelapseFrames,
                        exposures.facts(context, firstGiven, givenSoFar, combined, divisor));
    };
    // One 64-bit image (16-bit or RAW) in a batch of an 8-bit run brings the rest of the batch
    // to its layout, where 8-bit samples read the curve's own values; a 64-bit dark frame
    // does so for every batch.
    const auto sameLayout = [&] {
        const auto wideImage = [](const Frame& f) { return f.image.bitsPerPixel == 64; };
        const bool darkWide = subtractDark && dark.image.bitsPerPixel == 64;
        if (!darkWide && std::none_of(batch.begin(), batch.end(), wideImage))
            return;
        if (subtractDark && !widenSamples(dark.image)) {
            subtractDark = false;
            turnOffNoiseReduction();
        }
        for (std::size_t j = batch.size(); j-- > 0;) {
            if (!widenSamples(batch[j].image)) {
                batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(j));
                batchPositions.erase(batchPositions.begin() + static_cast<std::ptrdiff_t>(j));
            }
        }
    };
    const auto combineBatch = [&] {
        sameLayout();
        if (batch.empty())
            return;
        for (const Frame& f : batch)
            exposures.add(f.image);
        Image* images[kMaxCombineBatch];
        for (std::size_t j = 0; j < batch.size(); ++j)
            images[j] = &batch[j].image;
        sums->fold(context, images, static_cast<int>(batch.size()),
                   subtractDark ? &dark.image : nullptr, darkScale);
        imageCounter.fetch_add(static_cast<int32_t>(batch.size()));
        if (gaps) {
            // A skipped or rejected image between two breaks the trails there.
            std::vector<bool> follows;
            for (const int position : batchPositions) {
                follows.push_back(lastPosition > 0 &&
                                  places[position - 1] == places[lastPosition - 1] + 1);
                lastPosition = position;
            }
            gaps->afterFold(context, *sums, batch, follows, subtractDark ? &dark.image : nullptr,
                            darkScale);
        }
        givenSoFar = batchPositions.back();
        batch.clear();
        batchPositions.clear();
        progress(RunProgress::Phase::Combining, imageCounter.load(), total);
        if (context.afterBatch)
            context.afterBatch(*sums, imageCounter.load());
        if (every > 0 && imageCounter.load() % every == 0)
            timelapseFrame(imageCounter.load());
    };
    // What imageCounter will be once the batch is combined: the numbering the user sees.
    const auto accepted = [&] { return imageCounter.load() + static_cast<int32_t>(batch.size()); };

    int position = 0;
    for (const std::string& argument : inputs) {
        ++position;
        if (batch.size() >= batchLimit || cuts.count(accepted()) != 0)
            combineBatch();
        setStatus("Loading image %d: %s\n", accepted() + 1, argument.c_str());
        progress(RunProgress::Phase::Loading, accepted() + 1, total, argument);
        Prefetcher::Loaded loaded = loads->take();
        if (loaded.stopped || stopRequest.load() == 1) {
            // Whatever this file turned out to be, the run ends here; the images accepted
            // before it count as combined, as they would have been one at a time. The loaders
            // go while the request is still set: it tells them not to wait for one stuck in a
            // file.
            loaded.frame.reset();
            combineBatch();
            loads.reset();
            return -1;
        }
        replayMessages(loaded.messages);
        Frame input = std::move(loaded.frame);
        if (loaded.result != 0) {
            reportError("Problem loading %s...ignoring\n", argument.c_str());
            continue;
        }
        if (!toRunLayout(input.image)) {
            reportError("Problem loading %s...ignoring\n", argument.c_str());
            continue;
        }
        if (!sums) {
            sums = Accumulator::create(input.image);
            if (!sums) {
                // Without an accumulator nothing can be combined or saved; the memory
                // report has been shown already.
                return 0;
            }
            setStatus("Setting output image dimensions: %d x %d\n", input.image.width,
                      input.image.height);
            const Plan plan =
                planRun(input.image, input.image.bitsPerPixel == 64 ? 8 : 4, gaps ? 1 : 0);
            diagnostic("Loaders: %d, frames in flight: %d, batch: %d\n", plan.loaders, plan.frames,
                       plan.batch);
            batchLimit = static_cast<std::size_t>(plan.batch);
            loads->startAhead(plan.frames);
            if (subtractDark && compareImages(dark.image, input.image) == 0) {
                subtractDark = false;
                turnOffNoiseReduction();
                reportError(
                    "Dark frame image can not be combined with input images -- Turning off "
                    "noise reduction\n");
            }
            // RAW lights may have had it taken off their sensor data already.
            if (subtractDark && input.image.linearSamples != 0)
                diagnostic(input.image.darkSubtracted != 0
                               ? "Dark frame subtracted from the sensor data before decoding\n"
                               : "Dark frame subtracted after decoding\n");
        } else if (compareImages(input.image, sums->image()) == 0) {
            reportError(
                "Cannot combine %s...\nNote: all input images must have the same "
                "dimensions.",
                argument.c_str());
            continue;
        }
        setStatus("Combining data...\n");
        batch.push_back(std::move(input));
        batchPositions.push_back(position);
    }
    combineBatch();
    loads.reset();
    gaps.reset();

    setStatus("Finalizing...\n");
    const int count = imageCounter.load();
    if (every > 0 && sums && count > 0 && count % every != 0)
        timelapseFrame(count);
    // Its last frames are written (and a video closed) before the output.
    timelapse.reset();
    progress(RunProgress::Phase::Finalizing, count, total);
    Frame output;
    OutputFacts facts;
    if (sums && count > 0) {
        const double divisor = modeDivisor(context, count);
        facts =
            exposures.facts(context, firstGiven, static_cast<int>(inputs.size()), count, divisor);
        if (context.mode == MODE_AVERAGE) {
            outcome.divisorSet = true;
            outcome.divisor = divisor;
        }
        if (context.mode != MODE_STACK && context.mode != MODE_BRIGHTEN &&
            std::fabs(divisor - 1.0) > 0.00001)
            diagnostic("Averaging %d images (Dividing values by %lf)\n", count, divisor);
        dark.reset();
        output.image = std::move(*sums).finish(context.curve, divisor, bits);
        sums.reset();
    } else {
        reportError("No valid input images");
    }
    if (output.image.pixels == nullptr) {
        reportError("Could not create final image.");
    } else {
        const std::string& name = options.outputName;
        setStatus("Writing output image: %s\n", name.c_str());
        progress(RunProgress::Phase::Writing, count, total, name);
        if (writeImageFile(output.image, name, facts) == 0)
            outputWritten.store(1);
    }
    return 0;
}

}  // namespace

RunContext::RunContext(const ProgramOptions& snapshot)
    : options(snapshot),
      curve(snapshot.presetGammaCurve, snapshot.Gamma),
      mode(static_cast<CombineMode>(snapshot.combine_mode)) {
    // Both are needed by any run that meets a 16-bit or RAW image, whatever its depth; a few
    // milliseconds, against the seconds of decoding a single frame.
    if (options.cometLength >= 2)
        cometFade = std::pow(0.01, 1.0 / options.cometLength);
    curve.buildSixteenBitTable();
    linearLevels.resize(65536);
    for (int v = 0; v < 65536; ++v)
        linearLevels[v] = curve.encodedLevel(v / 65535.0);
}

void setBrightnessMeter(BrightnessMeter meter) {
    brightnessMeter = meter;
}

void setTimelapseHandler(TimelapseHandler handler) {
    timelapseHandler = handler;
}

void setImageFileHandlers(ImageReader reader, ImageWriter writer, void (*runEnded)()) {
    imageReader = reader;
    imageWriter = writer;
    runEndedHook = runEnded;
}

RunContext snapshotRunContext() {
    ProgramOptions snapshot;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        programOptions.combineFunc =
            programOptions.combine_mode == MODE_BRIGHTEN ? combineBrighten : combineAdd;
        snapshot = programOptions;
    }
    // The run gets its arguments separately; the snapshot need not hold a second copy.
    snapshot.inputFiles.clear();
    runFellBack.store(0);
    return RunContext(snapshot);
}

int runProcessing(int argumentCount, const std::vector<std::string>& arguments) {
    const RunContext context = snapshotRunContext();
    return runProcessing(context, argumentCount, arguments);
}

int runProcessing(const RunContext& context, int argumentCount,
                  const std::vector<std::string>& arguments) {
    runOptions = context.options;
    imageCounter.store(0);
    outputWritten.store(0);
    busy.store(1);
    const int count = std::min<int>(argumentCount, static_cast<int>(arguments.size()));
    std::vector<std::string> inputs;
    for (int i = 1; i < count; ++i) {
        if (arguments[i].empty() || arguments[i][0] != '-')
            inputs.push_back(arguments[i]);
    }
    RunOutcome outcome;
    // The facts name the first input as given; the run takes them in its own order.
    const std::string firstGiven = inputs.empty() ? std::string() : inputs.front();
    if (context.options.reverseOrder != 0)
        std::reverse(inputs.begin(), inputs.end());
    imagesRejected.store(0);
    std::vector<int> places(inputs.size());
    for (std::size_t i = 0; i < places.size(); ++i)
        places[i] = static_cast<int>(i);
    if (context.options.rejectBright != 0 && brightnessMeter != nullptr && !inputs.empty()) {
        std::optional<std::vector<int>> kept = withoutBrightFrames(context, inputs);
        if (!kept) {
            stopRequest.store(0);
            busy.store(0);
            return -1;
        }
        std::vector<std::string> keptInputs;
        for (const int place : *kept)
            keptInputs.push_back(inputs[place]);
        inputs = std::move(keptInputs);
        places = std::move(*kept);
    }
    const int result = runStack(context, inputs, places, firstGiven, outcome);
    // Every image of the run has been freed by now.
    releaseCachedPixels();
    if (runEndedHook != nullptr)
        runEndedHook();

    // A field the run changed is changed in the shared record too, so the dialogs and the
    // settings file show what actually happened.
    if (outcome.noiseReductionOff)
        runOptions.useNoiseReduction = 0;
    if (outcome.divisorSet)
        runOptions.Divisor = outcome.divisor;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        if (outcome.noiseReductionOff)
            programOptions.useNoiseReduction = 0;
        if (outcome.divisorSet)
            programOptions.Divisor = outcome.divisor;
    }
    if (result != 0) {
        stopRequest.store(0);
        busy.store(0);
        return -1;
    }
    busy.store(0);
    diagnostic("Finished.\n");
    setStatusText(" ");
    return 0;
}
