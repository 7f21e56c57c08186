// Private to the platform layer: the window record behind every Window*, the hand-over of
// work between threads and the interface thread, and helpers the tests reach directly.
#pragma once

#include <QEventLoop>
#include <QFileDialog>
#include <QFont>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/platform/platform.h"

// One dialog, one of its controls, or a message box that is showing. Records are never freed
// (a thread may still hold a pointer after the window went away); alive tells whether the
// window still exists.
struct Window {
    enum class Type { Dialog, Control, MessageBox };
    Type type = Type::Control;
    std::atomic<bool> alive{true};
    QPointer<QWidget> widget;  // the top-level window of a dialog, or the control itself

    // Controls.
    int id = 0;
    ControlKind kind = ControlKind::Static;
    unsigned style = 0;
    Window* dialog = nullptr;
    QRect rect;                     // template rectangle in client pixels
    bool programmaticMove = false;  // trackbar: the program, not the user, moves it
    QStringList columns;            // list view titles

    // Dialogs.
    const DialogTemplate* dialogTemplate = nullptr;
    DialogProc proc = nullptr;
    Window* owner = nullptr;
    std::vector<Window*> controls;  // template order
    QPointer<QWidget> client;       // origin of the template's coordinates
    int menuHeight = 0;             // the client area starts below the menu bar
    bool modal = false;
    bool ended = false;
    bool destroying = false;
    intptr_t result = 0;
    QEventLoop* loop = nullptr;
};

// Where the window tests take the screen's place (installed through ui_testing): when set,
// message boxes, file dialogs, shell calls and popup menus go to these. Each is called on the
// interface thread.
struct PlatformHooks {
    std::function<int(Window* owner, const std::string& text, const std::string& caption,
                      unsigned flags)>
        messageBox;
    std::function<bool(const FileDialogRequest& request, std::string& selection)> fileDialog;
    std::function<int(const std::string& path)> shellOpen;
    std::function<void(Window* owner, int menuId, int popupIndex)> popupMenu;
};
// Test drivers (the ui_testing library, not the program) install these.
void setPlatformHooks(const PlatformHooks& hooks);
// Runs fn on the interface thread once the next modal dialog or message box is showing.
void whenModalShown(std::function<void(Window* dialog)> fn);

namespace platform_detail {

// A new record that lives as long as the process.
Window* newWindow(Window::Type type);

// Calls the dialog's procedure on the interface thread; 0 when the dialog is gone.
intptr_t deliver(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam);

// The control with this id, or nullptr; liveControl: its widget while it exists.
Window* findControl(Window* dialog, int id);
QWidget* liveControl(Window* dialog, int id);
// The notifications a list view and a trackbar send to their dialog.
void sendListNotify(Window* list, int code);
void sendScroll(Window* trackbar);

// Queues fn to the interface thread; false when there is no interface any more.
bool postToInterface(std::function<void()> fn);
// Runs fn now on the interface thread, or queues it from any other thread without waiting.
void onInterface(std::function<void()> fn);

// Completion of something another thread waits for.
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        done.notify_all();
    }
};
// Waits for completion; false when the interface stopped first (the message loop ended or the
// process is exiting), so a waiting thread is never left hanging.
bool waitFor(Completion& completion);

// Runs fn on the interface thread and returns its result; from another thread the caller
// waits. The interface thread must not itself be waiting for the caller, or both stop.
template <typename Fn>
auto callOnInterface(Fn fn, decltype(fn()) fallback) -> decltype(fn()) {
    if (isInterfaceThread())
        return fn();
    using Result = decltype(fn());
    struct State {
        Completion completion;
        Result value{};
    };
    auto state = std::make_shared<State>();
    if (!postToInterface([state, fn]() mutable {
            state->value = fn();
            state->completion.finish();
        }))
        return fallback;
    if (!waitFor(state->completion))
        return fallback;
    return state->value;
}

// The hooks the tests installed.
const PlatformHooks& hooks();

// Hands the window that just appeared to the functions waiting in whenModalShown.
void notifyModalShown(Window* shown);
// What tests install through setPlatformHooks and whenModalShown (interface thread only).
PlatformHooks& hookStore();
std::vector<std::function<void(Window*)>>& modalHandlers();
// Modal windows showing, innermost last.
std::vector<Window*>& modalStack();
// Modeless dialogs alive, in creation order.
std::vector<Window*>& modelessDialogs();

// The window a box or file dialog should stay above: the innermost modal window if one is
// showing (anything else would be blocked by it), else the owner, else the main dialog.
QWidget* parentWidgetFor(Window* owner);

// Converts between the toolkit's strings and the file system's bytes.
QString fromUtf8(const std::string& text);
std::string toUtf8(const QString& text);

// At most maxBytes bytes of text, never cutting a multi-byte character in two.
std::string truncateUtf8(const std::string& text, std::size_t maxBytes);

// The selection-buffer format of the file dialogs for the chosen paths: one path followed by
// "\0\0", or the common directory, "\0", each name followed by "\0", and a final "\0".
std::string formatFileSelection(const std::vector<std::string>& paths);

// Pixel size of one horizontal and one vertical dialog unit for a font.
struct DialogUnits {
    double x = 0;  // average character width / 4
    double y = 0;  // character height / 8
    int toX(int units) const;
    int toY(int units) const;
};
DialogUnits dialogUnitsFor(const QFont& font);

// The name filter of the file dialogs: shown as "Image Files (*.jpg, *.jpeg, ..., RAW)",
// matching the extensions in any letter case; without the RAW files for a save dialog.
QString imageNameFilter(bool withRaw);
// Everything of the open/save dialog but its owner and title.
void configureFileDialog(QFileDialog& dialog, const FileDialogRequest& request);

}  // namespace platform_detail
