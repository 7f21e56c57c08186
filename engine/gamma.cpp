#include "engine/gamma.h"

#include <cmath>
#include <cstring>

#include "engine/gamma_tables.h"
#include "engine/messages.h"
#include "engine/options.h"

double gammaTable[258];

namespace {

// Until a curve has been built an all-zero table would map every value to white.
bool tableBuilt = false;

// The inverse of a table lookup is the largest index whose entry is <= the value. Instead of
// searching the whole table for every sample, the value's bucket gives a starting index that
// is never too high, and two comparisons with the next entries find the index the seven-step
// search finds (the preset curves' entries are never closer than a bucket's width; tables
// that are denser near black take the stepping loop).
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
    // Two entries past the end that nothing reaches, so the two-step inverse may look ahead.
    gammaTable[256] = gammaTable[257] = HUGE_VAL;
    bool twoSteps = true;
    for (int b = 0; b < kGammaBuckets; ++b) {
        gammaBucketStart[b] = static_cast<uint8_t>(sevenStepSearch(b / double{kGammaBuckets}));
        const double lastInBucket = std::nextafter((b + 1) / double{kGammaBuckets}, 0.0);
        if (sevenStepSearch(lastInBucket) - gammaBucketStart[b] > 2)
            twoSteps = false;
    }
    gammaBucketsTwoSteps = twoSteps;
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
        std::memcpy(gammaTable, kSrgbCurve, sizeof kSrgbCurve);
    } else if (curve == 1) {
        std::memcpy(gammaTable, kHighContrastCurve, sizeof kHighContrastCurve);
    } else {
        runFellBack.store(1);
        reportError("Invalid Gamma Curve requested\n");
        if (!tableBuilt)
            std::memcpy(gammaTable, kSrgbCurve, sizeof kSrgbCurve);
    }
    tableChanged();
}

void createCustomGammaCurve(double gamma) {
    diagnostic("Creating Custom Gamma (%lf) Curve\n", gamma);
    for (int i = 0; i < 256; ++i)
        gammaTable[i] = std::pow(i / 255.0, gamma);
    tableChanged();
}

uint8_t gammaBucketStart[kGammaBuckets];
bool gammaBucketsTwoSteps = false;

uint8_t searchLinearToSample(double linear) {
    if (linear >= 0.0 && linear < 1.0) {
        // Scaling by a power of two is exact, so the bucket's lower edge is <= linear.
        int i = gammaBucketStart[static_cast<int>(linear * kGammaBuckets)];
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
