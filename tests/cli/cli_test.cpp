// The parser in-process; whole runs of the real binary, including what a run must survive from
// outside: an output that cannot be written, inputs damaged or gone, an interrupt; and, in
// process through the real codecs, memory refused at every point of a run.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

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

// Command lines are written as one string; no name used here holds a space.
Words split(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

// ---- the parser, in-process ----

int parse(const std::string& line, CliRequest& request, std::string& error) {
    setDefaultOptions(programOptions);
    return parseCommandLine(split("quorvane-cli " + line), request, error);
}

TEST(CommandLine, SwitchesFillTheOptionsAndBadValuesAreUsageErrors) {
    CliRequest request;
    std::string error;
    const std::string all =
        "-m mix --divisor=2.5 -g 1.8 --low 3 --high=250 -q90 --dark d.tif "
        "--dark-opacity 0.25 -o out.jpg a.jpg -- -b.jpg";
    ASSERT_EQ(parse(all, request, error), 0) << error;
    const ProgramOptions& o = programOptions;
    EXPECT_EQ(std::tuple(o.combine_mode, o.Divisor, o.presetGammaCurve, o.Gamma,
                         o.low_pass_threshold, o.high_pass_threshold, o.jpeg_quality,
                         o.darkFrameFile, o.useNoiseReduction, o.darkFrameOpacity),
              std::tuple(2, 2.5, 99, 1.8, 3, 250, 90, "d.tif", 1, 0.25));
    EXPECT_EQ(std::tuple(request.output, request.inputs),
              std::tuple("out.jpg", Words{"a.jpg", "-b.jpg"}));
    ASSERT_EQ(parse("-g high-contrast -m brighten -o x.bmp a", request, error), 0);
    EXPECT_EQ(std::tuple(o.presetGammaCurve, o.combine_mode), std::tuple(1, 3));
    EXPECT_EQ(parse("-g 0.2 -d 1e-3 -o o.jpg a.jpg", request, error), 0);
    EXPECT_EQ(parse("--help", request, error), 0);
    EXPECT_TRUE(request.help);
    // The gap width is optional, so only "=PX" gives one: a word after the switch is an input.
    for (const auto& [line, width, inputs] :
         {std::tuple("--fill-gaps -o o.bmp a", 3, Words{"a"}),
          std::tuple("-o o.bmp --fill-gaps 5 a", 3, Words{"5", "a"}),
          std::tuple("--fill-gaps=8 -o o.bmp a", 8, Words{"a"}),
          std::tuple("--fill-gaps=1 -o o.bmp a", 1, Words{"a"})}) {
        CliRequest fresh;
        ASSERT_EQ(parse(line, fresh, error), 0) << line << error;
        EXPECT_EQ(std::tuple(o.fillGaps, fresh.inputs), std::tuple(width, inputs)) << line;
    }

    // No inputs, no output; then each switch given a valid output and input, so that only the
    // switch is wrong.
    Words bad{"-o o.jpg", "a.jpg", "-o"};
    for (const char* words :
         {"--frobnicate", "-m median", "-d 0", "-d -1", "-d nan", "-d inf", "-d 2x", "-g 0.19",
          "-g 10.01", "--low 256", "--high -1", "--low 12.5", "-q 0", "-q 101",
          "--dark-opacity 1.5", "--quiet=yes", "--depth 12", "--depth", "--tiff-compression zip"})
        bad.push_back(words + std::string(" -o o.jpg a.jpg"));
    for (const char* width : {"0", "9", "", "2.5"})
        bad.push_back("--fill-gaps=" + std::string(width) + " -o o.jpg a.jpg");
    for (const std::string& line : bad) {
        CliRequest fresh;
        error.clear();
        EXPECT_EQ(parse(line, fresh, error), kExitUsage) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
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

    // Starts the program with no input; as the user nobody when asked to (and able to: only
    // root may switch).
    pid_t start(const std::string& line, bool asNobody = false) {
        Words words = split(line);
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
    RunResult run(const std::string& line, bool asNobody = false) {
        return finish(start(line, asNobody));
    }

    // Waits until the program has opened the FIFO name for reading; returns the writing end.
    int fifoWriter(const std::string& name) {
        int writer = -1;
        for (int i = 0; i < 500 && writer < 0; ++i)
            if ((writer = open(name.c_str(), O_WRONLY | O_NONBLOCK)) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_GE(writer, 0);
        return writer;
    }

    // Whether a save's temporary file is in the folder.
    bool saving(const std::string& folder = ".") {
        const Messages names = dir.list(folder);
        return std::any_of(names.begin(), names.end(),
                           [](const std::string& n) { return n.rfind(".quorvane-", 0) == 0; });
    }
    // Holds the program still while its save's temporary file exists; false if the save came
    // and went unseen. The caller lets the program go on (SIGCONT) either way.
    bool stopWhileSaving(pid_t pid) {
        siginfo_t info{};
        bool seen = false;
        while (!seen && waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0)
            seen = saving();
        return seen && kill(pid, SIGSTOP) == 0 &&
               waitid(P_PID, pid, &info, WSTOPPED | WEXITED | WNOWAIT) == 0 &&
               info.si_code == CLD_STOPPED && saving();
    }

    // A BMP made by hand, independent of the program's writer; returns its name.
    std::string bmp(const std::string& name, int width, int height, const Bytes& rgb) {
        writeFile(name, bmpFile(width, height, rgb));
        return name;
    }
    // A picture written through the program's own codec for the extension.
    void viaCodec(const std::string& name, const Bytes& rgb, int width, int height) {
        OwnedImage image(width, height, 32);
        paint(image, rgb);
        runOptions.jpeg_quality = 90;
        EXPECT_EQ(writeImage(image.image, name.c_str()), 0) << name;
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
    if (mode == 1)
        divisor = double(images.size());
    const bool divide = (mode == 1 || mode == 2) && std::fabs(divisor - 1.0) > 0.00001;
    Bytes result;
    for (size_t n = 0; n < images[0].size(); n += 3) {
        double acc[3] = {0, 0, 0};
        for (const Bytes& image : images) {
            double v[3];
            for (int k = 0; k < 3; ++k)
                v[k] = std::max(
                    0.0, gammaTable[image[n + k]] - (dark.empty() ? 0.0 : gammaTable[dark[n + k]]));
            if (mode != 3)
                std::transform(acc, acc + 3, v, acc, std::plus<>());
            else if (acc[0] + acc[1] + acc[2] < v[0] + v[1] + v[2])
                std::copy(v, v + 3, acc);
        }
        // The output's inverse forgives values a few ulps below a level (rounding of the sum).
        for (double a : acc)
            result.push_back(encodeBySearch((divide ? a / divisor : a) * (1.0 + 0x1p-30)));
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

// Each run's exit status, errors, output and written file: every mode against the oracle, then
// what settings files, damaged inputs and bad requests do, given relative names (one starting
// with a dash, which only "--" makes a file name).
TEST_F(CliRun, EveryRunEndsWithItsStatusErrorsAndOutput) {
    const Bytes first = {100, 150, 200}, second = {200, 50, 10}, dark = noise(7, 5, 9);
    std::vector<Bytes> images;
    for (int i = 0; i < 3; ++i)
        bmp("n" + std::to_string(i) + ".bmp", 7, 5, images.emplace_back(noise(7, 5, i + 1)));
    bmp("nd.bmp", 7, 5, dark);
    bmp("a.bmp", 1, 1, first);
    bmp("b.bmp", 1, 1, second);
    bmp("-dash.bmp", 1, 1, {10, 20, 30});
    bmp("wide.bmp", 2, 1, noise(2, 1, 2));
    writeFile("broken.bmp", std::string("not a bitmap, only some text of more than 54 bytes....."));
    writeFile("q.ini", std::string("[General]\r\ncombine_mode=3\r\nlow_pass_threshold=0\r\n"));
    writeFile("dark.ini", std::string("[General]\nuseNoiseReduction=1\ndarkFrameFile=a.bmp\n"));
    writeFile("gamma.ini", std::string("[General]\npresetGammaCurve=5\n"));
    writeFile("deep.ini", std::string("[General]\noutputDepth=16\n"));
    // The reader turns what is no finite number into 0 (SettingsFile.HostileValues...).
    for (const std::string divisor : {"0", "-1", "2"})
        writeFile("mix" + divisor + ".ini", "[General]\ncombine_mode=2\nDivisor=" + divisor + "\n");
    const auto modes = [&](int mode, double divisor, bool withDark) {
        return bmpFile(7, 5, expectedResult(images, mode, divisor, withDark ? dark : Bytes{}));
    };
    const auto one = [](const Bytes& rgb) { return bmpFile(1, 1, rgb); };
    const std::string unsupported = "Unsupported Output File Format: Must be JPEG, TIFF or BMP\n";
    const std::string usage = "\nTry 'quorvane-cli --help' for more information.\n";
    const std::string skipped =
        "readBMPFileHeader, BMP bad magic No\nreadBMP, error reading bitmap file header\n"
        "Problem loading broken.bmp...ignoring\nCannot combine wide.bmp...\n"
        "Note: all input images must have the same dimensions.\n";
    const std::string none =
        "readBMP, could not open file\nProblem loading missing.bmp...ignoring"
        "\nNo valid input images\nCould not create final image.\n";
    // What the parser's checks print, with the pointer to --help.
    const auto refused = [&](const std::string& why) { return "quorvane-cli: " + why + usage; };
    const std::string badDivisor =
        refused("invalid divisor in the settings file: expected a finite number greater than 0");
    const std::string depth16 =
        refused("16-bit output needs a TIFF or PNG file (.tif, .tiff or .png)");
    const std::string badExtension =
        "File (out.jpgx) must have extension JPG, PNG, TIF or BMP\n" + unsupported;
    const std::string badMode =
        refused("invalid value 'nope' for -m: expected stack, average, mix or brighten");
    const std::string badComet =
        refused("comet trails need the stack, mix or brighten mode, not average");
    const std::string isInput = "The output file is one of the input images\n";
    const std::string noDark = "readBMP, could not open file\nProblem loading dark-frame: ",
                      badDark = "Dark frame image can not be combined with input images -- ";
    const Bytes stacked = one(expectedResult({first, second}, 0, 1));
    const std::string n = " n0.bmp n1.bmp n2.bmp", ab = " -o out.bmp a.bmp b.bmp";
    const struct {
        std::string line;
        int status;
        Bytes output;  // out.bmp; empty: none
        std::string err;
    } cases[] = {
        {"-m stack -d 1 -o out.bmp" + n, 0, modes(0, 1, false), ""},
        {"-m average -d 1 -o out.bmp" + n, 0, modes(1, 1, false), ""},
        {"-m mix -d 2.5 -o out.bmp" + n, 0, modes(2, 2.5, false), ""},
        {"-m brighten -o out.bmp" + n, 0, modes(3, 1, false), ""},
        {"-m average --dark nd.bmp -o out.bmp" + n, 0, modes(1, 1, true), ""},
        {"-m brighten --dark nd.bmp -o out.bmp" + n, 0, modes(3, 1, true), ""},
        {"--settings q.ini" + ab, 0, one(first), ""},  // brighten
        {"--settings=q.ini -m stack" + ab, 0, stacked, ""},
        {"-o out.bmp -- -dash.bmp", 0, one({10, 20, 30}), ""},
        {"-o out.bmp a.bmp broken.bmp wide.bmp", 3, one(expectedResult({first}, 0, 1)), skipped},
        {"-o out.bmp missing.bmp", 1, {}, none},
        // The output may not be one of the inputs: that would destroy a photograph.
        {"-o ./a.bmp a.bmp", 2, {}, isInput},
        {"-m average --dark a.bmp -o a.bmp b.bmp", 2, {}, isInput},
        {"--settings dark.ini -o a.bmp b.bmp", 2, {}, isInput},
        // Written, but not what was asked for.
        {"--dark missing.bmp" + ab, 3, stacked, noDark + "missing.bmp\n"},
        {"--dark wide.bmp" + ab, 3, stacked, badDark + "Turning off noise reduction\n"},
        {"--settings gamma.ini" + ab, 3, stacked, "Invalid Gamma Curve requested\n"},
        // A mix divisor from a settings file is checked like -d; other modes ignore it.
        {"--settings mix0.ini" + ab, 2, {}, badDivisor},
        {"--settings mix-1.ini -o out.bmp a.bmp", 2, {}, badDivisor},
        {"--settings mix0.ini -m stack" + ab, 0, stacked, ""},
        {"--settings mix2.ini" + ab, 0, one(expectedResult({first, second}, 2, 2)), ""},
        {"-o out.gif a.bmp", 2, {}, unsupported},
        {"-o out.jpgx a.bmp", 2, {}, badExtension},
        // 16 bits only where the format holds them, whether asked on the line or in settings.
        {"--depth 16 -o out.jpg a.bmp", 2, {}, depth16},
        {"--comet 10 -m average -o out.bmp a.bmp", 2, {}, badComet},
        {"--settings deep.ini -o out.bmp a.bmp", 2, {}, depth16},
        {"--fill-gaps -o out.bmp a.bmp", 2, {}, refused("filling gaps needs the brighten mode")},
        {"-m nope -o out.bmp a.bmp", 2, {}, badMode},
        {"--settings x.ini -o out.bmp a.bmp", 2, {}, refused("cannot read settings file 'x.ini'")},
    };
    const Messages files = dir.list();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::filesystem::remove("out.bmp");
        const RunResult r = run(c.line);
        EXPECT_EQ(std::tuple(r.status, r.err, r.out), std::tuple(c.status, c.err, ""));
        EXPECT_EQ(readFile("out.bmp"), c.output);
    }
    EXPECT_EQ(readFile("a.bmp"), one(first));
    EXPECT_EQ(dir.list(), files);
    const RunResult r = run("--verbose -o out.bmp a.bmp b.bmp");
    EXPECT_EQ(r.status, 0);
    for (const std::string line : {"Program Options: ", "Loading image 2: b.bmp", "Finished."})
        EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line;
}

// SIGINT, SIGTERM and SIGHUP stop the run at its next image and write nothing; the exit status
// is 128 + the signal. One that comes during the save lets it finish; a second one ends the
// program at once. None leaves the save's temporary file behind.
TEST_F(CliRun, StopSignalsWriteNothingAndLeaveNoTemporaryFile) {
    const int w = 1000, h = 800;  // a save long enough to be caught while it goes on
    bmp("a.bmp", w, h, noise(w, h, 1));
    bmp("b.bmp", w, h, noise(w, h, 2));
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
            const pid_t pid = start("-o out.bmp a.bmp wait.bmp b.bmp");
            const int writer = fifoWriter("wait.bmp");
            kill(pid, c.signals[0]);
            close(writer);  // the half-read file is skipped; b.bmp is accepted, then it stops
            r = finish(pid);
            std::filesystem::remove("wait.bmp");
        }
        bool caught = !c.duringSave;
        for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
            std::filesystem::remove("out.bmp");  // written by a run whose save went unseen
            const pid_t pid = start("-o out.bmp a.bmp b.bmp");
            if ((caught = stopWhileSaving(pid)))
                for (const int signal : c.signals)
                    kill(pid, signal);
            kill(pid, SIGCONT);
            r = finish(pid);
        }
        ASSERT_TRUE(caught) << "the save was never seen";
        EXPECT_TRUE(c.status == 1000 ? r.status == 1000 + SIGHUP || r.status == 1000 + SIGTERM
                                     : r.status == c.status)
            << r.status << r.err;
        // Written only when it may be, and complete: the inputs have the same size and layout.
        const Messages kept{"a.bmp", "b.bmp", "log"}, written{"a.bmp", "b.bmp", "log", "out.bmp"};
        EXPECT_EQ(dir.list(), c.status == 0 ? written : kept);
        EXPECT_TRUE(c.status != 0 || readFile("out.bmp").size() == readFile("a.bmp").size());
    }
}

// An existing output is replaced only when we may write it, and by a file of the same kind:
// its mode, owner and group kept, and a symbolic link still a link, to the file now written.
// A write that fails (no folder, a full disk) exits 1 and leaves the old file as it was. Run as
// root, the files belong to nobody, and the refusals of read-only files run as nobody.
TEST_F(CliRun, OutputThatCannotBeWrittenLeavesTheOldFileAndOneWrittenKeepsItsModeOwnerAndLink) {
    const bool root = geteuid() == 0;
    const uid_t user = root ? kNobody : geteuid();
    const gid_t group = root ? kNobody : getegid();
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(chmod(".", 0777), 0);
    std::filesystem::create_directory("real");
    const Bytes first = noise(24, 17, 1), second = noise(24, 17, 2);
    const Bytes result = bmpFile(24, 17, expectedResult({first, second}, 0, 1));
    ASSERT_EQ(chmod(bmp("a.bmp", 24, 17, first).c_str(), 0644), 0);
    ASSERT_EQ(chmod(bmp("b.bmp", 24, 17, second).c_str(), 0644), 0);
    const struct {
        std::string output, file;      // what -o names; the file behind it
        mode_t before, after;          // before: 0 for none
        std::string refusal;           // empty: written
        rlim_t limit = RLIM_INFINITY;  // the size a write may reach, as on a full disk
        bool lockedDuringRun = false;  // made read-only once the run has begun
    } cases[] = {
        {"ro.jpg", "ro.jpg", 0444, 0444, "can't open ro.jpg"},
        {"late.tif", "late.tif", 0644, 0444, "Could not create TIFF-file", RLIM_INFINITY, true},
        {"missing/out.bmp", "missing/out.bmp", 0, 0, "writeBMP, could not open file"},
        {"missing/out.jpg", "missing/out.jpg", 0, 0, "can't open missing/out.jpg"},
        {"a.bmp/out.tif", "a.bmp/out.tif", 0, 0, "Could not create TIFF-file"},
        {"full.bmp", "full.bmp", 0644, 0644, "writeBMP, could not write image data", 1024},
        {"full.jpg", "full.jpg", 0644, 0644, "Output file write error --- out of disk space?", 512},
        {"full.tif", "full.tif", 0644, 0644, "Could not write TIFF-file", 1024},
        {"private.bmp", "private.bmp", 0600, 0600, ""},
        {"group.bmp", "group.bmp", 0640, 0640, ""},
        {"real/link.bmp", "real/target.bmp", 0604, 0604, ""},        // -> target.bmp
        {"real/dangling.bmp", "real/new.bmp", 0, 0666 & ~mask, ""},  // -> new.bmp
        {"fresh.bmp", "fresh.bmp", 0, 0666 & ~mask, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        if (c.output != c.file)
            std::filesystem::create_symlink(c.file.substr(5), c.output);
        if (c.before != 0) {
            writeFile(c.file, "old " + c.file);
            ASSERT_EQ(chmod(c.file.c_str(), c.before), 0);
            ASSERT_TRUE(!root || chown(c.file.c_str(), user, group) == 0);
        }
        const bool refused = !c.refusal.empty();
        RunResult r;
        if (c.lockedDuringRun) {
            ASSERT_EQ(mkfifo("wait.bmp", 0666), 0);
            ASSERT_EQ(chmod("wait.bmp", 0666), 0);
            const pid_t pid = start("-o " + c.output + " a.bmp wait.bmp b.bmp", root);
            const int writer = fifoWriter("wait.bmp");
            ASSERT_EQ(chmod(c.file.c_str(), c.after), 0);
            close(writer);  // an empty input, skipped
            r = finish(pid);
        } else {  // the limit, set here, holds in the program too
            const bool asNobody = refused && root && (c.after & 0200) == 0;
            withFileSizeLimit(c.limit, [&] {
                return (r = run("-o " + c.output + " a.bmp b.bmp", asNobody)).status;
            });
        }
        EXPECT_EQ(r.status, refused ? 1 : 0);
        // After the skipped input's messages, when there is one.
        const std::size_t last = r.err.rfind('\n', r.err.size() - 2);
        EXPECT_EQ(c.lockedDuringRun && last != std::string::npos ? r.err.substr(last + 1) : r.err,
                  refused ? c.refusal + "\n" : "");
        struct stat info {};
        if (c.before == 0 && refused) {
            EXPECT_NE(lstat(c.file.c_str(), &info), 0);
            continue;
        }
        EXPECT_EQ(readFile<std::string>(c.file),
                  refused ? "old " + c.file : std::string(result.begin(), result.end()));
        ASSERT_EQ(stat(c.file.c_str(), &info), 0);
        EXPECT_EQ(std::tuple(info.st_mode & 07777, info.st_uid, info.st_gid),
                  c.before != 0 ? std::tuple(c.after, user, group)
                                : std::tuple(c.after, geteuid(), getegid()));
        ASSERT_EQ(lstat(c.output.c_str(), &info), 0);
        EXPECT_EQ(S_ISLNK(info.st_mode), c.output != c.file);
    }
    EXPECT_FALSE(saving(".") || saving("real"));
}

// Real-world formats end to end, in files that changed after they were listed: one gone,
// others damaged or cut to half their length. A short JPEG still decodes (the library completes
// it); the others are skipped, and JPEGs after a broken one still load. The average of the rest
// is written as BMP, TIFF (lossless) and JPEG at the requested quality.
TEST_F(CliRun, FormatsCombineExactlyAndDamagedInputsAreSkipped) {
    const int w = 64, h = 48;
    const std::string inputs =
        " a.bmp gone.bmp half.bmp half.tif damaged.jpg empty.jpg half.jpg b.tif c.jpg";
    int seed = 0;
    for (const std::string& name : split(inputs))
        viaCodec(name, noise(w, h, ++seed), w, h);
    std::filesystem::remove("gone.bmp");
    for (const char* name : {"half.bmp", "half.tif", "half.jpg"})
        std::filesystem::resize_file(name, std::filesystem::file_size(name) / 2);
    writeFile("damaged.jpg", std::string("this is not a JPEG file at all, just text"));
    writeFile("empty.jpg", std::string());
    std::vector<Bytes> kept;
    for (const char* name : {"a.bmp", "half.jpg", "b.tif", "c.jpg"})
        kept.push_back(decode(name));
    const auto skipped = [](const std::string& name) {
        return "Problem loading " + name + "...ignoring\n";
    };
    const std::string errors = "readBMP, could not open file\n" + skipped("gone.bmp") +
                               "Error reading image data\n" + skipped("half.bmp") +
                               "Could not open tiff-file\n" + skipped("half.tif") +
                               "Not a JPEG file: starts with 0x74 0x68\n" + skipped("damaged.jpg") +
                               "Empty input file\n" + skipped("empty.jpg");
    for (const std::string out : {"out.bmp", "out.tif", "out.jpg"}) {
        const RunResult r = run("-m average -q 77 -o " + out + inputs);
        EXPECT_EQ(std::tuple(r.status, r.err), std::tuple(3, errors)) << out;
    }
    EXPECT_EQ(readFile("out.bmp"), bmpFile(w, h, expectedResult(kept, 1, 1)));
    EXPECT_EQ(bmpFile(w, h, decode("out.tif")), readFile("out.bmp"));
    OwnedImage average;
    ASSERT_EQ(readImage(average.image, "out.tif"), 0);
    runOptions.jpeg_quality = 77;
    ASSERT_EQ(writeImage(average.image, "reference.jpg"), 0);
    EXPECT_EQ(readFile("out.jpg"), readFile("reference.jpg"));
}

// ---- memory refused at every point, in process ----

// Fails the failAt-th request for memory (counting from 1); 0 fails none. With one worker
// the requests come in a fixed order, and the one refused is recorded with the status line
// of the moment (only a single worker sets the status).
std::atomic<int> requests{0}, failAt{0};
bool describeFailure = false;
std::string currentStatus, failedDuring;
int64_t failedSize = 0;

bool failNthRequest(int64_t size) {
    if (++requests != failAt.load())
        return true;
    if (describeFailure)
        std::tie(failedSize, failedDuring) = std::tuple(size, currentStatus);
    return false;
}

// Small, but each block is a whole number of kilobytes and no codec row buffer has the size of
// a pixel block, so the size of a refused request tells what it was for.
constexpr int kWidth = 24, kHeight = 17;
constexpr int64_t kBlock = int64_t{4} * kWidth * kHeight, kAccumulator = 8 * kBlock;

class Faults : public CliRun {
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
    // One input: losing it leaves nothing to combine. The JPEG writer takes no memory of ours.
    for (const auto& [ext, inputs] :
         {std::pair<std::string, int>("bmp", 2), {"jpg", 2}, {"tif", 1}}) {
        const std::string dark = "dark." + ext, out = "out." + ext;
        Messages arguments{"placeholder"};
        for (int i = 0; i <= inputs; ++i)
            viaCodec(
                i == inputs ? dark : arguments.emplace_back("in" + std::to_string(i) + "." + ext),
                noise(kWidth, kHeight, i + 1), kWidth, kHeight);
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
        for (const int workers : {1, 4}) {
            setWorkerCount(workers);
            describeFailure = workers == 1;
            std::set<std::string> met;
            for (int n = 1; !runRefusing(n); ++n) {
                SCOPED_TRACE(ext + ", " + std::to_string(workers) + " workers: request " +
                             std::to_string(n) + " during " + failedDuring);
                EXPECT_EQ(dir.list(), files);
                // With loads ahead, which request fails depends on timing; a refused load ahead
                // is either reported or retried in order, and then nothing is missing.
                if (workers > 1) {
                    EXPECT_TRUE(!capture.errors().empty() ||
                                readFile<std::string>(out) == complete);
                    continue;
                }
                const auto size = sizes.find(failedSize);
                const std::string point =
                    phases.at(failedDuring.substr(0, failedDuring.find(' '))) + " " +
                    (size != sizes.end() ? size->second : "buffer");
                met.insert(point);
                const auto [sizeReported, notEnough, lost, written] = outcomes.at(point);
                const std::string file = failedDuring.substr(failedDuring.find(": ") + 2);
                const bool lastInput = lost == kInput && inputs == 1;
                Messages expected;
                if (sizeReported)
                    expected.push_back("Error allocating " + std::to_string(failedSize / 1024) +
                                       " KB of memory");
                if (notEnough)
                    expected.push_back("Not enough memory");
                if (lost == kDark)
                    expected.push_back("Problem loading dark-frame: " + dark + "\n");
                if (lost == kInput)
                    expected.push_back("Problem loading " + file.substr(0, file.size() - 1) +
                                       "...ignoring\n");
                if (lastInput)
                    expected.insert(expected.end(),
                                    {"No valid input images", "Could not create final image."});
                EXPECT_EQ(capture.errors(), expected) << point;
                EXPECT_EQ(outputWritten.load() == 1, written && !lastInput) << point;
                EXPECT_EQ(programOptions.useNoiseReduction, lost == kDark ? 0 : 1) << point;
            }
            std::set<std::string> points;
            for (const auto& outcome : outcomes)
                if (ext != "jpg" || outcome.first != "output buffer")
                    points.insert(outcome.first);
            EXPECT_TRUE(workers > 1 || met == points) << ext;
            EXPECT_EQ(capture.errors(), Messages{});
            EXPECT_EQ(readFile<std::string>(out), complete);
        }
    }
}

}  // namespace
