#include "engine/darkframe.h"

#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "engine/parallel.h"

void prepareDarkFrame(Image& dark) {
    uint8_t* data = pixelData(dark);
    if (data == nullptr)
        return;
    const double o = runOptions.darkFrameOpacity;
    // Out of range (or not a number) means the whole frame is subtracted, unscaled.
    if (!(o >= 0.0 && o < 1.0))
        return;
    setStatus("Modifying opacity by %.3lf\n", o);
    const int64_t pixelCount = int64_t{dark.width} * dark.height;
    const bool custom = runOptions.presetGammaCurve == 99;
    const double inverseExponent = 1.0 / effectiveGamma(runOptions.Gamma);
    parallelFor(pixelCount, 64 * 1024, [&](int64_t begin, int64_t end) {
        for (int64_t n = begin; n < end; ++n) {
            uint8_t* p = data + n * 4;
            for (int k = 1; k <= 3; ++k) {
                double linear;
                sampleToLinear(p[k], linear);
                linear = linear * o;
                p[k] = custom ? customLinearToSample(linear, inverseExponent)
                              : tableLinearToSample(linear);
            }
        }
    });
}

void subtractDarkFrame(const Image& dark, int x, int y, double& s1, double& s2, double& s3) {
    const uint8_t* data = pixelData(dark);
    if (data == nullptr)
        return;
    const uint8_t* p = data + (int64_t{y} * dark.width + x) * 4;
    double d1, d2, d3;
    sampleToLinear(p[1], d1);
    sampleToLinear(p[2], d2);
    sampleToLinear(p[3], d3);
    s1 = s1 - d1;
    s2 = s2 - d2;
    s3 = s3 - d3;
    if (s1 < 0.0)
        s1 = 0.0;
    if (s2 < 0.0)
        s2 = 0.0;
    if (s3 < 0.0)
        s3 = 0.0;
}
