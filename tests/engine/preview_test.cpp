#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "engine/combine.h"
#include "engine/parallel.h"
#include "engine/preview.h"
#include "engine/stack.h"
#include "engine_fixture.h"

namespace {

using Slots = std::array<double, 3>;

// Sums whose slots are given row by row.
Accumulator sumsOf(int width, int height, const std::vector<Slots>& pixels) {
    Image header = makeRgbImage(width, height, {});
    std::optional<Accumulator> sums = Accumulator::create(header);
    freePixels(header.pixels);
    double* slots = reinterpret_cast<double*>(pixelData(sums->image()));
    for (std::size_t n = 0; n < pixels.size(); ++n)
        for (int k = 0; k < 3; ++k)
            slots[n * 4 + 1 + k] = pixels[n][static_cast<std::size_t>(k)];
    return std::move(*sums);
}

std::vector<Slots> slotsOf(const Accumulator& sums) {
    const double* slots = reinterpret_cast<const double*>(pixelData(sums.image()));
    std::vector<Slots> result;
    for (int64_t n = 0; n < int64_t{sums.image().width} * sums.image().height; ++n)
        result.push_back({slots[n * 4 + 1], slots[n * 4 + 2], slots[n * 4 + 3]});
    return result;
}

std::vector<uint8_t> bytesOf(const Image& image) {
    return {pixelData(image), pixelData(image) + image.dataSize};
}

// 5 x 3, every pixel (1, 1, 1) but four. Left block (3 x 3): (9, 0, 0) and (0, 5, 4) tie on
// their sum, the first read wins. Right block (2 x 3, cut short): (10, 0, 0) has the larger
// red, (2, 2, 7) the larger sum.
Accumulator fiveByThree() {
    std::vector<Slots> pixels(15, Slots{1, 1, 1});
    pixels[1] = {9, 0, 0};
    pixels[7] = {0, 5, 4};
    pixels[3] = {10, 0, 0};
    pixels[14] = {2, 2, 7};
    return sumsOf(5, 3, pixels);
}

TEST(PreviewShrink, BrightestOrMeanOfEachWholeBlock) {
    const Accumulator sums = fiveByThree();
    const std::vector<Slots> all = slotsOf(sums);
    const struct Case {
        int maxWidth, maxHeight;
        bool brightest;
        int width, height;
        std::vector<Slots> expected;
    } cases[] = {
        {5, 3, true, 5, 3, all},  // factor 1: the same sums
        {8, 30, false, 5, 3, all},
        {2, 2, true, 2, 1, {{9, 0, 0}, {2, 2, 7}}},  // factor 3
        {100, 1, true, 2, 1, {{9, 0, 0}, {2, 2, 7}}},
        {2, 2, false, 2, 1, {{16.0 / 9, 12.0 / 9, 11.0 / 9}, {16.0 / 6, 6.0 / 6, 11.0 / 6}}},
        {1, 1, true, 1, 1, {{2, 2, 7}}},  // factor 5
        {0, 0, false, 1, 1, {{32.0 / 15, 18.0 / 15, 22.0 / 15}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.maxWidth << "x" << c.maxHeight << c.brightest);
        const std::optional<Accumulator> small = sums.shrunk(c.maxWidth, c.maxHeight, c.brightest);
        ASSERT_TRUE(small);
        EXPECT_EQ(small->image().width, c.width);
        EXPECT_EQ(small->image().height, c.height);
        EXPECT_EQ(slotsOf(*small), c.expected);
    }
    EXPECT_EQ(slotsOf(sums), all);
}

// A run's side of the feed: offers at given times, with the receiver's pictures collected.
class PreviewFeedTest : public EngineTest {
  protected:
    struct Seen {
        int combined;
        std::vector<uint8_t> bytes;
    };
    PreviewFeedTest() : context(contextFor(MODE_AVERAGE)) {}
    static RunContext contextFor(int mode) {
        ProgramOptions options;
        setDefaultOptions(options);
        options.combine_mode = mode;
        MessageCapture quiet;
        return RunContext(options);
    }
    PreviewFeed::Receiver receiver() {
        return [this](const Image& picture, int combined) {
            std::unique_lock<std::mutex> lock(mutex);
            seen.push_back({combined, bytesOf(picture)});
            arrived.notify_all();
            arrived.wait(lock, [this] { return !gated; });
        };
    }
    // Waits until count pictures have arrived, or for as long as given.
    bool receive(std::size_t count, std::chrono::milliseconds longest = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, longest, [&] { return seen.size() >= count; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex);
        gated = false;
        arrived.notify_all();
    }
    std::vector<int> combinedSeen() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<int> result;
        for (const Seen& s : seen)
            result.push_back(s.combined);
        return result;
    }

    RunContext context;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Seen> seen;
    bool gated = false;  // the receiver holds the feed's thread until open()
    double time = 0.0;
    double tick = 0.0;  // what each reading of the clock advances it by (the copy's cost)
};

// A copy goes kInterval after the start or the last copy, and after kCostRatio times the last
// copy's cost; none while the window wants no picture.
TEST_F(PreviewFeedTest, CopiesArePacedByTimeAndTheirOwnCost) {
    const struct Case {
        double tick;
        int width;
        std::vector<double> offers;
        std::vector<int> taken;  // the offers' numbers (from 1) that were copied
    } cases[] = {
        {0.001, 4, {0.3, 0.6, 1.0, 1.2}, {2, 4}},
        {0.02, 4, {0.6, 1.5, 2.3, 3.5, 4.0}, {1, 3, 5}},  // 80 x 0.02 s: 1.6 s apart
        {0.001, 0, {0.6, 1.2, 1.8}, {}},
    };
    const Accumulator sums = fiveByThree();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tick);
        seen.clear();
        tick = c.tick;
        PreviewFeed feed(receiver(), [this] { return std::exchange(time, time + tick); });
        feed.setTargetSize(c.width, c.width);
        time = 0.0;
        feed.attach(context);
        std::size_t due = 0;
        for (int number = 1; number <= static_cast<int>(c.offers.size()); ++number) {
            time = c.offers[static_cast<std::size_t>(number - 1)];
            context.afterBatch(sums, number);
            // Each copy arrives before the next offer could replace it; one wrongly taken
            // has a moment to show.
            const bool expected = std::count(c.taken.begin(), c.taken.end(), number) != 0;
            due += expected ? 1 : 0;
            receive(due + (expected ? 0 : 1), std::chrono::milliseconds(expected ? 5000 : 100));
        }
        feed.stop();
        EXPECT_EQ(combinedSeen(), c.taken);
    }
}

// Copies the thread has not begun give way to newer ones; what arrives is the copy finalised
// with the run's curve and divisor.
TEST_F(PreviewFeedTest, TheLatestCopyWinsAndArrivesFinalised) {
    const Accumulator sums = fiveByThree();
    gated = true;
    PreviewFeed feed(receiver(), [this] { return time; });
    feed.setTargetSize(2, 2);
    feed.attach(context);
    for (const int combined : {1, 2, 3}) {
        time = combined;
        feed.offer(sums, combined);
        ASSERT_TRUE(receive(1));
    }
    open();
    ASSERT_TRUE(receive(2));
    feed.stop();
    EXPECT_EQ(combinedSeen(), (std::vector<int>{1, 3}));
    for (const Seen& s : seen) {
        const Image& expected = keep(
            sums.shrunk(2, 2, false)->finalize(context.curve, modeDivisor(context, s.combined)));
        EXPECT_EQ(s.bytes, bytesOf(expected)) << s.combined;
    }
}

// A written output comes back as its own levels, or its blocks' brightest in brighten runs.
Rgb fileLevels[6] = {{0, 1, 2},     {3, 200, 4},  {255, 254, 253},
                     {17, 91, 130}, {60, 60, 60}, {9, 8, 7}};
int readFileLevels(Image& image, const char*) {
    image = makeRgbImage(3, 2, {std::begin(fileLevels), std::end(fileLevels)});
    return 0;
}

TEST_F(PreviewFeedTest, AWrittenOutputShowsAsItsOwnLevels) {
    const struct Case {
        int mode, size;
        std::vector<Rgb> expected;
    } cases[] = {
        {MODE_AVERAGE, 8, {std::begin(fileLevels), std::end(fileLevels)}},
        {MODE_BRIGHTEN, 1, {fileLevels[2]}},
    };
    for (const Case& c : cases) {
        seen.clear();
        PreviewFeed feed(receiver());
        RunContext run = contextFor(c.mode);
        feed.attach(run);
        feed.setTargetSize(c.size, c.size);
        feed.showFile("out.bmp", readFileLevels);
        ASSERT_TRUE(receive(1));
        feed.stop();
        const Image& expected =
            keep(makeRgbImage(c.size == 1 ? 1 : 3, c.size == 1 ? 1 : 2, c.expected));
        EXPECT_EQ(seen.at(0).bytes, bytesOf(expected)) << c.mode;
    }
}

// Inputs "0" to "8": 4 x 3 pixels that differ in each file; the output is kept.
int readNumbered(Image& image, const char* path) {
    const int n = std::atoi(path);
    std::vector<Rgb> pixels;
    for (int i = 0; i < 12; ++i)
        pixels.push_back({static_cast<uint8_t>(n * 20 + i), static_cast<uint8_t>(200 - n * 9 - i),
                          static_cast<uint8_t>((n * 37 + i * 11) % 256)});
    image = makeRgbImage(4, 3, pixels);
    return 0;
}
std::vector<uint8_t> written;
int keepWritten(Image& image, const char*, const OutputFacts&) {
    written = bytesOf(image);
    return 0;
}

// Attached to a run, the feed takes its copies between batches, on the run's thread and its
// own, alone or beside the loaders; the last picture, not shrunk, is the output.
TEST_F(PreviewFeedTest, AttachedToARunItsLastPictureIsTheOutput) {
    setImageFileHandlers(readNumbered, keepWritten);
    programOptions.combine_mode = MODE_BRIGHTEN;
    std::vector<std::string> arguments{"placeholder"};
    for (int i = 0; i < 9; ++i)
        arguments.push_back(std::to_string(i));
    for (const int workers : {1, 4}) {
        setWorkerCount(workers);
        seen.clear();
        // A second on from one offer to the next, none while a copy is taken: every batch after
        // the first is due.
        int readings = 0;
        PreviewFeed feed(receiver(), [&] { return static_cast<double>(readings++ / 2); });
        feed.setTargetSize(100, 100);
        RunContext run = snapshotRunContext();
        feed.attach(run);
        MessageCapture quiet;
        ASSERT_EQ(runProcessing(run, 10, arguments), 0);
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5),
                                     [&] { return !seen.empty() && seen.back().combined == 9; }));
        EXPECT_EQ(seen.back().bytes, written) << workers;
    }
    setWorkerCount(0);
    setImageFileHandlers(nullptr, nullptr);
}

}  // namespace
