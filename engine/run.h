// What a run works with, fixed when it starts.
//
// runProcessing snapshots programOptions into a RunContext and passes it down by const
// reference; nothing below it reads or writes the global option records. What the run changes
// (noise reduction switched off, the divisor of an average) comes back in a RunOutcome and is
// written back in one place when the run ends.
#pragma once

#include <functional>
#include <vector>

#include "engine/gamma.h"
#include "engine/options.h"

class Accumulator;

struct RunContext {
    // Builds the curve from the options (reporting as Curve does).
    explicit RunContext(const ProgramOptions& snapshot);

    ProgramOptions options;  // inputFiles left out: the run gets its arguments separately
    Curve curve;             // its 16-bit table built
    CombineMode mode;
    // For images whose 16-bit samples are linear already (RAW): each sample's level on the
    // curve, 0..255 unrounded, which the thresholds compare.
    std::vector<double> linearLevels;
    // Comet trails: the sums are multiplied by this before each image is folded, so that an
    // image's light is at 1 % cometLength images later; 1 without comet trails. Such runs fold
    // in the 64-bit layout.
    double cometFade = 1.0;
    // Called between batches with the images combined so far (imageCounter), on the run's
    // thread; the sums are not folded while it runs. The Preview window takes its copies here.
    std::function<void(const Accumulator& sums, int combined)> afterBatch;
};

struct RunOutcome {
    bool noiseReductionOff = false;  // the dark frame could not be used
    bool divisorSet = false;         // average mode finalised: divisor is the image count
    double divisor = 0.0;
};
