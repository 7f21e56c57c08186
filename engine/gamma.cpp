#include "engine/gamma.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "engine/gamma_tables.h"
#include "engine/messages.h"
#include "engine/options.h"

double gammaTable[258];

namespace {

// The table an invalid selector keeps: the one the last curve of this process used.
std::mutex lastTableMutex;
double lastTable[256];
bool lastTableBuilt = false;

// The custom exponent in force for a stored Gamma: out-of-range values (NaN included, by the
// negated test) fall back to 2.2, for the table and its inverse alike.
double effectiveGamma(double gamma) {
    return !(gamma >= 0.2 && gamma <= 10.0) ? 2.2 : gamma;
}

}  // namespace

Curve::Curve(int32_t curve, double gamma) {
    gamma = effectiveGamma(gamma);
    if (curve == CURVE_CUSTOM) {
        diagnostic("Creating Custom Gamma (%lf) Curve\n", gamma);
        for (int i = 0; i < 256; ++i)
            table_[i] = std::pow(i / 255.0, gamma);
        custom_ = true;
        exponent_ = gamma;
        // The inverse uses the exponent the table was built with, so a sample survives the
        // round trip even when a hand-edited settings file holds an unusable Gamma.
        inverseExponent_ = 1.0 / gamma;
    } else {
        diagnostic("Using Preset Gamma Curve %d\n", curve);
        std::lock_guard<std::mutex> lock(lastTableMutex);
        if (curve == CURVE_SRGB) {
            std::memcpy(table_, kSrgbCurve, sizeof kSrgbCurve);
        } else if (curve == CURVE_HIGH_CONTRAST) {
            std::memcpy(table_, kHighContrastCurve, sizeof kHighContrastCurve);
        } else {
            runFellBack.store(1);
            reportError("Invalid Gamma Curve requested\n");
            std::memcpy(table_, lastTableBuilt ? lastTable : kSrgbCurve, sizeof kSrgbCurve);
        }
    }
    {
        std::lock_guard<std::mutex> lock(lastTableMutex);
        std::memcpy(lastTable, table_, sizeof lastTable);
        lastTableBuilt = true;
    }
    tableChanged();
}

// The inverse of a table lookup is the largest index whose entry is <= the value. Instead of
// searching the whole table for every sample, the value's bucket gives a starting index that
// is never too high, and two comparisons with the next entries find the index the seven-step
// search finds (the preset curves' entries are never closer than a bucket's width; tables
// that are denser near black take the stepping loop).
int Curve::sevenStepSearch(double linear) const {
    int i = 128;
    for (int step = 64; step > 0; step /= 2) {
        if (table_[i] > linear) {
            i -= step;
        } else {
            i += step;
        }
    }
    if (table_[i] > linear)
        --i;
    return i;
}

void Curve::tableChanged() {
    // Two entries past the end that nothing reaches, so the two-step inverse may look ahead.
    table_[256] = table_[257] = HUGE_VAL;
    bool twoSteps = true;
    for (int b = 0; b < kBuckets; ++b) {
        bucketStart_[b] = static_cast<uint8_t>(sevenStepSearch(b / double{kBuckets}));
        const double lastInBucket = std::nextafter((b + 1) / double{kBuckets}, 0.0);
        if (sevenStepSearch(lastInBucket) - bucketStart_[b] > 2)
            twoSteps = false;
    }
    twoSteps_ = twoSteps;
}

uint8_t Curve::searchSample(double linear) const {
    if (linear >= 0.0 && linear < 1.0) {
        // Scaling by a power of two is exact, so the bucket's lower edge is <= linear.
        int i = bucketStart_[static_cast<int>(linear * kBuckets)];
        while (i < 255 && table_[i + 1] <= linear)
            ++i;
        return static_cast<uint8_t>(i);
    }
    return static_cast<uint8_t>(sevenStepSearch(linear));
}

uint8_t Curve::customSample(double linear) const {
    const double v = 255.0 * std::pow(linear, inverseExponent_);
    if (!(v >= 0.0))
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<uint8_t>(v);
}

void Curve::buildSixteenBitTable() {
    if (!wide_.empty())
        return;
    wide_.resize(65536);
    for (int v = 0; v < 65536; ++v) {
        if (custom_) {
            // v / 65535 and i / 255 are the same real number at v = 257 i, so the division
            // rounds to the same double and the table's entry comes back.
            wide_[v] = std::pow(v / 65535.0, exponent_);
        } else {
            const int i = v / 257;
            const int step = v % 257;
            wide_[v] =
                step == 0 ? table_[i] : table_[i] + (step / 257.0) * (table_[i + 1] - table_[i]);
        }
    }
}

uint16_t Curve::finalSample16(double linear) const {
    if (custom_) {
        const double v = 65535.0 * std::pow(linear, inverseExponent_);
        if (!(v >= 0.0))
            return 0;
        if (v >= 65535.0)
            return 65535;
        return static_cast<uint16_t>(std::lround(v));
    }
    if (!(linear > table_[0]))
        return 0;
    if (linear >= table_[255])
        return 65535;
    // The segment holding linear, then the position along it.
    const int i = tableSample(linear);
    const double along = (linear - table_[i]) / (table_[i + 1] - table_[i]);
    return static_cast<uint16_t>(i * 257 + std::lround(along * 257.0));
}

double Curve::encodedLevel(double linear) const {
    if (custom_) {
        const double v = 255.0 * std::pow(linear, inverseExponent_);
        return !(v >= 0.0) ? 0.0 : std::min(v, 255.0);
    }
    if (!(linear > table_[0]))
        return 0.0;
    if (linear >= table_[255])
        return 255.0;
    const int i = tableSample(linear);
    return i + (linear - table_[i]) / (table_[i + 1] - table_[i]);
}

void setupGamma(int32_t curve, double gamma) {
    const Curve built(curve, gamma);
    std::memcpy(gammaTable, built.table(), sizeof gammaTable);
}
