#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "engine/messages.h"
#include "engine/parallel.h"
#include "engine/stack.h"
#include "engine_fixture.h"
#include "support/capture.h"

namespace {

// In-memory files: a name maps to a single-colour image, or is missing.
struct FakeFile {
    int width = 2, height = 2;
    Rgb colour{0, 0, 0};
    bool sixteenBit = false;
    uint32_t seed = 0;  // non-zero: varied pixels instead of one colour
};
std::map<std::string, FakeFile> files;
// Loads may run on several threads at once; these two are guarded by the mutex.
std::mutex loadedMutex;
std::vector<std::string> loaded;
int64_t peakBlocks = 0;  // the most pixel blocks alive when a load had its own
std::map<std::string, std::vector<uint8_t>> written;  // name -> 32-bit pixels
bool failWrites = false;

int fakeRead(Image& image, const char* path) {
    {
        std::lock_guard<std::mutex> lock(loadedMutex);
        loaded.push_back(path);
    }
    auto it = files.find(path);
    initImage(image);
    if (it == files.end()) {
        reportError("cannot open %s", path);
        return -1;
    }
    const FakeFile& f = it->second;
    const int64_t bytesPerLine = int64_t{f.width} * (f.sixteenBit ? 8 : 4);
    image = Image{f.width, f.height, bytesPerLine, f.sixteenBit ? 64 : 32, bytesPerLine * f.height};
    image.pixels = allocImagePixels(image);
    if (image.pixels == nullptr)
        return -1;
    {
        std::lock_guard<std::mutex> lock(loadedMutex);
        peakBlocks = std::max(peakBlocks, pixelBlocksInUse());
    }
    uint8_t* data = pixelData(image);
    for (int64_t n = 0; n < int64_t{f.width} * f.height; ++n) {
        uint32_t state = f.seed * 2654435761u + static_cast<uint32_t>(n) * 40503u;
        state = (state ^ state >> 13) * 0x5bd1e995u;
        Rgb rgb = f.colour;
        for (int k = 0; k < 3 && f.seed != 0; ++k)
            rgb[k] = static_cast<uint8_t>(state >> (8 * k + 5));
        if (f.sixteenBit) {
            const uint16_t s[4] = {65535, uint16_t(rgb[0] << 8 | 0x7F), uint16_t(rgb[1] << 8),
                                   uint16_t(rgb[2] << 8 | 0xFF)};
            std::memcpy(data + n * 8, s, 8);
        } else {
            const uint8_t p[4] = {255, rgb[0], rgb[1], rgb[2]};
            std::memcpy(data + n * 4, p, 4);
        }
    }
    return 0;
}

int fakeWrite(Image& image, const char* path) {
    if (failWrites) {
        reportError("writeBMP, could not open file");
        return -1;
    }
    const uint8_t* data = pixelData(image);
    written[path].assign(data, data + image.dataSize);
    return 0;
}

class StackRunTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        files.clear();
        loaded.clear();
        written.clear();
        failWrites = false;
        setImageFileHandlers(fakeRead, fakeWrite);
        programOptions.outputName = "out.bmp";
    }
    void TearDown() override {
        statusHook = nullptr;
        setImageFileHandlers(nullptr, nullptr);
        setAllocationFilter(nullptr);
        EngineTest::TearDown();
    }
    int run(const std::vector<std::string>& inputs) {
        std::vector<std::string> arguments{"placeholder"};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        return runProcessing(static_cast<int>(arguments.size()), arguments);
    }
    static Rgb outputPixel(int n = 0) {
        const auto& bytes = written.at("out.bmp");
        return {bytes[n * 4 + 1], bytes[n * 4 + 2], bytes[n * 4 + 3]};
    }
};

// Files that cannot be read or do not match the first are reported and skipped, the numbering
// follows the accepted ones, and arguments led by a dash are no files.
TEST_F(StackRunTest, StatusSequenceOfARunWithSkippedInputs) {
    MessageCapture capture;
    programOptions.combine_mode = 1;
    files["good1.bmp"] = {3, 2, {100, 100, 100}};
    files["/abs/wide.bmp"] = {4, 2, {255, 255, 255}};
    files["good2.bmp"] = {3, 2, {200, 200, 200}};
    EXPECT_EQ(run({"missing.bmp", "good1.bmp", "-switch", "/abs/wide.bmp", "good2.bmp"}), 0);
    // Files are loaded ahead on other threads, in no fixed order.
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded,
              (std::vector<std::string>{"/abs/wide.bmp", "good1.bmp", "good2.bmp", "missing.bmp"}));
    EXPECT_EQ(capture.errors(),
              (std::vector<std::string>{"cannot open missing.bmp",
                                        "Problem loading missing.bmp...ignoring\n",
                                        "Cannot combine /abs/wide.bmp...\nNote: all input images "
                                        "must have the same dimensions."}));
    EXPECT_EQ(capture.statuses(),
              (std::vector<std::string>{
                  "Loading image 1: missing.bmp\n", "Loading image 1: good1.bmp\n",
                  "Setting output image dimensions: 3 x 2\n", "Combining data...\n",
                  "Loading image 2: /abs/wide.bmp\n", "Loading image 2: good2.bmp\n",
                  "Combining data...\n", "Finalizing...\n", "Writing output image: out.bmp\n"}));
    EXPECT_EQ(imageCounter.load(), 2);
    EXPECT_EQ(busy.load(), 0);
    EXPECT_EQ(outputWritten.load(), 1);
    EXPECT_EQ(copyStatusText(), " ");
    EXPECT_NE(capture.diagnosticText().find("Using Preset Gamma Curve 0\n"), std::string::npos);
    EXPECT_NE(capture.diagnosticText().find("Finished.\n"), std::string::npos);
    EXPECT_EQ(written.at("out.bmp").size(), 3u * 2 * 4);
    EXPECT_EQ(outputPixel(5)[0], encode((gammaTable[100] + gammaTable[200]) / 2));
}

TEST_F(StackRunTest, RunsWithoutOutputSayWhy) {
    MessageCapture capture;
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(capture.statuses(), std::vector<std::string>{"Finalizing...\n"});
    EXPECT_EQ(capture.errors(),
              (std::vector<std::string>{"No valid input images", "Could not create final image."}));
    EXPECT_EQ(outputWritten.load(), 0);

    capture.clear();
    EXPECT_EQ(run({"-a", "-b"}), 0);
    EXPECT_TRUE(loaded.empty());
    EXPECT_EQ(capture.errors().size(), 2u);

    // The writer has said why; the output does not count as written.
    capture.clear();
    files["a.bmp"] = {1, 1, {1, 2, 3}};
    failWrites = true;
    EXPECT_EQ(run({"a.bmp"}), 0);
    EXPECT_EQ(outputWritten.load(), 0);
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"writeBMP, could not open file"});

    // Without an accumulator the run ends at once: nothing is said about the second file, even
    // if it was loaded. The image and its accumulator would fit together, but the accumulator
    // is then refused.
    capture.clear();
    files["a.bmp"] = {64, 64, {1, 2, 3}};
    failWrites = false;
    setAllocationFilter([](int64_t size) { return size != 64 * 64 * 32; });
    EXPECT_EQ(run({"a.bmp", "b-missing.bmp"}), 0);
    EXPECT_EQ(capture.errors(), std::vector<std::string>{"Error allocating 128 KB of memory"});
    EXPECT_EQ(capture.statuses().back(), "Loading image 1: a.bmp\n");
    EXPECT_EQ(outputWritten.load(), 0);
    EXPECT_EQ(busy.load(), 0);
    EXPECT_TRUE(written.empty());
}

// A stop is acted on when the run reaches the next input, whatever becomes of that input: one
// that fails to load or does not match ends the run as surely as a good one.
TEST_F(StackRunTest, StopTakesEffectAtTheNextInput) {
    files["a.bmp"] = {2, 2, {1, 2, 3}};
    files["b.bmp"] = {2, 2, {1, 2, 3}};
    files["wide.bmp"] = {3, 2, {1, 2, 3}};
    for (const int workers : {1, 4}) {
        setWorkerCount(workers);
        for (const std::string next : {"b.bmp", "missing.bmp", "wide.bmp"}) {
            SCOPED_TRACE(next + " with workers " + std::to_string(workers));
            MessageCapture capture;
            written.clear();
            statusHook = [next](const std::string& text) {
                if (text == "Loading image 2: " + next + "\n")
                    stopRequest.store(1);
            };
            // c is broken, so anything said about it would show that it was reached.
            EXPECT_EQ(run({"a.bmp", next, "c-broken.bmp", "d.bmp"}), -1);
            EXPECT_EQ(capture.errors(), std::vector<std::string>{});
            EXPECT_EQ(capture.statuses().back(), "Loading image 2: " + next + "\n");
            EXPECT_EQ(imageCounter.load(), 1);
            EXPECT_EQ(stopRequest.load(), 0);
            EXPECT_EQ(busy.load(), 0);
            EXPECT_TRUE(written.empty());
        }
    }
    setWorkerCount(0);

    // A request left over from the end of a run stops the next one at its first image.
    statusHook = nullptr;
    stopRequest.store(1);
    EXPECT_EQ(run({"a.bmp", "b.bmp"}), -1);
    EXPECT_EQ(imageCounter.load(), 0);
}

// A pipe nobody writes to: opening it blocks until someone does. Opening it for writing, even
// for a moment, wakes a reader blocked there.
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

// A stop ends the run within a second even while a loader is stuck in a file. That loader is
// left behind; when it wakes, in the middle of the next run, nothing of it reaches that run.
TEST_F(StackRunTest, StopEndsTheRunWhileALoaderIsBlockedInAFile) {
    using namespace std::chrono_literals;
    char folder[] = "/tmp/quorvane-stack-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    fifoPath = std::string(folder) + "/pipe.bmp";
    ASSERT_EQ(mkfifo(fifoPath.c_str(), 0600), 0);
    setImageFileHandlers(readFifoOrFake, fakeWrite);
    files["a.bmp"] = {2, 2, {10, 20, 30}};
    files["b.bmp"] = {2, 2, {50, 60, 70}};
    MessageCapture capture;
    EXPECT_EQ(run({"a.bmp", "b.bmp"}), 0);
    const std::vector<std::string> undisturbed = capture.messages().transcript;
    const std::vector<uint8_t> output = written.at("out.bmp");
    for (const int workers : {1, 4}) {
        SCOPED_TRACE(workers);
        setWorkerCount(workers);
        fifoOpens.store(0);
        capture.clear();
        written.clear();
        std::thread stopper([] {
            std::this_thread::sleep_for(100ms);
            stopRequest.store(1);
        });
        auto result = std::async(std::launch::async, [this] {
            return run({"a.bmp", fifoPath, "b.bmp"});
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
        EXPECT_EQ(capture.messages().transcript, undisturbed);
        EXPECT_EQ(written.at("out.bmp"), output);
    }
    setWorkerCount(0);
    unlink(fifoPath.c_str());
    rmdir(folder);
}

// The first call for flaky.file fails (every call if always) as if short of flaky.error.
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
    freePixels(image.pixels);
    initImage(image);
    reportError("can't open %s", path);
    errno = flaky.error;
    return -1;
}

// A load ahead that fails for want of descriptors or memory says nothing about the file: it is
// loaded again, once, in order, and only that attempt speaks. Other failures are final.
TEST_F(StackRunTest, LoadsAheadThatRanShortOfResourcesAreRetriedInOrder) {
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        files[name] = {2, 2, {40, 80, 120}};
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
    }
    setWorkerCount(0);
}

// Loading ahead and split loops must change nothing the user can see: the same messages in the
// same order, and the same output bytes.
TEST_F(StackRunTest, ParallelRunsMatchSequentialRunsExactly) {
    for (int i = 0; i < 7; ++i)
        files["f" + std::to_string(i) + ".bmp"] = {640, 300, {}, false, uint32_t(i + 1)};
    files["small.bmp"] = {64, 30, {}, false, 99};
    files["dark.bmp"] = {640, 300, {}, false, 77};
    const std::vector<std::string> inputs{"f0.bmp", "broken.bmp", "f1.bmp", "small.bmp", "f2.bmp",
                                          "f3.bmp", "f4.bmp",     "f5.bmp", "f6.bmp"};
    struct Setup {
        int mode, low, high, noise;
        double opacity;
    } setups[] = {{0, 0, 255, 0, 1.0},
                  {1, 10, 240, 1, 1.0},
                  {2, 0, 255, 1, 0.4},
                  {3, 30, 200, 0, 1.0},
                  {3, 0, 255, 1, 1.0}};
    for (const Setup& setup : setups) {
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
            // Loading ahead stays within its budget of frames: the accumulator, the dark
            // frame and four images at most.
            EXPECT_LE(peakBlocks, 6);
            EXPECT_EQ(pixelBlocksInUse(), 0);
            transcripts[parallel] = capture.messages().transcript;
            outputs[parallel] = written["out.bmp"];
        }
        setWorkerCount(0);
        EXPECT_EQ(transcripts[0], transcripts[1]) << "mode " << setup.mode;
        EXPECT_EQ(outputs[0], outputs[1]) << "mode " << setup.mode;
        EXPECT_EQ(outputs[0].size(), 640u * 300 * 4);
    }
}

// A dark frame that cannot be read or does not match the inputs turns noise reduction off, in
// the shared record too; one that fits (a sixteen-bit one narrowed first) is subtracted in
// linear light.
TEST_F(StackRunTest, DarkFrameIsSubtractedOrTurnsNoiseReductionOffForGood) {
    files["a.bmp"] = {2, 2, {100, 50, 10}};
    files["dark-small.bmp"] = {1, 1, {5, 5, 5}};
    files["dark.tif"] = {2, 2, {20, 60, 0}, true};
    const std::string mismatch =
        "Dark frame image can not be combined with input images -- "
        "Turning off noise reduction\n";
    const std::vector<std::string> unread{"cannot open nope.bmp",
                                          "Problem loading dark-frame: nope.bmp\n"};
    const Rgb plain{100, 50, 10};
    const struct Case {
        std::string dark;
        std::vector<std::string> errors;
        int32_t noiseAfter;
        Rgb out;
    } cases[] = {
        {"nope.bmp", unread, 0, plain},
        {"dark-small.bmp", {mismatch}, 0, plain},
        {"", {mismatch}, 0, plain},
        {"dark.tif", {}, 1, {encode(gammaTable[100] - gammaTable[20]), 0, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dark);
        MessageCapture capture;
        programOptions.useNoiseReduction = 1;
        programOptions.darkFrameFile = c.dark;
        EXPECT_EQ(run({"a.bmp"}), 0);
        EXPECT_EQ(capture.statuses()[0], c.dark.empty() ? "Loading image 1: a.bmp\n"
                                                        : "Reading dark-frame: " + c.dark + "\n");
        EXPECT_EQ(capture.errors(), c.errors);
        EXPECT_EQ(programOptions.useNoiseReduction, c.noiseAfter);
        EXPECT_EQ(outputPixel(3), c.out);
    }
}

TEST_F(StackRunTest, TheRunWorksOnASnapshotOfTheOptions) {
    MessageCapture capture;
    files["a.bmp"] = {1, 1, {40, 40, 40}};
    files["b.bmp"] = {1, 1, {200, 200, 200}};
    programOptions.combine_mode = 3;
    // A dialog changing the record mid-run must not change this run.
    statusHook = [](const std::string&) {
        std::lock_guard<std::mutex> lock(optionsMutex);
        programOptions.combine_mode = 0;
        programOptions.presetGammaCurve = 1;
    };
    EXPECT_EQ(run({"a.bmp", "b.bmp"}), 0);
    EXPECT_EQ(outputPixel(), (Rgb{200, 200, 200}));
    EXPECT_EQ(programOptions.combineFunc, combineBrighten);
}

// An image that cannot have its accumulator beside it is refused before it is decoded, and the
// next one that can becomes the first. Once the run has its accumulator, images are held to
// their own size only, also those loaded ahead while it had none.
TEST_F(StackRunTest, FirstImageWhoseAccumulatorCannotFitIsRefusedBeforeDecoding) {
    files["huge.bmp"] = {64, 64, {1, 2, 3}};
    files["small.bmp"] = {8, 8, {1, 2, 3}};
    files["huge2.bmp"] = {64, 64, {1, 2, 3}};
    // The 16 KB image alone is granted, with its 128 KB accumulator it is not.
    setAllocationFilter([](int64_t size) { return size < 64 * 64 * 32; });
    for (const int workers : {1, 4}) {
        SCOPED_TRACE(workers);
        setWorkerCount(workers);
        MessageCapture capture;
        written.clear();
        loaded.clear();
        EXPECT_EQ(run({"huge.bmp", "small.bmp", "missing.bmp", "huge2.bmp"}), 0);
        EXPECT_EQ(capture.errors(),
                  (std::vector<std::string>{
                      "Error allocating 144 KB of memory", "Problem loading huge.bmp...ignoring\n",
                      "cannot open missing.bmp", "Problem loading missing.bmp...ignoring\n",
                      "Cannot combine huge2.bmp...\nNote: all input images must have the same "
                      "dimensions."}));
        // Only a file refused for the accumulator is opened again; others (a pipe, a file
        // that changes) must not be.
        EXPECT_EQ(std::count(loaded.begin(), loaded.end(), "missing.bmp"), 1);
        EXPECT_EQ(written.at("out.bmp").size(), 8u * 8 * 4);
        EXPECT_EQ(imageCounter.load(), 1);
    }
    setWorkerCount(0);
}

TEST(Options, DefaultsAndTheirListing) {
    MessageCapture capture;
    ProgramOptions options;
    setDefaultOptions(options);
    EXPECT_EQ(options.combineFunc, combineAdd);
    options.combineFunc = nullptr;  // its address changes from run to run
    dumpOptions(options);
    EXPECT_EQ(capture.diagnosticText(),
              "Program Options: \n\nOutput name: combined.jpg\nDivisor: 1.000000\nGamma: 2.200000\n"
              "Preset Gamma Curve: 0\nJPEG Quality: 96\nCombine Mode: 0\nCombine Func Ptr: (nil)\n"
              "Low pass threshold: 0\nHigh pass threshold: 255\nDark Frame File: \n"
              "Dark Frame Opacity: 1.000000\nUse Noise Reduction: 0\n");
}

TEST(Messages, LongTextsAreCutAndExternalTextIsNeverAFormat) {
    MessageCapture capture;
    const std::string longName(3000, 'x');
    reportError("Problem loading %s...ignoring\n", longName.c_str());
    setStatus("Loading image %d: %s\n", 1, "%s%n%d");
    ASSERT_EQ(capture.errors().size(), 1u);
    EXPECT_EQ(capture.errors()[0].size(), 1023u);
    EXPECT_EQ(capture.statuses()[0], "Loading image 1: %s%n%d\n");
    EXPECT_EQ(copyStatusText(), "Loading image 1: %s%n%d\n");
}

}  // namespace
