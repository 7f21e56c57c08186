#include "engine/gamma.h"

#include <cmath>
#include <cstring>

#include "engine/gamma_tables.h"
#include "engine/messages.h"
#include "engine/options.h"

double gammaTable[256];

namespace {

// Until a curve has been built an all-zero table would map every value to white.
bool tableBuilt = false;

// The inverse of a table lookup is the largest index whose entry is <= the value. Instead of
// searching the whole table for every sample, the value's bucket gives a starting index that
// is never too high, and a step or two up the table finds the index the seven-step search
// finds. The entries are far enough apart that a bucket rarely holds more than one.
constexpr int kBuckets = 4096;
uint8_t bucketStart[kBuckets];

int sevenStepSearch(double linear) {
    int i = 128;
    for (int step = 64; step > 0; step /= 2) {
        if (gammaTable[i] > linear) {
            i -= step;
        } else {
            i += step;
        }
    }
    if (gammaTable[i] > linear)
        --i;
    return i;
}

void tableChanged() {
    tableBuilt = true;
    for (int b = 0; b < kBuckets; ++b) {
        bucketStart[b] = static_cast<uint8_t>(sevenStepSearch(b / double{kBuckets}));
    }
}

}  // namespace

double effectiveGamma(double gamma) {
    // The negated test also sends NaN to the fallback.
    return !(gamma >= 0.2 && gamma <= 10.0) ? 2.2 : gamma;
}

void setupGamma(int32_t curve, double gamma) {
    gamma = effectiveGamma(gamma);
    if (curve == 99) {
        createCustomGammaCurve(gamma);
    } else {
        usePresetGammaCurve(curve);
    }
}

void usePresetGammaCurve(int32_t curve) {
    diagnostic("Using Preset Gamma Curve %d\n", curve);
    if (curve == 0) {
        std::memcpy(gammaTable, kSrgbCurve, sizeof gammaTable);
    } else if (curve == 1) {
        std::memcpy(gammaTable, kHighContrastCurve, sizeof gammaTable);
    } else {
        reportError("Invalid Gamma Curve requested\n");
        if (!tableBuilt)
            std::memcpy(gammaTable, kSrgbCurve, sizeof gammaTable);
    }
    tableChanged();
}

void createCustomGammaCurve(double gamma) {
    diagnostic("Creating Custom Gamma (%lf) Curve\n", gamma);
    for (int i = 0; i < 256; ++i)
        gammaTable[i] = std::pow(i / 255.0, gamma);
    tableChanged();
}

uint8_t tableLinearToSample(double linear) {
    // Stacked sums often exceed white; every table ends at 1.0.
    if (linear >= gammaTable[255])
        return 255;
    if (linear >= 0.0 && linear < 1.0) {
        // Scaling by a power of two is exact, so the bucket's lower edge is <= linear.
        int i = bucketStart[static_cast<int>(linear * kBuckets)];
        while (i < 255 && gammaTable[i + 1] <= linear)
            ++i;
        return static_cast<uint8_t>(i);
    }
    return static_cast<uint8_t>(sevenStepSearch(linear));
}

uint8_t customLinearToSample(double linear, double inverseExponent) {
    const double v = 255.0 * std::pow(linear, inverseExponent);
    if (!(v >= 0.0))
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<uint8_t>(v);
}

void linearToSample(double linear, uint8_t& sample) {
    if (runOptions.presetGammaCurve == 99) {
        // The inverse uses the same exponent the table was built with, so a sample survives
        // the round trip even when a hand-edited settings file holds an unusable Gamma.
        sample = customLinearToSample(linear, 1.0 / effectiveGamma(runOptions.Gamma));
    } else {
        sample = tableLinearToSample(linear);
    }
}
