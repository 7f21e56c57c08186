// The combine engine: accumulate input images in linear light, then finalise.
//
// The Accumulator holds four doubles per pixel: slot 0 unused, slots 1..3 the running linear
// values of the red, green and blue samples. Inputs and the dark frame are in the 32-bit
// layout (filler R G B) and have the accumulator's size; the run checks that before folding.
// Failures are reported where detected (allocPixels' message).
#pragma once

#include <cstdint>
#include <optional>

#include "engine/image.h"
#include "engine/run.h"

// Images folded in one pass at most: enough for a 16-core machine, where the accumulator's
// pass must be shared by about three quarters as many frames as there are cores to stay
// below the decoding (bench/README.md).
constexpr int kMaxCombineBatch = 12;

class Accumulator {
  public:
    // Zero-filled sums for images of first's size; nullopt when the memory cannot be had
    // (already reported).
    static std::optional<Accumulator> create(const Image& first);
    ~Accumulator();
    Accumulator(Accumulator&& other) noexcept;
    Accumulator& operator=(Accumulator&& other) noexcept;
    Accumulator(const Accumulator&) = delete;

    const Image& image() const { return sums_; }
    // Slot 0..3 of every pixel, row by row: for passes that fold something other than whole
    // input images (gap filling).
    double* slots() { return reinterpret_cast<double*>(pixelData(sums_)); }
    // Folds count inputs in one pass; each pixel takes them in the given order, so the sums
    // equal folding them one by one. Thresholds are applied to the inputs in place; dark may
    // be nullptr (nothing subtracted). Inputs and dark are all in the 32-bit layout, or all in
    // the 64-bit layout: 16-bit samples through the curve's 16-bit table, or taken as linear
    // light for images marked linearSamples; there the dark frame's linear values are
    // multiplied by darkScale, and inputs marked darkSubtracted keep theirs.
    void fold(const RunContext& context, Image* const* inputs, int count, const Image* dark,
              double darkScale = 1.0);
    // The 32-bit image (filler 255) of the sums divided by divisor (not divided when within
    // 0.00001 of one), or with bits 16 the 64-bit image (filler 65535, the curve's 16-bit
    // inverse); no pixels when the memory cannot be had. Leaves the sums as they are.
    Image finalize(const Curve& curve, double divisor, int bits = 8) const;
    // The same for the run's last finalisation, which needs no memory beyond the sums: it may
    // encode into their own block, leaving the accumulator empty.
    Image finish(const Curve& curve, double divisor, int bits = 8) &&;
    // A smaller copy that fits within maxWidth x maxHeight, shrunk by the smallest whole
    // factor that does: each of its pixels stands for a factor x factor block (cut short at the
    // right and bottom edges), taking the block's brightest pixel as combineBrighten compares
    // them when brightest is set, so that thin trails stay visible, else the block's mean.
    // Leaves the sums as they are; nullopt when the memory cannot be had (not reported).
    std::optional<Accumulator> shrunk(int maxWidth, int maxHeight, bool brightest) const;

  private:
    explicit Accumulator(const Image& sums) : sums_(sums) {}
    Image sums_;
};

// The factor a 64-bit dark frame's linear values take: the opacity, or 1 for one the 8-bit
// preparation would leave alone.
double darkFrameScale(double opacity);
// v / 65535 for every 16-bit v: the linear value of a sample that is linear already.
const double* linearSampleTable();
// The linear values an image's samples stand for: the curve's 8-bit table in the 32-bit
// layout; in the 64-bit layout its 16-bit table, or linearSampleTable() for linear samples.
const double* sampleTable(const RunContext& context, const Image& image);

// The divisor the mode applies after count images: 1 for stack and brighten, count for
// average, the options' Divisor for mix.
double modeDivisor(const RunContext& context, int count);

// The per-pixel definitions of the two folds (the values of combineFunc); the fold kernel
// must equal them bit for bit.
void combineAdd(const double& newR, const double& newG, const double& newB, double& accR,
                double& accG, double& accB);
// Keeps the pixel whose three linear values sum higher; ties keep the stored one.
void combineBrighten(const double& newR, const double& newG, const double& newB, double& accR,
                     double& accG, double& accB);
