#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "engine/gamma.h"
#include "engine/image.h"
#include "engine/options.h"
#include "imageio/imageio.h"
#include "support/capture.h"
#include "support/images.h"

extern char** environ;

namespace {

// ---- the parser, in-process ----

int parse(std::vector<std::string> words, CliRequest& request, std::string& error) {
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
    EXPECT_EQ(programOptions.combine_mode, 2);
    EXPECT_EQ(programOptions.Divisor, 2.5);
    EXPECT_EQ(programOptions.presetGammaCurve, 99);
    EXPECT_EQ(programOptions.Gamma, 1.8);
    EXPECT_EQ(programOptions.low_pass_threshold, 3);
    EXPECT_EQ(programOptions.high_pass_threshold, 250);
    EXPECT_EQ(programOptions.jpeg_quality, 90);
    EXPECT_EQ(programOptions.darkFrameFile, "d.tif");
    EXPECT_EQ(programOptions.useNoiseReduction, 1);
    EXPECT_EQ(programOptions.darkFrameOpacity, 0.25);
    EXPECT_EQ(request.output, "out.jpg");
    EXPECT_EQ(request.inputs, (std::vector<std::string>{"a.jpg", "-b.jpg"}));

    ASSERT_EQ(parse({"-g", "high-contrast", "-m", "brighten", "-o", "x.bmp", "a"}, request, error),
              0);
    EXPECT_EQ(programOptions.presetGammaCurve, 1);
    EXPECT_EQ(programOptions.combine_mode, 3);
}

TEST(CommandLine, BadValuesAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad{
        {"-o", "o.jpg"},                           // no inputs
        {"a.jpg"},                                 // no output
        {"--frobnicate", "-o", "o.jpg", "a.jpg"},  // unknown switch
        {"-m", "median", "-o", "o.jpg", "a.jpg"},
        {"-d", "0", "-o", "o.jpg", "a.jpg"},
        {"-d", "-1", "-o", "o.jpg", "a.jpg"},
        {"-d", "nan", "-o", "o.jpg", "a.jpg"},
        {"-d", "inf", "-o", "o.jpg", "a.jpg"},
        {"-d", "2x", "-o", "o.jpg", "a.jpg"},
        {"-g", "0.19", "-o", "o.jpg", "a.jpg"},
        {"-g", "10.01", "-o", "o.jpg", "a.jpg"},
        {"--low", "256", "-o", "o.jpg", "a.jpg"},
        {"--high", "-1", "-o", "o.jpg", "a.jpg"},
        {"--low", "12.5", "-o", "o.jpg", "a.jpg"},
        {"-q", "0", "-o", "o.jpg", "a.jpg"},
        {"-q", "101", "-o", "o.jpg", "a.jpg"},
        {"--dark-opacity", "1.5", "-o", "o.jpg", "a.jpg"},
        {"--quiet=yes", "-o", "o.jpg", "a.jpg"},
        {"-o"},
    };
    for (const auto& words : bad) {
        CliRequest request;
        std::string error;
        EXPECT_EQ(parse(words, request, error), kExitUsage) << words[0];
        EXPECT_FALSE(error.empty()) << words[0];
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
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class CliRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Starts the program with stdout and stderr going to files.
    pid_t start(const std::vector<std::string>& arguments) {
        std::vector<std::string> all{QUORVANE_CLI};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, path("stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, path("stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    RunResult finish(pid_t pid) {
        RunResult result;
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        result.out = slurp(path("stdout"));
        result.err = slurp(path("stderr"));
        return result;
    }
    RunResult run(const std::vector<std::string>& arguments) { return finish(start(arguments)); }

    // A 24-bit bottom-up BMP written by hand, independent of the program's writer.
    void writeBmp(const std::string& name, int width, int height, const std::vector<Rgb>& pixels) {
        const int rowSize = (3 * width + 3) / 4 * 4;
        std::vector<uint8_t> file(54 + rowSize * height, 0);
        auto put32 = [&](int at, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                file[at + i] = uint8_t(v >> (8 * i));
        };
        file[0] = 'B';
        file[1] = 'M';
        put32(2, uint32_t(file.size()));
        put32(10, 54);
        put32(14, 40);
        put32(18, uint32_t(width));
        put32(22, uint32_t(height));
        file[26] = 1;
        file[28] = 24;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const Rgb& p = pixels[y * width + x];
                uint8_t* d = &file[54 + (height - 1 - y) * rowSize + 3 * x];
                d[0] = p[2];
                d[1] = p[1];
                d[2] = p[0];
            }
        }
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    }

    std::vector<Rgb> readBmp(const std::string& name, int width, int height) {
        const std::string file = slurp(path(name));
        const int rowSize = (3 * width + 3) / 4 * 4;
        std::vector<Rgb> pixels;
        if (file.size() != std::size_t(54 + rowSize * height))
            return pixels;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const auto* s = reinterpret_cast<const uint8_t*>(
                    file.data() + 54 + (height - 1 - y) * rowSize + 3 * x);
                pixels.push_back({s[2], s[1], s[0]});
            }
        }
        return pixels;
    }

    std::string dir_;
};

// The oracle: the same arithmetic written plainly, with a linear search for the inverse.
uint8_t encodeBySearch(double linear) {
    int best = 0;
    for (int i = 0; i < 256; ++i)
        if (gammaTable[i] <= linear)
            best = i;
    return uint8_t(best);
}

std::vector<Rgb> expectedResult(const std::vector<std::vector<Rgb>>& images, int mode,
                                double divisor, const std::vector<Rgb>& dark = {}) {
    setupGamma(0, 2.2);
    std::vector<Rgb> result;
    for (std::size_t n = 0; n < images[0].size(); ++n) {
        double acc[3] = {0, 0, 0};
        for (const auto& image : images) {
            double v[3];
            for (int k = 0; k < 3; ++k) {
                v[k] = gammaTable[image[n][k]];
                if (!dark.empty())
                    v[k] = std::max(0.0, v[k] - gammaTable[dark[n][k]]);
            }
            if (mode == 3) {
                if (acc[0] + acc[1] + acc[2] < v[0] + v[1] + v[2])
                    for (int k = 0; k < 3; ++k)
                        acc[k] = v[k];
            } else {
                for (int k = 0; k < 3; ++k)
                    acc[k] += v[k];
            }
        }
        if (mode == 1)
            divisor = double(images.size());
        if ((mode == 1 || mode == 2) && std::fabs(divisor - 1.0) > 0.00001)
            for (double& a : acc)
                a /= divisor;
        result.push_back({encodeBySearch(acc[0]), encodeBySearch(acc[1]), encodeBySearch(acc[2])});
    }
    return result;
}

std::vector<Rgb> pattern(int width, int height, int seed) {
    std::vector<Rgb> pixels;
    uint32_t state = uint32_t(seed) * 2654435761u + 1;
    for (int i = 0; i < width * height; ++i) {
        state = state * 1664525u + 1013904223u;
        pixels.push_back({uint8_t(state >> 24), uint8_t(state >> 16), uint8_t(state >> 8)});
    }
    return pixels;
}

TEST_F(CliRun, EveryModeMatchesTheArithmeticPixelForPixel) {
    const int w = 7, h = 5;
    std::vector<std::vector<Rgb>> images;
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        images.push_back(pattern(w, h, i + 1));
        names.push_back(path("in" + std::to_string(i) + ".bmp"));
        writeBmp("in" + std::to_string(i) + ".bmp", w, h, images.back());
    }
    const std::vector<Rgb> dark = pattern(w, h, 9);
    writeBmp("dark.bmp", w, h, dark);
    struct Case {
        const char* mode;
        int code;
        double divisor;
        bool dark;
    } cases[] = {{"stack", 0, 1, false},    {"average", 1, 1, false}, {"mix", 2, 2.5, false},
                 {"brighten", 3, 1, false}, {"average", 1, 1, true},  {"brighten", 3, 1, true}};
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"-m", c.mode,         "-d", std::to_string(c.divisor),
                                           "-o", path("out.bmp")};
        if (c.dark)
            arguments.insert(arguments.end(), {"--dark", path("dark.bmp")});
        arguments.insert(arguments.end(), names.begin(), names.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.status, 0) << c.mode << result.err;
        EXPECT_EQ(result.err, "") << c.mode;
        EXPECT_EQ(result.out, "") << c.mode;  // diagnostics only with --verbose
        EXPECT_EQ(readBmp("out.bmp", w, h),
                  expectedResult(images, c.code, c.divisor, c.dark ? dark : std::vector<Rgb>{}))
            << c.mode << (c.dark ? " with dark frame" : "");
    }
}

TEST_F(CliRun, SkippedInputsAndFailuresSetTheExitStatus) {
    writeBmp("a.bmp", 2, 2, pattern(2, 2, 1));
    writeBmp("small.bmp", 1, 1, pattern(1, 1, 2));
    std::ofstream(path("broken.bmp")) << "not a bitmap, only some text of more than 54 bytes.....";

    RunResult r = run(
        {"--verbose", "-o", path("out.bmp"), path("a.bmp"), path("broken.bmp"), path("small.bmp")});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "readBMPFileHeader, BMP bad magic No\nreadBMP, error reading bitmap file header\n"
              "Problem loading " +
                  path("broken.bmp") +
                  "...ignoring\n"
                  "Cannot combine " +
                  path("small.bmp") +
                  "...\nNote: all input images must have the same dimensions.\n");
    EXPECT_NE(r.out.find("Program Options: \n"), std::string::npos);
    EXPECT_NE(r.out.find("Loading image 2: " + path("small.bmp") + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("Finished.\n"), std::string::npos);
    EXPECT_EQ(readBmp("out.bmp", 2, 2), expectedResult({pattern(2, 2, 1)}, 0, 1));

    r = run({"-o", path("none.bmp"), path("missing.bmp")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Could not create final image.\n"), std::string::npos);
    struct stat st;
    EXPECT_NE(stat(path("none.bmp").c_str(), &st), 0);

    // The output may not be one of the inputs: that would destroy a photograph.
    const std::string before = slurp(path("a.bmp"));
    r = run({"-o", dir_ + "/./a.bmp", path("a.bmp")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "The output file is one of the input images\n");
    EXPECT_EQ(slurp(path("a.bmp")), before);

    r = run({"-o", path("out.png"), path("a.bmp")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Unsupported Output File Format: Must be JPEG, TIFF or BMP\n");
    r = run({"-o", path("out.jpeg"), path("a.bmp")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "File (" + path("out.jpeg") +
                         ") must have extension JPG, PNG, TIF or BMP\n"
                         "Unsupported Output File Format: Must be JPEG, TIFF or BMP\n");
    r = run({"-m", "nope", "-o", path("o.bmp"), path("a.bmp")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--help"), std::string::npos);
}

TEST_F(CliRun, NamesStartingWithADashAreFilesAfterTheSeparator) {
    writeBmp("-dash.bmp", 1, 1, {{10, 20, 30}});
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const RunResult r = run({"-o", "out.bmp", "--", "-dash.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBmp("out.bmp", 1, 1), (std::vector<Rgb>{{10, 20, 30}}));
}

TEST_F(CliRun, InterruptStopsTheRunAndWritesNothing) {
    writeBmp("a.bmp", 2, 2, pattern(2, 2, 1));
    writeBmp("b.bmp", 2, 2, pattern(2, 2, 2));
    // Opening a FIFO blocks until a writer comes, which holds the run at a known point.
    ASSERT_EQ(mkfifo(path("wait.bmp").c_str(), 0600), 0);
    const pid_t pid =
        start({"-o", path("out.bmp"), path("a.bmp"), path("wait.bmp"), path("b.bmp")});
    int writer = -1;
    for (int i = 0; i < 500 && writer < 0; ++i) {
        writer = open(path("wait.bmp").c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(writer, 0);
    kill(pid, SIGINT);
    close(writer);  // the half-read file is skipped; b.bmp is accepted, then the run stops
    const RunResult r = finish(pid);
    EXPECT_EQ(r.status, 130) << r.err;
    struct stat st;
    EXPECT_NE(stat(path("out.bmp").c_str(), &st), 0);
}

// Real-world formats end to end: JPEG and TIFF sequences in, every format out.
class CliFormats : public CliRun {
  protected:
    // Writes a picture through the program's own codecs and returns what a reader decodes.
    std::vector<Rgb> writeWithCodec(const std::string& name, int width, int height, int seed) {
        const std::vector<Rgb> pixels = pattern(width, height, seed);
        Image image = makeRgbImage(width, height, pixels);
        runOptions.jpeg_quality = 90;
        EXPECT_EQ(writeImage(image, path(name).c_str()), 0);
        freePixels(image.pixels);
        return decode(name);
    }
    std::vector<Rgb> decode(const std::string& name) {
        Image image;
        std::vector<Rgb> pixels;
        if (readImage(image, path(name).c_str()) != 0)
            return pixels;
        narrowSamples(image);
        for (int64_t n = 0; n < int64_t{image.width} * image.height; ++n) {
            const uint8_t* p = pixelData(image) + 4 * n;
            pixels.push_back({p[1], p[2], p[3]});
        }
        freePixels(image.pixels);
        return pixels;
    }
};

TEST_F(CliFormats, JpegAndTiffSequencesCombineExactly) {
    MessageCapture quiet;
    const int w = 33, h = 17;
    for (const char* ext : {"jpg", "tif"}) {
        std::vector<std::vector<Rgb>> decoded;
        std::vector<std::string> arguments{"-m", "average", "-o", path("out.bmp")};
        for (int i = 0; i < 3; ++i) {
            const std::string name = "seq" + std::to_string(i) + "." + ext;
            decoded.push_back(writeWithCodec(name, w, h, 10 + i));
            arguments.push_back(path(name));
        }
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 0) << ext << r.err;
        EXPECT_EQ(readBmp("out.bmp", w, h), expectedResult(decoded, 1, 1)) << ext;
    }
    // The same average written as TIFF (lossless) and as JPEG at the requested quality.
    const std::vector<std::string> inputs{path("seq0.tif"), path("seq1.tif"), path("seq2.tif")};
    for (const char* out : {"out.tif", "out.jpg"}) {
        std::vector<std::string> arguments{"-m", "average", "-q", "77", "-o", path(out)};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        ASSERT_EQ(run(arguments).status, 0) << out;
    }
    EXPECT_EQ(decode("out.tif"), readBmp("out.bmp", w, h));
    Image average;
    ASSERT_EQ(readImage(average, path("out.tif").c_str()), 0);
    runOptions.jpeg_quality = 77;
    ASSERT_EQ(writeImage(average, path("reference.jpg").c_str()), 0);
    freePixels(average.pixels);
    EXPECT_EQ(slurp(path("out.jpg")), slurp(path("reference.jpg")));
}

TEST_F(CliFormats, DamagedJpegIsSkippedAndTheRunGoesOn) {
    MessageCapture quiet;
    const std::vector<Rgb> a = writeWithCodec("a.jpg", 8, 8, 1);
    const std::vector<Rgb> b = writeWithCodec("b.jpg", 8, 8, 2);
    std::ofstream(path("damaged.jpg")) << "this is not a JPEG file at all, just text";
    std::ofstream(path("empty.jpg")).close();
    const RunResult r = run({"-m", "stack", "-o", path("out.bmp"), path("a.jpg"),
                             path("damaged.jpg"), path("empty.jpg"), path("b.jpg")});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("Problem loading " + path("damaged.jpg") + "...ignoring\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("Problem loading " + path("empty.jpg") + "...ignoring\n"),
              std::string::npos);
    EXPECT_EQ(readBmp("out.bmp", 8, 8), expectedResult({a, b}, 0, 1));
}

TEST_F(CliFormats, SettingsFileIsReadAndSwitchesOverrideIt) {
    writeBmp("a.bmp", 1, 1, {{100, 150, 200}});
    writeBmp("b.bmp", 1, 1, {{200, 50, 10}});
    std::ofstream(path("q.ini")) << "[General]\r\ncombine_mode=3\r\nlow_pass_threshold=0\r\n";
    RunResult r =
        run({"--settings", path("q.ini"), "-o", path("out.bmp"), path("a.bmp"), path("b.bmp")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBmp("out.bmp", 1, 1), (std::vector<Rgb>{{100, 150, 200}}));  // brighten

    r = run({"--settings=" + path("q.ini"), "-m", "stack", "-o", path("out.bmp"), path("a.bmp"),
             path("b.bmp")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBmp("out.bmp", 1, 1), expectedResult({{{100, 150, 200}}, {{200, 50, 10}}}, 0, 1));

    r = run({"--settings", path("missing.ini"), "-o", path("out.bmp"), path("a.bmp")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.ini"), std::string::npos);
}

}  // namespace
