// The platform layer under the main dialog (template 100), for what the window tests cannot
// see through the desktop's own behaviour: layout, focus, real mouse input, boxes from other
// threads.
#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ui/platform/internal.h"
#include "window_fixture.h"

using namespace platform_detail;

class PlatformTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(open());
    }
    QWidget* widget(int id) { return getDlgItem(mainWindow, id)->widget; }
    int focusedId() {
        QWidget* focus = mainWindow->widget->focusWidget();
        for (Window* control : mainWindow->controls)
            if (control->widget == focus)
                return control->id;
        return 0;
    }
};

// Controls sit at the template's proportions with whole captions; Tab and hit tests follow the
// template order.
TEST_F(PlatformTest, LayoutTabOrderAndHitTestsFollowTheTemplate) {
    const DialogTemplate& t = *findDialogTemplate(IDD_MAIN);
    const double unitX = static_cast<double>(mainWindow->client->width()) / t.cx;
    const double unitY = static_cast<double>(mainWindow->client->height()) / t.cy;
    // Vertical units come from the font as is; horizontal ones at least from the font.
    const DialogUnits font = dialogUnitsFor(mainWindow->widget->font());
    EXPECT_NEAR(unitY, font.y, 0.5 / t.cy + 1e-9);
    EXPECT_GE(unitX, font.x - 0.5 / t.cx);
    std::vector<int> tabStops;
    for (std::size_t i = 0; i < t.controls.size(); ++i) {
        const ControlTemplate& c = t.controls[i];
        const QWidget* w = mainWindow->controls[i]->widget;
        const QRect r = w->geometry();
        SCOPED_TRACE(c.id);
        EXPECT_NEAR(r.x(), c.x * unitX, 1.0);
        EXPECT_NEAR(r.width(), c.cx * unitX, 1.0);
        EXPECT_NEAR(r.y(), c.y * unitY, 1.0);
        EXPECT_NEAR(r.height(), c.cy * unitY, 1.0);
        if (auto* button = dynamic_cast<const QPushButton*>(w)) {
            EXPECT_LT(QFontMetrics(button->font()).horizontalAdvance(button->text().remove(u'&')),
                      r.width());
        } else if (auto* box = dynamic_cast<const QAbstractButton*>(w)) {
            EXPECT_LE(box->sizeHint().width(), r.width());
            EXPECT_GE(r.height(), QFontMetrics(box->font()).height());
        }
        if (c.style & kTabStop)
            tabStops.push_back(c.id);
    }
    // The divisor shows whole: with the cursor at its end, the first digit is still in view.
    auto* divisor = static_cast<QLineEdit*>(widget(IDC_DIVISOR));
    EXPECT_EQ(divisor->text(), "1.000000");
    divisor->end(false);
    divisor->grab();  // lays the text out as painted
    EXPECT_EQ(divisor->cursorPositionAt(QPoint(1, divisor->height() / 2)), 0);
    std::vector<int> visited{focusedId()};  // the first tab stop has the focus from the start
    for (std::size_t i = 0; i < tabStops.size(); ++i) {
        simulateKey(mainWindow, kKeyTab);
        visited.push_back(focusedId());
    }
    tabStops.push_back(tabStops.front());  // and round again
    EXPECT_EQ(visited, tabStops);

    // The frames come before the controls inside them.
    const std::pair<int, int> hits[] = {{IDC_OUTPUT_NAME, IDC_OUTPUT_FRAME},
                                        {IDC_BROWSE_OUTPUT, IDC_OUTPUT_FRAME},
                                        {IDC_LIST_FILES, IDC_INPUT_FRAME},
                                        {IDC_START, IDC_START},
                                        {IDC_DIVISOR, IDC_BLEND_FRAME}};
    for (const auto& [under, found] : hits) {
        const QPoint at = findControl(mainWindow, under)->rect.center();
        EXPECT_EQ(getDlgCtrlId(childWindowFromPoint(mainWindow, at.x(), at.y())), found) << under;
    }
    EXPECT_EQ(childWindowFromPoint(mainWindow, 1, 1), nullptr);

    // The window never gets smaller than the template, and growing it moves nothing.
    const QRect list = widget(IDC_LIST_FILES)->geometry();
    EXPECT_EQ(mainWindow->widget->minimumSize(), mainWindow->widget->size());
    mainWindow->widget->resize(mainWindow->widget->size() * 2);
    processEvents(0);
    EXPECT_EQ(widget(IDC_LIST_FILES)->geometry(), list);
}

TEST_F(PlatformTest, ControlsBehaveAsTheDesktopProgramExpects) {
    // The radio buttons are one group, which the program may also leave with none checked.
    simulateClick(mainWindow, IDC_MODE_BRIGHTEN);
    EXPECT_EQ(checkedModes(), std::vector<int>{IDC_MODE_BRIGHTEN});
    checkDlgButton(mainWindow, IDC_MODE_BRIGHTEN, false);
    EXPECT_TRUE(checkedModes().empty());
    checkDlgButton(mainWindow, IDC_MODE_AVERAGE, true);
    checkDlgButton(mainWindow, IDC_MODE_MIX, true);
    EXPECT_EQ(checkedModes(), std::vector<int>{IDC_MODE_MIX});

    // "é" is two bytes, "€" three: a limit inside one drops the whole character (the list's
    // paths are cut by the same function).
    setDlgItemText(mainWindow, IDC_OUTPUT_NAME, "a\xC3\xA9\xE2\x82\xACz");
    EXPECT_EQ(getDlgItemText(mainWindow, IDC_OUTPUT_NAME, 2), "a");
    EXPECT_EQ(getDlgItemText(mainWindow, IDC_OUTPUT_NAME, 5), "a\xC3\xA9");
    EXPECT_EQ(getDlgItemText(mainWindow, IDC_OUTPUT_NAME, 6), "a\xC3\xA9\xE2\x82\xAC");
    // File names may hold '<' and '&'.
    EXPECT_EQ(static_cast<QLabel*>(widget(IDC_STATUS))->textFormat(), Qt::PlainText);

    // The list refuses label edits. Long paths keep their file names in view, and show whole
    // as tooltips.
    drop(IDC_LIST_FILES, {"/d/b.jpg"});
    auto* tree = static_cast<QTreeWidget*>(widget(IDC_LIST_FILES));
    EXPECT_EQ(tree->textElideMode(), Qt::ElideMiddle);
    EXPECT_EQ(tree->topLevelItem(0)->toolTip(0), "/d/b.jpg");
    tree->editItem(tree->topLevelItem(0), 0);
    auto* editor = tree->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText("changed");
    QTest::keyClick(editor, Qt::Key_Return);
    processEvents(0);  // the view takes an edit after the key
    EXPECT_EQ(entries(), Strings{"/d/b.jpg"});
    // Below the entries: a right click opens the list's menu, a double click views.
    const QPoint empty(5, tree->viewport()->height() - 5);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, empty, tree->viewport()->mapToGlobal(empty));
    QApplication::sendEvent(tree->viewport(), &menu);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, empty);
    EXPECT_EQ(popups, 1);
    EXPECT_EQ(boxes, Strings{"Error: No image is currently selected"});
}

// The keys a desktop user expects run the menu bar's commands, and its menus show them; in an
// edit, Delete stays the edit's own.
TEST_F(PlatformTest, MenuKeysRunTheirCommands) {
    drop(IDC_LIST_FILES, {"/d/a.jpg", "/d/b.jpg"});
    setDlgItemText(mainWindow, IDC_OUTPUT_NAME, "/out.jpg");
    listSetSelected(listView, 0, true);
    struct Row {
        int command;
        QKeySequence key;
        int focus;
        std::function<bool()> done;
    };
    const Row rows[] = {
        {IDM_REMOVE_SELECTED, QKeySequence(Qt::Key_Delete), IDC_OUTPUT_NAME,
         [&] { return text(IDC_OUTPUT_NAME) == "out.jpg" && listCount(listView) == 2; }},
        {IDM_REMOVE_SELECTED, QKeySequence(Qt::Key_Delete), IDC_LIST_FILES,
         [&] { return entries() == Strings{"/d/b.jpg"}; }},
        {IDM_ADD_IMAGES, QKeySequence(Qt::CTRL | Qt::Key_O), IDC_LIST_FILES,
         [&] { return requests.size() == 1; }},
        {IDM_HELP, QKeySequence(Qt::Key_F1), IDC_LIST_FILES,
         [&] { return boxes.size() == 1 && boxes[0].starts_with("Help: "); }},
        {IDM_EXIT, QKeySequence(Qt::CTRL | Qt::Key_Q), IDC_LIST_FILES,
         [&] { return mainWindow == nullptr; }},
    };
    mainWindow->widget->activateWindow();  // keys of the menu bar need the active window
    ASSERT_TRUE(QTest::qWaitForWindowActive(mainWindow->widget));
    QList<QAction*> actions = mainWindow->widget->findChild<QMenuBar*>()->findChildren<QAction*>();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key.toString().toStdString());
        const auto action = std::find_if(actions.begin(), actions.end(), [&](QAction* a) {
            return a->data().toInt() == row.command;
        });
        ASSERT_NE(action, actions.end());
        EXPECT_EQ((*action)->shortcut(), row.key);
        setFocusTo(mainWindow, row.focus);
        if (auto* edit = dynamic_cast<QLineEdit*>(widget(row.focus)))
            edit->setCursorPosition(0);
        QTest::keySequence(widget(row.focus), row.key);
        EXPECT_TRUE(row.done());
    }
}

TEST_F(PlatformTest, MessageBoxFromAWorkerWaitsWhileTheWindowStaysUsable) {
    setPlatformHooks({});
    Window* shown = nullptr;
    whenModalShown([&](Window* box) { shown = box; });
    std::atomic<bool> done{false};
    int answer = 0;
    // Lines laid out by hand stay as written, though wider than a box would wrap at.
    const QString wide =
        "Note: all input images must have the same dimensions; this one has "
        "640 x 480 pixels, the first 800 x 600.";
    const std::string text = "Problem loading <a&b>.jpg\n" + wide.toStdString();
    std::thread worker([&] {
        answer = messageBox(nullptr, text, "Error", MB_ICONERROR);
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return shown != nullptr; }));
    auto* box = dynamic_cast<QMessageBox*>(shown->widget.data());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text().toStdString(), text);
    auto* label = box->findChild<QLabel*>("qt_msgbox_label");
    ASSERT_NE(label, nullptr);
    EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance(wide));
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->windowTitle(), "Error");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->parentWidget(), mainWindow->widget.data()) << "above the main dialog";

    // The worker waits; the window is not blocked.
    processEvents(50);
    EXPECT_FALSE(done);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    simulateKey(shown, kKeyEnter);
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(answer, IDOK);
}

// The services without a window: the open dialog's selection buffer, the shell, threads, and
// a standard output whose reader went away.
TEST(PlatformServices, SelectionBufferShellThreadsAndSignals) {
    using namespace std::string_literals;
    const std::pair<Strings, std::string> selections[] = {
        {{"/shots/a01.jpg"}, "/shots/a01.jpg\0\0"s},
        {{"/shots/a01.jpg", "/shots/a02.jpg"}, "/shots\0a01.jpg\0a02.jpg\0\0"s},
        {{"/a.jpg", "/b.jpg"}, "/\0a.jpg\0b.jpg\0\0"s},
        {{"/d/e/x.jpg", "/d/f/y.jpg"}, "/d\0e/x.jpg\0f/y.jpg\0\0"s},
        {{"/data1/x.jpg", "/data2/y.jpg"}, "/\0data1/x.jpg\0data2/y.jpg\0\0"s},
    };
    for (const auto& [paths, buffer] : selections)
        EXPECT_EQ(formatFileSelection(paths), buffer) << paths[0];

    EXPECT_LE(shellOpen(nullptr, "/nonexistent/quorvane/x.jpg"), 32);
    // xdg-open's own verdict counts: one that finds no program for the file is a failure.
    std::string bin = ::testing::TempDir() + "openerXXXXXX";
    ASSERT_NE(mkdtemp(bin.data()), nullptr);
    const std::string file = bin + "/x.jpg";
    std::ofstream(file) << "x";
    const std::string searchPath = std::getenv("PATH");
    for (const auto& [opener, opens] : {std::pair{"/bin/true", true}, {"/bin/false", false}}) {
        std::filesystem::remove(bin + "/xdg-open");
        std::filesystem::create_symlink(opener, bin + "/xdg-open");
        setenv("PATH", bin.c_str(), 1);
        EXPECT_EQ(shellOpen(nullptr, file) > 32, opens) << opener;
        setenv("PATH", searchPath.c_str(), 1);
    }
    std::filesystem::remove_all(bin);

    // Started threads run one step below their starter.
    static std::atomic<int> niceness{-100};
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    ASSERT_TRUE(startThread(
        [](void*) { niceness = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); },
        nullptr));
    EXPECT_TRUE(pumpUntil([] { return niceness != -100; }));
    EXPECT_EQ(niceness, std::min(own + 1, 19));

    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
}
