#include "engine/combine.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "engine/darkframe.h"
#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "engine/parallel.h"

namespace {

// Pixels per parallel range: large enough that starting a thread costs nothing in comparison.
constexpr int64_t kMinimumChunk = 64 * 1024;

// Everything the fold loop needs, resolved once per call so the loop has no indirection
// beyond what its mode requires.
struct Fold {
    double* acc;
    uint8_t* inputs[kMaxCombineBatch];
    int count;
    const uint8_t* dark;  // same size as the inputs; nullptr when not subtracted
    int64_t low3;
    int64_t high3;
    CombineFunc func;  // only for functions other than the two built-in ones
};

enum class Mode { Add, Brighten, Other };

// "Below 0 becomes 0" without a branch: which channels clamp is as random as the sensor
// noise, and mispredicted branches cost more than the rest of the pixel. Clearing the word of
// a negative value gives +0.0; the differences of two table entries are never -0.0 or NaN, so
// this equals the comparison it replaces.
inline double clampBelowZero(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bits &= ~static_cast<uint64_t>(static_cast<int64_t>(bits) >> 63);
    std::memcpy(&value, &bits, sizeof bits);
    return value;
}

// One pixel of the 32-bit layout (filler R G B) as a word: a single load instead of three,
// which is what bounds the fold once the accumulator's slots stay in registers.
inline uint32_t loadPixel(const uint8_t* p) {
    static_assert(std::endian::native == std::endian::little, "pixel words assume little-endian");
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Per pixel: the inputs in their order, each thresholded, linearised, reduced by the dark
// frame and folded into the slots, exactly the arithmetic (and order) of combineImage's
// definition; only the dispatch is resolved at compile time. kCount > 0 fixes the number of
// inputs so the inner loop unrolls; 0 takes it from the job.
template <Mode kMode, bool kThresholds, bool kDark, int kCount>
void foldRange(const Fold& job, int64_t begin, int64_t end) {
    const double* table = gammaTable;
    const int count = kCount > 0 ? kCount : job.count;
    for (int64_t n = begin; n < end; ++n) {
        double* a = job.acc + n * 4;
        double a1 = a[1], a2 = a[2], a3 = a[3];
        double d1 = 0, d2 = 0, d3 = 0;
        if constexpr (kDark) {
            const uint32_t q = loadPixel(job.dark + n * 4);
            d1 = table[(q >> 8) & 255];
            d2 = table[(q >> 16) & 255];
            d3 = table[q >> 24];
        }
#pragma GCC unroll 8
        for (int j = 0; j < count; ++j) {
            uint8_t* p = job.inputs[j] + n * 4;
            if constexpr (kThresholds) {
                const int sum = p[1] + p[2] + p[3];
                if (sum < job.low3) {
                    p[1] = p[2] = p[3] = 0;
                } else if (sum > job.high3) {
                    p[1] = p[2] = p[3] = 255;
                }
            }
            const uint32_t v = loadPixel(p);
            double r = table[(v >> 8) & 255], g = table[(v >> 16) & 255], b = table[v >> 24];
            if constexpr (kDark) {
                r = r - d1;
                g = g - d2;
                b = b - d3;
                r = clampBelowZero(r);
                g = clampBelowZero(g);
                b = clampBelowZero(b);
            }
            if constexpr (kMode == Mode::Add) {
                a1 = a1 + r;
                a2 = a2 + g;
                a3 = a3 + b;
            } else if constexpr (kMode == Mode::Brighten) {
                if (a1 + a2 + a3 < r + g + b) {
                    a1 = r;
                    a2 = g;
                    a3 = b;
                }
            } else {
                job.func(r, g, b, a1, a2, a3);
            }
        }
        a[1] = a1;
        a[2] = a2;
        a[3] = a3;
    }
}

template <Mode kMode, bool kThresholds, bool kDark>
void foldCounted(const Fold& job, int64_t begin, int64_t end) {
    // The counts a run's batches have; others (and other functions) take the general loop.
    if constexpr (kMode != Mode::Other) {
        switch (job.count) {
            case 1:
                return foldRange<kMode, kThresholds, kDark, 1>(job, begin, end);
            case 2:
                return foldRange<kMode, kThresholds, kDark, 2>(job, begin, end);
            case 3:
                return foldRange<kMode, kThresholds, kDark, 3>(job, begin, end);
            default:
                break;
        }
    }
    foldRange<kMode, kThresholds, kDark, 0>(job, begin, end);
}

template <Mode kMode>
void foldAll(const Fold& job, int64_t pixels) {
    const bool thresholds = job.low3 > 0 || job.high3 < 765;
    parallelFor(pixels, kMinimumChunk, [&](int64_t begin, int64_t end) {
        if (thresholds) {
            job.dark ? foldCounted<kMode, true, true>(job, begin, end)
                     : foldCounted<kMode, true, false>(job, begin, end);
        } else {
            job.dark ? foldCounted<kMode, false, true>(job, begin, end)
                     : foldCounted<kMode, false, false>(job, begin, end);
        }
    });
}

bool compatible(const Image& output, Image& input) {
    // Sixteen-bit inputs are compared and combined on their high bytes; reading them as
    // four bytes per pixel would mix samples of neighbouring pixels.
    if (input.bitsPerPixel >= 48)
        narrowSamples(input);
    return compareImages(output, input) != 0 && input.bitsPerPixel == 32 &&
           pixelData(input) != nullptr && pixelData(output) != nullptr &&
           output.bitsPerPixel == 256;
}

}  // namespace

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

int combineImages(Image& output, Image* const* inputs, int count, const Image& dark) {
    if (count < 1 || count > kMaxCombineBatch)
        return -1;
    for (int j = 0; j < count; ++j) {
        if (!compatible(output, *inputs[j])) {
            reportError("Can't combine incompatible images");
            return -1;
        }
    }
    const CombineFunc func =
        runOptions.combineFunc != nullptr ? runOptions.combineFunc : combineAdd;
    const bool subtractDark = runOptions.useNoiseReduction != 0 && pixelData(dark) != nullptr;
    const int64_t width = output.width;
    const int64_t pixels = width * output.height;

    if (subtractDark && dark.width != output.width) {
        // A dark frame of another width is never paired with inputs by the run; follow the
        // per-pixel definition literally for anyone who does.
        for (int j = 0; j < count; ++j) {
            uint8_t* in = pixelData(*inputs[j]);
            auto* acc = reinterpret_cast<double*>(pixelData(output));
            for (int64_t y = 0; y < output.height; ++y) {
                for (int64_t x = 0; x < width; ++x) {
                    uint8_t* p = in + (y * width + x) * 4;
                    double* a = acc + (y * width + x) * 4;
                    applyThresholds(p);
                    double r, g, b;
                    sampleToLinear(p[1], r);
                    sampleToLinear(p[2], g);
                    sampleToLinear(p[3], b);
                    subtractDarkFrame(dark, static_cast<int>(x), static_cast<int>(y), r, g, b);
                    func(r, g, b, a[1], a[2], a[3]);
                }
            }
        }
        return 0;
    }

    Fold job{};
    job.acc = reinterpret_cast<double*>(pixelData(output));
    for (int j = 0; j < count; ++j)
        job.inputs[j] = pixelData(*inputs[j]);
    job.count = count;
    job.dark = subtractDark ? pixelData(dark) : nullptr;
    job.low3 = int64_t{3} * runOptions.low_pass_threshold;
    job.high3 = int64_t{3} * runOptions.high_pass_threshold;
    job.func = func;
    if (func == combineAdd) {
        foldAll<Mode::Add>(job, pixels);
    } else if (func == combineBrighten) {
        foldAll<Mode::Brighten>(job, pixels);
    } else {
        foldAll<Mode::Other>(job, pixels);
    }
    return 0;
}

int combineImage(Image& output, Image& input, const Image& dark) {
    Image* inputs[1] = {&input};
    return combineImages(output, inputs, 1, dark);
}

int finalizeImage(Image& output) {
    const int32_t count = imageCounter.load();
    auto* acc = reinterpret_cast<double*>(pixelData(output));
    if (count <= 0 || acc == nullptr) {
        reportError("No valid input images");
        return -1;
    }
    const int64_t pixels = int64_t{output.width} * output.height;
    const int32_t mode = runOptions.combine_mode;
    bool divide = false;
    double divisor = 1.0;
    if (mode != 0 && mode != 3) {
        if (mode == 1) {
            runOptions.Divisor = count;
            std::lock_guard<std::mutex> lock(optionsMutex);
            programOptions.Divisor = count;
        }
        divisor = runOptions.Divisor;
        divide = std::fabs(divisor - 1.0) > 0.00001;
        if (divide)
            diagnostic("Averaging %d images (Dividing values by %lf)\n", count, divisor);
    }
    const bool custom = runOptions.presetGammaCurve == 99;
    const double inverseExponent = 1.0 / effectiveGamma(runOptions.Gamma);

    // Each range divides and encodes its own pixels; the divisions all happen before any
    // encoding in the definition, but no pixel reads another's slots, so the result is the
    // same. The divided values are not stored back: nothing reads them again.
    const auto encodeRange = [&](int64_t begin, int64_t end, uint8_t* to) {
        for (int64_t n = begin; n < end; ++n) {
            const double* a = acc + n * 4;
            double r = a[1], g = a[2], b = a[3];
            if (divide) {
                r = r / divisor;
                g = g / divisor;
                b = b / divisor;
            }
            uint8_t* d = to + (n - begin) * 4;
            d[1] = finalLinearToSample(r, custom, inverseExponent);
            d[2] = finalLinearToSample(g, custom, inverseExponent);
            d[3] = finalLinearToSample(b, custom, inverseExponent);
            d[0] = 255;
        }
    };
    // Encoded pixel n lands on bytes that hold earlier pixels' slots; in place that is safe
    // only in increasing order, so parallel ranges encode into a block of the output's size
    // (a frame's, usually free again by now), which then replaces the accumulator.
    PixelBlock* encoded = nullptr;
    if (workerCount() > 1 && pixels >= 2 * kMinimumChunk)
        encoded = allocScratchPixels(pixels * 4);
    if (encoded != nullptr) {
        uint8_t* to = pixelData(encoded);
        parallelFor(pixels, kMinimumChunk,
                    [&](int64_t begin, int64_t end) { encodeRange(begin, end, to + begin * 4); });
        freePixels(output.pixels);
        output.pixels = encoded;
    } else {
        encodeRange(0, pixels, pixelData(output));
    }
    output.bitsPerPixel /= 8;
    output.dataSize /= 8;
    output.bytesPerLine /= 8;
    return 0;
}
