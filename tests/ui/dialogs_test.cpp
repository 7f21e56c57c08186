// The Options, Noise Reduction, Output Options and Star Trails dialogs, driven headless as a
// user would drive them; Help and About.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <tuple>

#include "engine/system.h"
#include "imageio/filenames.h"
#include "ui/dialogs.h"
#include "window_fixture.h"

using namespace std::string_literals;

namespace {

namespace fs = std::filesystem;

using DialogTest = WindowTest;

// Resource ids of templates 200, 400, 500 and 600.
constexpr int kQuality = 201, kQualityValue = 203, kGamma = 207, kLowPass = 209, kHighPass = 210,
              kOptionsOk = 215, kOptionsCancel = 216, kLaunch = 217, kAutosuggest = 219,
              kSrgb = 221, kHighContrast = 222, kCustom = 223, kDarkFrameFile = 401, kNoiseOk = 402,
              kNoiseCancel = 403, kBrowse = 404, kOpacity = 405, kOpacityValue = 414,
              kUseNoiseReduction = 415, kDepth = 503, kCompression = 505, kOutputOk = 507,
              kOutputCancel = 508, kKeepMetadata = 509, kWhiteBalance = 512, kHalfSize = 513,
              kComet = 602, kCometLength = 603, kReverse = 605, kFolder = 608, kBrowseFolder = 609,
              kEvery = 611, kVideo = 614, kBrowseVideo = 615, kFps = 617, kReject = 620,
              kRejectLimit = 621, kStarOk = 623, kStarCancel = 624, kFillGaps = 625,
              kGapWidth = 626;

const char* const kGammaMessage =
    "Gamma must be between 0.2 and 10.0 (typical values are between 1.5 and 2.8)";
const char* const kLowMessage =
    "Low pass threshold must be between 0 and 255 (typical values are between 0 and 50)";
const char* const kHighMessage =
    "High pass threshold must be between 0 and 255 (typical values are between 150 and 255)";

// Opens the dialog for user, who must close it; one left open is ended and fails the test.
void run(int templateId, const std::function<void(Window*)>& user) {
    bool leftOpen = false;
    whenModalShown([&](Window* dialog) {
        user(dialog);
        if ((leftOpen = activeDialog() == dialog))
            endDialog(dialog, 0);
    });
    DialogProc proc = templateId == IDD_OPTIONS ? optionsDialogProc : noiseReductionDialogProc;
    EXPECT_EQ(dialogBox(templateId, nullptr, proc), 0);
    EXPECT_FALSE(leftOpen) << "the dialog was still open";
}

std::string item(Window* dialog, int id) {
    return getDlgItemText(dialog, id, 1023);
}
std::string position(Window* dialog, int id) {
    return std::to_string(trackbarPos(getDlgItem(dialog, id)));
}
// Gamma|low|high|quality label|quality position|checked among sRGB, High Contrast, Custom,
// Launch, Autosuggest (s h c L A).
std::string optionsShown(Window* d) {
    std::string shown = item(d, kGamma) + "|" + item(d, kLowPass) + "|" + item(d, kHighPass) + "|" +
                        item(d, kQualityValue) + "|" + position(d, kQuality) + "|";
    const int marked[] = {kSrgb, kHighContrast, kCustom, kLaunch, kAutosuggest};
    for (int i = 0; i < 5; ++i)
        if (isDlgButtonChecked(d, marked[i]))
            shown += "shcLA"[i];
    return shown;
}
// Dark frame|opacity label|opacity position|U when noise reduction is checked.
std::string noiseShown(Window* d) {
    return item(d, kDarkFrameFile) + "|" + item(d, kOpacityValue) + "|" + position(d, kOpacity) +
           (isDlgButtonChecked(d, kUseNoiseReduction) ? "|U" : "|");
}
// The record's gamma|curve|low|high|quality|launch|autosuggest.
std::string stored() {
    const ProgramOptions& o = programOptions;
    char text[160];
    std::snprintf(text, sizeof text, "%g|%d|%d|%d|%d|%d|%d", o.Gamma, o.presetGammaCurve,
                  o.low_pass_threshold, o.high_pass_threshold, o.jpeg_quality,
                  o.launch_after_processing, o.autosuggest_output_name);
    return text;
}

// Every way out but OK leaves the record alone, so each round opens on the defaults again;
// after OK, on the values stored.
TEST_F(DialogTest, DefaultsShownOnlyOkStoresAndReopeningShowsIt) {
    using Close = std::function<void(Window*, int cancel, int ok)>;
    const Close closers[] = {
        [](Window* dialog, int cancel, int) { simulateClick(dialog, cancel); },
        [](Window* dialog, int, int) { simulateKey(dialog, kKeyEscape); },
        [](Window* dialog, int, int) { simulateClose(dialog); },
        [](Window* dialog, int cancel, int) {
            simulateKey(dialog, kKeyEnter);  // in the edit typed last
            EXPECT_EQ(activeDialog(), dialog);
            simulateClick(dialog, cancel);
        },
        [](Window* dialog, int, int ok) { simulateClick(dialog, ok); },
        [](Window* dialog, int cancel, int) { simulateClick(dialog, cancel); },
    };
    testing::internal::CaptureStdout();
    for (const Close& close : closers) {
        const bool afterOk = &close - closers > 4;
        run(IDD_OPTIONS, [&](Window* dialog) {
            EXPECT_EQ(optionsShown(dialog),
                      afterOk ? "3.000|5|255|40|40|cA" : "2.200|0|255|96|96|sLA");
            simulateClick(dialog, kCustom);
            simulateClick(dialog, kLaunch);
            simulateTrackbar(dialog, kQuality, 40);
            simulateTyping(dialog, kLowPass, "5");
            simulateTyping(dialog, kGamma, "3");
            close(dialog, kOptionsCancel, kOptionsOk);
        });
        run(IDD_NOISE_REDUCTION, [&](Window* dialog) {
            EXPECT_EQ(noiseShown(dialog), afterOk ? "/elsewhere.jpg|29|29|U" : "|100|100|");
            simulateClick(dialog, kUseNoiseReduction);
            simulateTrackbar(dialog, kOpacity, 29);  // 0.29 × 100 is just below 29
            simulateTyping(dialog, kDarkFrameFile, "/elsewhere.jpg");
            close(dialog, kNoiseCancel, kNoiseOk);
        });
    }
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(stored(), "3|99|5|255|40|0|1");
    EXPECT_EQ(programOptions.darkFrameOpacity, 0.29);
    EXPECT_TRUE(boxes.empty());
    // Enter is the platform's OK command (id 1), which leaves only its trace.
    for (const char* trace : {"In INIT_DIALOG", "WM_COMMAND received: HIWORD | LOWORD = 0 | 1\n",
                              "WM_COMMAND received: wParam (LO|HI) = 1 | 0, lParam = 0\n"})
        EXPECT_NE(log.find(trace), std::string::npos) << trace << log;
}

TEST_F(DialogTest, OptionsRangeChecks) {
    struct Row {
        const char *gamma, *low, *high;
        int radio;
        const char* message;  // nullptr: accepted
        const char* stored = "2.2|0|0|255|96|1|1";
    };
    const Row rows[] = {
        {"0.2", "12.9", "255", kSrgb, nullptr, "0.2|0|12|255|96|1|1"},
        {"10.0", "-0.5", "255.99", kCustom, nullptr, "10|99|0|255|96|1|1"},  // toward zero
        {" 2.5 volts", "200", "100", kHighContrast, nullptr, "2.5|1|200|100|96|1|1"},
        {"3", "", "junk", kCustom, nullptr, "3|99|0|0|96|1|1"},  // no number reads as 0
        {"0.19", "0", "255", kSrgb, kGammaMessage},              // checked even when not in use
        {"10.01", "0", "255", kCustom, kGammaMessage},
        {"", "0", "255", kSrgb, kGammaMessage},
        {"nan", "0", "255", kCustom, kGammaMessage},
        {"inf", "300", "255", kCustom, kGammaMessage},  // the first failure is the one shown
        {"2.2", "256", "255", kSrgb, kLowMessage},
        {"2.2", "-1", "255", kSrgb, kLowMessage},
        {"2.2", "nan", "255", kSrgb, kLowMessage},
        {"2.2", "-3000000000", "255", kSrgb, kLowMessage},  // does not fit an int
        {"2.2", "0", "256", kSrgb, kHighMessage},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.gamma) + " | " + row.low + " | " + row.high);
        setDefaultOptions(programOptions);
        boxes.clear();
        run(IDD_OPTIONS, [&](Window* dialog) {
            simulateClick(dialog, row.radio);
            simulateTyping(dialog, kGamma, row.gamma);
            simulateTyping(dialog, kLowPass, row.low);
            simulateTyping(dialog, kHighPass, row.high);
            simulateClick(dialog, kOptionsOk);
            if (row.message) {  // refused: still open, with the user's text
                EXPECT_EQ(item(dialog, kGamma) + item(dialog, kLowPass) + item(dialog, kHighPass),
                          std::string(row.gamma) + row.low + row.high);
                simulateClick(dialog, kOptionsCancel);
            }
        });
        EXPECT_EQ(boxes, row.message ? Strings{": "s + row.message} : Strings{});
        EXPECT_EQ(stored(), row.stored);
    }
}

// Values from the settings file are shown within the controls' ranges, and stored so on OK;
// the dark frame's Browse starts at the edit's file and fills in only the edit.
TEST_F(DialogTest, SettingsFileValuesShownWithinRangeAndDarkFrameBrowse) {
    programOptions.jpeg_quality = 0;
    programOptions.presetGammaCurve = 7;  // checks no button; OK then means custom
    run(IDD_OPTIONS, [&](Window* dialog) {
        EXPECT_EQ(optionsShown(dialog), "2.200|0|255|1|1|LA");
        simulateClick(dialog, kOptionsOk);
    });
    EXPECT_EQ(stored(), "2.2|99|0|255|1|1|1");

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, int> opacities[] = {{1.5, 100}, {0.0, 1},     {-5.0, 1},
                                                {0.005, 1}, {1e300, 100}, {-1e300, 1},
                                                {inf, 100}, {-inf, 100},  {nan, 100}};
    for (const auto& [opacity, shown] : opacities) {
        SCOPED_TRACE(opacity);
        programOptions.darkFrameOpacity = opacity;
        run(IDD_NOISE_REDUCTION, [&](Window* dialog) {
            EXPECT_EQ(item(dialog, kOpacityValue), std::to_string(shown));
            simulateClick(dialog, kNoiseOk);
        });
        EXPECT_EQ(programOptions.darkFrameOpacity, shown / 100.0);
    }

    // Browse starts at the dark frame shown (never at the last input, a light frame).
    lastFileLocation = "/photos/night/img_0001.jpg";
    programOptions.darkFrameFile = "/old/dark.jpg";
    const std::string pick = "/photos/night/dark frame.jpg";
    run(IDD_NOISE_REDUCTION, [&](Window* dialog) {
        simulateClick(dialog, kBrowse);  // cancelled
        EXPECT_EQ(item(dialog, kDarkFrameFile), "/old/dark.jpg");
        answers = {pick + "\0\0"s};
        simulateClick(dialog, kBrowse);
        EXPECT_EQ(noiseShown(dialog), pick + "|100|100|");  // browsing checks nothing
        simulateTyping(dialog, kDarkFrameFile, "");
        simulateClick(dialog, kBrowse);  // cancelled
        simulateTyping(dialog, kDarkFrameFile, pick);
        simulateClick(dialog, kNoiseOk);
    });
    EXPECT_EQ(programOptions.darkFrameFile, pick);
    EXPECT_EQ(lastFileLocation, "/photos/night/img_0001.jpg");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(
        requests[0].initialLocation + requests[1].initialLocation + requests[2].initialLocation,
        "/old/dark.jpg/old/dark.jpg");
    EXPECT_EQ(requests[0].title, "Select dark frame file");
    EXPECT_TRUE(requests[0].fileMustExist && !requests[0].save && !requests[0].multiSelect);
}

// Tools > Output Options... shows the record's choices; OK stores the picks, which the settings
// file keeps for the next start.
TEST_F(DialogTest, OutputOptionsStoredAndShownAgainAfterRestart) {
    const std::string eight = "8 bits per sample", sixteen = "16 bits per sample (TIFF and PNG)";
    const std::string byDepth = "Default (PackBits at 8 bits, Deflate at 16 bits)";
    const std::string defaults = eight + "|" + byDepth + "|As shot (camera)|M";
    const std::tuple<int, int, int, bool, int, std::string> rows[] = {
        // depth, compression and balance picked, both boxes clicked, the button that closes,
        // shown after the restart (M, H: metadata, half size checked)
        {1, 2, 1, true, kOutputOk, sixteen + "|Deflate|Daylight|H"},
        {0, 3, 0, false, kOutputOk, eight + "|LZW|As shot (camera)|M"},
        {1, 4, 1, true, kOutputCancel, defaults},
    };
    const auto shown = [](Window* d) {
        return item(d, kDepth) + "|" + item(d, kCompression) + "|" + item(d, kWhiteBalance) + "|" +
               (isDlgButtonChecked(d, kKeepMetadata) ? "M" : "") +
               (isDlgButtonChecked(d, kHalfSize) ? "H" : "");
    };
    for (const auto& [depth, compression, balance, clicked, closer, after] : rows) {
        SCOPED_TRACE(after);
        std::filesystem::remove(path("quorvane.ini"));
        for (const bool restarted : {false, true}) {
            ASSERT_TRUE(open());
            whenModalShown([&](Window* dialog) {
                EXPECT_EQ(shown(dialog), restarted ? after : defaults);
                simulateChoice(dialog, kDepth, depth);
                simulateChoice(dialog, kCompression, compression);
                simulateChoice(dialog, kWhiteBalance, balance);
                if (clicked)
                    for (const int id : {kKeepMetadata, kHalfSize})
                        simulateClick(dialog, id);
                simulateClick(dialog, restarted ? kOutputCancel : closer);
            });
            command(IDM_OUTPUT_OPTIONS);
            EXPECT_EQ(activeDialog(), mainWindow);
            simulateClose(mainWindow);
        }
    }
    EXPECT_TRUE(boxes.empty());
}

// Tools > Star Trails... checks on OK only what is switched on (the frame rate always, like
// the gamma value); the settings file brings the choices back after a restart. Without a
// folder or a video no time-lapse step is kept.
TEST_F(DialogTest, StarTrailsCheckedOnOkAndShownAgainAfterRestart) {
    struct Row {
        bool comet;
        const char* length;
        bool reverse, gaps;
        const char *width, *folder, *every, *video, *fps;
        bool reject;
        const char* limit;
        const char* message;  // nullptr: accepted
        std::string after;    // shown after the restart
    };
    const std::string defaults = "||||3||1||25||5";
    const char *badComet = "Comet length must be between 2 and 100000 frames",
               *badStep = "Time-lapse step must be between 1 and 100000 images",
               *badRate = "Frame rate must be between 1 and 240 frames per second",
               *badLimit = "Bright frame limit must be a number greater than 0",
               *badGap = "Gap width must be between 1 and 8 pixels";
    const Row rows[] = {
        {true, "30", true, true, "8", "/tl", "5", "/v.mp4", "30", true, "3.5", nullptr,
         "C|30|R|G|8|/tl|5|/v.mp4|30|B|3.5"},
        {false, "x", false, false, "x", "", "x", "", "24", false, "x", nullptr, "||||3||1||24||5"},
        {true, "100000", false, true, "1.9", "", "2.9", "/v.mp4", "12.7", false, "", nullptr,
         "C|100000||G|1||2|/v.mp4|12||5"},
        {true, "1.9", false, false, "", "", "1", "", "25", false, "", badComet, defaults},
        {true, "100001", false, false, "", "", "1", "", "25", false, "", badComet, defaults},
        {false, "", false, true, "0", "", "1", "", "25", false, "", badGap, defaults},
        {false, "", false, true, "9", "", "1", "", "25", false, "", badGap, defaults},
        {false, "", false, false, "", "/tl", "0", "", "25", false, "", badStep, defaults},
        {false, "", false, false, "", "", "100001", "/v.mp4", "25", false, "", badStep, defaults},
        {false, "", false, false, "", "", "1", "", "0", false, "", badRate, defaults},
        {false, "", false, false, "", "", "1", "/v.mp4", "241", false, "", badRate, defaults},
        {false, "", false, false, "", "", "1", "", "25", true, "0", badLimit, defaults},
        {false, "", false, false, "", "", "1", "", "25", true, "nan", badLimit, defaults},
    };
    const auto shown = [](Window* d) {
        return (isDlgButtonChecked(d, kComet) ? "C|" : "|") + item(d, kCometLength) + "|" +
               (isDlgButtonChecked(d, kReverse) ? "R|" : "|") +
               (isDlgButtonChecked(d, kFillGaps) ? "G|" : "|") + item(d, kGapWidth) + "|" +
               item(d, kFolder) + "|" + item(d, kEvery) + "|" + item(d, kVideo) + "|" +
               item(d, kFps) + "|" + (isDlgButtonChecked(d, kReject) ? "B|" : "|") +
               item(d, kRejectLimit);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.after + (row.message ? row.message : ""));
        std::filesystem::remove(path("quorvane.ini"));
        boxes.clear();
        for (const bool restarted : {false, true}) {
            ASSERT_TRUE(open());
            whenModalShown([&](Window* dialog) {
                EXPECT_EQ(shown(dialog), restarted ? row.after : defaults);
                for (const auto& [id, on] : {std::pair{kComet, row.comet},
                                             {kReverse, row.reverse},
                                             {kFillGaps, row.gaps},
                                             {kReject, row.reject}})
                    if (on && !restarted)
                        simulateClick(dialog, id);
                for (const auto& [id, text] : {std::pair{kCometLength, row.length},
                                               {kGapWidth, row.width},
                                               {kFolder, row.folder},
                                               {kEvery, row.every},
                                               {kVideo, row.video},
                                               {kFps, row.fps},
                                               {kRejectLimit, row.limit}})
                    simulateTyping(dialog, id, text);
                simulateClick(dialog, restarted ? kStarCancel : kStarOk);
                if (activeDialog() == dialog)  // refused: still open
                    simulateClick(dialog, kStarCancel);
            });
            command(IDM_STAR_TRAILS);
            EXPECT_EQ(activeDialog(), mainWindow);
            simulateClose(mainWindow);
        }
        EXPECT_EQ(boxes, row.message ? Strings{": "s + row.message} : Strings{});
    }

    // The folder's Browse picks a folder; the video's saves, and a name without an extension
    // gets the video's.
    ASSERT_TRUE(open());
    answers = {"/photos/tl\0\0"s, "/my.photos/night\0\0"s};
    whenModalShown([&](Window* dialog) {
        simulateClick(dialog, kBrowseFolder);
        simulateClick(dialog, kBrowseVideo);
        simulateClick(dialog, kBrowseVideo);  // cancelled
        EXPECT_EQ(item(dialog, kFolder) + "|" + item(dialog, kVideo),
                  "/photos/tl|/my.photos/night.mp4");
        simulateClick(dialog, kStarCancel);
    });
    command(IDM_STAR_TRAILS);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[0].folder && !requests[0].save);
    EXPECT_TRUE(!requests[1].folder && requests[1].save && requests[1].promptOverwrite);
    EXPECT_EQ(requests[1].nameFilter + requests[2].initialLocation,
              "Video Files (*.mp4)/my.photos/night.mp4");
}

TEST_F(DialogTest, AboutThenHelpPageBesideTheExecutableOrBuiltInText) {
    // Name, maker line and address, each centred with spaces in its width (73, 73, 74); an odd
    // remainder goes right.
    const std::string banner = std::string(32, ' ') + "Quorvane" + std::string(33, ' ') + "\n" +
                               std::string(21, ' ') + "Made by the Quorvane developers" +
                               std::string(21, ' ') + "\n" + std::string(21, ' ') +
                               "(https://quorvane.example.org/)" + std::string(22, ' ');
    ASSERT_TRUE(open());
    command(IDM_ABOUT);
    EXPECT_EQ(boxes, Strings{"About: " + banner + "\n\n" + std::string(28, ' ') +
                             "Version:" + programVersion()});
    boxes.clear();

    std::string directory;
    getModuleDirectory(directory);
    const fs::path helpDir = fs::path(directory) / "help", page = helpDir / "quorvane_help.htm";
    if (directory.empty() || fs::exists(page))
        GTEST_SKIP() << "no place for a test page";
    const bool madeDir = fs::create_directories(helpDir);
    const fs::path oldCwd = fs::current_path();

    // Present: handed to the shell without a box, also from another current directory.
    std::ofstream(page) << "<html></html>\n";
    fs::current_path(fs::temp_directory_path());
    command(IDM_HELP);
    fs::current_path(oldCwd);
    EXPECT_EQ(opened, Strings{page.string()});
    EXPECT_TRUE(boxes.empty());

    // The built-in text stands in when no program shows the page, for a directory of that
    // name, and when there is nothing at all.
    shellResult = 31;
    command(IDM_HELP);
    fs::remove(page);
    fs::create_directory(page);
    command(IDM_HELP);
    fs::remove(page);
    if (madeDir)
        fs::remove(helpDir);
    command(IDM_HELP);
    EXPECT_EQ(opened.size(), 2u);
    ASSERT_EQ(boxes, Strings(3, boxes[0]));
    const std::string head = "Help: " + banner + "\n\n\n";
    ASSERT_TRUE(boxes[0].starts_with(head)) << boxes[0];
    const std::string help = boxes[0].substr(head.size());
    // The wording is the program's own, spelling slips included.
    EXPECT_TRUE(help.starts_with(
        "Quorvane combines multiple digital images into a single image.  It does this \n"))
        << help;
    EXPECT_TRUE(help.ends_with("\nand leaves out frames much brighter than their neighbours."));
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 31);
}

}  // namespace
