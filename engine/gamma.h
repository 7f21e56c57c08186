// Gamma curves: 8-bit samples to linear light and back.
//
// gammaTable[i] is the linear value of sample i (rising strictly to 1.0 at 255). It is
// rebuilt by setupGamma before each run and read-only during it. linearToSample depends on
// runOptions.presetGammaCurve and runOptions.Gamma, not on the table alone.
#pragma once

#include <cstdint>

// 256 entries (and two guard entries past the end for the inverse's look-ahead).
extern double gammaTable[258];

// Builds gammaTable from a curve selector (0 sRGB, 1 High Contrast, 99 custom) and exponent.
void setupGamma(int32_t curve, double gamma);
// Copies preset table curve; an invalid number is reported and the table is kept (or the
// sRGB table is used when no table was ever built).
void usePresetGammaCurve(int32_t curve);
// Fills gammaTable with (i / 255)^gamma.
void createCustomGammaCurve(double gamma);

inline void sampleToLinear(uint8_t sample, double& linear) {
    linear = gammaTable[sample];
}
// The inverse: a seven-step search for presets, a power function for the custom curve.
void linearToSample(double linear, uint8_t& sample);

// The two inverses behind linearToSample, for loops that choose once: the table's (presets)
// and the power curve's with 1 / exponent.
inline uint8_t tableLinearToSample(double linear);
uint8_t customLinearToSample(double linear, double inverseExponent);

// The custom exponent that is actually in force for a stored Gamma (out-of-range values
// fall back to 2.2 for both directions).
double effectiveGamma(double gamma);

// ---- the table inverse, inline for the encoding loops ----
constexpr int kGammaBuckets = 4096;
// Per bucket of [0, 1): the inverse of its lower edge; rebuilt with the table.
extern uint8_t gammaBucketStart[kGammaBuckets];
// Whether no bucket holds more than two entries (true for the preset curves).
extern bool gammaBucketsTwoSteps;
uint8_t searchLinearToSample(double linear);

inline uint8_t tableLinearToSample(double linear) {
    // Stacked sums often exceed white; every table ends at 1.0.
    if (linear >= gammaTable[255])
        return 255;
    if (gammaBucketsTwoSteps && linear >= 0.0) {
        // Exact: the bucket's lower edge (a power-of-two scaling) is <= linear, and at most
        // two entries follow it within the bucket. Comparisons, not branches: whether noise
        // crosses an entry is random.
        const int start = gammaBucketStart[static_cast<int>(linear * kGammaBuckets)];
        const int one = gammaTable[start + 1] <= linear;
        const int two = gammaTable[start + 2] <= linear;
        return static_cast<uint8_t>(start + one + (one & two));
    }
    return searchLinearToSample(linear);
}

// ---- finalisation ----
// A sum divided back by its count, or a power undone by its root, often lands a few ulps below
// the level it stands for, and both inverses round down: identical frames would come back a
// level darker. Raising the value by far less than the narrowest gap between levels restores
// them and moves nothing else. Only the output's encoding takes it: thresholds and the dark
// frame work on exact table entries.
constexpr double kFinalisationNudge = 1.0 + 0x1p-30;

inline uint8_t finalLinearToSample(double linear, bool custom, double inverseExponent) {
    linear = linear * kFinalisationNudge;
    return custom ? customLinearToSample(linear, inverseExponent) : tableLinearToSample(linear);
}
