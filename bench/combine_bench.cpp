// Micro-benchmarks of the per-pixel work: folding inputs into the accumulator in each mode,
// with and without thresholds and a dark frame, and finalisation.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/combine.h"
#include "engine/image.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "engine/parallel.h"

namespace {

constexpr int kWidth = 2000;
constexpr int kHeight = 1500;  // 3 megapixels

Image makeInput(uint32_t seed) {
    Image image;
    image.width = kWidth;
    image.height = kHeight;
    image.bitsPerPixel = 32;
    image.bytesPerLine = 4 * kWidth;
    image.dataSize = image.bytesPerLine * kHeight;
    image.pixels = allocPixels(image.dataSize);
    uint8_t* data = pixelData(image);
    uint32_t state = seed;
    for (int64_t i = 0; i < image.dataSize; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = i % 4 == 0 ? 255 : static_cast<uint8_t>(state >> 24);
    }
    return image;
}

void silence() {
    static const MessageSink quiet{[](const std::string&) {}, [](const std::string&) {},
                                   [](const std::string&) {}};
    installMessageSink(&quiet);
}

// state.range(0): mode (0 add, 3 brighten); range(1): thresholds on; range(2): dark frame on;
// range(3): threads (1 or every core).
void BM_Combine(benchmark::State& state) {
    silence();
    ProgramOptions options;
    setDefaultOptions(options);
    options.combine_mode = static_cast<int32_t>(state.range(0));
    if (state.range(1) != 0) {
        options.low_pass_threshold = 20;
        options.high_pass_threshold = 235;
    }
    const RunContext context(options);
    setWorkerCount(static_cast<int>(state.range(3)));
    Image input = makeInput(1);
    Image dark = makeInput(2);
    Image* inputs[1] = {&input};
    {
        std::optional<Accumulator> acc = Accumulator::create(input);
        for (auto _ : state) {
            acc->fold(context, inputs, 1, state.range(2) != 0 ? &dark : nullptr);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
    freePixels(input.pixels);
    freePixels(dark.pixels);
    setWorkerCount(0);
}
BENCHMARK(BM_Combine)
    ->ArgNames({"mode", "thresholds", "dark", "threads"})
    ->ArgsProduct({{0, 3}, {0, 1}, {0, 1}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

// Four different inputs folded in one pass, as the run does when images are ready together
// (for brighten, which slots are replaced then varies as it does in a real sequence).
// state.range(0): mode (0 add, 3 brighten); range(1): threads.
void BM_CombineBatchOfFour(benchmark::State& state) {
    silence();
    ProgramOptions options;
    setDefaultOptions(options);
    options.combine_mode = static_cast<int32_t>(state.range(0));
    const RunContext context(options);
    setWorkerCount(static_cast<int>(state.range(1)));
    Image inputs[4] = {makeInput(1), makeInput(2), makeInput(3), makeInput(4)};
    Image* pointers[4] = {&inputs[0], &inputs[1], &inputs[2], &inputs[3]};
    {
        std::optional<Accumulator> acc = Accumulator::create(inputs[0]);
        for (auto _ : state) {
            acc->fold(context, pointers, 4, nullptr);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * 4 * int64_t{kWidth} * kHeight);
    for (Image& image : inputs)
        freePixels(image.pixels);
    setWorkerCount(0);
}
BENCHMARK(BM_CombineBatchOfFour)
    ->ArgNames({"mode", "threads"})
    ->ArgsProduct({{0, 3}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

// state.range(0): mode 1 (average: divides) or 0; range(1): custom curve; range(2): threads.
void BM_Finalize(benchmark::State& state) {
    silence();
    ProgramOptions options;
    setDefaultOptions(options);
    options.combine_mode = static_cast<int32_t>(state.range(0));
    options.presetGammaCurve = state.range(1) != 0 ? CURVE_CUSTOM : CURVE_SRGB;
    const RunContext context(options);
    setWorkerCount(static_cast<int>(state.range(2)));
    Image input = makeInput(1);
    Image* inputs[3] = {&input, &input, &input};
    {
        // Finalising leaves the sums alone, so one accumulator serves every iteration.
        std::optional<Accumulator> acc = Accumulator::create(input);
        acc->fold(context, inputs, 3, nullptr);
        for (auto _ : state) {
            Image output = acc->finalize(context.curve, modeDivisor(context, 3));
            state.PauseTiming();
            freePixels(output.pixels);
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
    freePixels(input.pixels);
    setWorkerCount(0);
}
BENCHMARK(BM_Finalize)
    ->ArgNames({"average", "custom", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
