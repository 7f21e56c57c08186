#include "settings/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "imageio/codec_fixtures.h"

namespace {

const char* const kDefaultText =
    "[General]\nDivisor=1.000000\nGamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\n"
    "combine_mode=0\nlow_pass_threshold=0\nhigh_pass_threshold=255\n"
    "launch_after_processing=1\nautosuggest_output_name=1\nuseNoiseReduction=0\n"
    "darkFrameFile=\ndarkFrameOpacity=1.000000\n";

ProgramOptions defaults() {
    ProgramOptions options;
    setDefaultOptions(options);
    return options;
}

class SettingsFile : public FileTest {
  protected:
    ~SettingsFile() override { setSettingsDirectory(""); }
    int load(const std::string& text, ProgramOptions& options) {
        writeFile(ini, text);
        return loadSettingsFile(ini, options);
    }
    std::string saved(const ProgramOptions& options) {
        EXPECT_EQ(saveSettingsFile(ini, options), 0);
        return readFile<std::string>(ini);
    }
    std::string ini = dir.file("quorvane.ini");
};

// Existence is a status query, not a pattern (as one, "[a]*?" matches "ab" but not itself),
// and only a regular file counts. (The file's place beside the program or in the user's
// folders: MainWindowTest.PortableFolder....)
TEST_F(SettingsFile, GlobalOptionsRoundTripInTheChosenDirectory) {
    const std::string literal = dir.file("[a]*?");
    for (const std::string& folder : {dir.file("ab"), literal, ini})
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    writeFile(dir.file("ab/quorvane.ini"), std::string(kDefaultText));
    setSettingsDirectory(literal);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 0);
    writeFile(literal + "/quorvane.ini", std::string(kDefaultText));
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 1);
    setSettingsDirectory(dir.path);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 0);
    ASSERT_TRUE(std::filesystem::remove(ini));

    EXPECT_EQ(settingsPath(), ini);
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        setDefaultOptions(programOptions);
    }
    saveSettings();
    EXPECT_EQ(readFile<std::string>(ini), kDefaultText);
    writeFile(ini, std::string("[General]\nGamma=3.5\ncombine_mode=2\n"));
    loadSettings();
    std::lock_guard<std::mutex> lock(optionsMutex);
    EXPECT_EQ(std::tuple(programOptions.Gamma, programOptions.combine_mode), std::tuple(3.5, 2));
}

// Each value is read into options that differ from it, then written out again: only its own
// line may change. Values are cut on saving too, so the file never holds what a load drops.
TEST_F(SettingsFile, HostileValuesConvertSaturateOrKeepTheField) {
    const std::string odd = "/dark frames/a=b; c [1].tif", zero = "0.000000", x = "1.000000";
    const struct {
        std::string key;
        std::vector<std::pair<std::string, std::string>> values;  // as read, as written
    } cases[] = {
        {"jpeg_quality", {{"80.9", "80"}, {" \t-42xyz", "-42"}, {"abc", "0"}}},
        {"presetGammaCurve", {{"1", "1"}}},
        {"low_pass_threshold", {{"+17", "17"}}},
        {"high_pass_threshold", {{"99999999999999999999", "2147483647"}}},
        {"combine_mode", {{"-99999999999", "-2147483648"}}},
        {"useNoiseReduction", {{"2", "2"}}},
        {"launch_after_processing",
         {{"0.99", "0"}, {"1e300", "2147483647"}, {"-1e300", "-2147483648"}, {"nan", "0"}}},
        {"autosuggest_output_name", {{"-2.9", "-2"}, {"1e3", "1000"}}},
        {"Gamma", {{"abc", zero}, {" 1.5e1x", "15.000000"}, {"0x10", zero}, {"+-3", zero}}},
        {"Divisor", {{"+.5", "0.500000"}, {"nan", zero}, {"-inf", zero}, {"1e999", zero}}},
        {"Divisor", {{"inf", zero}, {"", x}, {"$$$$", x}}},
        {"darkFrameOpacity", {{"0.25", "0.250000"}}},
        {"darkFrameFile", {{"", "/keep.bmp"}, {"$$$$", "/keep.bmp"}, {odd, odd}}},
        {"darkFrameFile", {{std::string(600, 'x'), std::string(511, 'x')}}},
        {"timelapseFolder", {{"", "/keep"}, {std::string(600, 'x'), std::string(511, 'x')}}},
        {"videoFile", {{odd, odd}}},
    };
    ProgramOptions base = defaults();
    base.darkFrameFile = "/keep.bmp", base.timelapseFolder = "/keep", base.videoFile = "/v.mp4";
    const std::string baseText = saved(base);
    for (const auto& test : cases) {
        for (const auto& [value, result] : test.values) {
            SCOPED_TRACE(test.key + "=" + value);
            ProgramOptions options = base;
            ASSERT_EQ(load("[General]\n" + test.key + "=" + value + "\n", options), 0);
            std::string want = baseText;
            const std::size_t at = want.find("\n" + test.key + "=") + test.key.size() + 2;
            want.replace(at, want.find('\n', at) - at, result);
            EXPECT_EQ(saved(options), want);
        }
    }
    base.darkFrameFile = std::string(1000, 'y');
    EXPECT_NE(saved(base).find("\ndarkFrameFile=" + std::string(511, 'y') + "\n"),
              std::string::npos);
}

// Read then dropped: CRLF, a byte-order mark, foreign sections and keys (the last value wins).
// A save that fails leaves the previous file as it was, and no temporary file beside it.
TEST_F(SettingsFile, ForeignContentIsDroppedAndAFailedSaveKeepsThePreviousFile) {
    const std::string text =
        "\xEF\xBB\xBF; written by hand\r\n[Other]\r\nGamma=9.0\r\n[ general ]\r\n  jpeg_quality "
        "= 70\r\nGamma=1.8\r\nGamma=7.0\r\ndarkFrameFile=/a b/c.tif\r\nunknown=1\r\n";
    ProgramOptions options = defaults(), changed = defaults();
    ASSERT_EQ(load(text, options), 0);
    changed.Gamma = 1.8, changed.jpeg_quality = 70, changed.darkFrameFile = "/a b/c.tif";
    EXPECT_EQ(saved(options), saved(changed));

    ASSERT_EQ(saved(defaults()), kDefaultText);
    EXPECT_EQ(withFileSizeLimit(16, [&] { return saveSettingsFile(ini, changed); }), -1);
    EXPECT_EQ(readFile<std::string>(ini), kDefaultText);
    EXPECT_EQ(dir.list(), Messages{"quorvane.ini"});
    EXPECT_EQ(saveSettingsFile(dir.file("no/such/dir/quorvane.ini"), changed), -1);
    const std::string blocked = dir.file("blocked/quorvane.ini");
    std::filesystem::create_directories(blocked);
    EXPECT_EQ(std::tuple(saveSettingsFile(blocked, changed), loadSettingsFile(blocked, changed)),
              std::tuple(-1, -1));
    EXPECT_EQ(dir.list("blocked"), Messages{"quorvane.ini"});
}

// The output, metadata, RAW, star-trail and preview keys follow the older keys only when not the
// default, so a file from default use stays as it was; a number outside their range reads as
// the default, an absent one keeps the field like any other key. What is written reads back the
// same.
TEST_F(SettingsFile, OutputKeysOnlyWhenNotDefaultOthersReadAsDefault) {
    const std::string output = "outputDepth=16\ntiffCompression=3\n",
                      raw = "keepMetadata=0\nrawDaylight=1\nrawHalfSize=1\n",
                      names = "timelapseFolder=/tl\nvideoFile=/v.mp4\n",
                      star = "cometLength=30\nreverseOrder=1\ntimelapseEvery=5\n" + names +
                             "videoFps=30\nvideoWidth=1920\nrejectBright=1\n"
                             "rejectDeviations=3.500000\nfillGaps=4\nshowPreview=0\n";
    const std::pair<std::string, std::string> rows[] = {
        // read over 16, LZW, no metadata, daylight, half size and the star trails; written
        {"", output + raw + star},
        {"outputDepth=8\ntiffCompression=0\nkeepMetadata=1\nrawDaylight=0\nrawHalfSize=0\n"
         "cometLength=0\nreverseOrder=0\ntimelapseEvery=0\nvideoFps=25\nvideoWidth=0\n"
         "rejectBright=0\nrejectDeviations=5\nfillGaps=0\nshowPreview=1\n",
         names},
        {"tiffCompression=4\noutputDepth=8\nrawHalfSize=0\n",
         "tiffCompression=4\nkeepMetadata=0\nrawDaylight=1\n" + star},
        {"outputDepth= 16.9\ntiffCompression=+2\nkeepMetadata= 1.9\ncometLength=100000\n"
         "timelapseEvery= 7.9\ntimelapseFolder=/other tl\nvideoFps=240\nvideoWidth=16\n"
         "rejectDeviations=0.5\nfillGaps=8.9\n",
         "outputDepth=16\ntiffCompression=2\nrawDaylight=1\nrawHalfSize=1\ncometLength=100000\n"
         "reverseOrder=1\ntimelapseEvery=7\ntimelapseFolder=/other tl\nvideoFile=/v.mp4\n"
         "videoFps=240\nvideoWidth=16\nrejectBright=1\nrejectDeviations=0.500000\nfillGaps=8\n"
         "showPreview=0\n"},
        {"outputDepth=12\ntiffCompression=5\nkeepMetadata=2\nrawDaylight=-1\nrawHalfSize=abc\n"
         "cometLength=1\nreverseOrder=2\ntimelapseEvery=100001\nvideoFps=241\nvideoWidth=15\n"
         "rejectBright=-1\nrejectDeviations=-2\nfillGaps=9\nshowPreview=2\n",
         names},
        {"outputDepth=abc\ntiffCompression=-1\nrawDaylight=99999999999\nvideoFps=0\n"
         "videoWidth=7681\nrejectDeviations=nan\nfillGaps=-1\nshowPreview=-1\n",
         "keepMetadata=0\nrawHalfSize=1\ncometLength=30\nreverseOrder=1\ntimelapseEvery=5\n" +
             names + "rejectBright=1\n"},
        {"outputDepth=$$$$\ntiffCompression=\nkeepMetadata=$$$$\nrawHalfSize=\ncometLength=\n"
         "videoFile=$$$$\nfillGaps=\nshowPreview=$$$$\n",
         output + raw + star},
    };
    const auto fields = [](const ProgramOptions& o) {
        return std::tuple(o.outputDepth, o.tiffCompression, o.keepMetadata, o.rawDaylight,
                          o.rawHalfSize, o.cometLength, o.reverseOrder, o.timelapseEvery,
                          o.timelapseFolder, o.videoFile, o.videoFps, o.videoWidth, o.rejectBright,
                          o.rejectDeviations, o.fillGaps, o.showPreview);
    };
    for (const auto& [read, written] : rows) {
        SCOPED_TRACE(read);
        ProgramOptions options = defaults(), reloaded = defaults();
        options.outputDepth = 16, options.tiffCompression = TIFF_COMPRESSION_LZW;
        options.keepMetadata = 0, options.rawDaylight = 1, options.rawHalfSize = 1;
        options.cometLength = 30, options.reverseOrder = 1, options.timelapseEvery = 5;
        options.timelapseFolder = "/tl", options.videoFile = "/v.mp4", options.videoFps = 30;
        options.videoWidth = 1920, options.rejectBright = 1, options.rejectDeviations = 3.5;
        options.fillGaps = 4, options.showPreview = 0;
        ASSERT_EQ(load("[General]\n" + read, options), 0);
        EXPECT_EQ(saved(options), kDefaultText + written);
        ASSERT_EQ(loadSettingsFile(ini, reloaded), 0);
        EXPECT_EQ(fields(reloaded), fields(options));
    }
}

// The desktop toolkit sets the process locale from the environment; a decimal comma there
// must not leak into the file in either direction. We compile our own numeric-only locale
// (localedef complains about the missing categories and exits 1, but writes it).
TEST_F(SettingsFile, DecimalCommaLocaleChangesNothing) {
    writeFile(dir.file("comma.src"), std::string("LC_NUMERIC\ndecimal_point \",\"\nthousands_sep "
                                                 "\".\"\ngrouping 3;3\nEND LC_NUMERIC\n"));
    const std::string command =
        "localedef -c -i '" + dir.file("comma.src") + "' '" + dir.file("qv_COMMA") + "'";
    [[maybe_unused]] int status = std::system((command + " >/dev/null 2>&1").c_str());
    setenv("LOCPATH", dir.path.c_str(), 1);
    const bool comma = std::setlocale(LC_NUMERIC, "qv_COMMA") != nullptr &&
                       std::string(std::localeconv()->decimal_point) == ",";
    const std::string text = saved(defaults());
    ProgramOptions loaded = defaults();
    const int read = load("[General]\nGamma=2.5\nDivisor=0.75\n", loaded);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    if (!comma)
        GTEST_SKIP() << "no decimal-comma locale available";
    EXPECT_EQ(std::tuple(text, read, loaded.Gamma, loaded.Divisor),
              std::tuple(kDefaultText, 0, 2.5, 0.75));
}

}  // namespace
