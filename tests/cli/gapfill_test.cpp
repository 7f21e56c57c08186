// Gap filling in brighten runs, on the dashed trails of the sample tool's sky: frames rendered
// by its scene model and written as BMP, combined by the real run through the real codecs, and
// the output judged against the scene's own geometry, which knows where every trail runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/gamma.h"
#include "engine/options.h"
#include "engine/stack.h"
#include "imageio/codec_fixtures.h"
#include "imageio/imageio.h"
#include "tools/sample_scene.h"

namespace {

using sample::Scene;
using sample::Star;

// The sky turns 3 degrees a frame with the shutter open half the time: a star r pixels from
// the pole leaves gaps of r / 38 pixels between its dashes.
constexpr int kWidth = 480, kHeight = 320, kFrames = 8;
constexpr uint64_t kSeed = 1;
constexpr double kTurn = 3.0, kExposure = 0.5;
constexpr int kRadius = 3;  // the command line's default: gaps of up to 6 pixels
constexpr double kSpan = kTurn * sample::kPi / 180.0 * (kFrames - 1 + kExposure);  // whole trails

// Packed RGB of a 32-bit image.
Bytes packed(const OwnedImage& image) {
    Bytes rgb;
    for (int64_t i = 0; i < image.image.dataSize; ++i)
        if (i % 4 != 0)
            rgb.push_back(image.data()[i]);
    return rgb;
}
int at(const Bytes& rgb, int x, int y, int c) {
    return rgb[(size_t(y) * kWidth + size_t(x)) * 3 + size_t(c)];
}

// A pixel met along a trail's axis (or beside it), with the sky's turn there; sky false under
// the hills and near the frame's edges.
struct Step {
    int x, y;
    double angle;
    bool sky;
};
// The pixels nearest to the arc offset pixels outwards from a trail's axis, in steps of a
// quarter pixel from frame 0's start to the last frame's end.
std::vector<Step> pathOf(const Scene& scene, const Star& star, double offset) {
    const double radius = std::hypot(star.dx, star.dy), scale = (radius + offset) / radius;
    const Star beside{star.dx * scale, star.dy * scale, 0, 0, 0, 0, 0};
    const int steps = int(std::ceil(kSpan * (radius + offset) * 4.0));
    std::vector<Step> path;
    for (int i = 0; i <= steps; ++i) {
        const sample::Point p = sample::starPosition(scene, beside, kSpan * i / steps);
        const int x = int(std::lround(p.x)), y = int(std::lround(p.y));
        const bool sky = x >= 4 && x < kWidth - 4 && y >= 4 && y + 4 < scene.horizon[x];
        if (path.empty() || path.back().x != x || path.back().y != y)
            path.push_back({x, y, kSpan * i / steps, sky});
    }
    return path;
}

// The longest runs of pixels along a trail's axis where it reads as broken, first among those
// starting between the turns from and to, then among the others. Broken: no sample half the
// star's peak above the sky of its row. Every pixel nearest to the axis gets 0.64 of the peak
// or more (the narrowest spread is 0.75 pixels), and the noise adds at most 7 levels; between
// two dashes the ends' light falls below half the peak from 0.9 to 2.1 pixels out, by the
// spread.
std::pair<int, int> darkRuns(const Scene& scene, const Bytes& rgb, const Star& star,
                             double from = 0.0, double to = 0.0) {
    std::pair<int, int> longest;
    int run = 0;
    bool within = false;
    for (const Step& step : pathOf(scene, star, 0.0)) {
        const int y = step.sky ? step.y : 0;
        const int sky[] = {scene.skyRed[y], scene.skyGreen[y], scene.skyBlue[y]};
        bool dark = step.sky;
        for (int c = 0; c < 3; ++c)
            dark = dark && at(rgb, step.x, step.y, c) - sky[c] < star.peak / 2.0;
        if (dark && run++ == 0)
            within = step.angle > from && step.angle < to;
        run = dark ? run : 0;
        int& longestHere = within ? longest.first : longest.second;
        longestHere = std::max(longestHere, run);
    }
    return longest;
}

// Whether no light of the scene but except's comes within reach of (x, y), on top of where
// its own light fades below half a level.
bool clearOfOthers(const Scene& scene, const Star* except, double x, double y, double reach) {
    for (const Star& star : scene.stars)
        if (&star != except &&
            sample::distanceToArc(scene, star, 0.0, kSpan, x, y) < 3.6 * star.sigma + reach)
            return false;
    for (const sample::HotPixel& hot : scene.hotPixels)
        if (std::hypot(hot.x - x, hot.y - y) < reach + 1.0)
            return false;
    return true;
}

// The trails bridging must close: stars of 100 levels or more whose gaps are at most
// 2 x kRadius pixels, with a stretch of sky to judge.
std::vector<const Star*> trailsToClose(const Scene& scene) {
    std::vector<const Star*> trails;
    for (const Star& star : scene.stars) {
        const double radius = std::hypot(star.dx, star.dy);
        if (star.peak < 100.0 || radius == 0.0 ||
            (1.0 - scene.exposure) * scene.turn * radius > 2.0 * kRadius)
            continue;
        const std::vector<Step> path = pathOf(scene, star, 0.0);
        if (std::count_if(path.begin(), path.end(), [](const Step& s) { return s.sky; }) >= 20)
            trails.push_back(&star);
    }
    return trails;
}

class GapFill : public FileTest {
  protected:
    GapFill() { installImageFileHandlers(); }
    ~GapFill() override { setDefaultOptions(programOptions); }

    // Frame k of scene as a BMP (lit by headlights if asked), its samples kept in frames.
    std::string frame(const Scene& scene, int k, bool flash = false) {
        OwnedImage image(scene.width, scene.height, 32);
        sample::renderFrame(scene, image.image, kSeed, k);
        if (flash)
            sample::lightFrame(scene, image.image, 1.0, 0.0);
        frames.push_back(packed(image));
        const std::string path = dir.file("f" + std::to_string(frames.size()) + ".bmp");
        EXPECT_EQ(writeImage(image.image, path.c_str()), 0);
        return path;
    }
    std::vector<std::string> sequence(const Scene& scene) {
        std::vector<std::string> paths;
        for (int k = 0; k < kFrames; ++k)
            paths.push_back(frame(scene, k));
        return paths;
    }

    // The real run in brighten mode; its output decoded.
    Bytes brighten(const std::vector<std::string>& inputs, int fillGaps, bool reverse = false,
                   bool reject = false) {
        setDefaultOptions(programOptions);
        programOptions.combine_mode = MODE_BRIGHTEN;
        programOptions.fillGaps = fillGaps;
        programOptions.reverseOrder = reverse;
        programOptions.rejectBright = reject;
        programOptions.outputName = dir.file("out.bmp");
        std::vector<std::string> arguments{"placeholder"};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        EXPECT_EQ(runProcessing(int(arguments.size()), arguments), 0);
        OwnedImage image;
        EXPECT_EQ(readImage(image.image, dir.file("out.bmp").c_str()), 0);
        return packed(image);
    }

    std::vector<Bytes> frames;
};

// Where nothing may be bridged, the output is the brighten of the frames: each pixel that of
// the first frame whose linear light, summed over the channels, is the largest. Rows: the
// switch off over dashed trails; a sky that does not turn, where no light moves (the star on
// the pole, the hot pixels and every other star stay put, and none may be joined).
TEST_F(GapFill, WithNothingToBridgeTheOutputIsThePlainBrighten) {
    const Curve curve(CURVE_SRGB, 0.0);
    const auto light = [&](const Bytes& rgb, size_t n) {
        return curve.linear(rgb[n]) + curve.linear(rgb[n + 1]) + curve.linear(rgb[n + 2]);
    };
    for (const auto& [turn, fillGaps] : {std::pair(kTurn, 0), std::pair(0.0, kRadius)}) {
        SCOPED_TRACE("turn " + std::to_string(turn) + ", fill " + std::to_string(fillGaps));
        frames.clear();
        const Bytes out = brighten(
            sequence(sample::buildScene(kWidth, kHeight, kSeed, turn, kExposure)), fillGaps);
        Bytes expected(frames[0].size());
        for (size_t n = 0; n < expected.size(); n += 3) {
            const Bytes* best = &frames[0];
            for (const Bytes& f : frames)
                best = light(f, n) > light(*best, n) ? &f : best;
            std::copy_n(best->begin() + long(n), 3, expected.begin() + long(n));
        }
        EXPECT_TRUE(out == expected);
    }
    EXPECT_TRUE(capture.errors().empty());
}

// With the switch, every trail bridging must close comes out continuous, where the plain
// brighten shows most of them dashed; the sky's median and the pixels beside the trails stay.
// Forwards and reversed (the frame before is then the later one).
TEST_F(GapFill, TrailsComeOutContinuousAndNothingElseChanges) {
    const Scene scene = sample::buildScene(kWidth, kHeight, kSeed, kTurn, kExposure);
    const std::vector<std::string> inputs = sequence(scene);
    const std::vector<const Star*> trails = trailsToClose(scene);
    ASSERT_GE(trails.size(), 10u);
    for (const bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "reversed" : "forwards");
        // Pixels of equal light keep the one combined first, so each order has its own.
        const Bytes plain = brighten(inputs, 0, reverse),
                    filled = brighten(inputs, kRadius, reverse);
        ASSERT_EQ(filled.size(), plain.size());
        const auto rise = [&](int x, int y) {
            int most = -255;
            for (int c = 0; c < 3; ++c)
                most = std::max(most, at(filled, x, y, c) - at(plain, x, y, c));
            return most;
        };
        int dashed = 0, besides = 0;
        for (const Star* star : trails) {
            dashed += darkRuns(scene, plain, *star).second > 1;
            EXPECT_LE(darkRuns(scene, filled, *star).second, 1)
                << "trail from " << star->dx + scene.poleX << ", " << star->dy + scene.poleY;
            // 3 pixels out, clear of other lights, a pixel rises by 2 levels at most on top of
            // what the star itself puts there when its trail has no gaps: nothing for faint
            // stars, tens of levels for the brightest, whose light reaches further.
            for (const double offset : {-3.0, 3.0}) {
                for (const Step& s : pathOf(scene, *star, offset)) {
                    const double d = sample::distanceToArc(scene, *star, 0.0, kSpan, s.x, s.y);
                    if (s.sky && clearOfOthers(scene, star, s.x, s.y, 2.0 * kRadius)) {
                        ++besides;
                        EXPECT_LE(
                            rise(s.x, s.y),
                            2.0 + star->peak * std::exp(-0.5 * d * d / (star->sigma * star->sigma)))
                            << "at " << s.x << ", " << s.y;
                    }
                }
            }
        }
        EXPECT_GE(dashed, int(trails.size()) / 2);
        EXPECT_GT(besides, 1000);

        const auto skyMedian = [&](const Bytes& rgb, int c) {
            std::vector<int> sky;
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    if (y < scene.horizon[x])
                        sky.push_back(at(rgb, x, y, c));
            std::nth_element(sky.begin(), sky.begin() + long(sky.size() / 2), sky.end());
            return sky[sky.size() / 2];
        };
        for (int c = 0; c < 3; ++c)
            EXPECT_LE(std::abs(skyMedian(filled, c) - skyMedian(plain, c)), 1) << c;
    }
    EXPECT_TRUE(capture.errors().empty());
}

// An input left out between frames 3 and 4 (from 0) breaks every trail there: that gap stays
// as open as in the plain brighten while the others close. Rows: a file that cannot be read,
// one of another size, and a frame lit by headlights that the run rejects.
TEST_F(GapFill, NoBridgeAcrossAnInputLeftOut) {
    const Scene scene = sample::buildScene(kWidth, kHeight, kSeed, kTurn, kExposure);
    const std::vector<std::string> inputs = sequence(scene);
    const Bytes plain = brighten(inputs, 0);
    writeFile(dir.file("unreadable.bmp"), std::string("BM not a bitmap"));
    writeFile(dir.file("small.bmp"), bmpFile(16, 16, Bytes(16 * 16 * 3, 200)));
    const std::pair<std::string, bool> rows[] = {{dir.file("unreadable.bmp"), false},
                                                 {dir.file("small.bmp"), false},
                                                 {frame(scene, 3, true), true}};
    for (const auto& [path, reject] : rows) {
        SCOPED_TRACE(path);
        std::vector<std::string> withOne = inputs;
        withOne.insert(withOne.begin() + 4, path);
        const Bytes filled = brighten(withOne, kRadius, false, reject);
        EXPECT_FALSE(capture.errors().empty());
        capture.clear();
        // Frame 3's dash is lit, so a dark run starting after it lies in that gap.
        const double from = scene.turn * 3, to = scene.turn * 4;
        int open = 0;
        for (const Star* star : trailsToClose(scene)) {
            const int wasOpen = darkRuns(scene, plain, *star, from, to).first;
            const auto [inGap, elsewhere] = darkRuns(scene, filled, *star, from, to);
            open += wasOpen > 1;
            EXPECT_EQ(inGap, wasOpen)
                << "trail from " << star->dx + scene.poleX << ", " << star->dy + scene.poleY;
            EXPECT_LE(elsewhere, 1);
        }
        EXPECT_GE(open, 5);
    }
}

}  // namespace
