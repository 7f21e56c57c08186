#include "engine/combine.h"

#include <cmath>
#include <mutex>

#include "engine/darkframe.h"
#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/options.h"

int prepareAccumulator(Image& image) {
    image.bitsPerPixel = 256;
    image.bytesPerLine = int64_t{image.width} * 256 / 8;
    image.dataSize = image.bytesPerLine * image.height;
    image.pixels = allocPixels(image.dataSize);
    return image.pixels == nullptr ? -1 : 0;
}

void applyThresholds(uint8_t* pixel) {
    const int sum = pixel[1] + pixel[2] + pixel[3];
    // 64-bit products: a hand-edited threshold must not overflow the comparison.
    if (sum < int64_t{3} * runOptions.low_pass_threshold) {
        pixel[1] = pixel[2] = pixel[3] = 0;
    } else if (sum > int64_t{3} * runOptions.high_pass_threshold) {
        pixel[1] = pixel[2] = pixel[3] = 255;
    }
}

void combineAdd(const double& newR, const double& newG, const double& newB, double& accR,
                double& accG, double& accB) {
    accR = accR + newR;
    accG = accG + newG;
    accB = accB + newB;
}

void combineBrighten(const double& newR, const double& newG, const double& newB, double& accR,
                     double& accG, double& accB) {
    if (accR + accG + accB < newR + newG + newB) {
        accR = newR;
        accG = newG;
        accB = newB;
    }
}

int combineImage(Image& output, Image& input, const Image& dark) {
    // Sixteen-bit inputs are compared and combined on their high bytes; reading them as
    // four bytes per pixel would mix samples of neighbouring pixels.
    if (input.bitsPerPixel >= 48)
        narrowSamples(input);
    uint8_t* in = pixelData(input);
    auto* acc = reinterpret_cast<double*>(pixelData(output));
    if (compareImages(output, input) == 0 || input.bitsPerPixel != 32 || in == nullptr ||
        acc == nullptr || output.bitsPerPixel != 256) {
        reportError("Can't combine incompatible images");
        return -1;
    }
    const CombineFunc combine =
        runOptions.combineFunc != nullptr ? runOptions.combineFunc : combineAdd;
    const bool subtractDark = runOptions.useNoiseReduction != 0;
    const int64_t width = output.width;
    for (int64_t y = 0; y < output.height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            const int64_t n = y * width + x;
            uint8_t* p = in + n * 4;
            double* a = acc + n * 4;
            applyThresholds(p);
            double r, g, b;
            sampleToLinear(p[1], r);
            sampleToLinear(p[2], g);
            sampleToLinear(p[3], b);
            if (subtractDark) {
                subtractDarkFrame(dark, static_cast<int>(x), static_cast<int>(y), r, g, b);
            }
            combine(r, g, b, a[1], a[2], a[3]);
        }
    }
    return 0;
}

int finalizeImage(Image& output) {
    const int32_t count = imageCounter.load();
    auto* acc = reinterpret_cast<double*>(pixelData(output));
    if (count <= 0 || acc == nullptr) {
        reportError("No valid input images");
        return -1;
    }
    const int64_t pixelCount = int64_t{output.width} * output.height;
    const int32_t mode = runOptions.combine_mode;
    if (mode != 0 && mode != 3) {
        if (mode == 1) {
            runOptions.Divisor = count;
            std::lock_guard<std::mutex> lock(optionsMutex);
            programOptions.Divisor = count;
        }
        const double divisor = runOptions.Divisor;
        if (std::fabs(divisor - 1.0) > 0.00001) {
            diagnostic("Averaging %d images (Dividing values by %lf)\n", count, divisor);
            for (int64_t n = 0; n < pixelCount; ++n) {
                double* a = acc + n * 4;
                a[1] = a[1] / divisor;
                a[2] = a[2] / divisor;
                a[3] = a[3] / divisor;
            }
        }
    }
    // Byte 4n+k lies in pixels already encoded (or in the unused slot 0 of pixel 0), so the
    // doubles still to be read are never overwritten.
    uint8_t* bytes = pixelData(output);
    for (int64_t n = 0; n < pixelCount; ++n) {
        const double r = acc[n * 4 + 1], g = acc[n * 4 + 2], b = acc[n * 4 + 3];
        uint8_t* d = bytes + n * 4;
        linearToSample(r, d[1]);
        linearToSample(g, d[2]);
        linearToSample(b, d[3]);
        d[0] = 255;
    }
    output.bitsPerPixel /= 8;
    output.dataSize /= 8;
    output.bytesPerLine /= 8;
    return 0;
}
