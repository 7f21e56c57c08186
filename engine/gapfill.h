// Filling the gaps between the dashes of star trails (brighten mode).
//
// A camera pauses between exposures, so in a brighten stack every star's trail is a row of
// dashes. After each batch is folded, every frame of it is set beside the frame combined just
// before it. A pixel p takes, per channel, the largest min(previous(p - d), current(p + d))
// over the offsets |d| <= radius in both axes for which the previous frame's sample is bright
// there and not in the current frame, and the current frame's is bright there and not in the
// previous one: the end of a dash that moved on, and the start of the next one. That bridges
// gaps of up to 2 x radius pixels along a trail; a star that stays put is bright in both
// frames and is never joined to a neighbour. The values are linear light as the fold takes
// them (thresholds applied, the dark frame subtracted), brightened into the sums as an image's
// pixels are, and faded like the current frame's light on comet runs.
//
// "Bright" is judged per frame against its own sky, on the sum of a pixel's three samples (each
// on the 0-255 scale): the sky's level is the median of a sample of each 64 x 64 square, its
// noise the spread (1.4826 median absolute deviations) of every sample from its square's
// level, and a pixel is bright at 5 spreads (at least 5 levels of the sum) above its square's
// level.
//
// Frames are in the run's layout (32- or 64-bit), the dark frame in theirs. The last frame of
// each batch stays with the filler until the next batch (the run counts it as a frame in
// flight); nothing is bridged across a frame that was skipped or rejected.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/combine.h"
#include "engine/prefetch.h"
#include "engine/run.h"

// The pixels judged bright in a frame: one byte each (1 bright), and their indices in order.
struct BrightMask {
    std::vector<uint8_t> bright;
    std::vector<int64_t> where;
};

class GapFiller {
  public:
    explicit GapFiller(int radius) : radius_(radius) {}

    // Bridges each frame of the batch (in combining order, just folded into sums) to the one
    // combined before it. follows[j]: frame j came right after that one among the inputs.
    // Keeps the batch's last frame, moved out of it.
    void afterFold(const RunContext& context, Accumulator& sums,
                   std::vector<Prefetcher::Frame>& batch, const std::vector<bool>& follows,
                   const Image* dark, double darkScale);
    // Frees the kept frame.
    void reset();

  private:
    int radius_;
    Prefetcher::Frame kept_;
    BrightMask keptMask_;
    bool haveKept_ = false;
    // Per pixel, while a pair is bridged: near a dash's end (1), and then also near the next
    // one's start (2). All zero between pairs.
    std::vector<uint8_t> near_;
};
