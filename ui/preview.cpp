#include "ui/preview.h"

#include <memory>
#include <mutex>

#include "engine/options.h"
#include "engine/preview.h"
#include "imageio/imageio.h"
#include "ui/ui.h"

namespace {

// The first size of the window, in dialog units: about two thirds of the main window's.
constexpr int kFirstWidth = 320, kFirstHeight = 210;

// Made and dropped on the interface thread; the worker thread takes its own reference to the
// feed, so a run keeps it until the run's context goes.
std::mutex previewMutex;
Window* previewWindow = nullptr;
std::shared_ptr<PreviewFeed> feed;
int areaWidth = 0, areaHeight = 0;  // the picture area, device pixels
std::string shownFile;              // the output the window is showing, when it is one
bool showingFile = false;           // a new size loads that file again, in that size

std::shared_ptr<PreviewFeed> currentFeed() {
    std::lock_guard<std::mutex> lock(previewMutex);
    return feed;
}

// Tells the feed the size wanted: none while hidden. An output shown is loaded again in the
// new size rather than stretched.
void wantPictures(bool visible) {
    std::lock_guard<std::mutex> lock(previewMutex);
    if (feed == nullptr)
        return;
    if (!visible) {
        feed->setTargetSize(0, 0);
        return;
    }
    feed->setTargetSize(areaWidth, areaHeight);
    if (showingFile)
        feed->showFile(shownFile, readImagePixels);
}

void hidePreview() {
    wantPictures(false);
    showWindow(previewWindow, false);
    checkMenuItem(mainWindow, IDM_PREVIEW, false);
}

intptr_t previewProc(Window*, unsigned message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
        case WM_SIZE: {
            {
                std::lock_guard<std::mutex> lock(previewMutex);
                areaWidth = static_cast<int>(wParam);
                areaHeight = static_cast<int>(lParam);
            }
            if (previewWindow != nullptr && isWindowVisible(previewWindow))
                wantPictures(true);
            return 1;
        }
        case WM_CLOSE:
            hidePreview();
            return 1;
        default:
            return 0;
    }
}

// On the feed's thread: the picture goes to the window without waiting for the interface.
void receive(const Image& picture, int combined) {
    std::string caption = "Preview - ";
    Window* window = nullptr;
    {
        std::lock_guard<std::mutex> lock(previewMutex);
        window = previewWindow;
        caption += combined > 0 ? std::to_string(combined) + (combined == 1 ? " image" : " images")
                                : shownFile;
    }
    setPicture(window, picture.width, picture.height, pixelData(picture), picture.bytesPerLine,
               caption);
}

void ensurePreview() {
    if (previewWindow != nullptr)
        return;
    Window* window =
        createPictureWindow(mainWindow, "Preview", kFirstWidth, kFirstHeight, previewProc);
    auto made = std::make_shared<PreviewFeed>(receive);
    std::lock_guard<std::mutex> lock(previewMutex);
    previewWindow = window;
    feed = std::move(made);
}

}  // namespace

void showPreviewWindow(bool visible) {
    if (!visible) {
        if (previewWindow != nullptr)
            hidePreview();
        return;
    }
    ensurePreview();
    showWindow(previewWindow, true);
    wantPictures(true);
    checkMenuItem(mainWindow, IDM_PREVIEW, true);
}

bool previewWindowShown() {
    return previewWindow != nullptr && isWindowVisible(previewWindow);
}

void preparePreview(bool show) {
    ensurePreview();
    if (show)
        showPreviewWindow(true);
}

void attachPreview(RunContext& context) {
    std::shared_ptr<PreviewFeed> held;
    {
        std::lock_guard<std::mutex> lock(previewMutex);
        held = feed;
        showingFile = false;
    }
    if (held == nullptr)
        return;
    held->attach(context);
    // The context holds the feed for as long as the run can call it.
    context.afterBatch = [held](const Accumulator& sums, int combined) {
        held->offer(sums, combined);
    };
}

void previewOutput(const std::string& output) {
    std::shared_ptr<PreviewFeed> held = currentFeed();
    if (held == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(previewMutex);
        shownFile = output;
        showingFile = true;
    }
    held->showFile(output, readImagePixels);
}

void closePreviewWindow() {
    std::shared_ptr<PreviewFeed> dropped;
    Window* window = nullptr;
    {
        std::lock_guard<std::mutex> lock(previewMutex);
        dropped = std::move(feed);
        window = previewWindow;
        previewWindow = nullptr;
    }
    if (dropped != nullptr)
        dropped->stop();
    if (window != nullptr)
        destroyWindow(window);
}
