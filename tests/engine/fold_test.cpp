#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "engine/combine.h"
#include "engine/darkframe.h"
#include "engine/parallel.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

using FoldTest = EngineTest;

RunContext contextFor(int mode, int32_t curve, double gamma, int low = 0, int high = 255,
                      double opacity = 1.0, double divisor = 1.0) {
    ProgramOptions o;
    setDefaultOptions(o);
    std::tie(o.combine_mode, o.presetGammaCurve, o.Gamma, o.low_pass_threshold,
             o.high_pass_threshold, o.darkFrameOpacity, o.Divisor) =
        std::tuple(mode, curve, gamma, low, high, opacity, divisor);
    MessageCapture quiet;
    return RunContext(o);
}

// The per-pixel definitions, one input and one pixel at a time: the threshold filter on the
// sample sum, linearisation, the dark frame's linear value taken off and clamped at zero per
// channel, then the mode's combining function.
void referenceFold(const RunContext& c, std::vector<double>& acc,
                   std::vector<std::vector<uint8_t>>& inputs, const uint8_t* dark) {
    const CombineFunc func = c.mode == MODE_BRIGHTEN ? combineBrighten : combineAdd;
    for (std::vector<uint8_t>& in : inputs) {
        for (std::size_t n = 0; n < in.size() / 4; ++n) {
            uint8_t* p = &in[n * 4];
            const int sum = p[1] + p[2] + p[3];
            if (sum < 3 * c.options.low_pass_threshold)
                p[1] = p[2] = p[3] = 0;
            else if (sum > 3 * c.options.high_pass_threshold)
                p[1] = p[2] = p[3] = 255;
            double v[3];
            for (int k = 0; k < 3; ++k) {
                v[k] = c.curve.linear(p[k + 1]);
                if (dark != nullptr) {
                    v[k] = v[k] - c.curve.linear(dark[n * 4 + k + 1]);
                    if (v[k] < 0.0)
                        v[k] = 0.0;
                }
            }
            func(v[0], v[1], v[2], acc[n * 4 + 1], acc[n * 4 + 2], acc[n * 4 + 3]);
        }
    }
}

// A 32-bit image of pixels drawn half from levels around the thresholds and at the ends (so
// brighten meets ties and clamps happen), half at random.
Image noisyImage(int width, int height, uint32_t seed) {
    static const uint8_t levels[] = {0, 1, 19, 20, 21, 100, 229, 230, 231, 254, 255};
    Image image = makeRgbImage(width, height, {});
    uint32_t state = seed * 2654435761u + 1;
    for (int64_t i = 0; i < image.dataSize; ++i) {
        state = state * 1664525u + 1013904223u;
        if (i % 4 != 0)
            pixelData(image)[i] = (state >> 31) ? levels[(state >> 8) % 11] : uint8_t(state >> 20);
    }
    return image;
}

// The fold kernel against the definitions, bit for bit (the sums, and the thresholded inputs):
// every mode, curve, threshold setting and dark frame, in batches of every size; the large
// image is split into parallel ranges.
TEST_F(FoldTest, FastFoldEqualsTheScalarDefinitionBitForBit) {
    constexpr int kFrames = 11;
    const std::pair<int32_t, double> curves[] = {
        {CURVE_SRGB, 2.2}, {CURVE_HIGH_CONTRAST, 2.2}, {CURVE_CUSTOM, 1.8}};
    for (const auto& [width, height, workers] : {std::tuple{37, 5, 1}, {400, 330, 2}}) {
        setWorkerCount(workers);
        for (int combination = 0; combination < 4 * 3 * 2 * 3 * kMaxCombineBatch; ++combination) {
            int rest = combination;
            const int batch = rest % kMaxCombineBatch + 1, mode = (rest /= kMaxCombineBatch) % 4;
            const auto [curve, gamma] = curves[(rest /= 4) % 3];
            const bool thresholds = (rest /= 3) % 2;
            const double dark[] = {-1.0, 1.0, 0.5};  // none, whole, half opacity
            const double opacity = dark[rest / 2];
            if (workers > 1 && (batch % 5 != 3 || curve != CURVE_SRGB || mode % 3 != 0))
                continue;  // the large image is there for the split alone
            SCOPED_TRACE(::testing::Message()
                         << width << " mode " << mode << " curve " << curve << " thresholds "
                         << thresholds << " dark " << opacity << " batch " << batch);
            const RunContext c = contextFor(mode, curve, gamma, thresholds ? 20 : 0,
                                            thresholds ? 230 : 255, opacity);
            FoldTest::TearDown();  // frees the images of the combination before
            Image& darkImage = keep(noisyImage(width, height, 99));
            MessageCapture quiet;
            prepareDarkFrame(c, darkImage);
            std::vector<Image*> inputs;
            std::vector<std::vector<uint8_t>> expected;
            for (int i = 0; i < kFrames; ++i) {
                inputs.push_back(&keep(noisyImage(width, height, uint32_t(i + 1))));
                expected.emplace_back(pixelData(*inputs[i]),
                                      pixelData(*inputs[i]) + inputs[i]->dataSize);
            }
            std::vector<double> sums(std::size_t(width) * height * 4, 0.0);
            referenceFold(c, sums, expected, opacity < 0 ? nullptr : pixelData(darkImage));

            std::optional<Accumulator> acc = Accumulator::create(*inputs[0]);
            for (int done = 0; done < kFrames; done += batch)
                acc->fold(c, inputs.data() + done, std::min(batch, kFrames - done),
                          opacity < 0 ? nullptr : &darkImage);
            ASSERT_EQ(std::memcmp(pixelData(acc->image()), sums.data(), sums.size() * 8), 0);
            for (int i = 0; i < kFrames; ++i)
                ASSERT_EQ(
                    std::memcmp(pixelData(*inputs[i]), expected[i].data(), expected[i].size()), 0);
        }
    }
    setWorkerCount(0);
}

// Identical frames come back unchanged under every curve, alone or averaged however many
// times: the quotient of a sum, or a power undone by its root, may land a hair below its level.
// Finalising leaves the sums alone, so it may run again.
TEST_F(FoldTest, IdenticalFramesFinaliseToThemselves) {
    std::vector<Rgb> ramp;  // every level in each channel, in another order on each row
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 256; ++x)
            ramp.push_back({uint8_t(x), uint8_t(255 - x), uint8_t(37 * x + 85 * y)});
    const std::pair<int32_t, double> curves[] = {{0, 2.2},  {1, 2.2},  {99, 1.0},
                                                 {99, 1.8}, {99, 2.2}, {99, 3.7}};
    const std::pair<int, int> runs[] = {{0, 1},  {3, 1},   {1, 2},    {2, 3},  // mode, frames
                                        {1, 10}, {2, 100}, {1, 1000}, {2, 1000}};
    Image& frame = keep(makeRgbImage(256, 3, ramp));
    Image* batch[kMaxCombineBatch];
    std::fill(batch, batch + kMaxCombineBatch, &frame);
    for (const auto& [curve, gamma] : curves) {
        for (const auto& [mode, frames] : runs) {
            SCOPED_TRACE(::testing::Message() << "curve " << curve << " gamma " << gamma
                                              << ", mode " << mode << " x" << frames);
            // Mix divides by the frame count too.
            const RunContext c = contextFor(mode, curve, gamma, 0, 255, 1.0, frames);
            std::optional<Accumulator> acc = Accumulator::create(frame);
            for (int done = 0; done < frames; done += kMaxCombineBatch)
                acc->fold(c, batch, std::min(kMaxCombineBatch, frames - done), nullptr);
            for (int again = 0; again < 2; ++again) {
                Image& out = keep(acc->finalize(c.curve, modeDivisor(c, frames)));
                ASSERT_EQ(out.dataSize, 256 * 3 * 4);
                int differ = 0;
                for (int n = 0; n < 768; ++n)
                    differ += pixelAt(out, n) != ramp[n] || pixelData(out)[4 * n] != 255;
                EXPECT_EQ(differ, 0);
            }
        }
    }
}

// Out of [0, 1) the dark frame is subtracted whole; inside it is scaled in linear light and
// requantised through the curve, even to nothing at zero. (0.573785 / 2 lies between levels 146
// and 147.)
TEST_F(FoldTest, DarkFrameOpacityScalesOnlyWithinRange) {
    const std::vector<Rgb> frame{{200, 100, 0}, {255, 1, 50}}, half{{146, 71, 0}, {188, 0, 33}};
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
        const RunContext context = contextFor(0, c.curve, 2.2, 0, 255, c.opacity);
        MessageCapture capture;
        Image& dark = keep(makeRgbImage(2, 1, frame));
        prepareDarkFrame(context, dark);
        EXPECT_EQ((std::vector<Rgb>{pixelAt(dark, 0), pixelAt(dark, 1)}), c.out);
        EXPECT_EQ(capture.statuses(), c.said);
    }
}

}  // namespace
