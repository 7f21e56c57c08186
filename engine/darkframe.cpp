#include "engine/darkframe.h"

#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/options.h"

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
    for (int64_t n = 0; n < pixelCount; ++n) {
        uint8_t* p = data + n * 4;
        double s1, s2, s3;
        sampleToLinear(p[1], s1);
        sampleToLinear(p[2], s2);
        sampleToLinear(p[3], s3);
        linearToSample(s1 * o, p[1]);
        linearToSample(s2 * o, p[2]);
        linearToSample(s3 * o, p[3]);
    }
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
