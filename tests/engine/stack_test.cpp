#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "engine/combine.h"
#include "engine/parallel.h"
#include "engine/stack.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

// In-memory files: a name maps to an image repeating the given colours (varied pixels when
// seeded), or is missing. Loads run on several threads; loaded and peakBlocks are guarded.
struct FakeFile {
    int width = 2, height = 2;
    std::vector<Rgb> colours{{0, 0, 0}};
    bool sixteenBit = false;
    uint32_t seed = 0;
    std::vector<std::array<uint16_t, 3>> samples16{};  // when set: these 16-bit samples, repeated
    bool linear = false;                               // samples16 are linear light (a RAW file's)
    bool darkSubtracted = false;  // as a RAW reader that took the dark off the sensor data
    double exposure = std::nan("");
};
std::map<std::string, FakeFile> files;
std::mutex loadedMutex;
std::vector<std::string> loaded;
int64_t peakBlocks = 0;  // the most pixel blocks alive when a load had its own
std::map<std::string, std::vector<uint8_t>> written;

int fakeRead(Image& image, const char* path) {
    std::unique_lock<std::mutex> lock(loadedMutex);
    loaded.push_back(path);
    const auto it = files.find(path);
    lock.unlock();
    if (it == files.end()) {
        reportError("cannot open %s", path);
        return -1;
    }
    const FakeFile& f = it->second;
    const int bytes = f.sixteenBit ? 8 : 4;
    initImage(image);
    image.width = f.width;
    image.height = f.height;
    image.bytesPerLine = int64_t{f.width} * bytes;
    image.bitsPerPixel = 8 * bytes;
    image.dataSize = image.bytesPerLine * f.height;
    image.linearSamples = f.linear;
    image.darkSubtracted = f.darkSubtracted;
    image.exposureTime = f.exposure;
    image.dateTimeOriginal = path;
    if ((image.pixels = allocImagePixels(image)) == nullptr)
        return -1;
    lock.lock();
    peakBlocks = std::max(peakBlocks, pixelBlocksInUse());
    lock.unlock();
    for (int64_t n = 0; n < int64_t{f.width} * f.height; ++n) {
        if (!f.samples16.empty()) {
            const auto& given = f.samples16[std::size_t(n) % f.samples16.size()];
            const uint16_t exact[4] = {65535, given[0], given[1], given[2]};
            std::memcpy(pixelData(image) + n * bytes, exact, sizeof exact);
            continue;
        }
        const uint32_t state = (f.seed * 2654435761u + uint32_t(n) * 40503u) * 0x5bd1e995u;
        Rgb c = f.colours[std::size_t(n) % f.colours.size()];
        for (int k = 0; k < 3 && f.seed != 0; ++k)
            c[k] = uint8_t(state >> (8 * k + 5));
        // Sixteen-bit samples carry low bytes the run must drop.
        const uint16_t wide[4] = {65535, uint16_t(c[0] << 8 | 0x7F), uint16_t(c[1] << 8),
                                  uint16_t(c[2] << 8 | 0xFF)};
        const uint8_t narrow[4] = {255, c[0], c[1], c[2]};
        std::memcpy(pixelData(image) + n * bytes,
                    bytes == 8 ? static_cast<const void*>(wide) : narrow, bytes);
    }
    return 0;
}

OutputFacts writtenFacts;
std::vector<std::pair<std::vector<uint8_t>, OutputFacts>> timelapseFrames;
int timelapseCloses = 0;

int fakeTimelapse(Image* frame, int number, const OutputFacts& facts) {
    if (frame == nullptr) {
        ++timelapseCloses;
        return 0;
    }
    EXPECT_EQ(number, int(timelapseFrames.size()) + 1);
    timelapseFrames.emplace_back(
        std::vector<uint8_t>(pixelData(*frame), pixelData(*frame) + frame->dataSize), facts);
    return 0;
}

int fakeWrite(Image& image, const char* path, const OutputFacts& facts) {
    written[path].assign(pixelData(image), pixelData(image) + image.dataSize);
    writtenFacts = facts;
    return 0;
}

// What a run said, without the line of loaders and frames it chose for this machine.
std::vector<std::string> transcript(const MessageCapture& capture) {
    std::vector<std::string> said = capture.messages().transcript;
    std::erase_if(said, [](const std::string& line) { return line.find("Loaders:") == 12; });
    return said;
}

class StackRunTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        files.clear();
        loaded.clear();
        written.clear();
        setImageFileHandlers(fakeRead, fakeWrite);
        programOptions.outputName = "out.bmp";
    }
    void TearDown() override {
        statusHook = nullptr;
        setImageFileHandlers(nullptr, nullptr);
        setWorkerCount(0);
        EngineTest::TearDown();
    }
    static int run(const std::vector<std::string>& inputs) {
        std::vector<std::string> arguments{"placeholder"};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        return runProcessing(static_cast<int>(arguments.size()), arguments);
    }
    static Rgb outputPixel(int n) {
        const auto& bytes = written.at("out.bmp");
        return {bytes[n * 4 + 1], bytes[n * 4 + 2], bytes[n * 4 + 3]};
    }
};

// Everything a run says, in order: statuses, errors and structured progress (phase, number
// shown, total, file). Files that cannot be read or do not match the first are skipped, the
// numbering follows the accepted ones, arguments led by a dash are no files, and nothing is
// loaded ahead before the accumulator exists.
std::string said;
std::size_t loadedBeforeAccumulator = 0;
TEST_F(StackRunTest, TheRunReportsEachStepAndSkipsWhatItCannotUse) {
    const auto quiet = [](const std::string&) {};
    const MessageSink sink{[](const std::string& text) {
                               said += "s " + text + "|";
                               if (text.rfind("Setting output", 0) == 0)
                                   loadedBeforeAccumulator = loaded.size();
                           },
                           [](const std::string& text) { said += "e " + text + "|"; }, quiet,
                           [](const RunProgress& p) {
                               said += "p" + std::to_string(int(p.phase)) + " " +
                                       std::to_string(p.index) + "/" + std::to_string(p.total) +
                                       " " + p.file + "|";
                           }};
    said.clear();
    installMessageSink(&sink);
    programOptions.combine_mode = MODE_AVERAGE;
    files["good1.bmp"] = {3, 2, {{100, 100, 100}}};
    files["/abs/wide.bmp"] = {4, 2, {{255, 255, 255}}};
    files["good2.bmp"] = {3, 2, {{200, 200, 200}}};
    setWorkerCount(4);
    EXPECT_EQ(run({"missing.bmp", "good1.bmp", "-switch", "/abs/wide.bmp", "good2.bmp"}), 0);
    installMessageSink(nullptr);
    EXPECT_EQ(said,
              "s Loading image 1: missing.bmp\n|p0 1/4 missing.bmp|e cannot open missing.bmp|"
              "e Problem loading missing.bmp...ignoring\n|s Loading image 1: good1.bmp\n|"
              "p0 1/4 good1.bmp|s Setting output image dimensions: 3 x 2\n|"
              "s Combining data...\n|s Loading image 2: /abs/wide.bmp\n|p0 2/4 /abs/wide.bmp|"
              "e Cannot combine /abs/wide.bmp...\nNote: all input images must have the same "
              "dimensions.|s Loading image 2: good2.bmp\n|p0 2/4 good2.bmp|"
              "s Combining data...\n|p1 2/4 |s Finalizing...\n|p2 2/4 |"
              "s Writing output image: out.bmp\n|p3 2/4 out.bmp|");
    EXPECT_EQ(loadedBeforeAccumulator, 2u);
    EXPECT_EQ(loaded.size(), 4u);
    EXPECT_EQ(imageCounter.load(), 2);
    EXPECT_EQ(busy.load(), 0);
    EXPECT_EQ(outputWritten.load(), 1);
    EXPECT_EQ(copyStatusText(), " ");
    EXPECT_EQ(outputPixel(5)[0], srgb().finalSample((srgb().linear(100) + srgb().linear(200)) / 2));
}

// A stop is acted on when the run reaches the next input, whatever becomes of that input: one
// that fails to load or does not match ends the run as surely as a good one. A request left
// over from the end of a run stops the next one at its first image.
TEST_F(StackRunTest, StopTakesEffectAtTheNextInput) {
    files["a.bmp"] = files["b.bmp"] = {2, 2, {{1, 2, 3}}};
    files["wide.bmp"] = {3, 2, {{1, 2, 3}}};
    for (const int workers : {1, 4}) {
        setWorkerCount(workers);
        for (const std::string next : {"b.bmp", "missing.bmp", "wide.bmp", ""}) {
            SCOPED_TRACE(next + " with workers " + std::to_string(workers));
            MessageCapture capture;
            written.clear();
            statusHook = [next](const std::string& text) {
                if (text == "Loading image 2: " + next + "\n")
                    stopRequest.store(1);
            };
            stopRequest.store(next.empty() ? 1 : 0);
            // c is broken, so anything said about it would show that it was reached.
            EXPECT_EQ(run({"a.bmp", next.empty() ? "b.bmp" : next, "c-broken.bmp", "d.bmp"}), -1);
            EXPECT_EQ(capture.errors(), std::vector<std::string>{});
            EXPECT_EQ(capture.statuses().back(), next.empty() ? "Loading image 1: a.bmp\n"
                                                              : "Loading image 2: " + next + "\n");
            EXPECT_EQ(imageCounter.load(), next.empty() ? 0 : 1);
            EXPECT_EQ(stopRequest.load(), 0);
            EXPECT_EQ(busy.load(), 0);
            EXPECT_TRUE(written.empty());
        }
    }
}

// One worked value per mode: brighten keeps the whole pixel with the larger linear sum (ties
// keep the stored one); average divides by the count and writes it back to both records; mix
// divides unless the divisor is within 0.00001 of one, and only a division is announced. A
// sixteen-bit input counts by its high bytes, and so does a dark frame, subtracted in linear
// light; noise reduction with no dark frame named is switched off in both records. The run works
// on a snapshot: a dialog changing the record mid-run changes nothing.
TEST_F(StackRunTest, EachModeEndsInItsWorkedSamples) {
    const std::string by3 = "Averaging 3 images (Dividing values by 3.000000)\n",
                      mixed = "Averaging 2 images (Dividing values by 1.000020)\n";
    const std::vector<Rgb> g{{60, 60, 60}}, a{{100, 50, 10}};
    const std::vector<Rgb> b1{{150, 150, 150}, {10, 200, 10}}, b2{{200, 0, 0}, {200, 10, 10}};
    const uint8_t red = srgb().finalSample(srgb().linear(100) - srgb().linear(20));
    files["dark.tif"] = {2, 1, {{20, 60, 0}}, true};
    const struct Case {
        int mode;
        double divisor, used;                  // as configured; in both records afterwards
        std::vector<std::vector<Rgb>> inputs;  // the two pixels of each
        std::string said;                      // non-empty when the sums are divided
        std::vector<Rgb> out;                  // repeated
        bool sixteenBit = false;
        const char* dark = nullptr;  // with noise reduction on
    } cases[] = {
        // b2's first pixel has the brighter red but the smaller linear sum, so it loses whole;
        // its second ties (the same channels reordered), so the stored pixel stays.
        {3, 2.5, 2.5, {b1, b2}, "", b1},
        {1, 2.5, 1.0, {{{77, 140, 201}}}, "", {{77, 140, 201}}, true},
        {1, 1.0, 3.0, {{{10, 20, 30}}, {{100, 120, 130}}, {{250, 0, 64}}}, by3, {{162, 72, 87}}},
        {2, 1.000005, 1.000005, {g, g}, "", {{84, 84, 84}}},
        {2, 1.00002, 1.00002, {g, g}, mixed, {{84, 84, 84}}},
        {0, 1.0, 1.0, {a}, "", a, false, ""},
        {0, 1.0, 1.0, {a}, "", {{red, 0, 10}}, false, "dark.tif"},
    };
    statusHook = [](const std::string&) {
        std::lock_guard<std::mutex> lock(optionsMutex);
        programOptions.combine_mode = MODE_STACK;
        programOptions.presetGammaCurve = CURVE_HIGH_CONTRAST;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<std::string> names;
        for (const std::vector<Rgb>& colours : c.inputs) {
            names.push_back("m" + std::to_string(names.size()) + ".bmp");
            files[names.back()] = {2, 1, colours, c.sixteenBit};
        }
        MessageCapture capture;
        programOptions.combine_mode = c.mode;
        programOptions.presetGammaCurve = CURVE_SRGB;
        programOptions.Divisor = c.divisor;
        programOptions.useNoiseReduction = c.dark != nullptr;
        programOptions.darkFrameFile = c.dark != nullptr ? c.dark : "";
        EXPECT_EQ(run(names), 0);
        for (int n = 0; n < 2; ++n)
            EXPECT_EQ(outputPixel(n), c.out[n % c.out.size()]) << n;
        EXPECT_EQ(runOptions.Divisor, c.used);
        EXPECT_EQ(programOptions.Divisor, c.used);
        EXPECT_EQ(programOptions.combineFunc, c.mode == 3 ? combineBrighten : combineAdd);
        const std::string sought = c.said.empty() ? "Averaging" : c.said;
        EXPECT_EQ(capture.diagnosticText().find(sought) != std::string::npos, !c.said.empty());
        const bool darkUsed = c.dark != nullptr && *c.dark != 0;
        EXPECT_EQ(capture.errors().size(), c.dark != nullptr && !darkUsed ? 1u : 0u);
        EXPECT_EQ(programOptions.useNoiseReduction, darkUsed);
        EXPECT_EQ(runOptions.useNoiseReduction, darkUsed);
    }
}

// A pipe nobody writes to: opening it blocks until someone does, even for a moment.
std::string fifoPath;
std::atomic<int> fifoOpens{0};  // opens of the pipe that have returned

int readFifoOrFake(Image& image, const char* path) {
    if (fifoPath != path)
        return fakeRead(image, path);
    close(open(path, O_RDONLY));
    fifoOpens.fetch_add(1);
    reportError("nothing in %s", path);
    return -1;
}

// A stop ends the run within a second even while a loader is stuck in a file, the first one
// included. That loader is left behind; when it wakes, in the middle of the next run, nothing
// of it reaches that run.
TEST_F(StackRunTest, StopEndsTheRunWhileALoaderIsBlockedInAFile) {
    using namespace std::chrono_literals;
    char folder[] = "/tmp/quorvane-stack-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    fifoPath = std::string(folder) + "/pipe.bmp";
    ASSERT_EQ(mkfifo(fifoPath.c_str(), 0600), 0);
    setImageFileHandlers(readFifoOrFake, fakeWrite);
    files["a.bmp"] = {2, 2, {{10, 20, 30}}};
    files["b.bmp"] = {2, 2, {{50, 60, 70}}};
    MessageCapture capture;
    EXPECT_EQ(run({"a.bmp", "b.bmp"}), 0);
    const std::vector<std::string> undisturbed = transcript(capture);
    const std::vector<uint8_t> output = written.at("out.bmp");
    for (const int workers : {1, 4, -1}) {  // -1: four, with the pipe first
        SCOPED_TRACE(workers);
        setWorkerCount(std::abs(workers));
        fifoOpens.store(0);
        capture.clear();
        written.clear();
        std::thread stopper([] {
            std::this_thread::sleep_for(100ms);
            stopRequest.store(1);
        });
        auto result = std::async(std::launch::async, [workers] {
            return workers < 0 ? run({fifoPath, "a.bmp"}) : run({"a.bmp", fifoPath, "b.bmp"});
        });
        const bool ended = result.wait_for(1s) == std::future_status::ready;
        stopper.join();
        if (!ended)
            close(open(fifoPath.c_str(), O_RDWR));
        EXPECT_TRUE(ended);
        EXPECT_EQ(result.get(), -1);
        EXPECT_EQ(capture.errors(), std::vector<std::string>{});
        EXPECT_TRUE(written.empty());

        capture.clear();
        statusHook = [](const std::string& text) {
            if (text != "Loading image 1: a.bmp\n")
                return;
            close(open(fifoPath.c_str(), O_RDWR));
            for (int wait = 0; wait < 200 && fifoOpens.load() == 0; ++wait)
                std::this_thread::sleep_for(10ms);
        };
        EXPECT_EQ(run({"a.bmp", "b.bmp"}), 0);
        statusHook = nullptr;
        EXPECT_EQ(fifoOpens.load(), 1);
        EXPECT_EQ(transcript(capture), undisturbed);
        EXPECT_EQ(written.at("out.bmp"), output);
    }
    unlink(fifoPath.c_str());
    rmdir(folder);
}

// The first call for flaky.file fails (every call if always) as if short of flaky.error,
// leaving its pixels behind as a careless codec might.
struct {
    std::string file;
    int error;
    bool always;
} flaky;

int readFlaky(Image& image, const char* path) {
    const int result = fakeRead(image, path);
    std::unique_lock<std::mutex> lock(loadedMutex);
    if (flaky.file != path || (std::count(loaded.begin(), loaded.end(), path) > 1 && !flaky.always))
        return result;
    lock.unlock();
    reportError("can't open %s", path);
    errno = flaky.error;
    return -1;
}

// A load ahead that fails for want of descriptors or memory says nothing about the file: it is
// loaded again, once, in order, and only that attempt speaks. Other failures are final.
TEST_F(StackRunTest, LoadsAheadThatRanShortOfResourcesAreRetriedInOrder) {
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        files[name] = {2, 2, {{40, 80, 120}}};
    const std::vector<std::string> skipped{"can't open b.bmp",
                                           "Problem loading b.bmp...ignoring\n"};
    const struct Case {
        int workers;
        std::string file;
        int error;
        bool always;
        std::vector<std::string> errors;
        long calls;
    } cases[] = {
        {4, "a.bmp", EMFILE, false, {}, 2},      {4, "b.bmp", EMFILE, false, {}, 2},
        {4, "b.bmp", ENFILE, false, {}, 2},      {4, "b.bmp", ENOMEM, false, {}, 2},
        {4, "b.bmp", EMFILE, true, skipped, 2},  {4, "b.bmp", ENOENT, false, skipped, 1},
        {1, "b.bmp", EMFILE, false, skipped, 1},  // loaded in order already: nothing to retry
    };
    setImageFileHandlers(readFlaky, fakeWrite);
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        setWorkerCount(c.workers);
        flaky = {c.file, c.error, c.always};
        loaded.clear();
        MessageCapture capture;
        EXPECT_EQ(run({"a.bmp", "b.bmp", "c.bmp"}), 0);
        EXPECT_EQ(capture.errors(), c.errors);
        EXPECT_EQ(std::count(loaded.begin(), loaded.end(), c.file), c.calls);
        EXPECT_EQ(imageCounter.load(), c.errors.empty() ? 3 : 2);
        EXPECT_EQ(pixelBlocksInUse(), 0);
    }
}

// Loading ahead and split loops change nothing the user can see: the same messages in the same
// order, and the same output bytes; and memory stays within the frames the run chose.
TEST_F(StackRunTest, ParallelRunsMatchSequentialRunsExactly) {
    for (int i = 0; i < 7; ++i)
        files["f" + std::to_string(i) + ".bmp"] = {640, 300, {Rgb{}}, false, uint32_t(i + 1)};
    files["small.bmp"] = {64, 30, {Rgb{}}, false, 99};
    files["dark.bmp"] = {640, 300, {Rgb{}}, false, 77};
    const std::vector<std::string> inputs{"f0.bmp", "broken.bmp", "f1.bmp", "small.bmp", "f2.bmp",
                                          "f3.bmp", "f4.bmp",     "f5.bmp", "f6.bmp"};
    const struct {
        int mode, low, high, noise;
        double opacity;
    } setups[] = {
        {0, 0, 255, 0, 1.0},  {1, 10, 240, 1, 1.0}, {2, 0, 255, 1, 0.4},
        {3, 30, 200, 0, 1.0}, {3, 0, 255, 1, 1.0},
    };
    for (const auto& setup : setups) {
        SCOPED_TRACE(setup.mode);
        std::vector<std::string> transcripts[2];
        std::vector<uint8_t> outputs[2];
        for (int parallel = 0; parallel < 2; ++parallel) {
            MessageCapture capture;
            setWorkerCount(parallel ? 4 : 1);
            setDefaultOptions(programOptions);
            programOptions.outputName = "out.bmp";
            programOptions.combine_mode = setup.mode;
            programOptions.Divisor = 2.5;
            programOptions.low_pass_threshold = setup.low;
            programOptions.high_pass_threshold = setup.high;
            programOptions.useNoiseReduction = setup.noise;
            programOptions.darkFrameFile = "dark.bmp";
            programOptions.darkFrameOpacity = setup.opacity;
            written.clear();
            peakBlocks = 0;
            EXPECT_EQ(run(inputs), 0);
            // Besides the frames in flight only the accumulator and the dark frame.
            const std::string plan = capture.diagnostics().at(1);
            EXPECT_EQ(plan, parallel ? "Loaders: 4, frames in flight: 8, batch: 5\n"
                                     : "Loaders: 1, frames in flight: 1, batch: 1\n");
            EXPECT_LE(peakBlocks, 2 + std::stoi(plan.substr(plan.find("flight: ") + 8)));
            EXPECT_EQ(pixelBlocksInUse(), 0);
            transcripts[parallel] = transcript(capture);
            outputs[parallel] = written["out.bmp"];
        }
        EXPECT_EQ(transcripts[0], transcripts[1]);
        EXPECT_EQ(outputs[0], outputs[1]);
        EXPECT_EQ(outputs[0].size(), 640u * 300 * 4);
    }
}

// At 16 bits: 8-bit levels keep the fractions an average makes, 16-bit inputs are not
// narrowed (identical ones average to themselves), thresholds compare the sum over 257 with
// three times the level and write white as 65535, and the dark frame's opacity scales its
// linear values.
TEST_F(StackRunTest, SixteenBitRunsKeepThePrecisionOfTheirInputs) {
    using Wide = std::array<uint16_t, 3>;
    Curve curve(CURVE_SRGB, 2.2);
    curve.buildSixteenBitTable();
    const double* t = curve.sixteenBitTable();
    const auto level = [&](double linear) { return curve.finalSample16(linear); };
    const uint16_t between = level((t[100 * 257] + t[101 * 257]) / 2);
    ASSERT_GT(between, 100 * 257);
    ASSERT_LT(between, 101 * 257);
    const std::vector<Wide> odd{{1, 40000, 65535}, {12345, 257, 3}};
    const uint16_t darkened = level(t[30000] - 0.5 * t[9000]);
    const auto wide = [](std::vector<Wide> samples) {
        return FakeFile{2, 1, {}, true, 0, std::move(samples)};
    };
    const auto grey = [](uint16_t sample) { return Wide{sample, sample, sample}; };
    const FakeFile at100{2, 1, {{100, 100, 100}}}, at101{2, 1, {{101, 101, 101}}};
    // 771 x 10 is the lowest sum kept; 771 x 200 the highest not made white.
    const Wide under{2570, 2570, 2569}, over{51400, 51400, 51401};
    const Wide lowest = grey(2570), highest = grey(51400);
    const struct Case {
        int mode, low, high;
        std::vector<FakeFile> inputs;
        std::vector<Wide> out;  // repeated over the two pixels
        FakeFile dark{};        // used when it has samples
    } cases[] = {
        {MODE_AVERAGE, 0, 255, {at100, at101}, {grey(between)}},
        {MODE_AVERAGE, 0, 255, {wide(odd), wide(odd), wide(odd)}, odd},
        {MODE_BRIGHTEN, 10, 200, {wide({under, highest})}, {grey(0), highest}},
        {MODE_BRIGHTEN, 10, 200, {wide({lowest, over})}, {lowest, grey(65535)}},
        {MODE_STACK, 0, 255, {wide({grey(30000)})}, {grey(darkened)}, wide({grey(9000)})},
    };
    programOptions.outputDepth = 16;
    programOptions.darkFrameOpacity = 0.5;
    for (const int workers : {1, 4}) {
        setWorkerCount(workers);
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << workers << " workers, case " << &c - cases);
            std::vector<std::string> names;
            for (const FakeFile& input : c.inputs) {
                names.push_back("w" + std::to_string(names.size()) + ".bmp");
                files[names.back()] = input;
            }
            files["dark16.tif"] = c.dark;
            programOptions.combine_mode = c.mode;
            programOptions.low_pass_threshold = c.low;
            programOptions.high_pass_threshold = c.high;
            programOptions.useNoiseReduction = !c.dark.samples16.empty();
            programOptions.darkFrameFile = "dark16.tif";
            MessageCapture capture;
            ASSERT_EQ(run(names), 0);
            const auto& bytes = written.at("out.bmp");
            ASSERT_EQ(bytes.size(), 16u);
            for (int n = 0; n < 2; ++n) {
                uint16_t pixel[4];
                std::memcpy(pixel, bytes.data() + n * 8, sizeof pixel);
                const Wide want = c.out[std::size_t(n) % c.out.size()];
                EXPECT_EQ((Wide{pixel[1], pixel[2], pixel[3]}), want) << n;
                EXPECT_EQ(pixel[0], 65535);
            }
        }
    }
}

// Linear samples (RAW) skip the curve and are never narrowed; one in a batch
// of an 8-bit run brings the others to its layout without changing their values. Their
// thresholds compare levels on the curve; a frame whose reader took the dark frame off keeps
// its light. The writer hears the exposure the output amounts to and the last date.
TEST_F(StackRunTest, LinearFramesSkipTheCurveAndTheRunSumsTheirExposures) {
    const Curve& curve = srgb();
    const auto linearLevel = [&](double linear) { return curve.finalSample(linear); };
    const uint8_t mid = linearLevel(30000 / 65535.0 + curve.linear(90));
    const uint8_t darkened = linearLevel(30000 / 65535.0 - curve.linear(40));
    FakeFile raw{2, 1, {}, true, 0, {{30000, 30000, 30000}}, true};
    raw.exposure = 15;
    FakeFile rawDarkless = raw;
    rawDarkless.darkSubtracted = true;
    FakeFile jpeg{2, 1, {{90, 90, 90}}};
    jpeg.exposure = 30;
    // Level 10.5 on the curve: kept by a threshold of 10, made black by 11.
    const auto at = [&](double level) {
        const int below = int(level);
        const double t =
            curve.linear(uint8_t(below)) +
            (level - below) * (curve.linear(uint8_t(below + 1)) - curve.linear(uint8_t(below)));
        return uint16_t(std::lround(t * 65535));
    };
    const uint16_t faint = at(10.5);
    FakeFile dim{2, 1, {}, true, 0, {{faint, faint, faint}}, true};
    const double nan = std::nan("");
    const uint8_t rawOnly = linearLevel(30000 / 65535.0);
    const uint8_t mixed = linearLevel((30000 / 65535.0 + curve.linear(90)) / 3);
    const struct Case {
        int mode, low;
        std::vector<FakeFile> inputs;
        bool dark;
        uint8_t out;  // every sample
        double exposure;
        std::string description;
    } cases[] = {
        {MODE_STACK, 0, {raw, jpeg}, false, mid, 45, "Stack of 2 images, sRGB curve"},
        {MODE_MIX, 0, {raw, jpeg}, false, mixed, 15, "Stack/Average Mix of 2 images, sRGB curve"},
        {MODE_AVERAGE, 0, {raw, raw}, false, rawOnly, nan, "Average of 2 images, sRGB curve"},
        {MODE_STACK, 0, {raw, {2, 1, {{90, 90, 90}}}}, false, mid, nan, ""},
        {MODE_STACK, 0, {raw}, true, darkened, 15, ""},
        {MODE_STACK, 0, {rawDarkless}, true, rawOnly, 15, ""},
        {MODE_BRIGHTEN, 10, {dim}, false, linearLevel(faint / 65535.0), nan, ""},
        {MODE_BRIGHTEN, 11, {dim}, false, 0, nan, ""},
    };
    files["dark8.bmp"] = {2, 1, {{40, 40, 40}}};
    programOptions.Divisor = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<std::string> names;
        for (const FakeFile& input : c.inputs) {
            names.push_back("r" + std::to_string(names.size()) + ".dng");
            files[names.back()] = input;
        }
        programOptions.combine_mode = c.mode;
        programOptions.low_pass_threshold = c.low;
        programOptions.useNoiseReduction = c.dark;
        programOptions.darkFrameFile = "dark8.bmp";
        MessageCapture capture;
        ASSERT_EQ(run(names), 0);
        EXPECT_EQ(outputPixel(0), (Rgb{c.out, c.out, c.out}));
        EXPECT_EQ(outputPixel(1), (Rgb{c.out, c.out, c.out}));
        if (std::isnan(c.exposure)) {
            EXPECT_TRUE(std::isnan(writtenFacts.exposureTime)) << writtenFacts.exposureTime;
        } else {
            EXPECT_DOUBLE_EQ(writtenFacts.exposureTime, c.exposure);
        }
        EXPECT_EQ(writtenFacts.dateTimeOriginal, names.back());
        EXPECT_EQ(std::tuple(writtenFacts.firstInput, writtenFacts.imagesGiven,
                             writtenFacts.imagesCombined),
                  std::tuple(names.front(), int(names.size()), int(names.size())));
        if (!c.description.empty()) {
            EXPECT_EQ(writtenFacts.description, c.description);
        }
    }
}

// A white pixel moving one step a frame: with comet trails of length N, frame j of n holds
// d^(n-1-j) of its light, d = 0.01^(1/N), in every mode that takes them, whatever the batches.
// Reversed order equals the run over the inputs given the other way round.
TEST_F(StackRunTest, CometTrailsFadeEachFrameAndReverseOrderIsTheReversedRun) {
    constexpr int kWidth = 12, kFrames = 10, kComet = 4;
    std::vector<std::string> names;
    for (int j = 0; j < kFrames; ++j) {
        std::vector<Rgb> row(kWidth, Rgb{0, 0, 0});
        row[j] = {255, 255, 255};
        names.push_back("c" + std::to_string(j) + ".bmp");
        files[names.back()] = {kWidth, 1, row};
    }
    const double d = std::pow(0.01, 1.0 / kComet);
    MessageCapture quiet;
    for (const int workers : {1, 4}) {
        setWorkerCount(workers);
        for (const int mode : {MODE_STACK, MODE_MIX, MODE_BRIGHTEN}) {
            SCOPED_TRACE(::testing::Message() << workers << " workers, mode " << mode);
            programOptions.combine_mode = mode;
            programOptions.Divisor = 2;
            programOptions.cometLength = kComet;
            programOptions.reverseOrder = 0;
            ASSERT_EQ(run(names), 0);
            for (int x = 0; x < kWidth; ++x) {
                const double light = x < kFrames ? std::pow(d, kFrames - 1 - x) : 0.0;
                const int want = srgb().finalSample(mode == MODE_MIX ? light / 2 : light);
                EXPECT_NEAR(outputPixel(x)[0], want, 1) << x;
                EXPECT_EQ(outputPixel(x)[0], outputPixel(x)[2]) << x;
            }
            for (const int comet : {0, kComet}) {
                programOptions.cometLength = comet;
                programOptions.reverseOrder = 0;
                ASSERT_EQ(run({names.rbegin(), names.rend()}), 0);
                const auto reversed = written.at("out.bmp");
                programOptions.reverseOrder = 1;
                ASSERT_EQ(run(names), 0);
                EXPECT_EQ(written.at("out.bmp"), reversed) << comet;
            }
        }
    }
}

// The k-th time-lapse frame equals the output of the run over the inputs up to the one that
// made the k*K-th combined image (skipped inputs do not count), the last one comes after the
// last image unless it was just written, and the writer is closed once.
TEST_F(StackRunTest, EachTimelapseFrameIsTheOutputOfTheRunUpToIt) {
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("t" + std::to_string(i) + ".bmp");
        files[names.back()] = {6, 4, {Rgb{}}, false, uint32_t(i + 1)};
    }
    names.insert(names.begin() + 4, "missing.bmp");  // given, never combined
    setTimelapseHandler(fakeTimelapse);
    MessageCapture quiet;
    for (const auto& [every, workers, depth] : {std::tuple(5, 1, 8), {5, 4, 16}, {4, 4, 8}}) {
        SCOPED_TRACE(::testing::Message() << every << " " << workers << " " << depth);
        setWorkerCount(workers);
        programOptions.combine_mode = MODE_AVERAGE;
        programOptions.outputDepth = depth;
        programOptions.timelapseEvery = every;
        timelapseFrames.clear();
        timelapseCloses = 0;
        ASSERT_EQ(run(names), 0);
        const std::size_t frames = (12 + every - 1) / every;
        ASSERT_EQ(timelapseFrames.size(), frames);
        EXPECT_EQ(timelapseCloses, 1);
        EXPECT_EQ(timelapseFrames.back().first, written.at("out.bmp"));
        programOptions.timelapseEvery = 0;
        for (std::size_t k = 1; k <= frames; ++k) {
            const int combined = std::min(int(k) * every, 12);
            const int given = combined + (combined > 4 ? 1 : 0);
            ASSERT_EQ(run({names.begin(), names.begin() + given}), 0);
            EXPECT_EQ(timelapseFrames[k - 1].first, written.at("out.bmp")) << k;
            const OutputFacts& facts = timelapseFrames[k - 1].second;
            EXPECT_EQ(std::tuple(facts.imagesGiven, facts.imagesCombined),
                      std::tuple(given, combined))
                << k;
        }
    }
    setTimelapseHandler(nullptr);
}

TEST(Messages, LongTextsAreCutAndExternalTextIsNeverAFormat) {
    MessageCapture capture;
    reportError("Problem loading %s...ignoring\n", std::string(3000, 'x').c_str());
    setStatus("Loading image %d: %s\n", 1, "%s%n%d");
    ASSERT_EQ(capture.errors().size(), 1u);
    EXPECT_EQ(capture.errors()[0].size(), 1023u);
    EXPECT_EQ(copyStatusText(), "Loading image 1: %s%n%d\n");
}

}  // namespace
