#include "engine/darkframe.h"

#include "engine/messages.h"
#include "engine/parallel.h"

void prepareDarkFrame(const RunContext& context, Image& dark) {
    uint8_t* data = pixelData(dark);
    if (data == nullptr)
        return;
    const double o = context.options.darkFrameOpacity;
    if (!(o >= 0.0 && o < 1.0))
        return;
    setStatus("Modifying opacity by %.3lf\n", o);
    // The 16-bit fold scales the dark frame's linear values itself: nothing is re-encoded.
    if (dark.bitsPerPixel == 64)
        return;
    const Curve& curve = context.curve;
    const int64_t pixelCount = int64_t{dark.width} * dark.height;
    parallelFor(pixelCount, kPixelsPerRange, [&](int64_t begin, int64_t end) {
        for (int64_t n = begin; n < end; ++n) {
            uint8_t* p = data + n * 4;
            for (int k = 1; k <= 3; ++k)
                p[k] = curve.sample(curve.linear(p[k]) * o);
        }
    });
}
