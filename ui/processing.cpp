#include "ui/processing.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/messages.h"
#include "engine/options.h"
#include "engine/stack.h"
#include "imageio/imageio.h"
#include "ui/mainwindow.h"
#include "ui/preview.h"
#include "ui/ui.h"

namespace {

// What one run owns: its arguments, and the output name it was started with (the record may
// name another file by the time the run completes).
struct RunRequest {
    std::vector<std::string> arguments;
    std::string outputName;
};

struct ProgressRequest {
    Window* window = nullptr;
    Window* bar = nullptr;
    int imageCount = 1;
    std::string effects;  // what the status line adds in parentheses; empty: nothing
};

std::atomic<int> activeThreads{0};
std::atomic<bool> closing{false};
// Inputs combined so far and inputs given, as the run reports them; the progress thread polls
// them for the bar.
std::atomic<int> combinedInputs{0};
std::atomic<int> totalInputs{0};

void launchThread(void (*body)(void*), void* parameter) {
    activeThreads.fetch_add(1);
    if (!startThread(body, parameter))
        fatalError("CreateThread Failed!");
    uiLog("Thread started...\n\n");
}

// A run reports each frame it leaves out as too bright; they are listed in one box when it
// ends, since a box per frame would hold the run up at every one of them.
constexpr std::string_view kRejectedPrefix = "Rejected ";
std::mutex rejectionsMutex;
std::vector<std::string> rejections;

std::string withoutLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

void showError(const std::string& text) {
    if (text.starts_with(kRejectedPrefix)) {
        std::lock_guard<std::mutex> lock(rejectionsMutex);
        rejections.push_back(withoutLineEnds(text));
        return;
    }
    messageBox(nullptr, text, "Error", MB_ICONERROR);
}

void showRejections() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(rejectionsMutex);
        lines.swap(rejections);
    }
    if (lines.empty() || closing.load())
        return;
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    messageBox(mainWindow, text, "Rejected Frames", MB_ICONINFORMATION);
}

// The run's effects beyond its mode, as the status line names them.
std::string runEffects(const ProgramOptions& options) {
    std::vector<std::string> effects;
    if (options.cometLength > 0)
        effects.push_back("comet " + std::to_string(options.cometLength));
    if (options.reverseOrder == 1)
        effects.push_back("reversed");
    if (options.fillGaps > 0)
        effects.push_back("fill gaps " + std::to_string(options.fillGaps));
    if (options.timelapseEvery > 0)
        effects.push_back("time-lapse every " + std::to_string(options.timelapseEvery));
    if (options.rejectBright == 1)
        effects.push_back("rejecting bright frames");
    std::string text;
    for (const std::string& effect : effects)
        text += (text.empty() ? "" : ", ") + effect;
    return text;
}

// The engine's status line with the run's effects after it: "Combining data... (comet 30,
// reversed)". The engine's texts end in a line end, which the label would show as an empty line.
std::string statusWithEffects(const std::string& status, const std::string& effects) {
    if (effects.empty() || status.empty())
        return status;
    return withoutLineEnds(status) + " (" + effects + ")";
}

bool refuseStart(const std::string& text) {
    messageBox(mainWindow, text, "Error", MB_ICONERROR);
    return false;
}

// As on the command line: neither the video nor any image the time-lapse may write is an input,
// the dark frame or the output, and the folder exists afterwards.
bool prepareTimelapse(const ProgramOptions& options, const RunRequest& request,
                      const std::string& dark) {
    std::vector<std::string> protect = request.arguments;
    protect.push_back(request.outputName);
    if (!options.videoFile.empty() && outputIsInput(options.videoFile, protect, dark) != 0)
        return refuseStart("The video file is one of the input images or the output");
    const std::string& folder = options.timelapseFolder;
    if (folder.empty())
        return true;
    // A frame after every K-th input and one after the last.
    const int inputs = static_cast<int>(request.arguments.size()) - 1;
    for (int k = 1; k <= inputs / options.timelapseEvery + 1; ++k) {
        if (outputIsInput(timelapseFrameName(folder, request.outputName, k), protect, dark) != 0)
            return refuseStart(
                "The time-lapse images would overwrite an input image or the output");
    }
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error) &&
        !std::filesystem::create_directories(folder, error))
        return refuseStart("Cannot create the time-lapse folder '" + folder +
                           "': " + error.message());
    return true;
}

void logText(const std::string& text) {
    uiLog("%s", text.c_str());
}

void noteProgress(const RunProgress& progress) {
    totalInputs.store(progress.total);
    if (progress.phase == RunProgress::Phase::Combining)
        combinedInputs.store(progress.index);
}

const MessageSink desktopSink{logText, showError, logText, noteProgress};

}  // namespace

void installDesktopMessageSink() {
    installMessageSink(&desktopSink);
}

int runThreadsActive() {
    return activeThreads.load();
}

void setShuttingDown(bool shuttingDown) {
    closing.store(shuttingDown);
}

void buildInputFileList() {
    const int count = listCount(listView);
    uiLog("%d items in list\n", count);
    std::vector<std::string> arguments(1);
    arguments.reserve(static_cast<std::size_t>(count) + 1);
    for (int i = 0; i < count; ++i) {
        arguments.push_back(listItemText(listView, i, 0, kPathMax));
        uiLog("Getting: %s\n", arguments.back().c_str());
    }
    std::lock_guard<std::mutex> lock(optionsMutex);
    programOptions.inputFiles = std::move(arguments);
    programOptions.inputFileCount = count + 1;
}

void startProcessing(Window* window) {
    if (listCount(listView) == 0) {
        messageBox(mainWindow, "No input images", "Error", MB_OK);
        return;
    }
    // While the window closes, a run that has just ended must not be followed by another.
    if (busy.load() != 0 || closing.load()) {
        uiLog("Cannot start while processing is already happening...\n");
        return;
    }
    uiLog("Start\n");
    readControlsIntoOptions(window);

    auto request = std::make_unique<RunRequest>();
    ProgramOptions options;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        options = programOptions;
    }
    dumpOptions(options);
    request->arguments = std::move(options.inputFiles);
    request->outputName = options.outputName;

    // Refuse what could only fail or destroy an input, before anything is loaded.
    if (checkOutputFormat(request->outputName.c_str()) != 0)
        return;
    const std::string depthProblem = outputDepthProblem(request->outputName, options.outputDepth);
    if (!depthProblem.empty()) {
        messageBox(mainWindow, depthProblem, "Error", MB_ICONERROR);
        return;
    }
    const std::string dark = options.useNoiseReduction != 0 ? options.darkFrameFile : "";
    if (outputIsInput(request->outputName, request->arguments, dark) != 0) {
        messageBox(mainWindow, "The output file is one of the input images", "Error", MB_ICONERROR);
        return;
    }
    if (options.combine_mode == MODE_MIX &&
        !(std::isfinite(options.Divisor) && options.Divisor > 0.0)) {
        messageBox(mainWindow, "Divisor must be a number greater than 0", "Error", MB_ICONERROR);
        return;
    }
    if (options.cometLength != 0 && options.combine_mode == MODE_AVERAGE) {
        refuseStart("Comet trails need the stack, mix or brighten mode, not average");
        return;
    }
    if (options.fillGaps != 0 && options.combine_mode != MODE_BRIGHTEN) {
        refuseStart("Filling gaps needs the brighten mode");
        return;
    }
    // An existing output the user may not write stays as it is; say so before the run, not after.
    if (checkOutputWritable(request->outputName.c_str()) != 0)
        return;
    if (options.timelapseEvery > 0 && !prepareTimelapse(options, *request, dark))
        return;

    // A Stop that came too late for the previous run must not cancel this one.
    stopRequest.store(0);
    combinedInputs.store(0);
    totalInputs.store(0);
    busy.store(1);
    auto progress = std::make_unique<ProgressRequest>();
    progress->window = window;
    progress->bar = getDlgItem(window, IDC_PROGRESS);
    progress->imageCount = std::max(1, static_cast<int>(request->arguments.size()) - 1);
    progress->effects = runEffects(options);
    {
        std::lock_guard<std::mutex> lock(rejectionsMutex);
        rejections.clear();
    }

    preparePreview(options.showPreview != 0);

    launchThread(processingThread, request.release());
    sleepMs(200);
    launchThread(progressThread, progress.release());
}

void stopProcessing() {
    uiLog("Stop\n");
    if (busy.load() != 0)
        stopRequest.store(1);
}

void processingThread(void* parameter) {
    std::unique_ptr<RunRequest> request(static_cast<RunRequest*>(parameter));
    RunContext context = snapshotRunContext();
    attachPreview(context);
    const int result =
        runProcessing(context, static_cast<int>(request->arguments.size()), request->arguments);
    const bool wrote = outputWritten.load() == 1;
    if (result == 0 && wrote)
        previewOutput(request->outputName);
    request->arguments.clear();
    showRejections();
    // A run that wrote nothing has said why in its error boxes; "finished" would read as success,
    // and an older file of the same name is not this run's result to present.
    if (result == 0 && wrote && !closing.load()) {
        int launch = 0;
        {
            std::lock_guard<std::mutex> lock(optionsMutex);
            launch = programOptions.launch_after_processing;
        }
        if (launch == 1 && shellOpen(mainWindow, request->outputName) > 32) {
            uiLog("Launching image in default viewer...\n");
        } else {
            messageBox(mainWindow, "Processing Finished", "Complete", MB_OK);
        }
    }
    request.reset();
    activeThreads.fetch_sub(1);
}

void progressThread(void* parameter) {
    std::unique_ptr<ProgressRequest> request(static_cast<ProgressRequest*>(parameter));
    Window* bar = request->bar;
    if (bar != nullptr) {
        while (busy.load() == 1) {
            const int total = totalInputs.load();
            const double percent =
                combinedInputs.load() * 100.0 / (total > 0 ? total : request->imageCount);
            progressSetPos(bar, static_cast<int>(percent));
            setDlgItemText(request->window, IDC_STATUS,
                           statusWithEffects(copyStatusText(), request->effects));
            sleepMs(10);
        }
        progressSetPos(bar, 0);
    }
    setDlgItemText(request->window, IDC_STATUS, "");
    activeThreads.fetch_sub(1);
}
