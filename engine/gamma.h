// Gamma curves: 8-bit samples to linear light and back.
//
// A Curve is built once per run from the curve selector (CURVE_SRGB, CURVE_HIGH_CONTRAST,
// CURVE_CUSTOM with an exponent) and is read-only afterwards. It is the one place that knows
// the presets, the custom exponent in force and which inverse goes with them. Linear values
// rise strictly from the curve's floor to 1.0 at sample 255.
#pragma once

#include <cstdint>
#include <vector>

class Curve {
  public:
    // Reports "Using Preset Gamma Curve %d" or "Creating Custom Gamma (%lf) Curve" as a
    // diagnostic. An invalid selector is reported, sets runFellBack and keeps the table last
    // built in this process (sRGB when there was none).
    Curve(int32_t curve, double gamma);

    double linear(uint8_t sample) const { return table_[sample]; }
    // 256 entries, then two guard entries past the end.
    const double* table() const { return table_; }
    // The inverse: the largest sample whose linear value is <= linear for the presets, a
    // truncated power for the custom curve; clamps at both ends.
    uint8_t sample(double linear) const;
    // The inverse the output's encoding takes (see kFinalisationNudge).
    uint8_t finalSample(double linear) const;

    // 16-bit samples. The presets interpolate their table linearly in the encoded domain
    // (level v lies v / 257 of the way along it), the custom curve takes its formula; both
    // give the 8-bit values at multiples of 257. Built on demand, once per run that needs it.
    void buildSixteenBitTable();
    // 65536 entries; buildSixteenBitTable must have been called.
    const double* sixteenBitTable() const { return wide_.data(); }
    // The continuous inverse of the same curve, rounded to the nearest level and clamped.
    // Unlike the 8-bit inverse it rounds, so a few ulps below a level cannot cost one.
    uint16_t finalSample16(double linear) const;
    // The continuous inverse in levels of 0..255, not rounded: where a sample that is linear
    // already (a RAW file's) stands against the thresholds.
    double encodedLevel(double linear) const;

  private:
    uint8_t tableSample(double linear) const;
    uint8_t customSample(double linear) const;
    uint8_t searchSample(double linear) const;
    int sevenStepSearch(double linear) const;
    void tableChanged();

    static constexpr int kBuckets = 4096;
    double table_[258];
    uint8_t bucketStart_[kBuckets];  // per bucket of [0, 1): the inverse of its lower edge
    bool twoSteps_ = false;          // no bucket holds more than two entries (the presets)
    bool custom_ = false;
    double inverseExponent_ = 1.0;
    double exponent_ = 1.0;
    std::vector<double> wide_;
};

// A sum divided back by its count, or a power undone by its root, often lands a few ulps below
// the level it stands for, and both inverses round down: identical frames would come back a
// level darker. Raising the value by far less than the narrowest gap between levels restores
// them and moves nothing else. Only the output's encoding takes it: thresholds and the dark
// frame work on exact table entries.
constexpr double kFinalisationNudge = 1.0 + 0x1p-30;

// For code outside the run (tools, test oracles): gammaTable holds the table of the curve
// setupGamma built last.
extern double gammaTable[258];
void setupGamma(int32_t curve, double gamma);

// ---- inline for the encoding loops ----
inline uint8_t Curve::tableSample(double linear) const {
    // Stacked sums often exceed white; every table ends at 1.0.
    if (linear >= table_[255])
        return 255;
    if (twoSteps_ && linear >= 0.0) {
        // Exact: the bucket's lower edge (a power-of-two scaling) is <= linear, and at most
        // two entries follow it within the bucket. Comparisons, not branches: whether noise
        // crosses an entry is random.
        const int start = bucketStart_[static_cast<int>(linear * kBuckets)];
        const int one = table_[start + 1] <= linear;
        const int two = table_[start + 2] <= linear;
        return static_cast<uint8_t>(start + one + (one & two));
    }
    return searchSample(linear);
}

inline uint8_t Curve::sample(double linear) const {
    return custom_ ? customSample(linear) : tableSample(linear);
}

inline uint8_t Curve::finalSample(double linear) const {
    return sample(linear * kFinalisationNudge);
}
