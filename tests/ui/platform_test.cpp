// The platform layer driven like a user would: the main dialog built from template 100 with a
// procedure that records what it receives.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "ui/platform/internal.h"
#include "ui/ui.h"

using namespace platform_detail;

namespace {

struct Received {
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
    int notifyCode = 0;
    DropInfo drop;
};

std::vector<Received> received;
intptr_t closeAnswer = 0;

intptr_t recordingProc(Window*, unsigned message, uintptr_t wParam, intptr_t lParam) {
    Received r{message, wParam, lParam, 0, {}};
    if (message == WM_NOTIFY)
        r.notifyCode = reinterpret_cast<const NotifyHeader*>(lParam)->code;
    if (message == WM_DROPFILES)
        r.drop = *reinterpret_cast<const DropInfo*>(wParam);
    received.push_back(r);
    if (message == WM_CLOSE)
        return closeAnswer;
    return message == WM_INITDIALOG ? 1 : 0;
}

using Command = std::pair<int, int>;  // id, notification code

// The commands received, without the edits' focus notifications.
std::vector<Command> commands() {
    std::vector<Command> result;
    for (const Received& r : received) {
        const int code = commandCode(r.wParam);
        if (r.message == WM_COMMAND && code != EN_SETFOCUS && code != EN_KILLFOCUS)
            result.emplace_back(commandId(r.wParam), code);
    }
    return result;
}

// Keeps the interface running until done() holds (at most five seconds).
template <typename Done>
bool pumpUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        processEvents(5);
    }
    return true;
}

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        received.clear();
        closeAnswer = 0;
        dialog = createDialog(IDD_MAIN, nullptr, recordingProc);
        ASSERT_NE(dialog, nullptr);
        processEvents(0);
        received.clear();
    }
    void TearDown() override {
        setPlatformHooks({});
        destroyWindow(dialog);
        processEvents(0);
    }

    QWidget* widget(int id) { return getDlgItem(dialog, id)->widget; }
    int focusedId() {
        QWidget* focus = dialog->widget->focusWidget();
        for (Window* control : dialog->controls)
            if (control->widget == focus)
                return control->id;
        return 0;
    }

    Window* dialog = nullptr;
};

TEST_F(PlatformTest, ControlsKeepTheTemplateProportionsAndShowTheirCaptionsWhole) {
    const DialogTemplate& t = *findDialogTemplate(IDD_MAIN);
    const QWidget* client = dialog->client;
    const DialogUnits font = dialogUnitsFor(dialog->widget->font());
    const double unitX = static_cast<double>(client->width()) / t.cx;
    const double unitY = static_cast<double>(client->height()) / t.cy;
    // Vertical units come from the font as is; horizontal ones at least from the font.
    EXPECT_NEAR(unitY, font.y, 0.5 / t.cy + 1e-9);
    EXPECT_GE(unitX, font.x - 0.5 / t.cx);
    // The client area starts below the menu bar.
    const auto* menuBar = dialog->widget->findChild<QMenuBar*>();
    ASSERT_NE(menuBar, nullptr);
    EXPECT_EQ(client->y(), menuBar->height());

    for (std::size_t i = 0; i < t.controls.size(); ++i) {
        const ControlTemplate& c = t.controls[i];
        const QRect r = dialog->controls[i]->widget->geometry();
        SCOPED_TRACE(c.id);
        EXPECT_NEAR(r.x(), c.x * unitX, 1.0);
        EXPECT_NEAR(r.width(), c.cx * unitX, 1.0);
        EXPECT_NEAR(r.y(), c.y * unitY, 1.0);
        EXPECT_NEAR(r.height(), c.cy * unitY, 1.0);
        const QWidget* w = dialog->controls[i]->widget;
        if (auto* button = dynamic_cast<const QPushButton*>(w)) {
            QString text = button->text();
            text.remove(u'&');
            EXPECT_LT(QFontMetrics(button->font()).horizontalAdvance(text), r.width());
        } else if (auto* box = dynamic_cast<const QAbstractButton*>(w)) {
            EXPECT_LE(box->sizeHint().width(), r.width());
            EXPECT_GE(r.height(), QFontMetrics(box->font()).height());
        }
    }

    // Resizing never moves a control.
    const QRect list = widget(IDC_LIST_FILES)->geometry();
    const QSize size = dialog->widget->size();
    EXPECT_EQ(dialog->widget->minimumSize(), size);
    dialog->widget->resize(size * 2);
    processEvents(0);
    EXPECT_EQ(widget(IDC_LIST_FILES)->geometry(), list);
    EXPECT_EQ(dialog->client->size(), QSize(size.width() * 2, size.height() * 2 - client->y()));
}

TEST_F(PlatformTest, TabVisitsTheTabStopsInTemplateOrder) {
    std::vector<int> expected;
    for (const ControlTemplate& c : findDialogTemplate(IDD_MAIN)->controls)
        if (c.style & kTabStop)
            expected.push_back(c.id);
    // The initialisation answered 1: the first tab stop has the focus.
    EXPECT_EQ(focusedId(), expected.front());
    std::vector<int> visited{focusedId()};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        simulateKey(dialog, kKeyTab);
        visited.push_back(focusedId());
    }
    expected.push_back(expected.front());  // and round again
    EXPECT_EQ(visited, expected);
}

TEST_F(PlatformTest, EnterAndEscapeSendCommandsAndCloseNothing) {
    setFocusTo(dialog, IDC_OUTPUT_NAME);
    simulateKey(dialog, kKeyEnter);
    simulateKey(dialog, kKeyEscape);
    EXPECT_EQ(commands(), (std::vector<Command>{{IDOK, BN_CLICKED}, {IDCANCEL, BN_CLICKED}}));
    EXPECT_TRUE(dialog->alive);
    EXPECT_TRUE(dialog->widget->isVisible());

    // A push button with the focus is the one Enter presses.
    received.clear();
    setFocusTo(dialog, IDC_BROWSE_OUTPUT);
    simulateKey(dialog, kKeyEnter);
    EXPECT_EQ(commands(), (std::vector<Command>{{IDC_BROWSE_OUTPUT, BN_CLICKED}}));
    for (int id : {IDC_START, IDC_STOP, IDC_BROWSE_OUTPUT, IDC_ADD_IMAGES}) {
        auto* button = static_cast<QPushButton*>(widget(id));
        EXPECT_FALSE(button->isDefault() || button->autoDefault()) << id;
    }
}

TEST_F(PlatformTest, CloseBoxAsksTheProcedureAndCancelsWhenItDeclines) {
    struct Case {
        intptr_t answer;
        std::vector<unsigned> messages;
    };
    const Case cases[] = {{0, {WM_CLOSE, WM_COMMAND}}, {1, {WM_CLOSE}}};
    for (const Case& c : cases) {
        received.clear();
        closeAnswer = c.answer;
        simulateClose(dialog);
        std::vector<unsigned> messages;
        for (const Received& r : received)
            messages.push_back(r.message);
        EXPECT_EQ(messages, c.messages) << "answer " << c.answer;
        if (c.answer == 0) {
            EXPECT_EQ(commands(), (std::vector<Command>{{IDCANCEL, BN_CLICKED}}));
        }
        EXPECT_TRUE(dialog->widget->isVisible());
    }
}

TEST_F(PlatformTest, RadioButtonsFormOneGroupThatTheProgramMayClear) {
    const int radios[] = {IDC_MODE_STACK, IDC_MODE_AVERAGE, IDC_MODE_MIX, IDC_MODE_BRIGHTEN};
    auto checked = [&] {
        std::vector<int> ids;
        for (int id : radios)
            if (isDlgButtonChecked(dialog, id))
                ids.push_back(id);
        return ids;
    };
    simulateClick(dialog, IDC_MODE_STACK);
    simulateClick(dialog, IDC_MODE_BRIGHTEN);
    EXPECT_EQ(checked(), std::vector<int>{IDC_MODE_BRIGHTEN});
    EXPECT_EQ(commands(), (std::vector<Command>{{IDC_MODE_STACK, BN_CLICKED},
                                                {IDC_MODE_BRIGHTEN, BN_CLICKED}}));
    received.clear();
    checkDlgButton(dialog, IDC_MODE_BRIGHTEN, false);
    EXPECT_TRUE(checked().empty());
    checkDlgButton(dialog, IDC_MODE_AVERAGE, true);
    checkDlgButton(dialog, IDC_MODE_MIX, true);
    EXPECT_EQ(checked(), std::vector<int>{IDC_MODE_MIX});
    EXPECT_TRUE(commands().empty()) << "the program's changes are not clicks";
}

TEST_F(PlatformTest, EditsReportChangesAndTextIsCutAtWholeCharacters) {
    setDlgItemText(dialog, IDC_OUTPUT_NAME, "/out/a.jpg");
    simulateTyping(dialog, IDC_DIVISOR, "2.5");
    const auto changes = commands();
    EXPECT_NE(std::find(changes.begin(), changes.end(), Command{IDC_OUTPUT_NAME, EN_CHANGE}),
              changes.end());
    EXPECT_NE(std::find(changes.begin(), changes.end(), Command{IDC_DIVISOR, EN_CHANGE}),
              changes.end());
    EXPECT_EQ(getDlgItemText(dialog, IDC_DIVISOR, 511), "2.5");

    // "é" is two bytes: a limit inside it drops the whole character.
    setDlgItemText(dialog, IDC_OUTPUT_NAME, "a\xC3\xA9z");
    EXPECT_EQ(getDlgItemText(dialog, IDC_OUTPUT_NAME, 2), "a");
    EXPECT_EQ(getDlgItemText(dialog, IDC_OUTPUT_NAME, 3), "a\xC3\xA9");
    // Statics show text as it is, markup included.
    setDlgItemText(dialog, IDC_STATUS, "<b>x&y</b>");
    EXPECT_EQ(static_cast<QLabel*>(widget(IDC_STATUS))->text(), "<b>x&y</b>");
    EXPECT_EQ(static_cast<QLabel*>(widget(IDC_STATUS))->textFormat(), Qt::PlainText);
}

TEST_F(PlatformTest, ListViewKeepsEntriesAndSelectionAndRefusesLabelEdits) {
    Window* list = getDlgItem(dialog, IDC_LIST_FILES);
    auto* tree = static_cast<QTreeWidget*>(list->widget.data());
    listInsertColumn(list, 0, "Image Name", 500);
    listInsertColumn(list, 1, "", 1);
    EXPECT_EQ(tree->headerItem()->text(0), "Image Name");
    EXPECT_EQ(tree->columnWidth(0), 500);
    EXPECT_EQ(tree->columnWidth(1), 1);

    EXPECT_EQ(listInsertItem(list, 0, "b"), 0);
    EXPECT_EQ(listInsertItem(list, 0, "a"), 0);
    EXPECT_EQ(listInsertItem(list, 99, "c"), 2);
    listSetSubItem(list, 1, 1, "sub");
    EXPECT_EQ(listCount(list), 3);
    EXPECT_EQ(listItemText(list, 0, 0, 511) + listItemText(list, 1, 0, 511) +
                  listItemText(list, 2, 0, 511),
              "abc");
    EXPECT_EQ(listItemText(list, 1, 1, 511), "sub");

    listSetSelected(list, 0, true);
    listSetSelected(list, 2, true);
    EXPECT_EQ(listNextSelected(list, -1), 0);
    EXPECT_EQ(listNextSelected(list, 0), 2);
    EXPECT_EQ(listNextSelected(list, 2), -1);
    listDeleteItem(list, 0);
    EXPECT_EQ(listNextSelected(list, -1), 1);
    EXPECT_EQ(listItemText(list, 1, 0, 511), "c");

    // An in-place edit opens but what was typed is not taken.
    tree->editItem(tree->topLevelItem(0), 0);
    auto* editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText("changed");
    QTest::keyClick(editor, Qt::Key_Return);
    processEvents(0);  // the view takes an edit after the key
    EXPECT_EQ(listItemText(list, 0, 0, 511), "b");

    // A right click anywhere (here below the entries) and a double click notify the dialog.
    received.clear();
    const QPoint empty(5, tree->viewport()->height() - 5);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, empty, tree->viewport()->mapToGlobal(empty));
    QApplication::sendEvent(tree->viewport(), &menu);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, empty);
    ASSERT_EQ(received.size(), 2u);
    for (const Received& r : received) {
        EXPECT_EQ(r.message, static_cast<unsigned>(WM_NOTIFY));
        EXPECT_EQ(r.wParam, static_cast<uintptr_t>(IDC_LIST_FILES));
    }
    EXPECT_EQ(received[0].notifyCode, NM_RCLICK);
    EXPECT_EQ(received[1].notifyCode, NM_DBLCLK);

    listDeleteAll(list);
    EXPECT_EQ(listCount(list), 0);
}

TEST_F(PlatformTest, ChildWindowFromPointTakesTheFirstControlInTemplateOrder) {
    struct Case {
        int under;
        int found;
    };
    // The frames come before the controls inside them.
    const Case cases[] = {{IDC_OUTPUT_NAME, IDC_OUTPUT_FRAME},
                          {IDC_BROWSE_OUTPUT, IDC_OUTPUT_FRAME},
                          {IDC_LIST_FILES, IDC_INPUT_FRAME},
                          {IDC_START, IDC_START},
                          {IDC_DIVISOR, IDC_BLEND_FRAME}};
    for (const Case& c : cases) {
        int x = 0;
        int y = 0;
        controlCenter(dialog, c.under, x, y);
        EXPECT_EQ(getDlgCtrlId(childWindowFromPoint(dialog, x, y)), c.found) << c.under;
    }
    EXPECT_EQ(childWindowFromPoint(dialog, 1, 1), nullptr);
}

TEST_F(PlatformTest, DropsDeliverLocalFilesAtClientCoordinates) {
    int x = 0;
    int y = 0;
    controlCenter(dialog, IDC_OUTPUT_NAME, x, y);
    simulateDrop(dialog, {"/tmp/a b.jpg", "https://example.org/x.jpg", "/tmp/\xC3\xBC.jpg"}, x, y);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message, static_cast<unsigned>(WM_DROPFILES));
    EXPECT_EQ(received[0].drop.files,
              (std::vector<std::string>{"/tmp/a b.jpg", "/tmp/\xC3\xBC.jpg"}));
    EXPECT_EQ(received[0].drop.x, x);
    EXPECT_EQ(received[0].drop.y, y);

    received.clear();
    simulateDrop(dialog, {"https://example.org/x.jpg"}, x, y);
    EXPECT_TRUE(received.empty()) << "nothing local: no drop";
}

TEST_F(PlatformTest, MessageBoxFromAWorkerWaitsWhileTheWindowStaysUsable) {
    Window* shown = nullptr;
    whenModalShown([&](Window* box) { shown = box; });
    std::atomic<bool> done{false};
    int answer = 0;
    std::thread worker([&] {
        answer = messageBox(nullptr, "Problem loading <a&b>.jpg", "Error", MB_ICONERROR);
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return shown != nullptr; }));
    auto* box = dynamic_cast<QMessageBox*>(shown->widget.data());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Problem loading <a&b>.jpg");
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->windowTitle(), "Error");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->parentWidget(), dialog->widget.data()) << "above the main dialog";

    // The worker waits; the window is not blocked and its buttons work.
    processEvents(50);
    EXPECT_FALSE(done);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    simulateClick(dialog, IDC_STOP);
    EXPECT_EQ(commands(), (std::vector<Command>{{IDC_STOP, BN_CLICKED}}));

    simulateKey(shown, kKeyEnter);
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(answer, IDOK);
}

TEST_F(PlatformTest, HooksAnswerBoxesFromAnyThreadOnTheInterfaceThread) {
    struct Shown {
        std::string caption, text;
        unsigned flags;
        bool onInterface;
    };
    std::vector<Shown> shown;
    PlatformHooks hooks;
    hooks.messageBox = [&](Window*, const std::string& text, const std::string& caption,
                           unsigned flags) {
        shown.push_back({caption, text, flags, isInterfaceThread()});
        return IDOK;
    };
    setPlatformHooks(hooks);
    EXPECT_EQ(messageBox(dialog, "No input images", "Error", MB_OK), IDOK);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        messageBox(nullptr, "Processing Finished", "Complete", MB_ICONINFORMATION);
        done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }));
    worker.join();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption + "|" + shown[0].text, "Error|No input images");
    EXPECT_EQ(shown[1].caption + "|" + shown[1].text, "Complete|Processing Finished");
    EXPECT_EQ(shown[1].flags, static_cast<unsigned>(MB_ICONINFORMATION));
    EXPECT_TRUE(shown[0].onInterface && shown[1].onInterface);
}

TEST_F(PlatformTest, ControlUpdatesFromAWorkerArriveOnTheInterfaceThread) {
    Window* bar = getDlgItem(dialog, IDC_PROGRESS);
    std::atomic<bool> done{false};
    std::string readBack;
    std::thread worker([&] {
        setDlgItemText(dialog, IDC_STATUS, "Loading image 3");
        progressSetPos(bar, 150);                            // kept within 0 to 100
        readBack = getDlgItemText(dialog, IDC_STATUS, 511);  // waits for the interface
        done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(readBack, "Loading image 3");
    EXPECT_EQ(progressPos(bar), 100);
    progressSetPos(bar, -4);
    EXPECT_EQ(progressPos(bar), 0);
}

TEST_F(PlatformTest, ModalDialogRunsUntilEndDialogAndKeysDoNotCloseIt) {
    bool wasActive = false;
    whenModalShown([&](Window* modal) {
        wasActive = activeDialog() == modal;
        simulateKey(modal, kKeyEscape);
        simulateKey(modal, kKeyEnter);
        if (activeDialog() == modal)
            endDialog(modal, 7);
    });
    EXPECT_EQ(dialogBox(IDD_NOISE_REDUCTION, dialog, recordingProc), 7);
    EXPECT_TRUE(wasActive);
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received.front().message, static_cast<unsigned>(WM_INITDIALOG));
    EXPECT_EQ(received.back().message, static_cast<unsigned>(WM_DESTROY));
    const auto keys = commands();
    EXPECT_NE(std::find(keys.begin(), keys.end(), Command{IDCANCEL, BN_CLICKED}), keys.end());
    EXPECT_EQ(activeDialog(), dialog);
}

TEST(PlatformSelection, FileDialogResultsUseTheSelectionBufferFormat) {
    using namespace std::string_literals;
    struct Case {
        std::vector<std::string> paths;
        std::string buffer;
    };
    const Case cases[] = {
        {{"/shots/a01.jpg"}, "/shots/a01.jpg\0\0"s},
        {{"/shots/a01.jpg", "/shots/a02.jpg"}, "/shots\0a01.jpg\0a02.jpg\0\0"s},
        {{"/a.jpg", "/b.jpg"}, "/\0a.jpg\0b.jpg\0\0"s},
        {{"/d/e/x.jpg", "/d/f/y.jpg"}, "/d\0e/x.jpg\0f/y.jpg\0\0"s},
        {{"/data1/x.jpg", "/data2/y.jpg"}, "/\0data1/x.jpg\0data2/y.jpg\0\0"s},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatFileSelection(c.paths), c.buffer) << c.paths[0];
}

TEST(PlatformFileDialog, FilterShowsItsTextAndMatchesAnyLetterCase) {
    char pattern[] = "/tmp/platform_filter_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path directory(pattern);
    for (const char* name : {"a.JPG", "b.bmp", "c.Tif", "d.txt", "e.jpeg"})
        std::fclose(std::fopen((directory / name).c_str(), "w"));

    QFileDialog fileDialog;
    FileDialogRequest request;
    request.initialLocation = directory.string();
    request.multiSelect = true;
    configureFileDialog(fileDialog, request);
    fileDialog.show();
    auto* types = fileDialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->currentText(), "Image Files (*.jpg, *.bmp, *.tif)");
    auto* view = fileDialog.findChild<QListView*>("listView");
    ASSERT_NE(view, nullptr);
    QStringList names;
    pumpUntil([&] {
        names.clear();
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            names << view->model()->index(row, 0, view->rootIndex()).data().toString();
        return names.size() >= 3;
    });
    processEvents(100);  // anything more that would arrive
    names.clear();
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
        names << view->model()->index(row, 0, view->rootIndex()).data().toString();
    names.sort();
    EXPECT_EQ(names, (QStringList{"a.JPG", "b.bmp", "c.Tif"}));
    fileDialog.hide();
    std::filesystem::remove_all(directory);
}

TEST(PlatformShell, OpeningAMissingFileFailsAndTheHookReplacesTheShell) {
    EXPECT_LE(shellOpen(nullptr, "/nonexistent/quorvane/x.jpg"), 32);
    std::vector<std::string> opened;
    PlatformHooks hooks;
    hooks.shellOpen = [&](const std::string& path) {
        opened.push_back(path);
        return 42;
    };
    setPlatformHooks(hooks);
    EXPECT_GT(shellOpen(nullptr, "/x/y.jpg"), 32);
    setPlatformHooks({});
    EXPECT_EQ(opened, std::vector<std::string>{"/x/y.jpg"});
}

TEST(PlatformLoop, QuitBeforeTheLoopRunsEndsItAtOnce) {
    postQuitMessage(3);
    EXPECT_EQ(messageLoop(), 3);
}

TEST(PlatformThreads, StartedThreadsRunOneStepBelowTheirStarter) {
    static std::atomic<int> niceness{-100};
    errno = 0;
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    ASSERT_TRUE(startThread(
        [](void*) { niceness = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); },
        nullptr));
    EXPECT_TRUE(pumpUntil([] { return niceness != -100; }));
    EXPECT_EQ(niceness, std::min(own + 1, 19));
}

}  // namespace
