#include <gtest/gtest.h>

#include "engine/darkframe.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

using DarkFrameTest = EngineTest;

TEST_F(DarkFrameTest, FullOpacityLeavesTheFrameAndSubtractsItsLinearValues) {
    MessageCapture capture;
    for (double opacity : {1.0, 1.5, -0.2}) {
        runOptions.darkFrameOpacity = opacity;
        Image& dark = keep(makeRgbImage(2, 1, {{20, 40, 60}, {255, 0, 1}}));
        prepareDarkFrame(dark);
        EXPECT_EQ(pixelAt(dark, 0), (Rgb{20, 40, 60}));
        EXPECT_EQ(pixelAt(dark, 1), (Rgb{255, 0, 1}));
    }
    EXPECT_TRUE(capture.statuses().empty());

    Image& dark = keep(makeRgbImage(2, 1, {{20, 40, 60}, {255, 0, 1}}));
    double s1 = gammaTable[100], s2 = gammaTable[30], s3 = gammaTable[60];
    subtractDarkFrame(dark, 0, 0, s1, s2, s3);
    EXPECT_EQ(s1, gammaTable[100] - gammaTable[20]);
    EXPECT_EQ(s2, 0.0);  // darker than the dark frame: clamped, independently per channel
    EXPECT_EQ(s3, 0.0);  // equal: exactly zero
    s1 = 0.5, s2 = 0.5, s3 = 0.5;
    subtractDarkFrame(dark, 1, 0, s1, s2, s3);
    EXPECT_EQ(s1, 0.0);
    EXPECT_EQ(s2, 0.5);
    EXPECT_EQ(s3, 0.5 - gammaTable[1]);
}

TEST_F(DarkFrameTest, PartialOpacityRequantisesThroughTheCurve) {
    MessageCapture capture;
    runOptions.darkFrameOpacity = 0.5;
    Image& dark = keep(makeRgbImage(1, 2, {{200, 100, 0}, {255, 1, 50}}));
    prepareDarkFrame(dark);
    ASSERT_EQ(capture.statuses().size(), 1u);
    EXPECT_EQ(capture.statuses()[0], "Modifying opacity by 0.500\n");
    EXPECT_EQ(pixelAt(dark, 0),
              (Rgb{encode(gammaTable[200] * 0.5), encode(gammaTable[100] * 0.5), 0}));
    EXPECT_EQ(pixelAt(dark, 1), (Rgb{encode(0.5), 0, encode(gammaTable[50] * 0.5)}));
    EXPECT_EQ(pixelAt(dark, 0)[0], 146);  // 0.573785 / 2 lies between entries 146 and 147
}

TEST_F(DarkFrameTest, ZeroOpacityStillRemovesTheHighContrastFloor) {
    MessageCapture capture;
    runOptions.darkFrameOpacity = 0.0;
    runOptions.presetGammaCurve = 1;
    setupGamma(1, 2.2);
    Image& dark = keep(makeRgbImage(1, 1, {{200, 100, 7}}));
    prepareDarkFrame(dark);
    EXPECT_EQ(pixelAt(dark, 0), (Rgb{0, 0, 0}));
    double s1 = 0.5, s2 = 0.5, s3 = 0.0;
    subtractDarkFrame(dark, 0, 0, s1, s2, s3);
    EXPECT_EQ(s1, 0.5 - 0.000412);
    EXPECT_EQ(s3, 0.0);
}

TEST_F(DarkFrameTest, FrameWithoutPixelsChangesNothing) {
    Image empty;
    prepareDarkFrame(empty);
    double s1 = 0.25, s2 = 0.5, s3 = 0.75;
    subtractDarkFrame(empty, 3, 4, s1, s2, s3);
    EXPECT_EQ(s1, 0.25);
    EXPECT_EQ(s2, 0.5);
    EXPECT_EQ(s3, 0.75);
}

TEST_F(DarkFrameTest, WhitenedPixelsStillLoseTheDarkFrame) {
    runOptions.high_pass_threshold = 200;
    runOptions.useNoiseReduction = 1;
    Image& dark = keep(makeRgbImage(1, 1, {{128, 0, 255}}));
    Image& in = keep(makeRgbImage(1, 1, {{210, 210, 210}}));
    Image& acc = accumulatorFor(in);
    ASSERT_EQ(combineImage(acc, in, dark), 0);
    const double* slots = reinterpret_cast<const double*>(pixelData(acc));
    EXPECT_EQ(slots[0], 0.0);
    EXPECT_EQ(slots[1], 1.0 - gammaTable[128]);
    EXPECT_EQ(slots[2], 1.0);
    EXPECT_EQ(slots[3], 0.0);
}

}  // namespace
