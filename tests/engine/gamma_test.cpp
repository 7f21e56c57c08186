#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "engine/gamma.h"
#include "engine/options.h"
#include "support/capture.h"

namespace {

uint8_t toSample(double linear) {
    uint8_t sample = 0;
    linearToSample(linear, sample);
    return sample;
}

// The seven-step search written out literally: the definition the fast inverse must match.
int sevenStepReference(double linear) {
    int i = 128;
    for (int step = 64; step > 0; step /= 2)
        i += gammaTable[i] > linear ? -step : step;
    return gammaTable[i] > linear ? i - 1 : i;
}

// Every table rises strictly to 1.0, so each entry inverts to its own index. The inverse only
// changes at table entries, so probing each entry and its neighbours (plus the bucket edges and
// values outside 0..1) covers every case.
TEST(Gamma, EveryTableInvertsExactlyLikeTheSearch) {
    MessageCapture capture;
    runOptions.presetGammaCurve = 0;  // a custom table dense near black is searched like a preset
    const struct {
        int32_t curve;
        double gamma, zero, one;  // the first two entries
    } tables[] = {{0, 2.2, 0.0, 0.000305},
                  {1, 2.2, 0.000412, 0.001251},
                  {99, 7.5, 0.0, std::pow(1 / 255.0, 7.5)}};
    for (const auto& table : tables) {
        SCOPED_TRACE(table.curve);
        setupGamma(table.curve, table.gamma);
        EXPECT_EQ(gammaTable[0], table.zero);
        EXPECT_EQ(gammaTable[1], table.one);
        EXPECT_EQ(gammaTable[255], 1.0);
        std::vector<double> probes{-1.0, -0.0, 1.0, 1.5, 1e300, std::nan(""), 1e-300};
        for (int i = 0; i < 256; ++i) {
            ASSERT_LT(i > 0 ? gammaTable[i - 1] : -1.0, gammaTable[i]) << i;
            ASSERT_EQ(toSample(gammaTable[i]), i);
            probes.push_back(gammaTable[i]);
            probes.push_back(std::nextafter(gammaTable[i], -1.0));
            probes.push_back(std::nextafter(gammaTable[i], 2.0));
        }
        for (int b = 0; b <= 4096; ++b) {
            probes.push_back(b / 4096.0);
            probes.push_back(std::nextafter(b / 4096.0, -1.0));
        }
        for (double x : probes)
            ASSERT_EQ(toSample(x), sevenStepReference(x)) << x;
    }
    // An invalid preset is reported and keeps the table in use.
    setupGamma(5, 2.2);
    EXPECT_EQ(gammaTable[1], std::pow(1 / 255.0, 7.5));
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"Invalid Gamma Curve requested\n"});
    EXPECT_EQ(capture.diagnostics(),
              (std::vector<std::string>{
                  "Using Preset Gamma Curve 0\n", "Using Preset Gamma Curve 1\n",
                  "Creating Custom Gamma (7.500000) Curve\n", "Using Preset Gamma Curve 5\n"}));
}

// Unusable exponents fall back to 2.2 for the table and its inverse alike; the inverse truncates,
// so a round trip may lose one step, never gain one, and it clamps at both ends.
TEST(Gamma, CustomCurveUsesTheExponentInForceBothWays) {
    MessageCapture capture;
    runOptions.presetGammaCurve = 99;
    const struct {
        double stored, used;
    } cases[] = {{0.1, 2.2},  {0.19, 2.2}, {10.01, 2.2}, {std::nan(""), 2.2},
                 {-3.0, 2.2}, {0.2, 0.2},  {10.0, 10.0}, {2.2, 2.2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        runOptions.Gamma = c.stored;
        setupGamma(99, c.stored);
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(gammaTable[i], std::pow(i / 255.0, c.used)) << i;
            const int back = toSample(gammaTable[i]);
            ASSERT_TRUE(back == i || back == i - 1) << i << " -> " << back;
        }
    }
    for (double x : {1.0, 4.0, -0.5, std::nan("")})
        EXPECT_EQ(toSample(x), x > 0.5 ? 255 : 0) << x;
}

TEST(GammaDeathTest, InvalidPresetBeforeAnyTableUsesSrgb) {
    // A fresh process, so no table has been built yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            usePresetGammaCurve(7);
            std::exit(gammaTable[128] == 0.214496 && gammaTable[255] == 1.0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
