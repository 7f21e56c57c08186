#include "settings/settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <locale.h>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const kDefaultText =
    "[General]\n"
    "Divisor=1.000000\n"
    "Gamma=2.200000\n"
    "presetGammaCurve=0\n"
    "jpeg_quality=96\n"
    "combine_mode=0\n"
    "low_pass_threshold=0\n"
    "high_pass_threshold=255\n"
    "launch_after_processing=1\n"
    "autosuggest_output_name=1\n"
    "useNoiseReduction=0\n"
    "darkFrameFile=\n"
    "darkFrameOpacity=1.000000\n";

ProgramOptions defaults() {
    ProgramOptions options;
    setDefaultOptions(options);
    return options;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> listDirectory(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "settingsXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ini = dir + "/quorvane.ini";
    }
    void TearDown() override {
        setSettingsDirectory("");
        fs::remove_all(dir);
    }
    // Loads text as a settings file into options.
    int load(const std::string& text, ProgramOptions& options) {
        writeText(ini, text);
        return loadSettingsFile(ini, options);
    }

    std::string dir;
    std::string ini;
};

TEST_F(SettingsFile, DefaultsRoundTripBesideTheChosenDirectory) {
    setSettingsDirectory(dir);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 0);
    EXPECT_EQ(settingsPath(), ini);

    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        setDefaultOptions(programOptions);
    }
    saveSettings();
    EXPECT_EQ(readText(ini), kDefaultText);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 1);

    writeText(ini, "[General]\nGamma=3.5\ncombine_mode=2\n");
    loadSettings();
    std::lock_guard<std::mutex> lock(optionsMutex);
    EXPECT_EQ(programOptions.Gamma, 3.5);
    EXPECT_EQ(programOptions.combine_mode, 2);
    EXPECT_EQ(programOptions.Divisor, 1.0);
}

TEST(SettingsPath, DefaultsToTheExecutableDirectory) {
    setSettingsDirectory("");
    buildSettingsPath(kSettingsFileName);
    const std::string& path = settingsPath();
    ASSERT_GT(path.size(), std::string("/quorvane.ini").size());
    std::string directory = path.substr(0, path.size() - std::string("quorvane.ini").size());
    EXPECT_EQ(path.substr(directory.size()), "quorvane.ini");
    struct stat status {};
    EXPECT_EQ(stat((directory + "settings_tests").c_str(), &status), 0) << directory;
}

TEST_F(SettingsFile, ExistenceIsAStatusQueryNotAPattern) {
    // As a pattern, "[a]*?" matches "ab" but not itself.
    const std::string literal = dir + "/[a]*?";
    const std::string lookalike = dir + "/ab";
    ASSERT_EQ(mkdir(literal.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(lookalike.c_str(), 0755), 0);

    writeText(lookalike + "/quorvane.ini", kDefaultText);
    setSettingsDirectory(literal);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 0);
    writeText(literal + "/quorvane.ini", kDefaultText);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 1);

    // A directory of that name is no settings file.
    setSettingsDirectory(dir);
    ASSERT_EQ(mkdir(ini.c_str(), 0755), 0);
    EXPECT_EQ(settingsFileExists(kSettingsFileName), 0);
}

TEST_F(SettingsFile, AbsentEmptyAndMarkerValuesKeepTheField) {
    ProgramOptions options = defaults();
    options.Divisor = 4.0;
    options.darkFrameFile = "/keep.bmp";
    ASSERT_EQ(load("[General]\nGamma=\nDivisor=$$$$\njpeg_quality=50\ndarkFrameFile=\n", options),
              0);
    EXPECT_EQ(options.Gamma, 2.2);
    EXPECT_EQ(options.Divisor, 4.0);
    EXPECT_EQ(options.darkFrameFile, "/keep.bmp");
    EXPECT_EQ(options.jpeg_quality, 50);
    EXPECT_EQ(options.high_pass_threshold, 255);

    ProgramOptions untouched = defaults();
    EXPECT_EQ(loadSettingsFile(dir + "/missing.ini", untouched), -1);
    EXPECT_EQ(untouched.Gamma, 2.2);
}

TEST_F(SettingsFile, IntegerConversionsOfHostileText) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    struct Case {
        const char* key;
        const char* value;
        int32_t ProgramOptions::*field;
        int32_t expected;
    };
    const Case cases[] = {
        {"jpeg_quality", "80.9", &ProgramOptions::jpeg_quality, 80},
        {"jpeg_quality", " \t-42xyz", &ProgramOptions::jpeg_quality, -42},
        {"low_pass_threshold", "+17", &ProgramOptions::low_pass_threshold, 17},
        {"presetGammaCurve", "abc", &ProgramOptions::presetGammaCurve, 0},
        {"high_pass_threshold", "99999999999999999999", &ProgramOptions::high_pass_threshold, kMax},
        {"combine_mode", "-99999999999", &ProgramOptions::combine_mode, kMin},
        {"useNoiseReduction", "2", &ProgramOptions::useNoiseReduction, 2},
        {"launch_after_processing", "0.99", &ProgramOptions::launch_after_processing, 0},
        {"launch_after_processing", "1.7", &ProgramOptions::launch_after_processing, 1},
        {"launch_after_processing", "1e300", &ProgramOptions::launch_after_processing, kMax},
        {"launch_after_processing", "-1e300", &ProgramOptions::launch_after_processing, kMin},
        {"launch_after_processing", "nan", &ProgramOptions::launch_after_processing, 0},
        {"autosuggest_output_name", "-2.9", &ProgramOptions::autosuggest_output_name, -2},
        {"autosuggest_output_name", "1e3", &ProgramOptions::autosuggest_output_name, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        ProgramOptions options = defaults();
        options.*c.field = 12345;
        ASSERT_EQ(load(std::string("[General]\n") + c.key + "=" + c.value + "\n", options), 0);
        EXPECT_EQ(options.*c.field, c.expected);
    }
}

TEST_F(SettingsFile, DoubleConversionsOfHostileText) {
    struct Case {
        const char* key;
        const char* value;
        double ProgramOptions::*field;
        double expected;
    };
    const Case cases[] = {
        {"Gamma", "abc", &ProgramOptions::Gamma, 0.0},
        {"Gamma", " 1.5e1x", &ProgramOptions::Gamma, 15.0},
        {"Gamma", "0x10", &ProgramOptions::Gamma, 0.0},
        {"Gamma", "+-3", &ProgramOptions::Gamma, 0.0},
        {"Divisor", "+.5", &ProgramOptions::Divisor, 0.5},
        {"Divisor", "nan", &ProgramOptions::Divisor, 0.0},
        {"Divisor", "-inf", &ProgramOptions::Divisor, 0.0},
        {"Divisor", "1e999", &ProgramOptions::Divisor, 0.0},
        {"darkFrameOpacity", "0.25", &ProgramOptions::darkFrameOpacity, 0.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        ProgramOptions options = defaults();
        options.*c.field = 123.0;
        ASSERT_EQ(load(std::string("[General]\n") + c.key + "=" + c.value + "\n", options), 0);
        EXPECT_EQ(options.*c.field, c.expected);
    }
}

TEST_F(SettingsFile, ValuesRoundTripAndLongOnesAreCut) {
    ProgramOptions saved = defaults();
    saved.darkFrameFile = "/photos/dark frames/a=b; c [1].tif";
    saved.Divisor = 3.25;
    saved.Gamma = 1.8;
    saved.combine_mode = 3;
    saved.useNoiseReduction = 1;
    ASSERT_EQ(saveSettingsFile(ini, saved), 0);
    EXPECT_NE(readText(ini).find("\ndarkFrameFile=/photos/dark frames/a=b; c [1].tif\n"),
              std::string::npos);

    ProgramOptions loaded = defaults();
    ASSERT_EQ(loadSettingsFile(ini, loaded), 0);
    EXPECT_EQ(loaded.darkFrameFile, saved.darkFrameFile);
    EXPECT_EQ(loaded.Divisor, 3.25);
    EXPECT_EQ(loaded.Gamma, 1.8);
    EXPECT_EQ(loaded.combine_mode, 3);
    EXPECT_EQ(loaded.useNoiseReduction, 1);

    ASSERT_EQ(load("[General]\ndarkFrameFile=" + std::string(600, 'x') + "\n", loaded), 0);
    EXPECT_EQ(loaded.darkFrameFile, std::string(511, 'x'));

    saved.darkFrameFile = std::string(1000, 'y');
    ASSERT_EQ(saveSettingsFile(ini, saved), 0);
    EXPECT_NE(readText(ini).find("\ndarkFrameFile=" + std::string(511, 'y') + "\n"),
              std::string::npos);
    EXPECT_EQ(readText(ini).find(std::string(512, 'y')), std::string::npos);
}

TEST_F(SettingsFile, CrlfAndForeignContentAreReadThenDropped) {
    ProgramOptions options = defaults();
    ASSERT_EQ(load("\xEF\xBB\xBF; written by hand\r\n"
                   "[Other]\r\nGamma=9.0\r\n"
                   "[ general ]\r\n"
                   "  jpeg_quality = 70\r\n"
                   "Gamma=1.8\r\n"
                   "Gamma=7.0\r\n"
                   "darkFrameFile=/a b/c.tif\r\n"
                   "unknown=1\r\n",
                   options),
              0);
    EXPECT_EQ(options.Gamma, 1.8);
    EXPECT_EQ(options.jpeg_quality, 70);
    EXPECT_EQ(options.darkFrameFile, "/a b/c.tif");

    ASSERT_EQ(saveSettingsFile(ini, options), 0);
    std::string text = readText(ini);
    EXPECT_EQ(text.rfind("[General]\nDivisor=1.000000\nGamma=1.800000\n", 0), 0u) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find("Other"), std::string::npos);
    EXPECT_EQ(text.find("unknown"), std::string::npos);
    EXPECT_EQ(text.find('['), text.rfind('['));
}

TEST_F(SettingsFile, FailedSaveLeavesThePreviousFileIntact) {
    ASSERT_EQ(saveSettingsFile(ini, defaults()), 0);
    ProgramOptions changed = defaults();
    changed.Gamma = 5.0;

    // Tests run as root, where permissions stop nothing; a file-size limit stops root too.
    struct rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    struct rlimit tiny = previous;
    tiny.rlim_cur = 16;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    int result = saveSettingsFile(ini, changed);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readText(ini), kDefaultText);
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"quorvane.ini"});

    EXPECT_EQ(saveSettingsFile(dir + "/no/such/dir/quorvane.ini", changed), -1);

    const std::string blocked = dir + "/blocked";
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((blocked + "/quorvane.ini").c_str(), 0755), 0);
    EXPECT_EQ(saveSettingsFile(blocked + "/quorvane.ini", changed), -1);
    EXPECT_EQ(listDirectory(blocked), std::vector<std::string>{"quorvane.ini"});
    EXPECT_EQ(loadSettingsFile(blocked + "/quorvane.ini", changed), -1);
}

// The desktop toolkit sets the process locale from the environment; a decimal comma there
// must not leak into the file in either direction.
TEST_F(SettingsFile, DecimalCommaLocaleChangesNothing) {
    std::string name;
    for (const char* candidate : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8"}) {
        if (locale_t probe = newlocale(LC_NUMERIC_MASK, candidate, nullptr)) {
            freelocale(probe);
            name = candidate;
            break;
        }
    }
    if (name.empty()) {
        // None installed: compile a numeric-only locale (localedef complains about the
        // missing categories and exits 1, but writes the locale).
        const std::string source = dir + "/comma.src";
        writeText(source,
                  "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\n"
                  "END LC_NUMERIC\n");
        std::string command =
            "localedef -c -i '" + source + "' '" + dir + "/qv_COMMA' >/dev/null 2>&1";
        [[maybe_unused]] int status = std::system(command.c_str());
        setenv("LOCPATH", dir.c_str(), 1);
        name = "qv_COMMA";
    }
    bool switched = std::setlocale(LC_NUMERIC, name.c_str()) != nullptr;
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 2.5);
    if (!switched || std::string(probe) != "2,5") {
        std::setlocale(LC_NUMERIC, "C");
        unsetenv("LOCPATH");
        GTEST_SKIP() << "no decimal-comma locale available";
    }

    int saved = saveSettingsFile(ini, defaults());
    std::string text = readText(ini);
    ProgramOptions loaded = defaults();
    int read = load("[General]\nGamma=2.5\nDivisor=0.75\n", loaded);
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");

    EXPECT_EQ(saved, 0);
    EXPECT_EQ(text, kDefaultText);
    EXPECT_EQ(read, 0);
    EXPECT_EQ(loaded.Gamma, 2.5);
    EXPECT_EQ(loaded.Divisor, 0.75);
}

}  // namespace
