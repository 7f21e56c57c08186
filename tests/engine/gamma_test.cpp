#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/gamma.h"
#include "engine/options.h"
#include "support/capture.h"

namespace {

// Every table rises strictly to 1.0. A preset's fast inverse equals the seven-step search
// written out literally; it only changes at table entries, so probing each entry and its
// neighbours (plus the bucket edges and values outside 0..1) covers every case. An invalid
// preset is reported and keeps the table built last. A custom curve is its power (unusable
// exponents fall back to 2.2) and inverts by its root, which truncates: a round trip may lose
// one step, never gain one, and clamps at both ends.
TEST(Gamma, EveryCurveInvertsItsTable) {
    MessageCapture capture;
    const struct {
        int32_t curve;
        double gamma;
        double zero, one;  // the first two entries (custom: the exponent used, in zero)
    } tables[] = {
        {CURVE_SRGB, 2.2, 0.0, 0.000305},       {CURVE_HIGH_CONTRAST, 2.2, 0.000412, 0.001251},
        {CURVE_CUSTOM, 7.5, 7.5, 0.0},          {5, 2.2, 0.0, std::pow(1 / 255.0, 7.5)},
        {CURVE_CUSTOM, 0.19, 2.2, 0.0},         {CURVE_CUSTOM, 10.01, 2.2, 0.0},
        {CURVE_CUSTOM, std::nan(""), 2.2, 0.0}, {CURVE_CUSTOM, -3.0, 2.2, 0.0},
        {CURVE_CUSTOM, 0.2, 0.2, 0.0},          {CURVE_CUSTOM, 10.0, 10.0, 0.0}};
    for (const auto& t : tables) {
        SCOPED_TRACE(::testing::Message() << t.curve << " " << t.gamma);
        const Curve curve(t.curve, t.gamma);
        for (int i = 1; i < 256; ++i)
            ASSERT_LT(curve.linear(uint8_t(i - 1)), curve.linear(uint8_t(i))) << i;
        EXPECT_EQ(curve.linear(255), 1.0);
        if (t.curve == CURVE_CUSTOM) {
            for (int i = 0; i < 256; ++i) {
                ASSERT_EQ(curve.linear(uint8_t(i)), std::pow(i / 255.0, t.zero)) << i;
                const int back = curve.sample(curve.linear(uint8_t(i)));
                ASSERT_TRUE(back == i || back == i - 1) << i << " -> " << back;
            }
            for (double x : {1.0, 4.0, -0.5, std::nan("")})
                EXPECT_EQ(curve.sample(x), x > 0.5 ? 255 : 0) << x;
            continue;
        }
        EXPECT_EQ(curve.linear(0), t.zero);
        EXPECT_EQ(curve.linear(1), t.one);
        const auto search = [&curve](double linear) {
            int i = 128;
            for (int step = 64; step > 0; step /= 2)
                i += curve.linear(uint8_t(i)) > linear ? -step : step;
            return curve.linear(uint8_t(i)) > linear ? i - 1 : i;
        };
        std::vector<double> probes{-1.0, -0.0, 1.0, 1.5, 1e300, std::nan(""), 1e-300};
        for (int i = 0; i < 256; ++i)
            for (double to : {-1.0, 2.0})
                probes.push_back(std::nextafter(curve.linear(uint8_t(i)), to));
        for (int b = 0; b <= 4096; ++b)
            probes.insert(probes.end(), {b / 4096.0, std::nextafter(b / 4096.0, -1.0)});
        for (int i = 0; i < 256; ++i)
            probes.push_back(curve.linear(uint8_t(i)));
        for (double x : probes)
            ASSERT_EQ(curve.sample(x), search(x)) << x;
    }
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"Invalid Gamma Curve requested\n"});
    EXPECT_EQ(capture.diagnostics().at(3), "Using Preset Gamma Curve 5\n");
}

// At 16 bits each curve meets its 8-bit table at every multiple of 257, rises strictly, and
// its inverse brings every level back (it rounds; the 8-bit inverse truncates).
TEST(Gamma, SixteenBitCurvesMeetTheTableAndInvertEveryLevel) {
    MessageCapture capture;
    for (const auto& [selector, gamma] : {std::pair{CURVE_SRGB, 2.2},
                                          {CURVE_HIGH_CONTRAST, 2.2},
                                          {CURVE_CUSTOM, 2.2},
                                          {CURVE_CUSTOM, 0.45}}) {
        SCOPED_TRACE(::testing::Message() << selector << " " << gamma);
        Curve curve(selector, gamma);
        curve.buildSixteenBitTable();
        const double* wide = curve.sixteenBitTable();
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(wide[257 * i], curve.linear(uint8_t(i))) << i;
        for (int v = 0; v < 65536; ++v) {
            ASSERT_TRUE(v == 0 || wide[v - 1] < wide[v]) << v;
            ASSERT_EQ(curve.finalSample16(wide[v]), v) << v;
        }
        for (double x : {-1.0, std::nan(""), 1.0, 7.0})
            EXPECT_EQ(curve.finalSample16(x), x >= 1.0 ? 65535 : 0) << x;
    }
}

}  // namespace
