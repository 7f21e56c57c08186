#include "engine/gapfill.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include "engine/parallel.h"

namespace {

// The sky's level is judged per square of this many pixels, from every kTileStep-th pixel of
// every kTileStep-th row: 64 samples, a few milliseconds for a whole frame.
constexpr int kTile = 64;
constexpr int kTileStep = 8;
constexpr double kSpreads = 5.0;
// 1.4826 x the median absolute deviation estimates a normal distribution's deviation.
constexpr double kDeviationsPerMad = 1.4826;

// One sample of an image in either layout.
inline int sampleAt(const Image& image, const uint8_t* data, int64_t n, int channel) {
    if (image.bitsPerPixel == 64)
        return reinterpret_cast<const uint16_t*>(data)[n * 4 + 1 + channel];
    return data[n * 4 + 1 + channel];
}

// The sum of a pixel's three samples on the 0-255 scale of each: what the thresholds compare.
struct LevelSum {
    const Image& image;
    const uint8_t* data;
    const double* levels;  // for linear samples: each one's level on the curve

    double at(int64_t n) const {
        if (image.bitsPerPixel != 64)
            return data[n * 4 + 1] + data[n * 4 + 2] + data[n * 4 + 3];
        const uint16_t* p = reinterpret_cast<const uint16_t*>(data) + n * 4;
        if (image.linearSamples != 0)
            return levels[p[1]] + levels[p[2]] + levels[p[3]];
        return static_cast<double>(int64_t{p[1]} + p[2] + p[3]) / 257.0;
    }
};

// A frame's samples as linear light, the way the fold takes them.
struct Linear {
    const Image& image;
    const uint8_t* data;
    const double* table;
    const Image* dark;  // nullptr: nothing subtracted from this frame
    const uint8_t* darkData;
    const double* darkTable;
    double darkScale;

    Linear(const RunContext& context, const Image& frame, const Image* darkFrame, double scale)
        : image(frame),
          data(pixelData(frame)),
          table(sampleTable(context, frame)),
          dark(darkFrame != nullptr && frame.darkSubtracted == 0 ? darkFrame : nullptr),
          darkData(dark != nullptr ? pixelData(*dark) : nullptr),
          darkTable(dark != nullptr ? sampleTable(context, *dark) : nullptr),
          darkScale(scale) {}

    double at(int64_t n, int channel) const {
        const double value = table[sampleAt(image, data, n, channel)];
        if (dark == nullptr)
            return value;
        return std::max(0.0, value - darkTable[sampleAt(*dark, darkData, n, channel)] * darkScale);
    }
};

double medianOf(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Pixels bright in one mask and not in the other, in order.
std::vector<int64_t> brightOnlyIn(const BrightMask& mask, const BrightMask& other) {
    std::vector<int64_t> only;
    for (const int64_t n : mask.where) {
        if (other.bright[n] == 0)
            only.push_back(n);
    }
    return only;
}

struct Pair {
    const Linear& previous;
    const Linear& current;
    const uint8_t* brightBefore;
    const uint8_t* brightNow;
    int width;
    int height;
    int radius;
    double* slots;
    double fade;
    int fades;  // how often the current frame's light has been faded since it was folded

    bool onlyBefore(int64_t n) const { return brightBefore[n] != 0 && brightNow[n] == 0; }
    bool onlyNow(int64_t n) const { return brightNow[n] != 0 && brightBefore[n] == 0; }

    // Calls visit(n) for every pixel within radius of pixel at, in both axes.
    template <typename Visit>
    void around(int64_t at, Visit visit) const {
        const int x = static_cast<int>(at % width), y = static_cast<int>(at / width);
        const int left = std::max(0, x - radius), right = std::min(width - 1, x + radius);
        const int top = std::max(0, y - radius), bottom = std::min(height - 1, y + radius);
        for (int yy = top; yy <= bottom; ++yy) {
            for (int xx = left; xx <= right; ++xx)
                visit(int64_t{yy} * width + xx);
        }
    }

    void fillPixel(int64_t at) const {
        const int x = static_cast<int>(at % width), y = static_cast<int>(at / width);
        double best[3] = {-1.0, -1.0, -1.0};
        for (int dy = -radius; dy <= radius; ++dy) {
            const int yBefore = y - dy, yNow = y + dy;
            if (yBefore < 0 || yBefore >= height || yNow < 0 || yNow >= height)
                continue;
            for (int dx = -radius; dx <= radius; ++dx) {
                const int xBefore = x - dx, xNow = x + dx;
                if (xBefore < 0 || xBefore >= width || xNow < 0 || xNow >= width)
                    continue;
                const int64_t before = int64_t{yBefore} * width + xBefore;
                const int64_t now = int64_t{yNow} * width + xNow;
                if (!onlyBefore(before) || !onlyNow(now))
                    continue;
                for (int c = 0; c < 3; ++c)
                    best[c] =
                        std::max(best[c], std::min(previous.at(before, c), current.at(now, c)));
            }
        }
        if (best[0] < 0.0)
            return;
        for (int k = 0; k < fades; ++k) {
            for (double& value : best)
                value = value * fade;
        }
        double* a = slots + at * 4;
        combineBrighten(best[0], best[1], best[2], a[1], a[2], a[3]);
    }
};

// Only pixels near both a dash's end and the next one's start can be bridged. Bright pixels
// are few on a night sky, so they are found by marking the squares around each end and then
// each start, rather than by passes over the whole frame; near is left all zero again.
void bridge(const Pair& pair, const std::vector<int64_t>& ends, const std::vector<int64_t>& starts,
            std::vector<uint8_t>& near) {
    if (ends.empty() || starts.empty())
        return;
    if (near.empty())
        near.resize(static_cast<std::size_t>(int64_t{pair.width} * pair.height));
    for (const int64_t n : ends)
        pair.around(n, [&](int64_t m) { near[m] = 1; });
    std::vector<int64_t> candidates;
    for (const int64_t n : starts) {
        pair.around(n, [&](int64_t m) {
            if (near[m] == 1) {
                near[m] = 3;
                candidates.push_back(m);
            }
        });
    }
    for (const int64_t n : ends)
        pair.around(n, [&](int64_t m) { near[m] = 0; });
    // Each candidate writes its own pixel only.
    parallelFor(static_cast<int64_t>(candidates.size()), 4096, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i)
            pair.fillPixel(candidates[i]);
    });
}

// The bright pixels of a frame (see the header).
BrightMask findBrightPixels(const RunContext& context, const Image& image) {
    BrightMask mask;
    const LevelSum level{image, pixelData(image), context.linearLevels.data()};
    const int width = image.width, height = image.height;
    const int64_t pixels = int64_t{width} * height;
    const int tilesX = (width + kTile - 1) / kTile, tilesY = (height + kTile - 1) / kTile;
    // Each square's level is the median of its samples; the spread is one for the frame, from
    // every sample's distance to its own square's level, so a sky that brightens towards the
    // horizon or a dark foreground does not pass for noise.
    const auto tiles = static_cast<std::size_t>(tilesX) * tilesY;
    std::vector<double> backgrounds(tiles), spreads(tiles), limits(tiles);
    const int tileRowsPerChunk = std::max(1, 2048 / tilesX);
    parallelFor(tilesY, tileRowsPerChunk, [&](int64_t firstTileRow, int64_t endTileRow) {
        std::vector<double> samples, sorted;
        for (auto ty = static_cast<int>(firstTileRow); ty < endTileRow; ++ty) {
            const int y0 = ty * kTile, rows = std::min(kTile, height - y0);
            for (int tx = 0; tx < tilesX; ++tx) {
                const int x0 = tx * kTile, columns = std::min(kTile, width - x0);
                samples.clear();
                for (int y = y0 + std::min(kTileStep / 2, rows - 1); y < y0 + rows;
                     y += kTileStep) {
                    for (int x = x0 + std::min(kTileStep / 2, columns - 1); x < x0 + columns;
                         x += kTileStep)
                        samples.push_back(level.at(int64_t{y} * width + x));
                }
                const std::size_t tile = static_cast<std::size_t>(ty) * tilesX + tx;
                sorted = samples;
                backgrounds[tile] = medianOf(sorted);
                for (double& sample : samples)
                    sample = std::fabs(sample - backgrounds[tile]);
                spreads[tile] = kDeviationsPerMad * medianOf(samples);
            }
        }
    });
    // The frame's spread is the typical square's. Levels are whole on 8-bit frames, so a clean
    // sky may spread by nothing at all; a level of the sum stands in for the spread then. Where
    // the light is stronger its noise is too (and a textured foreground spreads more still), so
    // a square's own spread counts where it is the larger.
    std::vector<double> sorted = spreads;
    const double spread = std::max(1.0, medianOf(sorted));
    for (std::size_t tile = 0; tile < limits.size(); ++tile)
        limits[tile] = backgrounds[tile] + kSpreads * std::max(spread, spreads[tile]);
    mask.bright.resize(static_cast<std::size_t>(pixels));
    // Each range of rows lists its own bright pixels; the lists are joined in order after.
    std::mutex joining;
    std::vector<std::pair<int64_t, std::vector<int64_t>>> pieces;
    const int64_t rowsPerChunk = std::max<int64_t>(1, kPixelsPerRange / width);
    parallelFor(height, rowsPerChunk, [&](int64_t firstRow, int64_t endRow) {
        uint8_t* bright = mask.bright.data();
        const uint8_t* p = pixelData(image);
        for (int64_t y = firstRow; y < endRow; ++y) {
            const double* rowLimits = &limits[static_cast<std::size_t>(y / kTile) * tilesX];
            for (int tx = 0; tx < tilesX; ++tx) {
                const int64_t from = y * width + int64_t{tx} * kTile;
                const int64_t to = y * width + std::min(width, (tx + 1) * kTile);
                if (image.bitsPerPixel != 64) {
                    // Whole sums: the same comparison without a conversion, which vectorises.
                    const int limit = static_cast<int>(std::floor(rowLimits[tx]));
                    for (int64_t n = from; n < to; ++n)
                        bright[n] = p[n * 4 + 1] + p[n * 4 + 2] + p[n * 4 + 3] > limit;
                } else {
                    for (int64_t n = from; n < to; ++n)
                        bright[n] = level.at(n) > rowLimits[tx];
                }
            }
        }
        const int64_t begin = firstRow * width, end = endRow * width;
        // Most of a night sky is not bright: eight pixels at a time are passed over.
        std::vector<int64_t> where;
        int64_t n = begin;
        for (; n + 8 <= end; n += 8) {
            uint64_t eight;
            std::memcpy(&eight, bright + n, sizeof eight);
            if (eight == 0)
                continue;
            for (int64_t k = n; k < n + 8; ++k) {
                if (bright[k] != 0)
                    where.push_back(k);
            }
        }
        for (; n < end; ++n) {
            if (bright[n] != 0)
                where.push_back(n);
        }
        std::lock_guard<std::mutex> lock(joining);
        pieces.emplace_back(begin, std::move(where));
    });
    std::sort(pieces.begin(), pieces.end());
    for (const auto& piece : pieces)
        mask.where.insert(mask.where.end(), piece.second.begin(), piece.second.end());
    return mask;
}

}  // namespace

void GapFiller::afterFold(const RunContext& context, Accumulator& sums,
                          std::vector<Prefetcher::Frame>& batch, const std::vector<bool>& follows,
                          const Image* dark, double darkScale) {
    if (batch.empty())
        return;
    const Image& layout = sums.image();
    const int width = layout.width, height = layout.height;
    for (std::size_t j = 0; j < batch.size(); ++j) {
        BrightMask mask = findBrightPixels(context, batch[j].image);
        if (haveKept_ && follows[j] && mask.bright.size() == keptMask_.bright.size()) {
            const Linear previous(context, j == 0 ? kept_.image : batch[j - 1].image, dark,
                                  darkScale);
            const Linear current(context, batch[j].image, dark, darkScale);
            const Pair pair{previous,
                            current,
                            keptMask_.bright.data(),
                            mask.bright.data(),
                            width,
                            height,
                            radius_,
                            sums.slots(),
                            context.cometFade,
                            static_cast<int>(batch.size() - 1 - j)};
            bridge(pair, brightOnlyIn(keptMask_, mask), brightOnlyIn(mask, keptMask_), near_);
        }
        keptMask_ = std::move(mask);
        haveKept_ = true;
    }
    // The previous frame's pixels are needed only until the next batch's first frame.
    kept_ = std::move(batch.back());
    batch.pop_back();
}

void GapFiller::reset() {
    kept_.reset();
    keptMask_ = BrightMask();
    haveKept_ = false;
}
