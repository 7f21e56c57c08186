#include <gtest/gtest.h>

#include <string>

#include "engine/combine.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

using CombineTest = EngineTest;

// Folds one-row images of the given pixels in order, finalises, and returns the output row.
std::vector<Rgb> combineRows(Image& acc, const std::vector<std::vector<Rgb>>& rows) {
    for (const std::vector<Rgb>& row : rows) {
        Image in = makeRgbImage(static_cast<int>(row.size()), 1, row);
        EXPECT_EQ(combineImage(acc, in, Image{}), 0);
        freePixels(in.pixels);
        imageCounter.fetch_add(1);
    }
    EXPECT_EQ(finalizeImage(acc), 0);
    std::vector<Rgb> out;
    for (int n = 0; n < acc.width; ++n)
        out.push_back(pixelAt(acc, n));
    return out;
}

// Sums of linear values, clipped at white; brighten keeps the whole pixel with the larger
// linear sum. Average mode divides by the count, which it writes back to both records; mix
// mode divides unless the divisor is within 0.00001 of one. Only a division is announced.
TEST_F(CombineTest, EachModeFoldsAndFinalisesToExactSamples) {
    const std::vector<Rgb> pair{{100, 200, 0}, {128, 128, 128}};
    // Pixel 0: (200,0,0) has the brighter red but the smaller linear sum, so it loses whole.
    // Pixel 1: equal sums (the same channels reordered), so the stored pixel stays.
    const std::vector<std::vector<Rgb>> bright{{{150, 150, 150}, {10, 200, 10}, {50, 50, 50}},
                                               {{200, 0, 0}, {200, 10, 10}, {50, 50, 50}}};
    const std::vector<std::vector<Rgb>> three{{{10, 20, 30}}, {{100, 120, 130}}, {{250, 0, 64}}};
    const std::vector<std::vector<Rgb>> twice{{{60, 60, 60}}, {{60, 60, 60}}};
    const std::string byThree = "Averaging 3 images (Dividing values by 3.000000)\n";
    const std::string mixed = "Averaging 2 images (Dividing values by 1.000020)\n";
    const struct Case {
        int mode;
        double divisor;                        // as configured
        std::vector<std::vector<Rgb>> inputs;  // one row each
        double used;                           // in both records afterwards
        std::string said;                      // non-empty when the sums are divided
        std::vector<Rgb> out;
    } cases[] = {
        // 2 x linear(100) = 2 x 0.126650 = 0.253300 lies between entries 138 and 139.
        {0, 2.5, {pair, pair}, 2.5, "", {{138, 255, 0}, {175, 175, 175}}},
        {3, 2.5, bright, 2.5, "", bright[0]},
        {1, 2.5, {{{77, 140, 201}}}, 1.0, "", {{77, 140, 201}}},
        {1, 1.0, three, 3.0, byThree, {{162, 72, 87}}},
        {2, 1.000005, twice, 1.000005, "", {{84, 84, 84}}},
        {2, 1.00002, twice, 1.00002, mixed, {{84, 84, 84}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", divisor " << c.divisor);
        MessageCapture capture;
        imageCounter.store(0);
        runOptions.combine_mode = c.mode;
        runOptions.combineFunc = c.mode == 3 ? combineBrighten : combineAdd;
        runOptions.Divisor = programOptions.Divisor = c.divisor;
        const int width = static_cast<int>(c.out.size());
        Image& acc = accumulator(width);
        EXPECT_EQ(combineRows(acc, c.inputs), c.out);
        EXPECT_EQ(acc.bitsPerPixel, 32);
        EXPECT_EQ(acc.bytesPerLine, 4 * width);
        EXPECT_EQ(acc.dataSize, 4 * width);
        for (int n = 0; n < width; ++n)
            EXPECT_EQ(pixelData(acc)[4 * n], 255);
        EXPECT_EQ(runOptions.Divisor, c.used);
        EXPECT_EQ(programOptions.Divisor, c.used);
        EXPECT_EQ(capture.diagnosticText(), c.said);
        EXPECT_TRUE(capture.errors().empty());
    }
}

// Identical frames come back unchanged under every curve, alone or averaged however many
// times: the quotient of a sum, or a power undone by its root, may land a hair below its level.
TEST_F(CombineTest, IdenticalFramesFinaliseToThemselves) {
    std::vector<Rgb> ramp;  // every level in each channel, in another order on each row
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 256; ++x)
            ramp.push_back({uint8_t(x), uint8_t(255 - x), uint8_t(37 * x + 85 * y)});
    const struct {
        int32_t curve;
        double gamma;
    } curves[] = {{0, 2.2}, {1, 2.2}, {99, 1.0}, {99, 1.8}, {99, 2.2}, {99, 3.7}};
    const struct {
        int mode, frames;  // mix divides by the frame count too
    } runs[] = {{0, 1},  {3, 1},  {1, 2},   {2, 2},   {1, 3},    {2, 3},
                {1, 10}, {2, 10}, {1, 100}, {2, 100}, {1, 1000}, {2, 1000}};
    MessageCapture capture;
    for (const auto& curve : curves) {
        runOptions.presetGammaCurve = curve.curve;
        runOptions.Gamma = curve.gamma;
        setupGamma(curve.curve, curve.gamma);
        for (const auto& run : runs) {
            SCOPED_TRACE(::testing::Message() << "curve " << curve.curve << " gamma " << curve.gamma
                                              << ", mode " << run.mode << " x" << run.frames);
            runOptions.combine_mode = run.mode;
            runOptions.combineFunc = run.mode == 3 ? combineBrighten : combineAdd;
            runOptions.Divisor = run.frames;
            Image& acc = accumulator(256, 3);
            Image& frame = keep(makeRgbImage(256, 3, ramp));
            for (int i = 0; i < run.frames; ++i)
                ASSERT_EQ(combineImage(acc, frame, Image{}), 0);
            imageCounter.store(run.frames);
            ASSERT_EQ(finalizeImage(acc), 0);
            int darker = 0;
            for (int n = 0; n < 768; ++n)
                for (int k = 0; k < 3; ++k)
                    darker += pixelAt(acc, n)[k] != ramp[n][k];
            EXPECT_EQ(darker, 0);
        }
    }
}

TEST_F(CombineTest, BrightenFunctionTakesTheWholePixelOrNothing) {
    double r = 0.3, g = 0.3, b = 0.3;
    combineBrighten(0.8, 0.0, 0.0, r, g, b);  // 0.8 < 0.9: stays
    EXPECT_EQ(r, 0.3);
    combineBrighten(0.0, 0.0, 0.95, r, g, b);
    EXPECT_EQ((std::vector<double>{r, g, b}), (std::vector<double>{0.0, 0.0, 0.95}));
}

// The per-pixel function and the fold loop alike compare the sample sum with three times
// each threshold, leaving the filler alone.
TEST_F(CombineTest, ThresholdsWorkOnTheSampleSum) {
    const struct Case {
        int low, high;
        Rgb in, out;
    } cases[] = {
        {10, 250, {9, 10, 10}, {0, 0, 0}},           {10, 250, {10, 10, 10}, {10, 10, 10}},
        {10, 250, {251, 250, 250}, {255, 255, 255}}, {10, 250, {250, 250, 250}, {250, 250, 250}},
        {10, 250, {0, 0, 30}, {0, 0, 30}},           {0, 255, {1, 0, 0}, {1, 0, 0}},
        {0, 255, {255, 255, 254}, {255, 255, 254}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        runOptions.low_pass_threshold = c.low;
        runOptions.high_pass_threshold = c.high;
        uint8_t pixel[4] = {7, c.in[0], c.in[1], c.in[2]};
        applyThresholds(pixel);
        EXPECT_EQ((Rgb{pixel[1], pixel[2], pixel[3]}), c.out);
        EXPECT_EQ(pixel[0], 7);
        imageCounter.store(0);
        EXPECT_EQ(combineRows(accumulator(1), {{c.in}})[0], c.out);
    }
}

TEST_F(CombineTest, MismatchAndEmptyRunsAreRefused) {
    MessageCapture capture;
    Image& acc = accumulator(2, 2);
    EXPECT_EQ(combineImage(acc, keep(makeRgbImage(2, 3, {})), Image{}), -1);
    EXPECT_EQ(finalizeImage(acc), -1);
    EXPECT_EQ(acc.bitsPerPixel, 256);  // left as it was
    EXPECT_EQ(capture.errors(), (std::vector<std::string>{"Can't combine incompatible images",
                                                          "No valid input images"}));
}

TEST_F(CombineTest, SixteenBitInputIsCombinedOnItsHighBytes) {
    // Read as one pixel of sixteen-bit samples: 65535, 0x6480, 0xC8FF and 0x0001.
    Image& wide = keep(makeRgbImage(2, 1, {{255, 0x80, 0x64}, {0xC8, 0x01, 0x00}}));
    wide.width = 1, wide.bitsPerPixel = 64;
    Image& acc = accumulator(1);
    ASSERT_EQ(combineImage(acc, wide, Image{}), 0);
    imageCounter.store(1);
    ASSERT_EQ(finalizeImage(acc), 0);
    EXPECT_EQ(pixelAt(acc, 0), (Rgb{0x64, 0xC8, 0x00}));
}

}  // namespace
