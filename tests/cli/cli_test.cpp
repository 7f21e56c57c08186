// The parser in-process; whole runs of the real binary, including what a run must survive from
// outside: an output that cannot be written, inputs damaged or gone, an interrupt; and, in
// process through the real codecs, memory refused at every point of a run.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/cli.h"
#include "engine/gamma.h"
#include "engine/image.h"
#include "engine/options.h"
#include "engine/parallel.h"
#include "engine/stack.h"
#include "imageio/codec_fixtures.h"
#include "imageio/imageio.h"

namespace {

using Words = std::vector<std::string>;

// The unprivileged user and group that root runs the refusals as.
constexpr uid_t kNobody = 65534;

// ---- the parser, in-process ----

int parse(Words words, CliRequest& request, std::string& error) {
    setDefaultOptions(programOptions);
    words.insert(words.begin(), "quorvane-cli");
    return parseCommandLine(words, request, error);
}

TEST(CommandLine, SwitchesFillTheOptions) {
    CliRequest request;
    std::string error;
    ASSERT_EQ(parse({"-m", "mix", "--divisor=2.5", "-g", "1.8", "--low", "3", "--high=250", "-q90",
                     "--dark", "d.tif", "--dark-opacity", "0.25", "-o", "out.jpg", "a.jpg", "--",
                     "-b.jpg"},
                    request, error),
              0)
        << error;
    const ProgramOptions& o = programOptions;
    EXPECT_EQ(std::tuple(o.combine_mode, o.Divisor, o.presetGammaCurve, o.Gamma,
                         o.low_pass_threshold, o.high_pass_threshold, o.jpeg_quality),
              std::tuple(2, 2.5, 99, 1.8, 3, 250, 90));
    EXPECT_EQ(std::tuple(o.darkFrameFile, o.useNoiseReduction, o.darkFrameOpacity),
              std::tuple("d.tif", 1, 0.25));
    EXPECT_EQ(request.output, "out.jpg");
    EXPECT_EQ(request.inputs, (Words{"a.jpg", "-b.jpg"}));

    ASSERT_EQ(parse({"-g", "high-contrast", "-m", "brighten", "-o", "x.bmp", "a"}, request, error),
              0);
    EXPECT_EQ(programOptions.presetGammaCurve, 1);
    EXPECT_EQ(programOptions.combine_mode, 3);
}

TEST(CommandLine, BadValuesAreUsageErrors) {
    // Each given a valid output and input, so that only the switch is wrong.
    const std::vector<Words> badSwitches{
        {"--frobnicate"}, {"-m", "median"}, {"-d", "0"},
        {"-d", "-1"},     {"-d", "nan"},    {"-d", "inf"},
        {"-d", "2x"},     {"-g", "0.19"},   {"-g", "10.01"},
        {"--low", "256"}, {"--high", "-1"}, {"--low", "12.5"},
        {"-q", "0"},      {"-q", "101"},    {"--dark-opacity", "1.5"},
        {"--quiet=yes"}};
    std::vector<Words> bad{{"-o", "o.jpg"}, {"a.jpg"}, {"-o"}};  // no inputs, no output
    for (Words words : badSwitches) {
        words.insert(words.end(), {"-o", "o.jpg", "a.jpg"});
        bad.push_back(words);
    }
    for (const Words& words : bad) {
        CliRequest request;
        std::string error;
        const std::string shown = words[0] + (words.size() > 1 ? " " + words[1] : "");
        EXPECT_EQ(parse(words, request, error), kExitUsage) << shown;
        EXPECT_FALSE(error.empty()) << shown;
    }
    CliRequest request;
    std::string error;
    EXPECT_EQ(parse({"-g", "0.2", "-d", "1e-3", "-o", "o.jpg", "a.jpg"}, request, error), 0);
    EXPECT_EQ(parse({"--help"}, request, error), 0);
    EXPECT_TRUE(request.help);
}

// ---- whole runs of the binary ----

struct RunResult {
    int status = -1;
    std::string out, err;
};

class CliRun : public FileTest {
  protected:
    // Runs work in the scratch directory; their output and errors go to files in log/, out of
    // the way of dir.list().
    CliRun() {
        EXPECT_EQ(chdir(dir.path.c_str()), 0);
        std::filesystem::create_directory("log");
    }

    // Starts the program with no input and its output and errors going to files; as the user
    // nobody when asked to (and able to: only root may switch).
    pid_t start(Words words, bool asNobody = false) {
        words.insert(words.begin(), QUORVANE_CLI);
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDONLY);
            const int o = open("log/out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open("log/err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const bool dropped = !asNobody || (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
                                               setuid(kNobody) == 0);
            if (null >= 0 && o >= 0 && e >= 0 && dup2(null, 0) == 0 && dup2(o, 1) == 1 &&
                dup2(e, 2) == 2 && dropped)
                execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        return pid;
    }
    RunResult finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status),
                readFile<std::string>("log/out"), readFile<std::string>("log/err")};
    }
    RunResult run(const Words& words, bool asNobody = false) {
        return finish(start(words, asNobody));
    }

    // Waits until the program has opened the FIFO name for reading; returns the writing end.
    int fifoWriter(const std::string& name) {
        int writer = -1;
        for (int i = 0; i < 500 && writer < 0; ++i) {
            writer = open(name.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_GE(writer, 0);
        return writer;
    }

    bool saving() {
        for (const std::string& name : dir.list())
            if (name.rfind(".quorvane-", 0) == 0)
                return true;
        return false;
    }
    // Holds the program still while its save's temporary file exists; false if the save came
    // and went unseen (then the program has been let go).
    bool stopWhileSaving(pid_t pid) {
        siginfo_t info{};
        while (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0) {
            if (!saving())
                continue;
            kill(pid, SIGSTOP);
            waitid(P_PID, pid, &info, WSTOPPED | WEXITED | WNOWAIT);
            if (info.si_code == CLD_STOPPED && saving())
                return true;
            kill(pid, SIGCONT);
            return false;
        }
        return false;
    }

    // A BMP made by hand, independent of the program's writer; returns its name.
    std::string bmp(const std::string& name, int width, int height, const Bytes& rgb) {
        writeFile(name, bmpFile(width, height, rgb));
        return name;
    }
    // A picture written through the program's own codec for the extension; returns the
    // packed RGB a reader decodes from it.
    Bytes viaCodec(const std::string& name, const Bytes& rgb, int width, int height) {
        OwnedImage image(width, height, 32);
        paint(image, rgb);
        runOptions.jpeg_quality = 90;
        EXPECT_EQ(writeImage(image.image, name.c_str()), 0) << name;
        return decode(name);
    }
    Bytes decode(const std::string& name) {
        OwnedImage image;
        Bytes rgb;
        if (readImage(image.image, name.c_str()) != 0)
            return rgb;
        narrowSamples(image.image);
        for (int64_t i = 0; i < image.image.dataSize; ++i)
            if (i % 4 != 0)
                rgb.push_back(image.data()[i]);
        return rgb;
    }
};

// The oracle: the same arithmetic written plainly, with a linear search for the inverse.
uint8_t encodeBySearch(double linear) {
    int best = 0;
    for (int i = 0; i < 256; ++i)
        if (gammaTable[i] <= linear)
            best = i;
    return uint8_t(best);
}

Bytes expectedResult(const std::vector<Bytes>& images, int mode, double divisor,
                     const Bytes& dark = {}) {
    setupGamma(0, 2.2);
    Bytes result;
    for (size_t n = 0; n < images[0].size(); n += 3) {
        double acc[3] = {0, 0, 0};
        for (const Bytes& image : images) {
            double v[3];
            for (int k = 0; k < 3; ++k) {
                v[k] = gammaTable[image[n + k]];
                if (!dark.empty())
                    v[k] = std::max(0.0, v[k] - gammaTable[dark[n + k]]);
            }
            if (mode == 3) {
                if (acc[0] + acc[1] + acc[2] < v[0] + v[1] + v[2])
                    std::copy(v, v + 3, acc);
            } else {
                for (int k = 0; k < 3; ++k)
                    acc[k] += v[k];
            }
        }
        if (mode == 1)
            divisor = double(images.size());
        // The output's inverse forgives values a few ulps below a level (rounding of the sum).
        for (double a : acc)
            result.push_back(encodeBySearch(
                ((mode == 1 || mode == 2) && std::fabs(divisor - 1.0) > 0.00001 ? a / divisor : a) *
                (1.0 + 0x1p-30)));
    }
    return result;
}

// Packed RGB noise, different for every seed.
Bytes noise(int width, int height, int seed) {
    Bytes rgb;
    uint32_t state = uint32_t(seed) * 2654435761u + 1;
    for (int i = 0; i < width * height; ++i) {
        state = state * 1664525u + 1013904223u;
        rgb.insert(rgb.end(), {uint8_t(state >> 24), uint8_t(state >> 16), uint8_t(state >> 8)});
    }
    return rgb;
}

TEST_F(CliRun, EveryModeMatchesTheArithmeticPixelForPixel) {
    const int w = 7, h = 5;
    std::vector<Bytes> images;
    Words inputs;
    for (int i = 0; i < 3; ++i) {
        images.push_back(noise(w, h, i + 1));
        inputs.push_back(bmp("in" + std::to_string(i) + ".bmp", w, h, images.back()));
    }
    const Bytes dark = noise(w, h, 9);
    bmp("dark.bmp", w, h, dark);
    const struct {
        const char* mode;
        int code;
        double divisor;
        bool dark;
    } cases[] = {{"stack", 0, 1, false},    {"average", 1, 1, false}, {"mix", 2, 2.5, false},
                 {"brighten", 3, 1, false}, {"average", 1, 1, true},  {"brighten", 3, 1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.dark ? " with dark frame" : ""));
        Words words{"-m", c.mode, "-d", std::to_string(c.divisor), "-o", "out.bmp"};
        if (c.dark)
            words.insert(words.end(), {"--dark", "dark.bmp"});
        words.insert(words.end(), inputs.begin(), inputs.end());
        const RunResult r = run(words);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");  // diagnostics only with --verbose
        EXPECT_EQ(
            readFile("out.bmp"),
            bmpFile(w, h, expectedResult(images, c.code, c.divisor, c.dark ? dark : Bytes{})));
    }
}

// Each run's exit status, errors and output, given relative names (one starting with a dash,
// which only "--" makes a file name).
TEST_F(CliRun, EveryRunEndsWithItsStatusErrorsAndOutput) {
    const Bytes first = {100, 150, 200}, second = {200, 50, 10};
    bmp("a.bmp", 1, 1, first);
    bmp("b.bmp", 1, 1, second);
    bmp("-dash.bmp", 1, 1, {10, 20, 30});
    bmp("wide.bmp", 2, 1, noise(2, 1, 2));
    writeFile("broken.bmp", std::string("not a bitmap, only some text of more than 54 bytes....."));
    writeFile("q.ini", std::string("[General]\r\ncombine_mode=3\r\nlow_pass_threshold=0\r\n"));
    const auto ini = [](const std::string& name, const std::string& lines) {
        writeFile(name, "[General]\n" + lines);
        return name;
    };
    ini("dark.ini", "useNoiseReduction=1\ndarkFrameFile=a.bmp\n");
    ini("gamma.ini", "presetGammaCurve=5\n");
    // The reader turns what is no finite number into 0.
    for (const std::string divisor : {"0", "-1", "nan", "inf", "2"})
        ini("mix" + divisor + ".ini", "combine_mode=2\nDivisor=" + divisor + "\n");
    const std::string unsupported = "Unsupported Output File Format: Must be JPEG, TIFF or BMP\n";
    const std::string usage = "\nTry 'quorvane-cli --help' for more information.\n";
    const std::string skipped =
        "readBMPFileHeader, BMP bad magic No\nreadBMP, error reading bitmap file header\n"
        "Problem loading broken.bmp...ignoring\nCannot combine wide.bmp...\n"
        "Note: all input images must have the same dimensions.\n";
    const std::string none =
        "readBMP, could not open file\nProblem loading missing.bmp...ignoring"
        "\nNo valid input images\nCould not create final image.\n";
    const std::string badMode =
        "quorvane-cli: invalid value 'nope' for -m: expected stack, average, mix or brighten";
    const std::string badSettings = "quorvane-cli: cannot read settings file 'missing.ini'";
    const std::string badExtension = "File (out.jpeg) must have extension JPG, PNG, TIF or BMP\n";
    const std::string badDivisor =
        "quorvane-cli: invalid divisor in the settings file: expected a finite number greater "
        "than 0";
    const std::string isInput = "The output file is one of the input images\n";
    const Bytes stacked = expectedResult({first, second}, 0, 1),
                alone = expectedResult({first}, 0, 1);
    const struct {
        Words words;
        int status;
        Bytes output;  // out.bmp's pixels; empty: no out.bmp
        std::string err;
    } cases[] = {
        {{"--settings", "q.ini", "-o", "out.bmp", "a.bmp", "b.bmp"}, 0, first, ""},  // brighten
        {{"--settings=q.ini", "-m", "stack", "-o", "out.bmp", "a.bmp", "b.bmp"}, 0, stacked, ""},
        {{"-o", "out.bmp", "--", "-dash.bmp"}, 0, {10, 20, 30}, ""},
        {{"-o", "out.bmp", "a.bmp", "broken.bmp", "wide.bmp"}, 3, alone, skipped},
        {{"-o", "out.bmp", "missing.bmp"}, 1, {}, none},
        // The output may not be one of the inputs: that would destroy a photograph.
        {{"-o", "./a.bmp", "a.bmp"}, 2, {}, isInput},
        {{"-m", "average", "--dark", "a.bmp", "-o", "a.bmp", "b.bmp"}, 2, {}, isInput},
        {{"--settings", "dark.ini", "-o", "a.bmp", "b.bmp"}, 2, {}, isInput},
        // Written, but not what was asked for.
        {{"--dark", "missing.bmp", "-o", "out.bmp", "a.bmp", "b.bmp"},
         3,
         stacked,
         "readBMP, could not open file\nProblem loading dark-frame: missing.bmp\n"},
        {{"--dark", "wide.bmp", "-o", "out.bmp", "a.bmp", "b.bmp"},
         3,
         stacked,
         "Dark frame image can not be combined with input images -- Turning off noise "
         "reduction\n"},
        {{"--settings", "gamma.ini", "-o", "out.bmp", "a.bmp", "b.bmp"},
         3,
         stacked,
         "Invalid Gamma Curve requested\n"},
        // A mix divisor from a settings file is checked like -d; other modes ignore it.
        {{"--settings", "mix0.ini", "-o", "out.bmp", "a.bmp", "b.bmp"}, 2, {}, badDivisor + usage},
        {{"--settings", "mix-1.ini", "-o", "out.bmp", "a.bmp"}, 2, {}, badDivisor + usage},
        {{"--settings", "mixnan.ini", "-o", "out.bmp", "a.bmp"}, 2, {}, badDivisor + usage},
        {{"--settings", "mixinf.ini", "-o", "out.bmp", "a.bmp"}, 2, {}, badDivisor + usage},
        {{"--settings", "mix0.ini", "-m", "stack", "-o", "out.bmp", "a.bmp", "b.bmp"},
         0,
         stacked,
         ""},
        {{"--settings", "mix2.ini", "-o", "out.bmp", "a.bmp", "b.bmp"},
         0,
         expectedResult({first, second}, 2, 2),
         ""},
        {{"-o", "out.png", "a.bmp"}, 2, {}, unsupported},
        {{"-o", "out.jpeg", "a.bmp"}, 2, {}, badExtension + unsupported},
        {{"-m", "nope", "-o", "out.bmp", "a.bmp"}, 2, {}, badMode + usage},
        {{"--settings", "missing.ini", "-o", "out.bmp", "a.bmp"}, 2, {}, badSettings + usage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + c.words[1] + " " + c.words.back());
        std::filesystem::remove("out.bmp");
        const RunResult r = run(c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile("out.bmp"), c.output.empty() ? Bytes{} : bmpFile(1, 1, c.output));
    }
    EXPECT_EQ(readFile("a.bmp"), bmpFile(1, 1, first));
    EXPECT_EQ(dir.list(), (Messages{"-dash.bmp", "a.bmp", "b.bmp", "broken.bmp", "dark.ini",
                                    "gamma.ini", "log", "mix-1.ini", "mix0.ini", "mix2.ini",
                                    "mixinf.ini", "mixnan.ini", "q.ini", "wide.bmp"}));
    const RunResult r = run({"--verbose", "-o", "out.bmp", "a.bmp", "b.bmp"});
    EXPECT_EQ(r.status, 0);
    for (const std::string line : {"Program Options: ", "Loading image 2: b.bmp", "Finished."})
        EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line;
}

// SIGINT, SIGTERM and SIGHUP stop the run at its next image and write nothing; the exit status
// is 128 + the signal. One that comes during the save lets it finish; a second one ends the
// program at once. None leaves the save's temporary file behind.
TEST_F(CliRun, StopSignalsWriteNothingAndLeaveNoTemporaryFile) {
    const int w = 1000, h = 800;  // a save long enough to be caught while it goes on
    const Words inputs{bmp("a.bmp", w, h, noise(w, h, 1)), bmp("b.bmp", w, h, noise(w, h, 2))};
    const struct {
        std::vector<int> signals;
        bool duringSave;
        int status;  // 1000 + n: ended by signal n; 1000: by either of two, whichever came last
    } cases[] = {
        {{SIGINT}, false, 130}, {{SIGTERM}, false, 143},         {{SIGHUP}, false, 129},
        {{SIGTERM}, true, 0},   {{SIGHUP, SIGTERM}, true, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.signals.back()) + (c.duringSave ? " during the save" : ""));
        std::filesystem::remove("out.bmp");
        RunResult r;
        if (!c.duringSave) {
            // Opening a FIFO blocks until a writer comes, which holds the run at a known point.
            ASSERT_EQ(mkfifo("wait.bmp", 0600), 0);
            const pid_t pid = start({"-o", "out.bmp", inputs[0], "wait.bmp", inputs[1]});
            const int writer = fifoWriter("wait.bmp");
            kill(pid, c.signals[0]);
            close(writer);  // the half-read file is skipped; b.bmp is accepted, then it stops
            r = finish(pid);
            std::filesystem::remove("wait.bmp");
        } else {
            bool caught = false;
            for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
                std::filesystem::remove("out.bmp");  // written by a run whose save went unseen
                const pid_t pid = start({"-o", "out.bmp", inputs[0], inputs[1]});
                caught = stopWhileSaving(pid);
                if (caught) {
                    for (const int signal : c.signals)
                        kill(pid, signal);
                    kill(pid, SIGCONT);
                }
                r = finish(pid);
            }
            ASSERT_TRUE(caught) << "the save was never seen";
        }
        if (c.status == 1000) {
            EXPECT_TRUE(r.status == 1000 + SIGHUP || r.status == 1000 + SIGTERM) << r.status;
        } else {
            EXPECT_EQ(r.status, c.status) << r.err;
        }
        const bool written = c.status == 0;
        Messages files{"a.bmp", "b.bmp", "log"};
        if (written) {
            files.push_back("out.bmp");
            // Complete: the inputs have the same size and layout.
            EXPECT_EQ(std::filesystem::file_size("out.bmp"), std::filesystem::file_size("a.bmp"));
        }
        EXPECT_EQ(dir.list(), files);
    }
}

// Real-world formats end to end: JPEG and TIFF sequences in, every format out.
TEST_F(CliRun, JpegAndTiffSequencesCombineExactly) {
    const int w = 33, h = 17;
    for (const std::string ext : {"jpg", "tif"}) {
        std::vector<Bytes> decoded;
        Words words{"-m", "average", "-o", "out.bmp"};
        for (int i = 0; i < 3; ++i) {
            const std::string name = "seq" + std::to_string(i) + "." + ext;
            decoded.push_back(viaCodec(name, noise(w, h, 10 + i), w, h));
            words.push_back(name);
        }
        const RunResult r = run(words);
        EXPECT_EQ(r.status, 0) << ext << r.err;
        EXPECT_EQ(readFile("out.bmp"), bmpFile(w, h, expectedResult(decoded, 1, 1))) << ext;
    }
    // The same average written as TIFF (lossless) and as JPEG at the requested quality.
    for (const char* out : {"out.tif", "out.jpg"}) {
        ASSERT_EQ(run({"-m", "average", "-q", "77", "-o", out, "seq0.tif", "seq1.tif", "seq2.tif"})
                      .status,
                  0)
            << out;
    }
    EXPECT_EQ(bmpFile(w, h, decode("out.tif")), readFile("out.bmp"));
    OwnedImage average;
    ASSERT_EQ(readImage(average.image, "out.tif"), 0);
    runOptions.jpeg_quality = 77;
    ASSERT_EQ(writeImage(average.image, "reference.jpg"), 0);
    EXPECT_EQ(readFile("out.jpg"), readFile("reference.jpg"));
}

TEST_F(CliRun, OutputThatCannotBeWrittenLeavesTheOldFileAndExitsOne) {
    const Words inputs{bmp("a.bmp", 24, 17, noise(24, 17, 1)),
                       bmp("b.bmp", 24, 17, noise(24, 17, 2))};
    for (const char* name : {"full.bmp", "full.jpg", "full.tif"})
        writeFile(name, std::string("old ") + name);
    const struct {
        std::string output;
        rlim_t limit;
        std::string message;
    } cases[] = {
        {"missing/out.bmp", RLIM_INFINITY, "writeBMP, could not open file"},
        {"missing/out.jpg", RLIM_INFINITY, "can't open missing/out.jpg"},
        {"a.bmp/out.tif", RLIM_INFINITY, "Could not create TIFF-file"},
        {"full.bmp", 1024, "writeBMP, could not write image data"},
        {"full.jpg", 512, "Output file write error --- out of disk space?"},
        {"full.tif", 1024, "Could not write TIFF-file"},
    };
    const Messages files = dir.list();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const std::string old = readFile<std::string>(c.output);
        RunResult r;  // the limit, set here, holds in the program too
        withFileSizeLimit(c.limit, [&] {
            return (r = run({"-o", c.output, inputs[0], inputs[1]})).status;
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message + "\n");
        EXPECT_EQ(readFile<std::string>(c.output), old);
        EXPECT_EQ(dir.list(), files);
    }
}

// An existing output is replaced only when we may write it, and by a file of the same kind:
// its mode, owner and group kept, and a symbolic link still a link, to the file now written.
// Run as root, the files belong to nobody, and the refusals run as nobody.
TEST_F(CliRun, OutputKeepsItsPermissionsOwnerAndLink) {
    const bool root = geteuid() == 0;
    const uid_t user = root ? kNobody : geteuid();
    const gid_t group = root ? kNobody : getegid();
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(chmod(".", 0777), 0);
    std::filesystem::create_directory("real");
    const Bytes first = noise(4, 3, 1), second = noise(4, 3, 2);
    const Bytes result = bmpFile(4, 3, expectedResult({first, second}, 0, 1));
    const struct {
        std::string output, file;  // what -o names; the file behind it
        mode_t before, after;      // before: 0 for none
        bool lockedDuringRun;      // made read-only once the run has begun
        std::string refusal;       // empty: written
    } cases[] = {
        {"ro.jpg", "ro.jpg", 0444, 0444, false, "can't open ro.jpg"},
        {"late.tif", "late.tif", 0644, 0444, true, "Could not create TIFF-file"},
        {"private.bmp", "private.bmp", 0600, 0600, false, ""},
        {"group.bmp", "group.bmp", 0640, 0640, false, ""},
        {"real/link.bmp", "real/target.bmp", 0604, 0604, false, ""},        // -> target.bmp
        {"real/dangling.bmp", "real/new.bmp", 0, 0666 & ~mask, false, ""},  // -> new.bmp
        {"fresh.bmp", "fresh.bmp", 0, 0666 & ~mask, false, ""},
    };
    for (const auto& [name, rgb] : {std::pair("a.bmp", first), std::pair("b.bmp", second)})
        ASSERT_EQ(chmod(bmp(name, 4, 3, rgb).c_str(), 0644), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        if (c.output != c.file)
            std::filesystem::create_symlink(c.file.substr(5), c.output);
        if (c.before != 0) {
            writeFile(c.file, "old " + c.file);
            ASSERT_EQ(chmod(c.file.c_str(), c.before), 0);
            if (root) {
                ASSERT_EQ(chown(c.file.c_str(), user, group), 0);
            }
        }
        const bool refused = !c.refusal.empty();
        Words words{"-o", c.output, "a.bmp", "b.bmp"};
        RunResult r;
        if (c.lockedDuringRun) {
            ASSERT_EQ(mkfifo("wait.bmp", 0666), 0);
            ASSERT_EQ(chmod("wait.bmp", 0666), 0);
            words.insert(words.begin() + 3, "wait.bmp");
            const pid_t pid = start(words, root);
            const int writer = fifoWriter("wait.bmp");
            ASSERT_EQ(chmod(c.file.c_str(), c.after), 0);
            close(writer);  // an empty input, skipped
            r = finish(pid);
        } else {
            r = run(words, refused && root);
        }
        EXPECT_EQ(r.status, refused ? 1 : 0);
        // After the skipped input's messages, when there is one.
        const std::size_t last = r.err.rfind('\n', r.err.size() - 2);
        EXPECT_EQ(c.lockedDuringRun && last != std::string::npos ? r.err.substr(last + 1) : r.err,
                  refused ? c.refusal + "\n" : "");
        EXPECT_EQ(readFile<std::string>(c.file),
                  refused ? "old " + c.file : std::string(result.begin(), result.end()));
        struct stat info {};
        ASSERT_EQ(stat(c.file.c_str(), &info), 0);
        EXPECT_EQ(std::tuple(info.st_mode & 07777, info.st_uid, info.st_gid),
                  c.before != 0 ? std::tuple(c.after, user, group)
                                : std::tuple(c.after, geteuid(), getegid()));
        ASSERT_EQ(lstat(c.output.c_str(), &info), 0);
        EXPECT_EQ(S_ISLNK(info.st_mode), c.output != c.file);
    }
    for (const std::string folder : {".", "real"})
        for (const std::string& name : dir.list(folder))
            EXPECT_NE(name.rfind(".quorvane-", 0), 0u) << name;
}

// Files that changed after they were listed: one gone, others damaged or cut to half their
// length. A short JPEG still decodes (the library completes it); the others are skipped, and
// JPEGs after a broken one still load.
TEST_F(CliRun, InputsGoneOrDamagedAreSkippedAndTheRestCombined) {
    Words words{"-o",       "out.bmp",     "a.bmp",     "gone.bmp", "half.bmp",
                "half.tif", "damaged.jpg", "empty.jpg", "half.jpg", "b.bmp"};
    for (size_t i = 2; i < words.size(); ++i)
        viaCodec(words[i], noise(64, 48, int(i)), 64, 48);
    std::filesystem::remove("gone.bmp");
    for (const char* name : {"half.bmp", "half.tif", "half.jpg"})
        std::filesystem::resize_file(name, std::filesystem::file_size(name) / 2);
    writeFile("damaged.jpg", std::string("this is not a JPEG file at all, just text"));
    writeFile("empty.jpg", std::string());
    const RunResult r = run(words);
    EXPECT_EQ(r.status, 3);
    const auto skipped = [](const std::string& name) {
        return "Problem loading " + name + "...ignoring\n";
    };
    EXPECT_EQ(r.err, "readBMP, could not open file\n" + skipped("gone.bmp") +
                         "Error reading image data\n" + skipped("half.bmp") +
                         "Could not open tiff-file\n" + skipped("half.tif") +
                         "Not a JPEG file: starts with 0x74 0x68\n" + skipped("damaged.jpg") +
                         "Empty input file\n" + skipped("empty.jpg"));
    // The same as a run of only the files that still load.
    EXPECT_EQ(run({"-o", "whole.bmp", "a.bmp", "half.jpg", "b.bmp"}).status, 0);
    EXPECT_EQ(readFile("out.bmp"), readFile("whole.bmp"));
}

// ---- memory refused at every point, in process ----

// Fails the failAt-th request for memory (counting from 1); 0 fails none. With one worker
// the requests come in a fixed order, and the one refused is recorded with the status line
// of the moment.
std::atomic<int> requests{0}, failAt{0};
bool describeFailure = false;  // only with one worker, which alone sets the status
std::string currentStatus, failedDuring;
int64_t failedSize = 0;

bool failNthRequest(int64_t size) {
    if (++requests != failAt.load())
        return true;
    if (describeFailure) {
        failedSize = size;
        failedDuring = currentStatus;
    }
    return false;
}

// Small, but each block is a whole number of kilobytes and no codec row buffer has the size of
// a pixel block, so the size of a refused request tells what it was for.
constexpr int kWidth = 24, kHeight = 17;
constexpr int64_t kBlock = int64_t{4} * kWidth * kHeight, kAccumulator = 8 * kBlock;

class Faults : public FileTest {
  protected:
    ~Faults() override {
        setWorkerCount(0);
        statusHook = nullptr;
    }
};

// Every request for memory in a run with a dark frame is refused in turn, until a run asks
// for no more than the ones before it. What was refused decides what the user is told and
// whether an output can still be written; a refused write must leave the old output as it was,
// and no temporary file may stay. With one worker each refusal is looked up by what it was for;
// with loading ahead the order varies, so only the outcome is checked (and, under the
// sanitizer, that images loaded ahead of a run that ends early are not leaked).
TEST_F(Faults, EveryRefusedAllocationIsReportedAndNothingIsLost) {
    statusHook = [](const std::string& text) { currentStatus = text; };
    installImageFileHandlers();
    setDefaultOptions(runOptions);
    const std::string kPrevious = "the previous output\n";
    // What a refusal is for: the phase (the status line's first word) and the size asked for;
    // then whether the size is reported, "Not enough memory" follows, what is lost, and whether
    // an output is written (after a lost input: when another remains).
    const std::map<std::string, std::string> phases = {
        {"Reading", "dark"}, {"Loading", "input"}, {"Writing", "output"}};
    const std::map<int64_t, std::string> sizes = {{kBlock, "block"}, {kAccumulator, "accumulator"}};
    enum Lost { kNothing, kDark, kInput };
    const std::map<std::string, std::tuple<bool, bool, Lost, bool>> outcomes = {
        {"dark block", {true, true, kDark, true}},
        {"dark buffer", {false, true, kDark, true}},
        {"input block", {true, true, kInput, true}},
        {"input buffer", {false, true, kInput, true}},
        {"input accumulator", {true, false, kNothing, false}},
        {"output buffer", {false, true, kNothing, false}},
    };
    const struct Row {
        const char* ext;
        int inputs;         // one input: losing it leaves nothing to combine
        bool writerBuffer;  // the writer takes memory of its own
    } rows[] = {{"bmp", 2, true}, {"jpg", 2, false}, {"tif", 1, true}};
    const Messages nothingLeft = {"No valid input images", "Could not create final image."};
    // Varied pixels, written by our own codec for the extension; returns the path.
    const auto picture = [&](const std::string& name, int seed) {
        OwnedImage image(kWidth, kHeight, 32);
        Bytes rgb;
        for (int n = 0; n < kWidth * kHeight; ++n)
            rgb.insert(rgb.end(), {uint8_t(n * seed), uint8_t(n + 40 * seed), uint8_t(255 - n)});
        paint(image, rgb);
        EXPECT_EQ(writeImage(image.image, dir.file(name).c_str()), 0) << name;
        return dir.file(name);
    };
    for (const Row& row : rows) {
        const std::string ext = row.ext, dark = picture("dark." + ext, 3),
                          out = dir.file("out." + ext);
        Messages arguments{"placeholder"};
        for (int i = 0; i < row.inputs; ++i)
            arguments.push_back(picture("in" + std::to_string(i) + "." + ext, i + 1));
        // A run with the n-th request refused (0: none), over the previous output; true when
        // it asked for fewer than n.
        const auto runRefusing = [&](int n) {
            setDefaultOptions(programOptions);
            programOptions.outputName = out;
            programOptions.darkFrameFile = dark;
            programOptions.useNoiseReduction = 1;
            writeFile(out, kPrevious);
            capture.clear();
            requests = 0;
            failAt = n;
            setAllocationFilter(failNthRequest);
            EXPECT_EQ(runProcessing(int(arguments.size()), arguments), 0);
            setAllocationFilter(nullptr);
            EXPECT_EQ(busy.load(), 0);
            EXPECT_EQ(outputWritten.load() == 1, readFile<std::string>(out) != kPrevious);
            return requests < n;
        };
        runRefusing(0);
        const std::string complete = readFile<std::string>(out);
        const Messages files = dir.list();

        setWorkerCount(1);
        describeFailure = true;
        std::set<std::string> met;
        for (int n = 1; !runRefusing(n); ++n) {
            const auto size = sizes.find(failedSize);
            const std::string point = phases.at(failedDuring.substr(0, failedDuring.find(' '))) +
                                      " " + (size != sizes.end() ? size->second : "buffer");
            SCOPED_TRACE(ext + ": request " + std::to_string(n) + ", " + point + " during " +
                         failedDuring);
            met.insert(point);
            const auto [sizeReported, notEnough, lost, written] = outcomes.at(point);
            const std::string file = failedDuring.substr(failedDuring.find(": ") + 2);
            const bool lastInput = lost == kInput && row.inputs == 1;
            Messages expected;
            if (sizeReported)
                expected.push_back("Error allocating " + std::to_string(failedSize / 1024) +
                                   " KB of memory");
            if (notEnough)
                expected.push_back("Not enough memory");
            const Messages lostLines[] = {
                {},
                {"Problem loading dark-frame: " + dark + "\n"},
                {"Problem loading " + file.substr(0, file.size() - 1) + "...ignoring\n"}};
            expected.insert(expected.end(), lostLines[lost].begin(), lostLines[lost].end());
            if (lastInput)
                expected.insert(expected.end(), nothingLeft.begin(), nothingLeft.end());
            EXPECT_EQ(capture.errors(), expected);
            EXPECT_EQ(outputWritten.load() == 1, written && !lastInput);
            EXPECT_EQ(programOptions.useNoiseReduction, lost == kDark ? 0 : 1);
            EXPECT_EQ(dir.list(), files);
        }
        std::set<std::string> points;
        for (const auto& outcome : outcomes)
            points.insert(outcome.first);
        if (!row.writerBuffer)
            points.erase("output buffer");
        EXPECT_EQ(met, points);
        EXPECT_EQ(capture.errors(), Messages{});
        EXPECT_EQ(readFile<std::string>(out), complete);

        setWorkerCount(4);
        describeFailure = false;
        for (int n = 1; !runRefusing(n); ++n) {
            SCOPED_TRACE(ext + ", 4 workers: request " + std::to_string(n));
            EXPECT_EQ(dir.list(), files);
            // A file loaded ahead and refused for the accumulator it might have needed is
            // loaded again once the run has one; then nothing is missing.
            if (capture.errors().empty()) {
                EXPECT_EQ(readFile<std::string>(out), complete);
            }
        }
    }
}

}  // namespace
