#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/combine.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

using CombineTest = EngineTest;

// Folds the given single-pixel images in order and finalises.
Rgb combinePixels(Image& acc, const std::vector<Rgb>& inputs) {
    Image none;
    for (const Rgb& rgb : inputs) {
        Image in = makeRgbImage(1, 1, {rgb});
        EXPECT_EQ(combineImage(acc, in, none), 0);
        freePixels(in.pixels);
        imageCounter.fetch_add(1);
    }
    EXPECT_EQ(finalizeImage(acc), 0);
    return pixelAt(acc, 0);
}

TEST_F(CombineTest, StackAddsLinearValuesAndClips) {
    MessageCapture capture;
    Image& in = keep(makeRgbImage(2, 1, {{100, 200, 0}, {128, 128, 128}}));
    Image& acc = accumulatorFor(in);
    Image none;
    ASSERT_EQ(combineImage(acc, in, none), 0);
    Image in2 = makeRgbImage(2, 1, {{100, 200, 0}, {128, 128, 128}});
    ASSERT_EQ(combineImage(acc, in2, none), 0);
    freePixels(in2.pixels);
    imageCounter.store(2);
    ASSERT_EQ(finalizeImage(acc), 0);
    EXPECT_EQ(acc.bitsPerPixel, 32);
    EXPECT_EQ(acc.bytesPerLine, 8);
    EXPECT_EQ(acc.dataSize, 8);
    // 2 x linear(100) = 2 x 0.126650 = 0.253300 lies between entries 138 and 139.
    EXPECT_EQ(pixelAt(acc, 0), (Rgb{encode(2 * gammaTable[100]), 255, 0}));
    EXPECT_EQ(pixelAt(acc, 0)[0], 138);
    EXPECT_EQ(pixelAt(acc, 1), (Rgb{175, 175, 175}));
    EXPECT_EQ(pixelData(acc)[0], 255);
    EXPECT_EQ(pixelData(acc)[4], 255);
    EXPECT_TRUE(capture.errors().empty());
}

TEST_F(CombineTest, AverageSetsDivisorToTheCount) {
    MessageCapture capture;
    runOptions.combine_mode = 1;
    Image& one = accumulatorFor(keep(makeRgbImage(1, 1, {{9, 9, 9}})));
    EXPECT_EQ(combinePixels(one, {{77, 140, 201}}), (Rgb{77, 140, 201}));
    EXPECT_EQ(runOptions.Divisor, 1.0);
    EXPECT_EQ(capture.diagnosticText().find("Averaging"), std::string::npos);

    imageCounter.store(0);
    Image& three = accumulatorFor(keep(makeRgbImage(1, 1, {{9, 9, 9}})));
    const Rgb out = combinePixels(three, {{10, 20, 30}, {100, 120, 130}, {250, 0, 64}});
    EXPECT_EQ(runOptions.Divisor, 3.0);
    EXPECT_EQ(programOptions.Divisor, 3.0);
    EXPECT_NE(capture.diagnosticText().find("Averaging 3 images (Dividing values by 3.000000)\n"),
              std::string::npos);
    const double r = (gammaTable[10] + gammaTable[100] + gammaTable[250]) / 3.0;
    const double g = (gammaTable[20] + gammaTable[120] + gammaTable[0]) / 3.0;
    const double b = (gammaTable[30] + gammaTable[130] + gammaTable[64]) / 3.0;
    EXPECT_EQ(out, (Rgb{encode(r), encode(g), encode(b)}));
}

TEST_F(CombineTest, MixDividesOnlyBeyondTheTolerance) {
    MessageCapture capture;
    runOptions.combine_mode = 2;
    runOptions.Divisor = 1.000005;
    Image& near = accumulatorFor(keep(makeRgbImage(1, 1, {{0, 0, 0}})));
    EXPECT_EQ(
        combinePixels(near, {{60, 60, 60}, {60, 60, 60}}),
        (Rgb{encode(2 * gammaTable[60]), encode(2 * gammaTable[60]), encode(2 * gammaTable[60])}));
    EXPECT_TRUE(capture.diagnostics().empty());

    imageCounter.store(0);
    runOptions.Divisor = 1.00002;
    Image& far = accumulatorFor(keep(makeRgbImage(1, 1, {{0, 0, 0}})));
    const Rgb out = combinePixels(far, {{60, 60, 60}, {60, 60, 60}});
    EXPECT_EQ(out[0], encode((gammaTable[60] + gammaTable[60]) / 1.00002));
    EXPECT_EQ(capture.diagnosticText(), "Averaging 2 images (Dividing values by 1.000020)\n");
}

TEST_F(CombineTest, BrightenKeepsTheWholePixelWithTheLargerLinearSum) {
    runOptions.combine_mode = 3;
    runOptions.combineFunc = combineBrighten;
    Image& acc = accumulatorFor(keep(makeRgbImage(3, 1, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}})));
    Image none;
    // Pixel 0: (200,0,0) has the brighter red but the smaller linear sum, so it loses whole.
    Image first = makeRgbImage(3, 1, {{150, 150, 150}, {10, 200, 10}, {50, 50, 50}});
    Image second = makeRgbImage(3, 1, {{200, 0, 0}, {200, 10, 10}, {50, 50, 50}});
    ASSERT_EQ(combineImage(acc, first, none), 0);
    ASSERT_EQ(combineImage(acc, second, none), 0);
    freePixels(first.pixels);
    freePixels(second.pixels);
    imageCounter.store(2);
    ASSERT_EQ(finalizeImage(acc), 0);
    ASSERT_LT(gammaTable[200], 3 * gammaTable[150]);
    EXPECT_EQ(pixelAt(acc, 0), (Rgb{150, 150, 150}));
    // Equal sums (the same channels reordered): the stored pixel stays.
    EXPECT_EQ(pixelAt(acc, 1), (Rgb{10, 200, 10}));
    EXPECT_EQ(pixelAt(acc, 2), (Rgb{50, 50, 50}));

    double r = 0.3, g = 0.3, b = 0.3;
    combineBrighten(0.8, 0.0, 0.0, r, g, b);  // 0.8 < 0.9: stays
    EXPECT_EQ(r, 0.3);
    combineBrighten(0.0, 0.0, 0.95, r, g, b);  // taken as a whole, never per channel
    EXPECT_EQ(r, 0.0);
    EXPECT_EQ(b, 0.95);
}

TEST_F(CombineTest, ThresholdsWorkOnTheSampleSum) {
    runOptions.low_pass_threshold = 10;
    runOptions.high_pass_threshold = 250;
    struct Case {
        Rgb in, out;
    } cases[] = {
        {{9, 10, 10}, {0, 0, 0}},           {{10, 10, 10}, {10, 10, 10}},
        {{251, 250, 250}, {255, 255, 255}}, {{250, 250, 250}, {250, 250, 250}},
        {{0, 0, 30}, {0, 0, 30}},
    };
    for (const Case& c : cases) {
        uint8_t pixel[4] = {7, c.in[0], c.in[1], c.in[2]};
        applyThresholds(pixel);
        EXPECT_EQ((Rgb{pixel[1], pixel[2], pixel[3]}), c.out);
        EXPECT_EQ(pixel[0], 7);
    }
    setDefaultOptions(runOptions);
    for (int v : {0, 1, 254, 255}) {
        uint8_t pixel[4] = {0, uint8_t(v), uint8_t(v), uint8_t(v)};
        applyThresholds(pixel);
        EXPECT_EQ(pixel[1], v);
    }
}

TEST_F(CombineTest, MismatchAndEmptyRunsAreRefused) {
    MessageCapture capture;
    Image& acc = accumulatorFor(keep(makeRgbImage(2, 2, {})));
    Image& other = keep(makeRgbImage(2, 3, {}));
    Image none;
    EXPECT_EQ(combineImage(acc, other, none), -1);
    EXPECT_EQ(finalizeImage(acc), -1);
    EXPECT_EQ(acc.bitsPerPixel, 256);  // left as it was
    ASSERT_EQ(capture.errors().size(), 2u);
    EXPECT_EQ(capture.errors()[0], "Can't combine incompatible images");
    EXPECT_EQ(capture.errors()[1], "No valid input images");
}

TEST_F(CombineTest, SixteenBitInputIsCombinedOnItsHighBytes) {
    Image wide;
    wide.width = 1;
    wide.height = 1;
    wide.bitsPerPixel = 64;
    wide.bytesPerLine = 8;
    wide.dataSize = 8;
    wide.pixels = allocPixels(8);
    const uint16_t samples[4] = {65535, 0x6480, 0xC8FF, 0x0001};
    std::memcpy(pixelData(wide), samples, 8);
    Image& input = keep(wide);
    Image& acc = accumulatorFor(input);
    Image none;
    ASSERT_EQ(combineImage(acc, input, none), 0);
    imageCounter.store(1);
    ASSERT_EQ(finalizeImage(acc), 0);
    EXPECT_EQ(pixelAt(acc, 0), (Rgb{0x64, 0xC8, 0x00}));
}

}  // namespace
