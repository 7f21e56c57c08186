// Whole runs from the Start button through the worker and progress threads on real files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include <algorithm>
#include <mutex>
#include <string_view>
#include <tuple>

#include "engine/image.h"
#include "engine/stack.h"
#include "support/images.h"
#include "ui/preview.h"
#include "window_fixture.h"

namespace {

// A frame of one grey value, saved through the codecs.
void writeFrame(const std::string& path, int width, int height, uint8_t value) {
    Image image = makeRgbImage(width, height, {});
    std::fill(pixelData(image), pixelData(image) + image.dataSize, value);
    runOptions.jpeg_quality = 90;
    ASSERT_EQ(writeImage(image, path.c_str()), 0) << path;
    freePixels(image.pixels);
}

// What a run rejecting bright frames reports for those named "bright*", through the error
// channel as the run does; and the status line shown meanwhile, once there is one.
Strings statusSeen;
std::mutex statusSeenMutex;  // loaders read on several threads
int readReportingBright(Image& image, const char* file) {
    if (std::string_view(file).find("/bright") != std::string_view::npos)
        reportError("Rejected %s: too bright (%.1f > %.1f)\n", file, 200.0, 20.0);
    std::string status;
    for (int waited = 0; status.empty() && waited < 2000; waited += 10, sleepMs(10))
        status = getDlgItemText(mainWindow, IDC_STATUS, 1023);
    {
        std::lock_guard<std::mutex> lock(statusSeenMutex);
        statusSeen.push_back(status);
    }
    return readImage(image, file);
}

class ProcessingTest : public WindowTest {
  protected:
    void addFiles(const Strings& files) {
        drop(IDC_LIST_FILES, files);
        simulateTyping(mainWindow, IDC_OUTPUT_NAME, output());
    }
    std::string output() const { return path("out.bmp"); }
    // Start, then keep the interface running until the run and both threads have ended.
    void run() {
        simulateClick(mainWindow, IDC_START);
        ASSERT_TRUE(waitForRunEnd());
        processEvents(50);  // control updates the threads queued last
    }
    int shown(const std::string& box) const {
        return static_cast<int>(std::count(boxes.begin(), boxes.end(), box));
    }
};

// What could only fail or destroy an input is refused before any thread starts (16 bits
// included, for a format that holds 8); a run that writes the output says so or shows it,
// whatever an earlier Stop left behind; one that could not write it says only why.
TEST_F(ProcessingTest, StartRefusesBeforeAnyThreadOrRunsToTheEnd) {
    ASSERT_TRUE(open());
    for (const char* name : {"a.bmp", "b.jpg", "c.bmp"})
        writeFrame(path(name), 8, 6, static_cast<uint8_t>((name[0] - 'a' + 1) * 10));
    const std::string badDivisor = "Error: Divisor must be a number greater than 0";
    // The format layer's own words, as its check before a run reports them.
    boxes.clear();
    checkOutputFormat(path("out.gif").c_str());
    const std::string badFormat = boxes.at(0);
    const std::string badDepth = "Error: " + outputDepthProblem(path("out.jpg"), 16);
    ASSERT_NE(badDepth, "Error: ");
    programOptions.useNoiseReduction = 1;  // the dark frame is an input as well
    programOptions.darkFrameFile = path("dark.bmp");
    // Star trails: comet trails, a video on the output or the dark frame, a time-lapse image on
    // an input (through a link), a folder that cannot be made.
    const auto trails = [&](int setup) {
        programOptions.cometLength = setup == 1 ? 5 : 0;
        programOptions.videoFile = setup == 2 ? output() : setup == 3 ? path("dark.bmp") : "";
        programOptions.timelapseFolder = setup == 4   ? path("tl")
                                         : setup == 5 ? path("c.bmp/tl")
                                                      : "";
        programOptions.timelapseEvery = setup >= 2 ? 2 : 0;
    };
    std::filesystem::create_directory(path("tl"));
    std::filesystem::create_symlink(path("a.bmp"), path("tl/out_00002.bmp"));
    const std::string badVideo = "Error: The video file is one of the input images or the output";
    const std::string isInput = "Error: The output file is one of the input images";
    const std::tuple<std::string, int, const char*, int, std::string, int> refusals[] = {
        {"", IDC_MODE_STACK, "1", 8, "Error: No input images", 0},
        {path("out.gif"), IDC_MODE_STACK, "1", 16, badFormat, 0},
        {path("out.jpg"), IDC_MODE_STACK, "1", 16, badDepth, 0},
        {output(), IDC_MODE_STACK, "1", 16, badDepth, 0},
        {path("a.bmp"), IDC_MODE_STACK, "1", 8, isInput, 0},
        {path("dark.bmp"), IDC_MODE_STACK, "1", 8, isInput, 0},
        {output(), IDC_MODE_MIX, "0", 8, badDivisor, 0},
        {output(), IDC_MODE_MIX, "-2", 8, badDivisor, 0},
        {output(), IDC_MODE_MIX, "inf", 8, badDivisor, 0},
        {output(), IDC_MODE_MIX, "abc", 8, badDivisor, 0},
        {output(), IDC_MODE_AVERAGE, "1", 8,
         "Error: Comet trails need the stack, mix or brighten mode, not average", 1},
        {output(), IDC_MODE_STACK, "1", 8, badVideo, 2},
        {output(), IDC_MODE_STACK, "1", 8, badVideo, 3},
        {output(), IDC_MODE_STACK, "1", 8,
         "Error: The time-lapse images would overwrite an input image or the output", 4},
        {output(), IDC_MODE_STACK, "1", 8,
         "Error: Cannot create the time-lapse folder '" + path("c.bmp/tl") + "': Not a directory",
         5}};
    for (const auto& [name, mode, divisor, depth, box, setup] : refusals) {
        SCOPED_TRACE(name + " " + divisor + " " + std::to_string(depth * 10 + setup));
        if (!name.empty() && listCount(listView) == 0)
            addFiles({path("c.bmp"), path("a.bmp"), path("b.jpg")});
        boxes.clear();
        programOptions.outputDepth = depth;  // no run is going
        trails(setup);
        simulateTyping(mainWindow, IDC_OUTPUT_NAME, name);
        simulateClick(mainWindow, mode);
        simulateTyping(mainWindow, IDC_DIVISOR, divisor);
        simulateClick(mainWindow, IDC_START);
        EXPECT_EQ(boxes, Strings{box});
        EXPECT_EQ(busy.load() + runThreadsActive(), 0);
    }

    programOptions.useNoiseReduction = 0;
    programOptions.outputDepth = 8;
    trails(0);
    simulateClick(mainWindow, IDC_MODE_STACK);
    const std::string finished = "Complete: Processing Finished";
    const std::string unwritable = path("missing/out.bmp");
    const Strings notWritten = {"Error: writeBMP, could not open file"};
    struct Case {
        std::string name;
        int launch, shell;
        bool leftoverStop;  // a Stop that came too late for an earlier run
        Strings boxes;
        int depth = 8;
    };
    const Case cases[] = {
        {output(), 0, 42, false, {finished}},
        {output(), 0, 42, true, {finished}},
        {output(), 1, 42, false, {}},
        {output(), 1, 2, false, {finished}},
        // Nothing written: the error says so, and no "finished" box or viewer follows it.
        {unwritable, 0, 42, false, notWritten},
        {unwritable, 1, 42, false, notWritten},
        {path("out.png"), 0, 42, false, {finished}, 16},
        {path("out.tiff"), 0, 42, false, {finished}, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + std::to_string(c.launch * 100 + c.shell + c.leftoverStop * 1000));
        std::filesystem::remove(c.name);
        simulateTyping(mainWindow, IDC_OUTPUT_NAME, c.name);
        boxes.clear();
        opened.clear();
        programOptions.launch_after_processing = c.launch;  // no run is going
        programOptions.outputDepth = c.depth;
        shellResult = c.shell;
        stopRequest.store(c.leftoverStop ? 1 : 0);
        run();
        const bool written = c.name != unwritable;
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_EQ(opened, c.launch == 1 && written ? Strings{c.name} : Strings{});
        EXPECT_EQ(imageCounter.load(), 3);
        ASSERT_EQ(std::filesystem::exists(c.name), written);
        if (written) {
            Image result;
            ASSERT_EQ(readImage(result, c.name.c_str()), 0);
            EXPECT_EQ(result.width * 10 + result.height, 86);
            EXPECT_EQ(result.bitsPerPixel, c.depth == 16 ? 64 : 32);
            freePixels(result.pixels);
        }
        EXPECT_EQ(
            text(IDC_STATUS) + std::to_string(progressPos(getDlgItem(mainWindow, IDC_PROGRESS))),
            "0");
    }
}

TEST_F(ProcessingTest, BadFileIsReportedAndTheRunGoesOnUnlessStopped) {
    ASSERT_TRUE(open());
    std::ofstream(path("a.bmp")) << "not an image at all";
    writeFrame(path("b.bmp"), 8, 6, 10);
    writeFrame(path("c.jpg"), 8, 6, 30);
    programOptions.launch_after_processing = 1;  // the viewer only for this run's own output
    addFiles({path("b.bmp"), path("a.bmp"), path("c.jpg")});
    const std::string problem = "Problem loading " + path("a.bmp") + "...ignoring\n";
    // While the run waits on the box, a second Start is refused.
    int pressed = IDC_START;
    onBox = [&](const std::string& box) {
        if (box == problem)
            simulateClick(mainWindow, pressed);
    };
    run();
    EXPECT_EQ(shown("Error: " + problem), 1);
    EXPECT_EQ(imageCounter.load(), 2);
    EXPECT_EQ(opened, Strings{output()});
    EXPECT_EQ(shown("Complete: Processing Finished"), 0);

    // Stop pressed while the box is open: the run ends at its next check and writes nothing.
    std::filesystem::remove(output());
    pressed = IDC_STOP;
    run();
    EXPECT_EQ(shown("Error: " + problem), 2);
    EXPECT_FALSE(std::filesystem::exists(output()));
    EXPECT_EQ(stopRequest.load(), 0);

    // Nothing combined: the file an earlier run left is neither presented nor announced as
    // the result.
    std::ofstream(output()) << "older";
    listSetSelected(listView, 1, true);
    listSetSelected(listView, 2, true);
    simulateClick(mainWindow, IDC_REMOVE_SELECTED);
    onBox = nullptr;
    run();
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_EQ(shown("Complete: Processing Finished"), 0);
}

// The rejected frames of a run are listed in one box as it ends, before the run's own; the
// status line names the effects the run applies; Start makes the time-lapse folder.
TEST_F(ProcessingTest, RejectionsInOneBoxEffectsOnTheStatusLine) {
    ASSERT_TRUE(open());
    const Strings names = {"a.bmp", "bright1.bmp", "c.bmp", "bright2.bmp"};
    Strings files;
    for (const std::string& name : names) {
        files.push_back(path(name));
        writeFrame(files.back(), 8, 6, 40);
    }
    addFiles(files);
    setImageFileHandlers(readReportingBright, writeImage);
    programOptions.cometLength = 3, programOptions.reverseOrder = 1;
    programOptions.timelapseFolder = path("frames/night"), programOptions.timelapseEvery = 2;
    programOptions.rejectBright = 1, programOptions.launch_after_processing = 0;
    statusSeen.clear();
    run();
    const std::string rejected = "Rejected Frames: Rejected " + files[3] +
                                 ": too bright (200.0 > 20.0)\nRejected " + files[1] +
                                 ": too bright (200.0 > 20.0)";
    EXPECT_EQ(boxes, (Strings{rejected, "Complete: Processing Finished"}));
    EXPECT_TRUE(std::filesystem::is_directory(path("frames/night")));
    ASSERT_FALSE(statusSeen.empty());
    for (const std::string& status : statusSeen)
        EXPECT_TRUE(
            status.ends_with(" (comet 3, reversed, time-lapse every 2, rejecting bright frames)"))
            << status;
    // A run with nothing rejected shows no such box.
    programOptions.rejectBright = 0, programOptions.timelapseEvery = 0;
    installImageFileHandlers();
    boxes.clear();
    run();
    EXPECT_EQ(boxes, Strings{"Complete: Processing Finished"});
}

// The title of the Preview window while it shows, or "" when it is hidden.
std::string previewTitle() {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible() && top->windowTitle().startsWith("Preview"))
            return top->windowTitle().toStdString();
    return "";
}

// "Show Preview on Start" in the View menu switches programOptions.showPreview, with its check
// mark; Start opens the Preview window only when it is set, and there the window ends showing
// the written output.
TEST_F(ProcessingTest, ThePreviewOpensOnStartWhenAskedAndShowsTheOutput) {
    ASSERT_TRUE(open());
    writeFrame(path("a.bmp"), 8, 6, 40);
    addFiles({path("a.bmp")});
    for (const bool toggle : {false, true, true}) {
        if (toggle)
            command(IDM_PREVIEW_ON_START);
        const bool wanted = programOptions.showPreview == 1;
        EXPECT_EQ(isMenuItemChecked(mainWindow, IDM_PREVIEW_ON_START), wanted);
        showPreviewWindow(false);
        run();
        EXPECT_EQ(previewWindowShown(), wanted);
        EXPECT_EQ(isMenuItemChecked(mainWindow, IDM_PREVIEW), wanted);
        if (wanted) {
            EXPECT_TRUE(pumpUntil([&] { return previewTitle() == "Preview - " + output(); }))
                << previewTitle();
        }
    }
    EXPECT_EQ(programOptions.showPreview, 1);
}

TEST_F(ProcessingTest, ClosingDuringARunStopsItThenSaves) {
    ASSERT_TRUE(open());
    // Enough work that the run is still going when Start returns after its pause.
    writeFrame(path("big.jpg"), 1600, 1200, 40);
    addFiles(Strings(400, path("big.jpg")));
    simulateClick(mainWindow, IDC_MODE_BRIGHTEN);
    simulateClick(mainWindow, IDC_START);
    if (busy.load() == 0)
        GTEST_SKIP() << "the run ended before it could be interrupted";
    simulateClose(mainWindow);
    EXPECT_EQ(mainWindow, nullptr);
    EXPECT_EQ(runThreadsActive(), 0);
    EXPECT_LT(imageCounter.load(), 400);
    EXPECT_FALSE(std::filesystem::exists(output()));
    EXPECT_TRUE(boxes.empty());
    EXPECT_NE(savedSettings().find("combine_mode=3\n"), std::string::npos) << savedSettings();
}

}  // namespace
