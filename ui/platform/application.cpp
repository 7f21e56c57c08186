// The application object, the message loop, the hand-over of work to the interface thread,
// threads and the test hooks.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "engine/system.h"
#include "ui/platform/internal.h"

namespace platform_detail {
namespace {

std::thread::id interfaceThreadId;
bool loopRunning = false;
bool quitPending = false;
int quitCode = 0;

// Raised when the process exits: nothing is queued to the interface any more and every
// waiting thread is released.
std::atomic<bool> exiting{false};
// Advanced whenever the message loop ends, releasing the threads that waited before.
std::atomic<int> releaseGeneration{0};

std::mutex registryMutex;
std::vector<std::unique_ptr<Window>>& registry() {
    // Reachable for the whole process: threads may hold these pointers until it ends.
    static auto* windows = new std::vector<std::unique_ptr<Window>>;
    return *windows;
}

// The step one thread is lowered by, as the desktop's "below normal".
constexpr int kBelowNormalNiceStep = 1;

void lowerThreadPriority() {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (current == -1 && errno != 0)
        return;
    // Failure only means the thread keeps the normal priority; there is nothing to report.
    (void)setpriority(PRIO_PROCESS, tid, current + kBelowNormalNiceStep);
}

}  // namespace

PlatformHooks& hookStore() {
    static auto* store = new PlatformHooks;
    return *store;
}

std::vector<std::function<void(Window*)>>& modalHandlers() {
    static auto* handlers = new std::vector<std::function<void(Window*)>>;
    return *handlers;
}

Window* newWindow(Window::Type type) {
    auto window = std::make_unique<Window>();
    window->type = type;
    std::lock_guard<std::mutex> lock(registryMutex);
    registry().push_back(std::move(window));
    return registry().back().get();
}

intptr_t deliver(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (dialog == nullptr || dialog->type != Window::Type::Dialog || !dialog->alive ||
        dialog->proc == nullptr)
        return 0;
    return dialog->proc(dialog, message, wParam, lParam);
}

bool postToInterface(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || exiting)
        return false;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
    return true;
}

void onInterface(std::function<void()> fn) {
    if (isInterfaceThread())
        fn();
    else
        postToInterface(std::move(fn));
}

bool waitFor(Completion& completion) {
    const int generation = releaseGeneration;
    std::unique_lock<std::mutex> lock(completion.mutex);
    while (!completion.finished) {
        if (exiting || releaseGeneration != generation)
            return false;
        completion.done.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

const PlatformHooks& hooks() {
    return hookStore();
}

void notifyModalShown(Window* shown) {
    auto handlers = std::move(modalHandlers());
    modalHandlers().clear();
    for (auto& handler : handlers) {
        // From the window's own event loop, so the handler may end it.
        QTimer::singleShot(0, qApp, [handler = std::move(handler), shown] { handler(shown); });
    }
}

std::vector<Window*>& modalStack() {
    static auto* stack = new std::vector<Window*>;
    return *stack;
}

std::vector<Window*>& modelessDialogs() {
    static auto* dialogs = new std::vector<Window*>;
    return *dialogs;
}

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string truncateUtf8(const std::string& text, std::size_t maxBytes) {
    return ::truncateUtf8(text, maxBytes);
}

}  // namespace platform_detail

using namespace platform_detail;

void platformInit(int& argc, char** argv) {
    if (QCoreApplication::instance() != nullptr)
        return;
    interfaceThreadId = std::this_thread::get_id();
    // Never destroyed: detached threads may still queue work to it while the process ends.
    auto* app = new QApplication(argc, argv);
    app->setApplicationName(QStringLiteral("Quorvane"));
    app->setDesktopFileName(QStringLiteral("quorvane"));
    // Only postQuitMessage ends the program, not the last window closing.
    app->setQuitOnLastWindowClosed(false);
    // The toolkit takes the numeric locale from the environment; numbers are always written
    // and read with a full stop.
    setlocale(LC_NUMERIC, "C");
    signal(SIGPIPE, SIG_IGN);
    std::atexit([] { exiting = true; });
}

int messageLoop() {
    if (quitPending) {
        quitPending = false;
        return quitCode;
    }
    loopRunning = true;
    const int code = QApplication::exec();
    loopRunning = false;
    quitPending = false;
    ++releaseGeneration;
    return code;
}

void postQuitMessage(int code) {
    onInterface([code] {
        quitCode = code;
        if (loopRunning)
            QCoreApplication::exit(code);
        else
            quitPending = true;  // the next messageLoop returns at once, as a queued quit would
    });
}

void processEvents(int ms) {
    if (!isInterfaceThread()) {
        sleepMs(ms);
        return;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (ms <= 0)
        return;
    QElapsedTimer clock;
    clock.start();
    {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    // Once the application is quitting no event loop runs; keep the wait a wait.
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        sleepMs(static_cast<int>(std::min<qint64>(5, ms - clock.elapsed())));
    }
}

bool isInterfaceThread() {
    return std::this_thread::get_id() == interfaceThreadId;
}

bool startThread(void (*body)(void*), void* parameter) {
    try {
        std::thread([body, parameter] {
            lowerThreadPriority();
            body(parameter);
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void sleepMs(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
