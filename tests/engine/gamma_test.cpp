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

void usePreset(int32_t curve) {
    runOptions.presetGammaCurve = curve;
    setupGamma(curve, 2.2);
}

TEST(Gamma, SrgbLookupsAndInverse) {
    MessageCapture capture;
    usePreset(0);
    EXPECT_EQ(gammaTable[0], 0.0);
    EXPECT_EQ(gammaTable[1], 0.000305);
    EXPECT_EQ(gammaTable[128], 0.214496);
    EXPECT_EQ(gammaTable[255], 1.0);
    EXPECT_EQ(toSample(0.214496), 128);
    EXPECT_EQ(toSample(0.2145), 128);
    EXPECT_EQ(toSample(0.214495), 127);
    EXPECT_EQ(toSample(2.0), 255);
    EXPECT_EQ(toSample(0.0), 0);
    EXPECT_EQ(toSample(-1.0), 0);
    EXPECT_EQ(toSample(std::nan("")), 255);
    EXPECT_EQ(capture.diagnosticText(), "Using Preset Gamma Curve 0\n");
}

TEST(Gamma, EveryPresetEntryRoundTripsAndTablesRiseStrictly) {
    MessageCapture capture;
    for (int32_t curve : {0, 1}) {
        usePreset(curve);
        EXPECT_EQ(gammaTable[255], 1.0);
        for (int i = 0; i < 256; ++i) {
            if (i > 0) {
                EXPECT_LT(gammaTable[i - 1], gammaTable[i]) << curve << " " << i;
            }
            // An exact hit gives its index; anything just below gives the one before.
            const int expectedExact = (curve == 1 && i == 0) ? 0 : i;
            EXPECT_EQ(toSample(gammaTable[i]), expectedExact) << curve << " " << i;
            if (i > 1) {
                EXPECT_EQ(toSample(std::nextafter(gammaTable[i], 0.0)), i - 1);
            }
        }
    }
}

// The seven-step search written out literally: the definition the fast inverse must match.
int sevenStepReference(double linear) {
    int i = 128;
    for (int step = 64; step > 0; step /= 2)
        i += gammaTable[i] > linear ? -step : step;
    return gammaTable[i] > linear ? i - 1 : i;
}

TEST(Gamma, FastInverseMatchesTheSearchEverywhere) {
    MessageCapture capture;
    runOptions.presetGammaCurve = 0;
    // The result only changes at table entries, so probing each entry and its neighbours
    // (plus the bucket edges and values outside 0..1) covers every case.
    const auto check = [](const char* what) {
        std::vector<double> probes{-1.0, -0.0, 1.0, 1.5, 1e300, std::nan(""), 1e-300};
        for (int i = 0; i < 256; ++i) {
            probes.push_back(gammaTable[i]);
            probes.push_back(std::nextafter(gammaTable[i], -1.0));
            probes.push_back(std::nextafter(gammaTable[i], 2.0));
        }
        for (int b = 0; b <= 4096; ++b) {
            probes.push_back(b / 4096.0);
            probes.push_back(std::nextafter(b / 4096.0, -1.0));
        }
        for (double x : probes)
            ASSERT_EQ(toSample(x), sevenStepReference(x)) << what << " " << x;
    };
    setupGamma(0, 2.2);
    check("sRGB");
    setupGamma(1, 2.2);
    check("High Contrast");
    // A custom table searched like a preset (an invalid preset keeps the last table).
    setupGamma(99, 7.5);
    setupGamma(42, 2.2);
    check("custom table");
}

TEST(Gamma, HighContrastStartsAboveZero) {
    MessageCapture capture;
    usePreset(1);
    EXPECT_EQ(gammaTable[0], 0.000412);
    EXPECT_EQ(toSample(0.0), 0);
    EXPECT_EQ(toSample(0.001251), 1);
    EXPECT_EQ(toSample(0.001250), 0);
}

TEST(Gamma, CustomCurveTruncatesAndClamps) {
    MessageCapture capture;
    runOptions.presetGammaCurve = 99;
    runOptions.Gamma = 2.2;
    setupGamma(99, 2.2);
    EXPECT_EQ(capture.diagnosticText(), "Creating Custom Gamma (2.200000) Curve\n");
    EXPECT_EQ(gammaTable[0], 0.0);
    EXPECT_EQ(gammaTable[255], 1.0);
    EXPECT_EQ(gammaTable[51], std::pow(51 / 255.0, 2.2));
    EXPECT_EQ(toSample(1.0), 255);
    EXPECT_EQ(toSample(4.0), 255);
    EXPECT_EQ(toSample(-0.5), 0);
    EXPECT_EQ(toSample(std::nan("")), 0);
    // Truncation: a round trip may lose one step, never gain one.
    for (int i = 0; i < 256; ++i) {
        const int back = toSample(gammaTable[i]);
        EXPECT_TRUE(back == i || back == i - 1) << i << " -> " << back;
    }
}

TEST(Gamma, OutOfRangeExponentFallsBackForBothDirections) {
    MessageCapture capture;
    runOptions.presetGammaCurve = 99;
    for (double bad : {0.1, 0.19, 10.01, std::nan(""), -3.0}) {
        runOptions.Gamma = bad;
        setupGamma(99, bad);
        EXPECT_EQ(gammaTable[128], std::pow(128 / 255.0, 2.2)) << bad;
        EXPECT_GE(toSample(gammaTable[128]), 127) << bad;
    }
    for (double edge : {0.2, 10.0}) {
        runOptions.Gamma = edge;
        setupGamma(99, edge);
        EXPECT_EQ(gammaTable[100], std::pow(100 / 255.0, edge));
    }
}

TEST(Gamma, InvalidPresetIsReportedAndKeepsThePreviousTable) {
    MessageCapture capture;
    usePreset(1);
    runOptions.presetGammaCurve = 5;
    setupGamma(5, 2.2);
    ASSERT_EQ(capture.errors().size(), 1u);
    EXPECT_EQ(capture.errors()[0], "Invalid Gamma Curve requested\n");
    EXPECT_EQ(gammaTable[0], 0.000412);
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
