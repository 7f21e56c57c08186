#include "engine/combine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/messages.h"
#include "engine/parallel.h"

namespace {

// Everything the fold loop needs, resolved once per call so the loop has no indirection
// beyond what its mode requires.
struct Fold {
    double* acc;
    uint8_t* inputs[kMaxCombineBatch];
    int count;
    const uint8_t* dark;  // nullptr when not subtracted
    const double* table;
    int64_t low3;
    int64_t high3;
};

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

// One input pixel into the slots, with combineBrighten's or combineAdd's arithmetic; both
// fold kernels take it, so they cannot drift apart.
template <bool kBrighten>
inline void foldPixel(double r, double g, double b, double& a1, double& a2, double& a3) {
    if constexpr (kBrighten) {
        if (a1 + a2 + a3 < r + g + b) {
            a1 = r;
            a2 = g;
            a3 = b;
        }
    } else {
        a1 = a1 + r;
        a2 = a2 + g;
        a3 = a3 + b;
    }
}

// Per pixel: the inputs in their order, each thresholded, linearised, reduced by the dark
// frame and folded into the slots with combineAdd's or combineBrighten's arithmetic (and
// order); only the dispatch is resolved at compile time. kCount fixes the number of inputs so
// the inner loop unrolls.
template <bool kBrighten, bool kThresholds, bool kDark, int kCount>
void foldRange(const Fold& job, int64_t begin, int64_t end) {
    const double* table = job.table;
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
        for (int j = 0; j < kCount; ++j) {
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
            foldPixel<kBrighten>(r, g, b, a1, a2, a3);
        }
        a[1] = a1;
        a[2] = a2;
        a[3] = a3;
    }
}

// One instantiation per batch size, picked by the batch's count.
template <bool kBrighten, bool kThresholds, bool kDark, std::size_t... kIndex>
constexpr auto foldRanges(std::index_sequence<kIndex...>) {
    return std::array{&foldRange<kBrighten, kThresholds, kDark, int(kIndex) + 1>...};
}

template <bool kBrighten, bool kThresholds, bool kDark>
void foldCounted(const Fold& job, int64_t begin, int64_t end) {
    static constexpr auto ranges =
        foldRanges<kBrighten, kThresholds, kDark>(std::make_index_sequence<kMaxCombineBatch>{});
    ranges[static_cast<std::size_t>(job.count - 1)](job, begin, end);
}

template <bool kBrighten>
void foldAll(const Fold& job, int64_t pixels) {
    const bool thresholds = job.low3 > 0 || job.high3 < 765;
    parallelFor(pixels, kPixelsPerRange, [&](int64_t begin, int64_t end) {
        if (thresholds) {
            job.dark ? foldCounted<kBrighten, true, true>(job, begin, end)
                     : foldCounted<kBrighten, true, false>(job, begin, end);
        } else {
            job.dark ? foldCounted<kBrighten, false, true>(job, begin, end)
                     : foldCounted<kBrighten, false, false>(job, begin, end);
        }
    });
}

// The 16-bit layout's fold. Samples index a 65536-entry table per input: the curve's, or
// v / 65535 for samples that are linear already. The thresholds compare, for curve-encoded
// samples, the sum of the three with 771 x the level (exactly the sum divided by 257 against
// 3 x the level), and for linear ones their levels on the curve (unrounded) with 3 x the level.
// The dark frame's linear values are scaled here rather than re-encoded. The batch size stays
// a run-time count: this path is for precision, and one instantiation per size would double
// the fold's code.
struct WideFold {
    double* acc;
    uint16_t* inputs[kMaxCombineBatch];
    const double* tables[kMaxCombineBatch];
    bool linear[kMaxCombineBatch];
    bool keepDark[kMaxCombineBatch];  // the reader has not subtracted the dark frame
    int count;
    const uint16_t* dark;  // nullptr when not subtracted
    const double* darkTable;
    double darkScale;
    const double* levels;  // the curve's level of each linear sample
    int64_t low, high;     // 771 x the thresholds
    double low3, high3;    // 3 x the thresholds
    double fade;           // what the sums are multiplied by before each input (comet trails)
};

template <bool kBrighten, bool kThresholds, bool kDark>
void foldWideRange(const WideFold& job, int64_t begin, int64_t end) {
    for (int64_t n = begin; n < end; ++n) {
        double* a = job.acc + n * 4;
        double a1 = a[1], a2 = a[2], a3 = a[3];
        double d1 = 0, d2 = 0, d3 = 0;
        if constexpr (kDark) {
            const uint16_t* q = job.dark + n * 4;
            d1 = job.darkTable[q[1]] * job.darkScale;
            d2 = job.darkTable[q[2]] * job.darkScale;
            d3 = job.darkTable[q[3]] * job.darkScale;
        }
        const bool fading = job.fade != 1.0;
        for (int j = 0; j < job.count; ++j) {
            if (fading) {
                a1 = a1 * job.fade;
                a2 = a2 * job.fade;
                a3 = a3 * job.fade;
            }
            uint16_t* p = job.inputs[j] + n * 4;
            if constexpr (kThresholds) {
                bool black, white;
                if (job.linear[j]) {
                    const double* level = job.levels;
                    const double sum = level[p[1]] + level[p[2]] + level[p[3]];
                    black = sum < job.low3;
                    white = sum > job.high3;
                } else {
                    const int64_t sum = int64_t{p[1]} + p[2] + p[3];
                    black = sum < job.low;
                    white = sum > job.high;
                }
                if (black) {
                    p[1] = p[2] = p[3] = 0;
                } else if (white) {
                    p[1] = p[2] = p[3] = 65535;
                }
            }
            const double* table = job.tables[j];
            double r = table[p[1]], g = table[p[2]], b = table[p[3]];
            if constexpr (kDark) {
                if (job.keepDark[j]) {
                    r = clampBelowZero(r - d1);
                    g = clampBelowZero(g - d2);
                    b = clampBelowZero(b - d3);
                }
            }
            foldPixel<kBrighten>(r, g, b, a1, a2, a3);
        }
        a[1] = a1;
        a[2] = a2;
        a[3] = a3;
    }
}

template <bool kBrighten>
void foldWideAll(const WideFold& job, int64_t pixels) {
    const bool thresholds = job.low > 0 || job.high < 771 * 255;
    parallelFor(pixels, kPixelsPerRange, [&](int64_t begin, int64_t end) {
        if (thresholds) {
            job.dark ? foldWideRange<kBrighten, true, true>(job, begin, end)
                     : foldWideRange<kBrighten, true, false>(job, begin, end);
        } else {
            job.dark ? foldWideRange<kBrighten, false, true>(job, begin, end)
                     : foldWideRange<kBrighten, false, false>(job, begin, end);
        }
    });
}

}  // namespace

std::optional<Accumulator> Accumulator::create(const Image& first) {
    Image sums;
    copyImageHeader(first, sums);
    sums.pixels = nullptr;
    sums.bitsPerPixel = 256;
    sums.bytesPerLine = int64_t{sums.width} * 256 / 8;
    sums.dataSize = sums.bytesPerLine * sums.height;
    sums.pixels = allocPixels(sums.dataSize);
    if (sums.pixels == nullptr)
        return std::nullopt;
    return Accumulator(sums);
}

Accumulator::~Accumulator() {
    freePixels(sums_.pixels);
}

Accumulator::Accumulator(Accumulator&& other) noexcept : sums_(other.sums_) {
    other.sums_.pixels = nullptr;
}

Accumulator& Accumulator::operator=(Accumulator&& other) noexcept {
    std::swap(sums_, other.sums_);
    return *this;
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

const double* linearSampleTable() {
    static const std::vector<double> table = [] {
        std::vector<double> values(65536);
        for (int v = 0; v < 65536; ++v)
            values[v] = v / 65535.0;
        return values;
    }();
    return table.data();
}

void Accumulator::fold(const RunContext& context, Image* const* inputs, int count,
                       const Image* dark, double darkScale) {
    const int64_t pixels = int64_t{sums_.width} * sums_.height;
    // 64-bit products: a hand-edited threshold must not overflow the comparison.
    const int64_t low = context.options.low_pass_threshold;
    const int64_t high = context.options.high_pass_threshold;
    if (count > 0 && inputs[0]->bitsPerPixel == 64) {
        WideFold job{};
        job.acc = reinterpret_cast<double*>(pixelData(sums_));
        for (int j = 0; j < count; ++j) {
            job.inputs[j] = reinterpret_cast<uint16_t*>(pixelData(*inputs[j]));
            job.tables[j] = sampleTable(context, *inputs[j]);
            job.linear[j] = inputs[j]->linearSamples != 0;
            job.keepDark[j] = inputs[j]->darkSubtracted == 0;
        }
        job.count = count;
        if (dark != nullptr) {
            job.dark = reinterpret_cast<const uint16_t*>(pixelData(*dark));
            job.darkTable = sampleTable(context, *dark);
            job.darkScale = darkScale;
        }
        job.levels = context.linearLevels.data();
        job.fade = context.cometFade;
        job.low = 771 * low;
        job.high = 771 * high;
        job.low3 = 3.0 * static_cast<double>(low);
        job.high3 = 3.0 * static_cast<double>(high);
        context.mode == MODE_BRIGHTEN ? foldWideAll<true>(job, pixels)
                                      : foldWideAll<false>(job, pixels);
        return;
    }
    Fold job{};
    job.acc = reinterpret_cast<double*>(pixelData(sums_));
    for (int j = 0; j < count; ++j)
        job.inputs[j] = pixelData(*inputs[j]);
    job.count = count;
    job.dark = dark != nullptr ? pixelData(*dark) : nullptr;
    job.table = context.curve.table();
    job.low3 = 3 * low;
    job.high3 = 3 * high;
    if (context.mode == MODE_BRIGHTEN) {
        foldAll<true>(job, pixels);
    } else {
        foldAll<false>(job, pixels);
    }
}

const double* sampleTable(const RunContext& context, const Image& image) {
    if (image.bitsPerPixel != 64)
        return context.curve.table();
    return image.linearSamples != 0 ? linearSampleTable() : context.curve.sixteenBitTable();
}

double darkFrameScale(double opacity) {
    // An opacity outside [0, 1) leaves the dark frame as it is, as the 8-bit preparation does.
    return opacity >= 0.0 && opacity < 1.0 ? opacity : 1.0;
}

double modeDivisor(const RunContext& context, int count) {
    if (context.mode == MODE_AVERAGE)
        return count;
    if (context.mode == MODE_MIX)
        return context.options.Divisor;
    return 1.0;
}

namespace {

// Divides where asked and encodes pixels [begin, end) of the sums into to (pixel begin first).
// The divisions all happen before any encoding in the definition, but no pixel reads another's
// slots, so each range may divide and encode its own. The divided values are not stored.
void encodeRange(const double* acc, const Curve& curve, double divisor, int64_t begin, int64_t end,
                 uint8_t* to) {
    const bool divide = std::fabs(divisor - 1.0) > 0.00001;
    for (int64_t n = begin; n < end; ++n) {
        const double* a = acc + n * 4;
        double r = a[1], g = a[2], b = a[3];
        if (divide) {
            r = r / divisor;
            g = g / divisor;
            b = b / divisor;
        }
        uint8_t* d = to + (n - begin) * 4;
        d[1] = curve.finalSample(r);
        d[2] = curve.finalSample(g);
        d[3] = curve.finalSample(b);
        d[0] = 255;
    }
}

// The same into the 64-bit layout (filler 65535), through the curve's continuous inverse.
// to holds 16-bit words; in place, pixel n's eight bytes lie at or before its own slots.
void encodeWideRange(const double* acc, const Curve& curve, double divisor, int64_t begin,
                     int64_t end, uint8_t* to) {
    const bool divide = std::fabs(divisor - 1.0) > 0.00001;
    for (int64_t n = begin; n < end; ++n) {
        const double* a = acc + n * 4;
        double r = a[1], g = a[2], b = a[3];
        if (divide) {
            r = r / divisor;
            g = g / divisor;
            b = b / divisor;
        }
        const uint16_t pixel[4] = {65535, curve.finalSample16(r), curve.finalSample16(g),
                                   curve.finalSample16(b)};
        std::memcpy(to + (n - begin) * 8, pixel, sizeof pixel);
    }
}

void encodeRangeAt(int bits, const double* acc, const Curve& curve, double divisor, int64_t begin,
                   int64_t end, uint8_t* to) {
    bits == 16 ? encodeWideRange(acc, curve, divisor, begin, end, to)
               : encodeRange(acc, curve, divisor, begin, end, to);
}

// Every pixel of the sums into to, in parallel ranges; to must not overlap the sums.
void encodeAll(const Image& sums, const Curve& curve, double divisor, int bits, uint8_t* to) {
    const double* acc = reinterpret_cast<const double*>(pixelData(sums));
    const int64_t pixelBytes = bits == 16 ? 8 : 4;
    parallelFor(int64_t{sums.width} * sums.height, kPixelsPerRange,
                [&](int64_t begin, int64_t end) {
                    encodeRangeAt(bits, acc, curve, divisor, begin, end, to + begin * pixelBytes);
                });
}

Image encodedHeader(const Image& sums, int bits) {
    Image output;
    copyImageHeader(sums, output);
    output.pixels = nullptr;
    const int64_t shrink = bits == 16 ? 4 : 8;
    output.bitsPerPixel = bits == 16 ? 64 : 32;
    output.bytesPerLine = sums.bytesPerLine / shrink;
    output.dataSize = sums.dataSize / shrink;
    return output;
}

}  // namespace

Image Accumulator::finalize(const Curve& curve, double divisor, int bits) const {
    Image output = encodedHeader(sums_, bits);
    output.pixels = allocScratchPixels(output.dataSize);
    if (output.pixels == nullptr)
        output.pixels = allocPixels(output.dataSize);  // reports the refusal
    if (output.pixels != nullptr)
        encodeAll(sums_, curve, divisor, bits, pixelData(output));
    return output;
}

Image Accumulator::finish(const Curve& curve, double divisor, int bits) && {
    const int64_t pixels = int64_t{sums_.width} * sums_.height;
    Image output = encodedHeader(sums_, bits);
    // Encoded pixel n lands on bytes that hold earlier pixels' slots; in place that is safe
    // only in increasing order, so parallel ranges encode into a block of the output's size
    // (a frame's, usually free again by now) when one can be had.
    if (workerCount() > 1 && pixels >= 2 * kPixelsPerRange)
        output.pixels = allocScratchPixels(output.dataSize);
    if (output.pixels != nullptr) {
        encodeAll(sums_, curve, divisor, bits, pixelData(output));
        freePixels(sums_.pixels);
        sums_.pixels = nullptr;
    } else {
        encodeRangeAt(bits, reinterpret_cast<const double*>(pixelData(sums_)), curve, divisor, 0,
                      pixels, pixelData(sums_));
        output.pixels = sums_.pixels;
        sums_.pixels = nullptr;
    }
    return output;
}

std::optional<Accumulator> Accumulator::shrunk(int maxWidth, int maxHeight, bool brightest) const {
    const int64_t width = sums_.width, height = sums_.height;
    const int64_t fitWidth = std::max(1, maxWidth), fitHeight = std::max(1, maxHeight);
    const int64_t factor = std::max<int64_t>(
        {1, (width + fitWidth - 1) / fitWidth, (height + fitHeight - 1) / fitHeight});
    Image small;
    copyImageHeader(sums_, small);
    small.pixels = nullptr;
    small.width = static_cast<int32_t>((width + factor - 1) / factor);
    small.height = static_cast<int32_t>((height + factor - 1) / factor);
    small.bytesPerLine = int64_t{small.width} * 256 / 8;
    small.dataSize = small.bytesPerLine * small.height;
    // A preview that cannot be had is skipped; a box saying so would interrupt the run.
    small.pixels = allocScratchPixels(small.dataSize);
    if (small.pixels == nullptr)
        return std::nullopt;
    const double* from = reinterpret_cast<const double*>(pixelData(sums_));
    double* to = reinterpret_cast<double*>(pixelData(small));
    // Whole rows of the sums in memory order, each pixel into its block's slots: a block's
    // pixels arrive row by row, so ties keep the first in reading order.
    const auto shrinkRows = [&](int64_t begin, int64_t end) {
        for (int64_t y = begin; y < end; ++y) {
            double* row = to + y * small.width * 4;
            std::fill(row, row + small.width * 4, 0.0);
            const int64_t top = y * factor, bottom = std::min(height, top + factor);
            for (int64_t line = top; line < bottom; ++line) {
                const double* a = from + line * width * 4;
                for (int64_t x = 0; x < width; ++x, a += 4) {
                    double* b = row + x / factor * 4;
                    // The sums are never negative, so zero slots lose to any lit pixel and
                    // equal a dark one.
                    brightest ? combineBrighten(a[1], a[2], a[3], b[1], b[2], b[3])
                              : combineAdd(a[1], a[2], a[3], b[1], b[2], b[3]);
                }
            }
            if (brightest)
                continue;
            for (int64_t x = 0; x < small.width; ++x) {
                const int64_t columns = std::min(width, (x + 1) * factor) - x * factor;
                const double count = static_cast<double>(columns * (bottom - top));
                for (int k = 1; k <= 3; ++k)
                    row[x * 4 + k] = row[x * 4 + k] / count;
            }
        }
    };
    parallelFor(small.height,
                std::max<int64_t>(1, kPixelsPerRange / std::max<int64_t>(1, width * factor)),
                shrinkRows);
    return Accumulator(small);
}
