// Gamma curves: 8-bit samples to linear light and back.
//
// gammaTable[i] is the linear value of sample i (rising strictly to 1.0 at 255). It is
// rebuilt by setupGamma before each run and read-only during it. linearToSample depends on
// runOptions.presetGammaCurve and runOptions.Gamma, not on the table alone.
#pragma once

#include <cstdint>

extern double gammaTable[256];

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
uint8_t tableLinearToSample(double linear);
uint8_t customLinearToSample(double linear, double inverseExponent);

// The custom exponent that is actually in force for a stored Gamma (out-of-range values
// fall back to 2.2 for both directions).
double effectiveGamma(double gamma);
