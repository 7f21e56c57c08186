// Picture windows: one image, scaled to the window as it is resized.
#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <utility>

#include "ui/platform/internal.h"

using namespace platform_detail;

namespace {

class PictureWindow : public QWidget {
  public:
    PictureWindow(Window* window, QWidget* parent) : QWidget(parent, Qt::Window), window_(window) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    void setPicture(QImage picture) {
        picture_ = std::move(picture);
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::black);
        if (picture_.isNull())
            return;
        const QSize fitted = picture_.size().scaled(size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                           fitted);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, picture_);
    }
    void resizeEvent(QResizeEvent* event) override {
        // The procedure asks for pictures of the screen's pixels, not of the layout's units.
        const double ratio = devicePixelRatioF();
        deliver(window_, WM_SIZE, static_cast<uintptr_t>(std::lround(width() * ratio)),
                std::lround(height() * ratio));
        QWidget::resizeEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        if (!window_->alive || window_->destroying)
            return;
        if (deliver(window_, WM_CLOSE, 0, 0) == 0)
            hide();
    }

  private:
    Window* window_;
    QImage picture_;
};

}  // namespace

Window* createPictureWindow(Window* owner, const std::string& caption, int width, int height,
                            DialogProc proc) {
    if (!isInterfaceThread())
        return callOnInterface(
            [=] { return createPictureWindow(owner, caption, width, height, proc); },
            static_cast<Window*>(nullptr));
    Window* window = newWindow(Window::Type::Dialog);
    window->proc = proc;
    window->owner = owner;
    QWidget* parent =
        owner != nullptr && owner->alive && owner->widget ? owner->widget->window() : nullptr;
    auto* top = new PictureWindow(window, parent);
    top->setWindowTitle(fromUtf8(caption));
    const DialogUnits units = dialogUnitsFor(top->font());
    top->resize(units.toX(width), units.toY(height));
    top->setMinimumSize(units.toX(40), units.toY(30));
    if (parent != nullptr) {
        // Beside the owner, on its right, where the screen has room for it.
        const QRect frame = parent->frameGeometry();
        QPoint at = frame.topRight() + QPoint(8, 0);
        if (QScreen* screen = parent->screen()) {
            const QRect room = screen->availableGeometry();
            if (at.x() + top->width() > room.right())
                at.setX(std::max(room.left(), room.right() - top->width()));
        }
        top->move(at);
    }
    window->widget = top;
    return window;
}

void setPicture(Window* window, int width, int height, const uint8_t* pixels, int64_t bytesPerLine,
                const std::string& caption) {
    if (window == nullptr || width <= 0 || height <= 0)
        return;
    // Converted here, on the caller's thread: the interface only swaps it in.
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = pixels + y * bytesPerLine;
        auto* to = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x, from += 4)
            to[x] = qRgb(from[1], from[2], from[3]);
    }
    onInterface([=] {
        auto* top = window->alive ? dynamic_cast<PictureWindow*>(window->widget.data()) : nullptr;
        if (top == nullptr)
            return;
        top->setPicture(picture);
        if (!caption.empty())
            top->setWindowTitle(fromUtf8(caption));
    });
}

void showWindow(Window* window, bool visible) {
    onInterface([=] {
        if (window == nullptr || !window->alive || !window->widget)
            return;
        QWidget* top = window->widget->window();
        if (!visible) {
            top->hide();
            return;
        }
        top->show();
        top->raise();
    });
}

bool isWindowVisible(Window* window) {
    return callOnInterface(
        [=] {
            return window != nullptr && window->alive && window->widget &&
                   window->widget->window()->isVisible();
        },
        false);
}
