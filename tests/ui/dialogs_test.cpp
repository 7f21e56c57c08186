// The Options and Noise Reduction dialogs, driven headless as a user would drive them.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/options.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"
#include "ui/ui.h"

namespace {

// Resource ids of templates 200 and 400.
constexpr int kQuality = 201, kQualityValue = 203, kGamma = 207, kLowPass = 209, kHighPass = 210,
              kOptionsOk = 215, kOptionsCancel = 216, kLaunch = 217, kAutosuggest = 219,
              kSrgb = 221, kHighContrast = 222, kCustom = 223;
constexpr int kDarkFrameFile = 401, kNoiseOk = 402, kNoiseCancel = 403, kBrowse = 404,
              kOpacity = 405, kOpacityValue = 414, kUseNoiseReduction = 415;

const char* const kGammaMessage =
    "Gamma must be between 0.2 and 10.0 (typical values are between 1.5 and 2.8)";
const char* const kLowMessage =
    "Low pass threshold must be between 0 and 255 (typical values are between 0 and 50)";
const char* const kHighMessage =
    "High pass threshold must be between 0 and 255 (typical values are between 150 and 255)";

std::string text(Window* dialog, int id) {
    return getDlgItemText(dialog, id, 1023);
}

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = programOptions;
        setDefaultOptions(programOptions);
        PlatformHooks hooks;
        hooks.messageBox = [this](Window* owner, const std::string& message,
                                  const std::string& caption, unsigned flags) {
            boxes.push_back(message);
            EXPECT_EQ(owner, activeDialog());
            EXPECT_EQ(caption, "");
            EXPECT_EQ(flags, MB_OK);
            return IDOK;
        };
        hooks.fileDialog = [this](const FileDialogRequest& request, std::string& selection) {
            requests.push_back(request);
            selection = pick + std::string(2, '\0');
            return !pick.empty();
        };
        setPlatformHooks(hooks);
    }
    void TearDown() override {
        setPlatformHooks({});
        programOptions = saved_;
    }

    // Opens the dialog for user, who must close it; one left open is ended and fails the test.
    void run(int templateId, DialogProc proc, const std::function<void(Window*)>& user) {
        bool leftOpen = false;
        whenModalShown([&](Window* dialog) {
            user(dialog);
            if ((leftOpen = activeDialog() == dialog))
                endDialog(dialog, 0);
        });
        EXPECT_EQ(dialogBox(templateId, nullptr, proc), 0);
        EXPECT_FALSE(leftOpen) << "the dialog was still open";
    }
    void runOptions(const std::function<void(Window*)>& user) {
        run(IDD_OPTIONS, optionsDialogProc, user);
    }
    void runNoise(const std::function<void(Window*)>& user) {
        run(IDD_NOISE_REDUCTION, noiseReductionDialogProc, user);
    }

    std::vector<std::string> boxes;
    std::vector<FileDialogRequest> requests;
    std::string pick;  // the file dialog's answer; empty: the user cancels

  private:
    ProgramOptions saved_;
};

TEST_F(DialogTest, DefaultsShown) {
    runOptions([&](Window* dialog) {
        EXPECT_EQ(text(dialog, kGamma), "2.200");
        EXPECT_TRUE(isDlgButtonChecked(dialog, kSrgb));
        EXPECT_FALSE(isDlgButtonChecked(dialog, kHighContrast) ||
                     isDlgButtonChecked(dialog, kCustom));
        EXPECT_EQ(text(dialog, kLowPass), "0");
        EXPECT_EQ(text(dialog, kHighPass), "255");
        EXPECT_EQ(trackbarPos(getDlgItem(dialog, kQuality)), 96);
        EXPECT_EQ(text(dialog, kQualityValue), "96");
        EXPECT_TRUE(isDlgButtonChecked(dialog, kLaunch) &&
                    isDlgButtonChecked(dialog, kAutosuggest));
        simulateClick(dialog, kOptionsCancel);
    });
    runNoise([&](Window* dialog) {
        EXPECT_FALSE(isDlgButtonChecked(dialog, kUseNoiseReduction));
        EXPECT_EQ(text(dialog, kDarkFrameFile), "");
        EXPECT_EQ(trackbarPos(getDlgItem(dialog, kOpacity)), 100);
        EXPECT_EQ(text(dialog, kOpacityValue), "100");
        simulateClick(dialog, kNoiseCancel);
    });
}

TEST_F(DialogTest, OptionsRangeChecks) {
    struct Row {
        const char *gamma, *low, *high;
        int radio;
        const char* message;  // nullptr: accepted, and then the stored values
        double storedGamma = 0;
        int storedPreset = 0, storedLow = 0, storedHigh = 0;
    };
    const Row rows[] = {
        {"0.2", "12.9", "255", kSrgb, nullptr, 0.2, 0, 12, 255},
        {"10.0", "-0.5", "255.99", kCustom, nullptr, 10.0, 99, 0, 255},  // toward zero
        {" 2.5 volts", "200", "100", kHighContrast, nullptr, 2.5, 1, 200, 100},
        {"3", "", "junk", kCustom, nullptr, 3.0, 99, 0, 0},  // no number reads as 0
        {"0.19", "0", "255", kCustom, kGammaMessage},
        {"10.01", "0", "255", kCustom, kGammaMessage},
        {"0.1", "0", "255", kSrgb, kGammaMessage},  // checked even when not in use
        {"", "0", "255", kSrgb, kGammaMessage},
        {"nan", "0", "255", kCustom, kGammaMessage},
        {"inf", "300", "255", kCustom, kGammaMessage},  // the first failure is the one shown
        {"1e999", "0", "255", kCustom, kGammaMessage},
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
        runOptions([&](Window* dialog) {
            simulateClick(dialog, row.radio);
            simulateTyping(dialog, kGamma, row.gamma);
            simulateTyping(dialog, kLowPass, row.low);
            simulateTyping(dialog, kHighPass, row.high);
            simulateClick(dialog, kOptionsOk);
            if (row.message) {  // refused: still open, with the user's text
                EXPECT_EQ(text(dialog, kGamma) + text(dialog, kLowPass) + text(dialog, kHighPass),
                          std::string(row.gamma) + row.low + row.high);
                simulateClick(dialog, kOptionsCancel);
            }
        });
        if (row.message) {
            EXPECT_EQ(boxes, std::vector<std::string>{row.message});
            EXPECT_EQ(programOptions.Gamma, 2.2);
            EXPECT_EQ(programOptions.presetGammaCurve, 0);
            EXPECT_EQ(programOptions.low_pass_threshold, 0);
        } else {
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(programOptions.Gamma, row.storedGamma);
            EXPECT_EQ(programOptions.presetGammaCurve, row.storedPreset);
            EXPECT_EQ(programOptions.low_pass_threshold, row.storedLow);
            EXPECT_EQ(programOptions.high_pass_threshold, row.storedHigh);
        }
    }
}

TEST_F(DialogTest, OptionsStoredAndShownAgain) {
    programOptions.jpeg_quality = 0;  // as a settings file may hold it
    runOptions([&](Window* dialog) {
        EXPECT_EQ(text(dialog, kQualityValue), "1");
        simulateClick(dialog, kOptionsOk);
    });
    EXPECT_EQ(programOptions.jpeg_quality, 1);

    runOptions([&](Window* dialog) {
        simulateClick(dialog, kCustom);
        simulateTyping(dialog, kGamma, "2.5");
        simulateTrackbar(dialog, kQuality, 73);
        EXPECT_EQ(text(dialog, kQualityValue), "73");
        simulateClick(dialog, kLaunch);
        simulateClick(dialog, kAutosuggest);
        simulateClick(dialog, kOptionsOk);
    });
    EXPECT_EQ(programOptions.jpeg_quality, 73);
    EXPECT_EQ(programOptions.launch_after_processing + programOptions.autosuggest_output_name, 0);
    runOptions([&](Window* dialog) {
        EXPECT_EQ(text(dialog, kGamma), "2.500");
        EXPECT_TRUE(isDlgButtonChecked(dialog, kCustom));
        EXPECT_EQ(trackbarPos(getDlgItem(dialog, kQuality)), 73);
        EXPECT_FALSE(isDlgButtonChecked(dialog, kLaunch) ||
                     isDlgButtonChecked(dialog, kAutosuggest));
        simulateClick(dialog, kOptionsCancel);
    });

    // An unknown curve from the settings file checks no button; OK then means custom.
    programOptions.presetGammaCurve = 7;
    runOptions([&](Window* dialog) {
        EXPECT_FALSE(isDlgButtonChecked(dialog, kSrgb) ||
                     isDlgButtonChecked(dialog, kHighContrast) ||
                     isDlgButtonChecked(dialog, kCustom));
        simulateClick(dialog, kOptionsOk);
    });
    EXPECT_EQ(programOptions.presetGammaCurve, 99);
}

TEST_F(DialogTest, CancelEscapeAndCloseBoxStoreNothing) {
    const std::function<void(Window*, int)> closers[] = {
        [](Window* dialog, int cancel) { simulateClick(dialog, cancel); },
        [](Window* dialog, int) { simulateKey(dialog, kKeyEscape); },
        [](Window* dialog, int) { simulateClose(dialog); },
    };
    programOptions.darkFrameFile = "/data/dark.tif";
    for (const auto& close : closers) {
        runOptions([&](Window* dialog) {
            simulateClick(dialog, kCustom);
            simulateTyping(dialog, kGamma, "3");
            simulateTyping(dialog, kLowPass, "5");
            simulateTrackbar(dialog, kQuality, 40);
            simulateClick(dialog, kLaunch);
            close(dialog, kOptionsCancel);
        });
        runNoise([&](Window* dialog) {
            simulateClick(dialog, kUseNoiseReduction);
            simulateTyping(dialog, kDarkFrameFile, "/elsewhere.jpg");
            simulateTrackbar(dialog, kOpacity, 10);
            close(dialog, kNoiseCancel);
        });
        const ProgramOptions& o = programOptions;
        EXPECT_EQ(o.Gamma, 2.2);
        EXPECT_EQ(o.presetGammaCurve, 0);
        EXPECT_EQ(o.low_pass_threshold, 0);
        EXPECT_EQ(o.jpeg_quality, 96);
        EXPECT_EQ(o.launch_after_processing, 1);
        EXPECT_EQ(o.useNoiseReduction, 0);
        EXPECT_EQ(o.darkFrameFile, "/data/dark.tif");
        EXPECT_EQ(o.darkFrameOpacity, 1.0);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(DialogTest, EnterInAnEditDoesNotConfirm) {
    testing::internal::CaptureStdout();
    runOptions([&](Window* dialog) {
        simulateTyping(dialog, kGamma, "3");
        simulateKey(dialog, kKeyEnter);
        EXPECT_EQ(activeDialog(), dialog);
        simulateClick(dialog, kOptionsCancel);
    });
    runNoise([&](Window* dialog) {
        simulateTyping(dialog, kDarkFrameFile, "/tmp/dark.jpg");
        simulateKey(dialog, kKeyEnter);
        EXPECT_EQ(activeDialog(), dialog);
        simulateClick(dialog, kNoiseCancel);
    });
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(programOptions.Gamma, 2.2);
    EXPECT_EQ(programOptions.darkFrameFile, "");
    // Enter arrives as the platform's OK command (id 1) and leaves only its trace.
    EXPECT_NE(log.find("In INIT_DIALOG"), std::string::npos);
    EXPECT_NE(log.find("WM_COMMAND received: wParam (LO|HI) = 1 | 0, lParam = 0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("WM_COMMAND received: HIWORD | LOWORD = 0 | 1\n"), std::string::npos) << log;
}

TEST_F(DialogTest, OpacityPositions) {
    // Every position survives OK and reopening (opacity × 100 is rounded, not truncated).
    for (int position = 1; position <= 100; ++position) {
        runNoise([&](Window* dialog) {
            simulateTrackbar(dialog, kOpacity, position);
            EXPECT_EQ(text(dialog, kOpacityValue), std::to_string(position));
            simulateClick(dialog, kNoiseOk);
        });
        EXPECT_EQ(programOptions.darkFrameOpacity, position / 100.0);
        runNoise([&](Window* dialog) {
            EXPECT_EQ(trackbarPos(getDlgItem(dialog, kOpacity)), position);
            simulateClick(dialog, kNoiseCancel);
        });
    }
    // Values a settings file may hold.
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int> rows[] = {
        {1.5, 100}, {0.0, 1},     {-5.0, 1},
        {0.005, 1}, {1e300, 100}, {-1e300, 1},
        {inf, 100}, {-inf, 100},  {std::numeric_limits<double>::quiet_NaN(), 100},
    };
    for (const auto& [opacity, shown] : rows) {
        SCOPED_TRACE(opacity);
        programOptions.darkFrameOpacity = opacity;
        runNoise([&](Window* dialog) {
            EXPECT_EQ(text(dialog, kOpacityValue), std::to_string(shown));
            simulateClick(dialog, kNoiseOk);
        });
        EXPECT_EQ(programOptions.darkFrameOpacity, shown / 100.0);
    }
}

TEST_F(DialogTest, DarkFrameFileAndBrowse) {
    lastFileLocation = "/photos/night/img_0001.jpg";
    programOptions.darkFrameFile = "/old/dark.jpg";
    runNoise([&](Window* dialog) {
        simulateClick(dialog, kBrowse);  // cancelled
        EXPECT_EQ(text(dialog, kDarkFrameFile), "/old/dark.jpg");
        pick = "/photos/night/dark frame.jpg";
        simulateClick(dialog, kBrowse);
        EXPECT_EQ(text(dialog, kDarkFrameFile), pick);
        simulateClick(dialog, kNoiseCancel);
    });
    EXPECT_EQ(programOptions.darkFrameFile, "/old/dark.jpg");
    EXPECT_EQ(lastFileLocation, "/photos/night/img_0001.jpg");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].title, "Select dark frame file");
    EXPECT_EQ(requests[0].initialLocation, "/photos/night/img_0001.jpg");
    EXPECT_TRUE(requests[0].fileMustExist && !requests[0].save && !requests[0].multiSelect);

    runNoise([&](Window* dialog) {
        simulateClick(dialog, kBrowse);
        EXPECT_FALSE(isDlgButtonChecked(dialog, kUseNoiseReduction));  // browsing checks nothing
        simulateClick(dialog, kUseNoiseReduction);
        simulateClick(dialog, kNoiseOk);
    });
    EXPECT_EQ(programOptions.darkFrameFile, pick);
    EXPECT_EQ(programOptions.useNoiseReduction, 1);

    // Nothing is checked on OK: an empty name is the run's problem.
    runNoise([&](Window* dialog) {
        simulateTyping(dialog, kDarkFrameFile, "");
        simulateClick(dialog, kNoiseOk);
    });
    EXPECT_EQ(programOptions.darkFrameFile, "");
    EXPECT_EQ(programOptions.useNoiseReduction, 1);
}

}  // namespace
