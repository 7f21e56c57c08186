// The window tests' drivers: what a user does, delivered through the same paths as real input.
#include <QAbstractButton>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QSlider>
#include <QUrl>

#include "ui/drivers.h"

using namespace platform_detail;

namespace {

// The widget a key goes to: the one with the focus in the dialog's window, else the window.
QWidget* keyTarget(Window* window) {
    QWidget* top = window->widget;
    if (top == nullptr)
        return nullptr;
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && focus->window() == top)
        return focus;
    focus = top->focusWidget();
    if (focus != nullptr)
        return focus;
    if (window->client)
        return window->client;
    return top;
}

}  // namespace

void simulateClick(Window* dialog, int id) {
    onInterface([=] {
        if (dialog != nullptr && dialog->type == Window::Type::MessageBox) {
            if (auto* box = dynamic_cast<QMessageBox*>(dialog->widget.data()))
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    ok->click();
            return;
        }
        if (auto* button = dynamic_cast<QAbstractButton*>(liveControl(dialog, id)))
            button->click();
    });
}

void simulateTyping(Window* dialog, int id, const std::string& text) {
    onInterface([=] {
        if (auto* edit = dynamic_cast<QLineEdit*>(liveControl(dialog, id))) {
            // What a user does: click into the edit, select everything and type over it.
            edit->setFocus(Qt::MouseFocusReason);
            edit->selectAll();
            if (text.empty())
                edit->del();
            else
                edit->insert(fromUtf8(text));
        }
    });
}

void simulateKey(Window* dialog, int key) {
    onInterface([=] {
        if (dialog == nullptr || !dialog->alive)
            return;
        QWidget* target = keyTarget(dialog);
        if (target == nullptr)
            return;
        const Qt::Key keys[] = {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Tab};
        if (key < kKeyEnter || key > kKeyTab)
            return;
        const Qt::Key qtKey = keys[key - kKeyEnter];
        QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QPointer<QWidget> stillThere(target);
        if (stillThere) {
            QKeyEvent release(QEvent::KeyRelease, qtKey, Qt::NoModifier);
            QApplication::sendEvent(stillThere, &release);
        }
    });
}

void simulateClose(Window* dialog) {
    onInterface([=] {
        if (dialog != nullptr && dialog->alive && dialog->widget)
            dialog->widget->close();
    });
}

void simulateDrop(Window* dialog, const std::vector<std::string>& files, int x, int y) {
    onInterface([=] {
        if (dialog == nullptr || !dialog->alive || !dialog->widget)
            return;
        QWidget* top = dialog->widget;
        QList<QUrl> urls;
        for (const std::string& file : files) {
            const QString text = fromUtf8(file);
            // Anything with a scheme is a URL (so tests can drop remote ones); else a path.
            if (text.contains(QStringLiteral("://")))
                urls.push_back(QUrl(text));
            else
                urls.push_back(QUrl::fromLocalFile(text));
        }
        QMimeData data;
        data.setUrls(urls);
        const QPointF at(x, y + dialog->menuHeight);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(top, &enter);
        if (!enter.isAccepted())
            return;
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(top, &drop);
    });
}

void simulateTrackbar(Window* dialog, int id, int position) {
    onInterface([=] {
        // A user's move: the slider's own value change, which reports WM_HSCROLL.
        Window* control = findControl(dialog, id);
        if (auto* slider = dynamic_cast<QSlider*>(liveControl(dialog, id))) {
            slider->setSliderPosition(position);
            sendScroll(control);
        }
    });
}

void controlCenter(Window* dialog, int id, int& x, int& y) {
    x = 0;
    y = 0;
    if (Window* control = findControl(dialog, id)) {
        const QPoint center = control->rect.center();
        x = center.x();
        y = center.y();
    }
}

void setPlatformHooks(const PlatformHooks& newHooks) {
    onInterface([newHooks] { hookStore() = newHooks; });
}

void whenModalShown(std::function<void(Window* dialog)> fn) {
    onInterface([fn = std::move(fn)] { modalHandlers().push_back(fn); });
}
