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
    // Folds count inputs in one pass; each pixel takes them in the given order, so the sums
    // equal folding them one by one. Thresholds are applied to the inputs in place; dark may
    // be nullptr (nothing subtracted).
    void fold(const RunContext& context, Image* const* inputs, int count, const Image* dark);
    // The 32-bit image (filler 255) of the sums divided by divisor (not divided when within
    // 0.00001 of one); no pixels when the memory cannot be had. Leaves the sums as they are.
    Image finalize(const Curve& curve, double divisor) const;
    // The same for the run's last finalisation, which needs no memory beyond the sums: it may
    // encode into their own block, leaving the accumulator empty.
    Image finish(const Curve& curve, double divisor) &&;

  private:
    explicit Accumulator(const Image& sums) : sums_(sums) {}
    Image sums_;
};

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
