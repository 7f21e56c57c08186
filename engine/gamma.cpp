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
    tableBuilt = true;
}

void createCustomGammaCurve(double gamma) {
    diagnostic("Creating Custom Gamma (%lf) Curve\n", gamma);
    for (int i = 0; i < 256; ++i)
        gammaTable[i] = std::pow(i / 255.0, gamma);
    tableBuilt = true;
}

void linearToSample(double linear, uint8_t& sample) {
    if (runOptions.presetGammaCurve == 99) {
        // The inverse uses the same exponent the table was built with, so a sample survives
        // the round trip even when a hand-edited settings file holds an unusable Gamma.
        const double v = 255.0 * std::pow(linear, 1.0 / effectiveGamma(runOptions.Gamma));
        if (!(v >= 0.0)) {
            sample = 0;
        } else if (v >= 255.0) {
            sample = 255;
        } else {
            sample = static_cast<uint8_t>(v);
        }
        return;
    }
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
    sample = static_cast<uint8_t>(i);
}
