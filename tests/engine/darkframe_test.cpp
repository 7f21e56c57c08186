#include <gtest/gtest.h>

#include <string>

#include "engine/darkframe.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

using DarkFrameTest = EngineTest;

// Out of [0, 1) the frame is subtracted whole; inside it is scaled in linear light and
// requantised through the curve, even to nothing at zero.
TEST_F(DarkFrameTest, OpacityScalesTheFrameOnlyWithinRange) {
    const std::vector<Rgb> frame{{200, 100, 0}, {255, 1, 50}};
    const std::vector<Rgb> half{{146, 71, 0}, {188, 0, 33}};  // 0.573785 / 2: between 146 and 147
    const struct Case {
        double opacity;
        int32_t curve;
        std::vector<Rgb> out;
        std::vector<std::string> said;
    } cases[] = {{1.0, 0, frame, {}},
                 {1.5, 0, frame, {}},
                 {-0.2, 0, frame, {}},
                 {0.5, 0, half, {"Modifying opacity by 0.500\n"}},
                 {0.0, 1, {{0, 0, 0}, {0, 0, 0}}, {"Modifying opacity by 0.000\n"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opacity);
        MessageCapture capture;
        runOptions.darkFrameOpacity = c.opacity;
        runOptions.presetGammaCurve = c.curve;
        setupGamma(c.curve, 2.2);
        Image& dark = keep(makeRgbImage(2, 1, frame));
        prepareDarkFrame(dark);
        EXPECT_EQ((std::vector<Rgb>{pixelAt(dark, 0), pixelAt(dark, 1)}), c.out);
        EXPECT_EQ(capture.statuses(), c.said);
    }
}

// Each channel loses the frame's linear value at its own pixel and is clamped at zero on its
// own; under High Contrast even a black frame pixel removes the curve's floor.
TEST_F(DarkFrameTest, SubtractionClampsEachChannelAtZero) {
    Image& dark = keep(makeRgbImage(2, 1, {{20, 40, 60}, {255, 0, 1}}));
    const double g1 = gammaTable[1], g20 = gammaTable[20], g30 = gammaTable[30];
    const double g60 = gammaTable[60], g100 = gammaTable[100];
    const struct Case {
        int32_t curve;
        int x;
        std::vector<double> in, out;
    } cases[] = {
        {0, 0, {g100, g30, g60}, {g100 - g20, 0.0, 0.0}},  // darker clamps, equal is zero
        {0, 1, {0.5, 0.5, 0.5}, {0.0, 0.5, 0.5 - g1}},
        {1, 1, {0.5, 0.5, 0.0}, {0.0, 0.5 - 0.000412, 0.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "curve " << c.curve << ", x " << c.x);
        setupGamma(c.curve, 2.2);
        std::vector<double> s = c.in;
        subtractDarkFrame(dark, c.x, 0, s[0], s[1], s[2]);
        EXPECT_EQ(s, c.out);
    }
    // A frame without pixels changes nothing.
    Image empty;
    prepareDarkFrame(empty);
    std::vector<double> s{0.25, 0.5, 0.75};
    subtractDarkFrame(empty, 3, 4, s[0], s[1], s[2]);
    EXPECT_EQ(s, (std::vector<double>{0.25, 0.5, 0.75}));
}

TEST_F(DarkFrameTest, WhitenedPixelsStillLoseTheDarkFrame) {
    runOptions.high_pass_threshold = 200;
    runOptions.useNoiseReduction = 1;
    Image& dark = keep(makeRgbImage(1, 1, {{128, 0, 255}}));
    Image& in = keep(makeRgbImage(1, 1, {{210, 210, 210}}));
    Image& acc = accumulator(1);
    ASSERT_EQ(combineImage(acc, in, dark), 0);
    const double* slots = reinterpret_cast<const double*>(pixelData(acc));
    EXPECT_EQ((std::vector<double>(slots, slots + 4)),
              (std::vector<double>{0.0, 1.0 - gammaTable[128], 1.0, 0.0}));
}

}  // namespace
