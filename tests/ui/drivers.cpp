// The window tests' drivers: what a user does, delivered through the same paths as real input.
#include <QtWidgets>

#include <array>

#include "ui/drivers.h"

using namespace platform_detail;

void simulateClick(Window* dialog, int id) {
    onInterface([=] {
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
            text.empty() ? edit->del() : edit->insert(fromUtf8(text));
        }
    });
}

void simulateKey(Window* dialog, int key) {
    onInterface([=] {
        if (dialog == nullptr || !dialog->alive || dialog->widget == nullptr || key < kKeyEnter ||
            key > kKeyTab)
            return;
        // The key goes to the focus in the dialog's window, else to the window itself.
        QWidget* top = dialog->widget;
        QPointer<QWidget> target = QApplication::focusWidget();
        if (target == nullptr || target->window() != top)
            target = top->focusWidget() ? top->focusWidget() : dialog->client.data();
        if (target == nullptr)
            target = top;
        const Qt::Key qtKey = std::array{Qt::Key_Return, Qt::Key_Escape, Qt::Key_Tab}[key - 1];
        QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, qtKey, Qt::NoModifier);
        if (target)  // the press may have closed it
            QApplication::sendEvent(target, &release);
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
        QList<QUrl> urls;
        for (const std::string& file : files) {
            const QString text = fromUtf8(file);
            urls.push_back(text.contains(QStringLiteral("://")) ? QUrl(text)
                                                                : QUrl::fromLocalFile(text));
        }
        QMimeData data;
        data.setUrls(urls);
        const QPointF at(x, y + dialog->menuHeight);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog->widget, &enter);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted())
            QApplication::sendEvent(dialog->widget, &drop);
    });
}

void simulateTrackbar(Window* dialog, int id, int position) {
    onInterface([=] {
        // A user's move: the slider's own value change, which reports WM_HSCROLL.
        if (auto* slider = dynamic_cast<QSlider*>(liveControl(dialog, id))) {
            slider->setSliderPosition(position);
            sendScroll(findControl(dialog, id));
        }
    });
}

void simulateChoice(Window* dialog, int id, int index) {
    onInterface([=] {
        // What a pick from the open list does: the entry is shown, then activated reports it.
        if (auto* combo = dynamic_cast<QComboBox*>(liveControl(dialog, id))) {
            combo->setCurrentIndex(index);
            emit combo->activated(index);
        }
    });
}

void setPlatformHooks(const PlatformHooks& newHooks) {
    onInterface([newHooks] { hookStore() = newHooks; });
}

void whenModalShown(std::function<void(Window* dialog)> fn) {
    onInterface([fn = std::move(fn)] { modalHandlers().push_back(fn); });
}
