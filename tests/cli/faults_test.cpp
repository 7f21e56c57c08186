// Faults a run must survive: memory refused at any point, an output that cannot be written,
// inputs damaged or gone. Runs through the real codecs on files written by our own writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/options.h"
#include "engine/parallel.h"
#include "engine/stack.h"
#include "imageio/imageio.h"
#include "support/capture.h"
#include "support/images.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Fails the failAt-th request for memory (counting from 1); 0 fails none. With one worker
// the requests come in a fixed order, and the one refused is described.
std::atomic<int> requests{0};
std::atomic<int> failAt{0};
bool describeFailure = false;
std::string currentStatus;  // the run's latest status line
int64_t failedSize = 0;
std::string failedDuring;

bool failNthRequest(int64_t size) {
    const int n = ++requests;
    if (n != failAt.load())
        return true;
    if (describeFailure) {
        failedSize = size;
        failedDuring = currentStatus;
    }
    return false;
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / "quorvane-faults-XXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        setDefaultOptions(runOptions);
    }
    void TearDown() override {
        setAllocationFilter(nullptr);
        setWorkerCount(0);
        statusHook = nullptr;
        std::filesystem::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_))
            names.insert(entry.path().filename().string());
        return names;
    }
    // A picture of varied pixels written by our own codec for the extension.
    void writePicture(const std::string& name, int seed, int width = kWidth, int height = kHeight) {
        std::vector<Rgb> pixels;
        for (int n = 0; n < width * height; ++n)
            pixels.push_back({uint8_t(n * seed), uint8_t(n + 40 * seed), uint8_t(255 - n)});
        Image image = makeRgbImage(width, height, pixels);
        ASSERT_EQ(writeImage(image, path(name).c_str()), 0) << name;
        freePixels(image.pixels);
    }

    // Small, but each block is a whole number of kilobytes and no codec row buffer has the
    // size of a pixel block, so the size of a refused request tells what it was for.
    static constexpr int kWidth = 24, kHeight = 17;
    static constexpr int64_t kBlock = int64_t{4} * kWidth * kHeight;
    static constexpr int64_t kAccumulator = 8 * kBlock;
    std::string dir_;
};

// Every request for memory in a run with a dark frame is refused in turn, until a run asks
// for no more than the ones before it. What was refused decides what the user is told and
// whether an output can still be written; a refused write must leave the old output as it was.
// With loading ahead the order varies, so only the outcome is checked (and, under the
// sanitizer, that images loaded ahead of a run that ends early are not leaked).
TEST_F(Faults, EveryRefusedAllocationIsReportedAndNothingIsLost) {
    MessageCapture capture;
    statusHook = [](const std::string& text) { currentStatus = text; };
    installImageFileHandlers();
    const std::string kPrevious = "the previous output\n";
    struct Row {
        const char* ext;
        int inputs;         // one input: losing it leaves nothing to combine
        bool writerBuffer;  // the writer takes memory of its own
    } rows[] = {{"bmp", 2, true}, {"jpg", 2, false}, {"tif", 1, true}};
    for (const Row& row : rows) {
        const std::string ext = row.ext, dark = path("dark." + ext), out = path("out." + ext);
        std::vector<std::string> arguments{"placeholder"};
        writePicture("dark." + ext, 3);
        for (int i = 0; i < row.inputs; ++i) {
            writePicture("in" + std::to_string(i) + "." + ext, i + 1);
            arguments.push_back(path("in" + std::to_string(i) + "." + ext));
        }
        setDefaultOptions(programOptions);
        programOptions.outputName = out;
        programOptions.darkFrameFile = dark;
        programOptions.useNoiseReduction = 1;
        ASSERT_EQ(runProcessing(int(arguments.size()), arguments), 0);
        const std::string complete = slurp(out);
        std::ofstream(out, std::ios::trunc) << kPrevious;
        const std::set<std::string> files = listing();
        for (const int workers : {1, 4}) {
            setWorkerCount(workers);
            describeFailure = workers == 1;
            std::set<std::string> refused;  // what the refused requests were for
            for (int n = 1;; ++n) {
                SCOPED_TRACE(ext + ", " + std::to_string(workers) + " workers, request " +
                             std::to_string(n));
                setDefaultOptions(programOptions);
                programOptions.outputName = out;
                programOptions.darkFrameFile = dark;
                programOptions.useNoiseReduction = 1;
                std::ofstream(out, std::ios::trunc) << kPrevious;
                capture.clear();
                requests = 0;
                failAt = n;
                setAllocationFilter(failNthRequest);
                EXPECT_EQ(runProcessing(int(arguments.size()), arguments), 0);
                setAllocationFilter(nullptr);
                EXPECT_EQ(busy.load(), 0);
                EXPECT_EQ(listing(), files);  // no temporary file left behind
                const bool written = outputWritten.load() == 1;
                EXPECT_EQ(slurp(out) != kPrevious, written);
                if (requests < n) {  // nothing was refused: the run is complete
                    EXPECT_EQ(capture.errors(), std::vector<std::string>{});
                    EXPECT_TRUE(written);
                    break;
                }
                if (workers != 1) {
                    // A file loaded ahead and refused for the accumulator it might have needed
                    // is loaded again once the run has one; then nothing is missing.
                    if (capture.errors().empty()) {
                        EXPECT_EQ(slurp(out), complete);
                    }
                    continue;
                }
                std::vector<std::string> expected;
                const bool block = failedSize == kBlock, accumulator = failedSize == kAccumulator;
                // The first image is asked for together with the accumulator it will need.
                const bool both = failedSize == kBlock + kAccumulator;
                if (block || accumulator || both) {
                    expected.push_back("Error allocating " + std::to_string(failedSize / 1024) +
                                       " KB of memory");
                }
                if (!accumulator)
                    expected.push_back("Not enough memory");
                const std::string what = block ? " block" : both ? " and accumulator" : " buffer";
                bool expectWritten = false;
                if (accumulator) {
                    refused.insert("accumulator");
                    EXPECT_EQ(failedDuring.rfind("Loading image 1: ", 0), 0u);
                } else if (failedDuring.rfind("Reading dark-frame: ", 0) == 0) {
                    refused.insert("dark" + what);
                    expected.push_back("Problem loading dark-frame: " + dark + "\n");
                    EXPECT_EQ(programOptions.useNoiseReduction, 0);
                    expectWritten = true;
                } else if (failedDuring.rfind("Loading image ", 0) == 0) {
                    refused.insert("input" + what);
                    const std::string file = failedDuring.substr(failedDuring.find(": ") + 2);
                    expected.push_back("Problem loading " + file.substr(0, file.size() - 1) +
                                       "...ignoring\n");
                    if (row.inputs == 1) {
                        expected.push_back("No valid input images");
                        expected.push_back("Could not create final image.");
                    }
                    expectWritten = row.inputs > 1;
                } else {
                    refused.insert("output" + what);
                    EXPECT_EQ(failedDuring, "Writing output image: " + out + "\n");
                }
                EXPECT_EQ(capture.errors(), expected) << "refused " << failedSize << " bytes";
                EXPECT_EQ(written, expectWritten);
            }
            if (workers == 1) {
                std::set<std::string> points{"dark block",   "dark buffer",
                                             "input block",  "input and accumulator",
                                             "input buffer", "accumulator"};
                if (row.writerBuffer)
                    points.insert("output buffer");
                EXPECT_EQ(refused, points);
            }
        }
    }
}

struct CliResult {
    int status = -1;
    std::string err;
};

// The program with standard error going to a file; fileSizeLimit makes every file it writes
// end there as on a full disk (which, unlike permissions, also stops root).
CliResult runCli(const std::string& errorFile, std::vector<std::string> words,
                 rlim_t fileSizeLimit = RLIM_INFINITY) {
    words.insert(words.begin(), QUORVANE_CLI);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDWR);
        if (err < 0 || null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    CliResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.err = slurp(errorFile);
    return result;
}

TEST_F(Faults, OutputThatCannotBeWrittenLeavesTheOldFileAndExitsOne) {
    writePicture("a.bmp", 1);
    writePicture("b.bmp", 2);
    std::ofstream(path("full.bmp")) << "old bmp";
    std::ofstream(path("full.jpg")) << "old jpg";
    std::ofstream(path("full.tif")) << "old tif";
    struct Case {
        std::string output;
        rlim_t limit;
        std::string message;
    } cases[] = {
        {path("missing/out.bmp"), RLIM_INFINITY, "writeBMP, could not open file"},
        {path("missing/out.jpg"), RLIM_INFINITY, "can't open " + path("missing/out.jpg")},
        {path("a.bmp/out.tif"), RLIM_INFINITY, "Could not create TIFF-file"},
        {path("full.bmp"), 1024, "writeBMP, could not write image data"},
        {path("full.jpg"), 512, "Output file write error --- out of disk space?"},
        {path("full.tif"), 1024, "Could not write TIFF-file"},
    };
    const std::string errorFile = "/tmp/quorvane-faults-stderr-" + std::to_string(getpid());
    for (const Case& c : cases) {
        const std::set<std::string> before = listing();
        const std::string old = slurp(c.output);
        const CliResult r =
            runCli(errorFile, {"-o", c.output, path("a.bmp"), path("b.bmp")}, c.limit);
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_EQ(r.err, c.message + "\n") << c.output;
        EXPECT_EQ(slurp(c.output), old) << c.output;
        EXPECT_EQ(listing(), before) << c.output;
    }
    std::remove(errorFile.c_str());
}

// Files that changed after they were listed: one gone, others cut to half their length.
// A short JPEG still decodes (the library completes it); the others are skipped.
TEST_F(Faults, InputsGoneOrCutShortAreSkippedAndTheRestCombined) {
    std::vector<std::string> inputs;
    for (const char* name : {"a.bmp", "gone.bmp", "half.bmp", "half.tif", "half.jpg", "b.bmp"}) {
        writePicture(name, int(inputs.size()) + 1, 64, 48);
        inputs.push_back(path(name));
    }
    std::filesystem::remove(path("gone.bmp"));
    for (const char* name : {"half.bmp", "half.tif", "half.jpg"})
        std::filesystem::resize_file(path(name), std::filesystem::file_size(path(name)) / 2);
    std::vector<std::string> words{"-o", path("out.bmp")};
    words.insert(words.end(), inputs.begin(), inputs.end());
    const CliResult r = runCli(path("stderr"), words);
    EXPECT_EQ(r.status, 3);
    const auto skipped = [&](const char* name) {
        return "Problem loading " + path(name) + "...ignoring\n";
    };
    EXPECT_EQ(r.err, "readBMP, could not open file\n" + skipped("gone.bmp") +
                         "Error reading image data\n" + skipped("half.bmp") +
                         "Could not open tiff-file\n" + skipped("half.tif"));
    // The same as a run of only the files that still load.
    EXPECT_EQ(
        runCli(path("stderr"), {"-o", path("whole.bmp"), inputs[0], inputs[4], inputs[5]}).status,
        0);
    EXPECT_EQ(slurp(path("out.bmp")), slurp(path("whole.bmp")));
}

}  // namespace
