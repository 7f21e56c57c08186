// Dialogs built from templates: the window, its menu bar, its controls at the template's
// places, the messages their input produces, modal and modeless life, and the test drivers.
#include <qdrawutil.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>

#include "ui/platform/internal.h"

using namespace platform_detail;

namespace {

void sendCommand(Window* dialog, int id, int code) {
    deliver(dialog, WM_COMMAND, makeCommand(id, code), 0);
}

bool hasMnemonic(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '&')
            continue;
        if (p[1] == '&') {
            ++p;
            continue;
        }
        return p[1] != '\0';
    }
    return false;
}

// Enter, Escape and the surface's mouse messages, shared by the window and its client area.
bool handleDialogKey(Window* dialog, QKeyEvent* event) {
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            // A push button with the focus is the one Enter presses; otherwise the dialog gets
            // the OK command (there is no default button).
            QWidget* focus = dialog->widget ? dialog->widget->focusWidget() : nullptr;
            if (auto* button = dynamic_cast<QPushButton*>(focus)) {
                for (Window* control : dialog->controls) {
                    if (control->widget == button) {
                        button->click();
                        return true;
                    }
                }
            }
            sendCommand(dialog, IDOK, BN_CLICKED);
            return true;
        }
        case Qt::Key_Escape:
            sendCommand(dialog, IDCANCEL, BN_CLICKED);
            return true;
        default:
            return false;
    }
}

std::vector<std::string> localFiles(const QMimeData* data) {
    std::vector<std::string> files;
    if (data == nullptr || !data->hasUrls())
        return files;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (path.isEmpty())
            continue;
        const QByteArray bytes = QFile::encodeName(path);
        files.emplace_back(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return files;
}

// The area below the menu bar: the template's coordinates start at its corner.
class ClientArea : public QWidget {
  public:
    ClientArea(Window* dialog, QWidget* parent) : QWidget(parent), dialog_(dialog) {
        setFocusPolicy(Qt::NoFocus);
    }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!handleDialogKey(dialog_, event))
            QWidget::keyPressEvent(event);
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton)
            return QWidget::mouseDoubleClickEvent(event);
        const QPoint p = event->position().toPoint();
        deliver(dialog_, WM_LBUTTONDBLCLK, 0, (p.y() << 16) | (p.x() & 0xFFFF));
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::RightButton)
            return QWidget::mousePressEvent(event);
        const QPoint p = event->position().toPoint();
        deliver(dialog_, WM_RBUTTONDOWN, 0, (p.y() << 16) | (p.x() & 0xFFFF));
    }

  private:
    Window* dialog_;
};

class DialogWindow : public QWidget {
  public:
    DialogWindow(Window* dialog, QWidget* parent, Qt::WindowFlags flags)
        : QWidget(parent, flags), dialog_(dialog) {}

    void setParts(QMenuBar* menuBar, QWidget* client, int menuHeight) {
        menuBar_ = menuBar;
        client_ = client;
        menuHeight_ = menuHeight;
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        // Controls keep their template places; only the menu bar and the client area follow.
        if (menuBar_ != nullptr)
            menuBar_->setGeometry(0, 0, width(), menuHeight_);
        if (client_ != nullptr)
            client_->setGeometry(0, menuHeight_, width(), height() - menuHeight_);
        QWidget::resizeEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        // The procedure decides; the window only goes away through endDialog/destroyWindow.
        event->ignore();
        if (!dialog_->alive || dialog_->destroying)
            return;
        if (deliver(dialog_, WM_CLOSE, 0, 0) == 0 && dialog_->alive)
            sendCommand(dialog_, IDCANCEL, BN_CLICKED);
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (!handleDialogKey(dialog_, event))
            QWidget::keyPressEvent(event);
    }
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (!localFiles(event->mimeData()).empty())
            event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent* event) override {
        if (!localFiles(event->mimeData()).empty())
            event->acceptProposedAction();
    }
    void dropEvent(QDropEvent* event) override {
        DropInfo drop;
        drop.files = localFiles(event->mimeData());
        if (drop.files.empty())
            return;
        event->acceptProposedAction();
        const QPoint p = event->position().toPoint();
        drop.x = p.x();
        drop.y = p.y() - menuHeight_;
        deliver(dialog_, WM_DROPFILES, reinterpret_cast<uintptr_t>(&drop), 0);
    }

  private:
    Window* dialog_;
    QMenuBar* menuBar_ = nullptr;
    QWidget* client_ = nullptr;
    int menuHeight_ = 0;
};

// Edit controls report their focus changes.
class FocusNotifier : public QObject {
  public:
    FocusNotifier(Window* control, QObject* parent) : QObject(parent), control_(control) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusIn)
            sendCommand(control_->dialog, control_->id, EN_SETFOCUS);
        else if (event->type() == QEvent::FocusOut)
            sendCommand(control_->dialog, control_->id, EN_KILLFOCUS);
        return QObject::eventFilter(watched, event);
    }

  private:
    Window* control_;
};

// Double clicks anywhere in the list, on an entry or not.
class ListClickNotifier : public QObject {
  public:
    ListClickNotifier(Window* list, QObject* parent) : QObject(parent), list_(list) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonDblClick &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            sendListNotify(list_, NM_DBLCLK);
        return QObject::eventFilter(watched, event);
    }

  private:
    Window* list_;
};

// An automatic radio button: a click always checks it and clears the other radio buttons of
// the dialog (one group); the arrow keys move to the neighbour and check it. Unlike the
// toolkit's exclusive buttons, every one of them stays a tab stop and the program may clear
// them all.
class GroupRadioButton : public QRadioButton {
  public:
    using QRadioButton::QRadioButton;

    void checkAlone() {
        setChecked(true);
        for (GroupRadioButton* other : group())
            if (other != this)
                other->setChecked(false);
    }

  protected:
    void nextCheckState() override { checkAlone(); }
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        const bool forward = key == Qt::Key_Down || key == Qt::Key_Right;
        const bool backward = key == Qt::Key_Up || key == Qt::Key_Left;
        if (!forward && !backward)
            return QRadioButton::keyPressEvent(event);
        const auto buttons = group();
        const auto here = std::find(buttons.begin(), buttons.end(), this) - buttons.begin();
        const auto count = static_cast<qsizetype>(buttons.size());
        GroupRadioButton* next =
            buttons[static_cast<std::size_t>((here + (forward ? 1 : count - 1)) % count)];
        next->setFocus(Qt::TabFocusReason);
        next->click();
    }

  private:
    std::vector<GroupRadioButton*> group() const {
        std::vector<GroupRadioButton*> buttons;
        for (QObject* sibling : parentWidget()->children())
            if (auto* button = dynamic_cast<GroupRadioButton*>(sibling))
                buttons.push_back(button);
        return buttons;
    }
};

// In-place label edits may start but are never accepted.
class DiscardingDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        if (index.column() != 0)
            return nullptr;
        return QStyledItemDelegate::createEditor(parent, option, index);
    }
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
};

// A frame whose line runs through the middle of its title, as the templates expect: the
// controls inside are placed just below the title line.
class FrameBox : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;
    static constexpr int kTitleIndent = 8;
    static constexpr int kTitlePadding = 2;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        // An etched line, drawn here: the style's own group frame leaves room for a title
        // above it.
        qDrawShadeRect(&painter, rect().adjusted(0, metrics.height() / 2, 0, 0), palette(), true, 1,
                       0);
        if (title().isEmpty())
            return;
        const QRect text(kTitleIndent, 0, metrics.horizontalAdvance(title()) + 2 * kTitlePadding,
                         metrics.height());
        painter.fillRect(text, palette().window());
        style()->drawItemText(&painter, text, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                              isEnabled(), title(), QPalette::WindowText);
    }
};

bool focusable(ControlKind kind) {
    return kind != ControlKind::Static && kind != ControlKind::GroupBox &&
           kind != ControlKind::ProgressBar;
}

QWidget* createControl(Window* control, const ControlTemplate& t, QWidget* client) {
    Window* dialog = control->dialog;
    const QString text = QString::fromUtf8(t.text != nullptr ? t.text : "");
    QWidget* widget = nullptr;
    switch (t.kind) {
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, client);
            button->setAutoDefault(false);
            button->setDefault(false);
            QObject::connect(button, &QAbstractButton::clicked, button,
                             [dialog, id = t.id] { sendCommand(dialog, id, BN_CLICKED); });
            widget = button;
            break;
        }
        case ControlKind::GroupBox: {
            // A plain frame: the controls inside are its siblings, and the dialog's surface
            // takes the mouse through it.
            auto* frame = new FrameBox(text, client);
            frame->setAttribute(Qt::WA_TransparentForMouseEvents);
            widget = frame;
            break;
        }
        case ControlKind::AutoRadioButton:
        case ControlKind::AutoCheckBox: {
            QAbstractButton* button = nullptr;
            if (t.kind == ControlKind::AutoRadioButton) {
                button = new GroupRadioButton(text, client);
                button->setAutoExclusive(false);
            } else {
                button = new QCheckBox(text, client);
            }
            QObject::connect(button, &QAbstractButton::clicked, button,
                             [dialog, id = t.id] { sendCommand(dialog, id, BN_CLICKED); });
            widget = button;
            break;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(text, client);
            edit->setFrame((t.style & kBorder) != 0);
            edit->setAcceptDrops(false);  // file drops belong to the dialog
            // Like the classic edit, programmatic text changes notify as well.
            QObject::connect(edit, &QLineEdit::textChanged, edit,
                             [dialog, id = t.id] { sendCommand(dialog, id, EN_CHANGE); });
            edit->installEventFilter(new FocusNotifier(control, edit));
            widget = edit;
            break;
        }
        case ControlKind::Static: {
            auto* label = new QLabel(client);
            label->setTextFormat(Qt::PlainText);  // file names may contain '<'
            label->setWordWrap(true);
            Qt::Alignment alignment = Qt::AlignLeft;
            if (t.style & kAlignRight)
                alignment = Qt::AlignRight;
            if (t.style & kAlignCenter)
                alignment = Qt::AlignHCenter;
            label->setAlignment(alignment | Qt::AlignTop);
            label->setText(text);
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
            widget = label;
            break;
        }
        case ControlKind::ListView: {
            auto* list = new QTreeWidget(client);
            list->setColumnCount(1);
            list->setHeaderLabels({QString()});
            list->setRootIsDecorated(false);
            list->setUniformRowHeights(true);
            // Entries are paths: under one long folder, text cut at the right would make them
            // all look alike, so the cut goes in the middle and the file name stays.
            list->setTextElideMode(Qt::ElideMiddle);
            list->setAllColumnsShowFocus(true);
            list->setSelectionBehavior(QAbstractItemView::SelectRows);
            list->setSelectionMode((t.style & kMultiSelect) ? QAbstractItemView::ExtendedSelection
                                                            : QAbstractItemView::SingleSelection);
            list->setEditTriggers((t.style & kEditLabels) ? QAbstractItemView::SelectedClicked |
                                                                QAbstractItemView::EditKeyPressed
                                                          : QAbstractItemView::NoEditTriggers);
            list->setItemDelegate(new DiscardingDelegate(list));
            list->setHeaderHidden((t.style & kReportView) == 0);
            list->header()->setStretchLastSection(false);
            list->header()->setMinimumSectionSize(0);  // a column may be 1 pixel wide
            list->header()->setSectionsMovable(false);
            list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            if ((t.style & kBorder) == 0)
                list->setFrameShape(QFrame::NoFrame);
            list->setAcceptDrops(false);
            list->viewport()->setAcceptDrops(false);
            list->setContextMenuPolicy(Qt::CustomContextMenu);
            QObject::connect(list, &QWidget::customContextMenuRequested, list,
                             [control] { sendListNotify(control, NM_RCLICK); });
            list->viewport()->installEventFilter(new ListClickNotifier(control, list));
            if (t.windowText != nullptr)
                list->setObjectName(QString::fromUtf8(t.windowText));
            widget = list;
            break;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(client);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            widget = bar;
            break;
        }
        case ControlKind::Trackbar: {
            auto* slider = new QSlider(Qt::Horizontal, client);
            slider->setRange(0, 100);
            slider->setTickPosition(QSlider::TicksBelow);
            slider->setTickInterval(10);
            slider->setPageStep(10);
            QObject::connect(slider, &QSlider::valueChanged, slider, [control] {
                if (!control->programmaticMove)
                    sendScroll(control);
            });
            // The end of a drag reports once more, as the classic trackbar does.
            QObject::connect(slider, &QSlider::sliderReleased, slider,
                             [control] { sendScroll(control); });
            widget = slider;
            break;
        }
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(client);
            if (!text.isEmpty())
                combo->addItems(text.split(u'\n'));
            // activated comes from the user's picks only, like the classic notification.
            QObject::connect(combo, &QComboBox::activated, combo,
                             [dialog, id = t.id] { sendCommand(dialog, id, CBN_SELCHANGE); });
            widget = combo;
            break;
        }
    }
    if (focusable(t.kind))
        widget->setFocusPolicy((t.style & kTabStop) ? Qt::StrongFocus : Qt::ClickFocus);
    else
        widget->setFocusPolicy(Qt::NoFocus);
    return widget;
}

void fillMenu(QMenu* menu, const std::vector<MenuItem>& items, Window* owner, bool connect) {
    for (const MenuItem& item : items) {
        if (item.text == nullptr) {
            menu->addSeparator();
        } else if (!item.popup.empty()) {
            fillMenu(menu->addMenu(QString::fromUtf8(item.text)), item.popup, owner, connect);
        } else {
            QAction* action = menu->addAction(QString::fromUtf8(item.text));
            action->setData(item.id);
            if (!connect)
                continue;  // a popup shows the key after the tab but leaves it to the menu bar
            const QString text = action->text();
            const qsizetype tab = text.indexOf(u'\t');
            if (tab >= 0) {
                // The key works while the window is active, and the menu shows it.
                action->setText(text.left(tab));
                action->setShortcut(QKeySequence(text.mid(tab + 1), QKeySequence::PortableText));
            }
            QObject::connect(action, &QAction::triggered, action,
                             [owner, id = item.id] { sendCommand(owner, id, 0); });
        }
    }
}

Qt::WindowFlags windowFlagsFor(const DialogTemplate& t, bool modal) {
    Qt::WindowFlags flags = (modal ? Qt::Dialog : Qt::Window) | Qt::CustomizeWindowHint;
    if (t.style & kDialogCaption)
        flags |= Qt::WindowTitleHint;
    if (t.style & kDialogSystemMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (t.style & kDialogMinimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    if (t.style & kDialogMaximizeBox)
        flags |= Qt::WindowMaximizeButtonHint;
    return flags;
}

QString withoutMnemonics(QString text) {
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i] == u'&')
            text.remove(i, 1);  // "&&" keeps one
    return text;
}

// Whether the control's template caption (an edit: its text; a drop-down list: its entries)
// shows whole at its current size.
bool captionFits(const Window* control) {
    QWidget* widget = control->widget;
    const QFontMetrics metrics(widget->font());
    const QRect rect = control->rect;
    if (auto* frame = dynamic_cast<QGroupBox*>(widget))
        return frame->title().isEmpty() ||
               metrics.horizontalAdvance(frame->title()) +
                       2 * (FrameBox::kTitleIndent + FrameBox::kTitlePadding) <=
                   rect.width();
    if (auto* button = dynamic_cast<QPushButton*>(widget)) {
        const int margin = widget->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget);
        return metrics.horizontalAdvance(withoutMnemonics(button->text())) + 2 * margin <=
               rect.width();
    }
    if (auto* button = dynamic_cast<QAbstractButton*>(widget))
        return button->sizeHint().width() <= rect.width();
    // The box is as wide as its widest entry needs.
    if (auto* combo = dynamic_cast<QComboBox*>(widget))
        return combo->sizeHint().width() <= rect.width();
    if (auto* edit = dynamic_cast<QLineEdit*>(widget)) {
        // The template's text is what the edit must show whole. Inside its frame the edit
        // keeps 2 pixels each side of the text, and 1 for the cursor after it.
        if (edit->text().isEmpty())
            return true;
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.rect = QRect(QPoint(0, 0), rect.size());
        option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(
                                                  QStyle::PM_DefaultFrameWidth, &option, edit)
                                            : 0;
        const QRect contents = edit->style()
                                   ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                                   .marginsRemoved(edit->textMargins());
        return QFontMetricsF(edit->font()).horizontalAdvance(edit->text()) + 2 * 2 + 1 <=
               contents.width();
    }
    if (auto* label = dynamic_cast<QLabel*>(widget)) {
        if (label->text().isEmpty())
            return true;
        const QRect needed =
            metrics.boundingRect(QRect(0, 0, rect.width(), 100000),
                                 Qt::TextWordWrap | Qt::TextShowMnemonic, label->text());
        return needed.width() <= rect.width() && needed.height() <= rect.height();
    }
    return true;
}

// Places the controls at their template rectangles. Where the desktop's font is relatively
// wider than the template's, the horizontal unit grows evenly until every caption fits, so
// nothing is clipped and the proportions stay. Returns the units used.
DialogUnits placeControls(Window* dialog, DialogUnits units) {
    const DialogTemplate& t = *dialog->dialogTemplate;
    const double baseX = units.x;
    for (int attempt = 0; attempt < 40; ++attempt) {
        bool fits = true;
        for (std::size_t i = 0; i < t.controls.size(); ++i) {
            const ControlTemplate& c = t.controls[i];
            Window* control = dialog->controls[i];
            control->rect = QRect(units.toX(c.x), units.toY(c.y), units.toX(c.cx), units.toY(c.cy));
            control->widget->setGeometry(control->rect);
            fits = fits && captionFits(control);
        }
        if (fits)
            break;
        units.x = baseX * (1.0 + 0.02 * (attempt + 1));
    }
    return units;
}

Window* buildDialog(const DialogTemplate& t, Window* owner, DialogProc proc, bool modal) {
    Window* dialog = newWindow(Window::Type::Dialog);
    dialog->id = t.id;
    dialog->dialogTemplate = &t;
    dialog->proc = proc;
    dialog->owner = owner;
    dialog->modal = modal;

    QWidget* parent = nullptr;
    if (owner != nullptr && owner->alive && owner->widget)
        parent = owner->widget->window();
    auto* top = new DialogWindow(dialog, parent, windowFlagsFor(t, modal));
    top->setWindowTitle(QString::fromUtf8(t.caption != nullptr ? t.caption : ""));
    dialog->widget = top;

    QMenuBar* menuBar = nullptr;
    int menuHeight = 0;
    if (const MenuTemplate* menu = t.menuId != 0 ? findMenuTemplate(t.menuId) : nullptr) {
        menuBar = new QMenuBar(top);
        menuBar->setNativeMenuBar(false);  // inside the window, above the client area
        for (const MenuItem& popup : menu->popups) {
            QMenu* sub = menuBar->addMenu(QString::fromUtf8(popup.text));
            fillMenu(sub, popup.popup, dialog, true);
        }
        menuHeight = menuBar->sizeHint().height();
    }
    auto* client = new ClientArea(dialog, top);
    dialog->client = client;
    top->setParts(menuBar, client, menuHeight);
    dialog->menuHeight = menuHeight;

    // Created in template order, so later controls lie above earlier ones (a frame below
    // the controls inside it) and the default tab order is the template order.
    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& c : t.controls) {
        Window* control = newWindow(Window::Type::Control);
        control->id = c.id;
        control->kind = c.kind;
        control->style = c.style;
        control->dialog = dialog;
        QWidget* widget = createControl(control, c, client);
        control->widget = widget;
        dialog->controls.push_back(control);
        if ((c.style & kTabStop) && focusable(c.kind)) {
            if (previousTabStop != nullptr)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
    }
    // A label's mnemonic moves the focus to the next tab stop after it in template order.
    const std::size_t count = t.controls.size();
    for (std::size_t i = 0; i < count; ++i) {
        const ControlTemplate& c = t.controls[i];
        if (c.kind != ControlKind::Static || c.text == nullptr || !hasMnemonic(c.text))
            continue;
        for (std::size_t step = 1; step < count; ++step) {
            const std::size_t j = (i + step) % count;
            if ((t.controls[j].style & kTabStop) && focusable(t.controls[j].kind)) {
                static_cast<QLabel*>(dialog->controls[i]->widget.data())
                    ->setBuddy(dialog->controls[j]->widget);
                break;
            }
        }
    }

    // The desktop's own font: the template keeps its proportions in any size.
    const DialogUnits units = placeControls(dialog, dialogUnitsFor(top->font()));
    const QSize clientSize(units.toX(t.cx), units.toY(t.cy));
    const QSize windowSize(clientSize.width(), clientSize.height() + menuHeight);
    top->resize(windowSize);
    if (t.style & kDialogSizingBorder)
        top->setMinimumSize(windowSize);
    else
        top->setFixedSize(windowSize);
    client->setGeometry(0, menuHeight, clientSize.width(), clientSize.height());

    // The template's position is relative to the owner's client area (the screen without one).
    QPoint origin(0, 0);
    if (owner != nullptr && owner->alive && owner->client)
        origin = owner->client->mapToGlobal(origin);
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        origin = screen->availableGeometry().topLeft();
    top->move(origin + QPoint(units.toX(t.x), units.toY(t.y)));
    return dialog;
}

void focusFirstTabStop(Window* dialog) {
    for (Window* control : dialog->controls) {
        if ((control->style & kTabStop) && focusable(control->kind) && control->widget &&
            control->widget->isVisible()) {
            control->widget->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

void showDialog(Window* dialog, intptr_t initResult) {
    QWidget* top = dialog->widget;
    top->show();
    top->activateWindow();
    if (initResult != 0)
        focusFirstTabStop(dialog);
    else if (dialog->client)
        dialog->client->setFocus();
}

// Removes the dialog; the procedure has had its WM_DESTROY.
void retireDialog(Window* dialog, bool deleteNow) {
    dialog->alive = false;
    auto& modeless = modelessDialogs();
    modeless.erase(std::remove(modeless.begin(), modeless.end(), dialog), modeless.end());
    for (Window* control : dialog->controls)
        control->alive = false;
    QWidget* top = dialog->widget;
    if (top == nullptr)
        return;
    // Boxes that a run shows above this dialog outlive it, above its owner.
    QWidget* heir = parentWidgetFor(dialog->owner);
    if (heir == top)
        heir = nullptr;
    for (QMessageBox* box : top->findChildren<QMessageBox*>(Qt::FindDirectChildrenOnly)) {
        box->setParent(heir, box->windowFlags());
        box->show();
    }
    top->hide();
    if (deleteNow)
        delete top;
    else
        top->deleteLater();
}

}  // namespace

namespace platform_detail {

void sendListNotify(Window* list, int code) {
    NotifyHeader header;
    header.from = list;
    header.idFrom = list->id;
    header.code = code;
    deliver(list->dialog, WM_NOTIFY, static_cast<uintptr_t>(list->id),
            reinterpret_cast<intptr_t>(&header));
}

void sendScroll(Window* trackbar) {
    deliver(trackbar->dialog, WM_HSCROLL, 0, reinterpret_cast<intptr_t>(trackbar));
}

Window* findControl(Window* dialog, int id) {
    if (dialog == nullptr || dialog->type != Window::Type::Dialog)
        return nullptr;
    for (Window* control : dialog->controls)
        if (control->id == id)
            return control;
    return nullptr;
}

QWidget* liveControl(Window* dialog, int id) {
    Window* control = findControl(dialog, id);
    return control != nullptr && control->alive ? control->widget.data() : nullptr;
}

QWidget* parentWidgetFor(Window* owner) {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    for (auto it = modalStack().rbegin(); it != modalStack().rend(); ++it)
        if ((*it)->alive && (*it)->widget && (*it)->widget->isVisible())
            return (*it)->widget;
    if (owner != nullptr && owner->alive && owner->widget)
        return owner->widget->window();
    for (Window* dialog : modelessDialogs())
        if (dialog->alive && dialog->widget)
            return dialog->widget;
    return nullptr;
}

int DialogUnits::toX(int units) const {
    return qRound(units * x);
}
int DialogUnits::toY(int units) const {
    return qRound(units * y);
}

DialogUnits dialogUnitsFor(const QFont& font) {
    const QFontMetricsF metrics(font);
    DialogUnits units;
    // The classic definition: the mean advance of the 52 letters (the font's own "average
    // width" field runs narrow for many desktop faces).
    units.x = metrics.horizontalAdvance(
                  QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
              52.0 / 4.0;
    units.y = metrics.height() / 8.0;
    return units;
}

}  // namespace platform_detail

Window* createDialog(int templateId, Window* owner, DialogProc proc) {
    if (!isInterfaceThread())
        return callOnInterface([=] { return createDialog(templateId, owner, proc); },
                               static_cast<Window*>(nullptr));
    const DialogTemplate* t = findDialogTemplate(templateId);
    if (t == nullptr)
        return nullptr;
    Window* dialog = buildDialog(*t, owner, proc, false);
    dialog->widget->setAcceptDrops(true);
    modelessDialogs().push_back(dialog);
    const intptr_t init = deliver(dialog, WM_INITDIALOG, 0, 0);
    if (dialog->alive && (t->style & kDialogVisible))
        showDialog(dialog, init);
    return dialog;
}

intptr_t dialogBox(int templateId, Window* owner, DialogProc proc) {
    if (!isInterfaceThread())
        return callOnInterface([=] { return dialogBox(templateId, owner, proc); },
                               static_cast<intptr_t>(-1));
    const DialogTemplate* t = findDialogTemplate(templateId);
    if (t == nullptr)
        return -1;
    Window* dialog = buildDialog(*t, owner, proc, true);
    const intptr_t init = deliver(dialog, WM_INITDIALOG, 0, 0);
    if (dialog->alive && !dialog->ended) {
        dialog->widget->setWindowModality(Qt::ApplicationModal);
        showDialog(dialog, init);
        modalStack().push_back(dialog);
        notifyModalShown(dialog);
        QEventLoop loop;
        dialog->loop = &loop;
        if (!dialog->ended)
            loop.exec(QEventLoop::DialogExec);
        dialog->loop = nullptr;
        auto& stack = modalStack();
        stack.erase(std::remove(stack.begin(), stack.end(), dialog), stack.end());
    }
    if (dialog->alive) {
        dialog->destroying = true;
        deliver(dialog, WM_DESTROY, 0, 0);
        // Every handler of the dialog has returned once its loop has, so it can go at once.
        retireDialog(dialog, true);
    }
    if (owner != nullptr && owner->alive && owner->widget)
        owner->widget->activateWindow();
    return dialog->result;
}

void endDialog(Window* dialog, intptr_t result) {
    onInterface([=] {
        if (dialog == nullptr || dialog->type != Window::Type::Dialog || !dialog->alive)
            return;
        dialog->result = result;
        dialog->ended = true;
        if (dialog->widget)
            dialog->widget->hide();
        if (dialog->loop != nullptr)
            dialog->loop->exit(0);
    });
}

void destroyWindow(Window* dialog) {
    onInterface([=] {
        if (dialog == nullptr || !dialog->alive || dialog->destroying)
            return;
        if (dialog->type != Window::Type::Dialog) {
            dialog->alive = false;
            if (dialog->widget)
                dialog->widget->deleteLater();
            return;
        }
        dialog->destroying = true;
        deliver(dialog, WM_DESTROY, 0, 0);
        if (dialog->loop != nullptr) {
            // A modal dialog: its dialogBox call removes it.
            dialog->ended = true;
            dialog->loop->exit(0);
            dialog->alive = false;
            return;
        }
        retireDialog(dialog, false);
    });
}

intptr_t sendMessage(Window* dialog, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return callOnInterface([=] { return deliver(dialog, message, wParam, lParam); },
                           static_cast<intptr_t>(0));
}

void setDialogIcon(Window* dialog, int iconId) {
    const std::string path = iconResourcePath(iconId);
    onInterface([=] {
        if (dialog == nullptr || !dialog->alive || !dialog->widget)
            return;
        const QString file = QFile::decodeName(path.c_str());
        if (path.empty() || !QFileInfo::exists(file))
            return;
        const QIcon icon(file);
        dialog->widget->setWindowIcon(icon);
        if (dialog->owner == nullptr)
            QApplication::setWindowIcon(icon);
    });
}

Window* activeDialog() {
    return callOnInterface(
        []() -> Window* {
            for (auto it = modalStack().rbegin(); it != modalStack().rend(); ++it)
                if ((*it)->alive && !(*it)->ended)
                    return *it;
            auto& modeless = modelessDialogs();
            for (auto it = modeless.rbegin(); it != modeless.rend(); ++it)
                if ((*it)->alive && (*it)->widget && (*it)->widget->isVisible())
                    return *it;
            return nullptr;
        },
        static_cast<Window*>(nullptr));
}

Window* getDlgItem(Window* dialog, int id) {
    return findControl(dialog, id);
}

int getDlgCtrlId(Window* control) {
    return control != nullptr && control->type == Window::Type::Control ? control->id : 0;
}

Window* childWindowFromPoint(Window* dialog, int x, int y) {
    if (dialog == nullptr || dialog->type != Window::Type::Dialog)
        return nullptr;
    for (Window* control : dialog->controls)
        if (control->rect.contains(x, y))
            return control;
    return nullptr;
}

void trackPopupMenu(Window* owner, int menuId, int popupIndex) {
    onInterface([=] {
        if (hooks().popupMenu) {
            hooks().popupMenu(owner, menuId, popupIndex);
            return;
        }
        const MenuTemplate* menu = findMenuTemplate(menuId);
        if (menu == nullptr || popupIndex < 0 ||
            static_cast<std::size_t>(popupIndex) >= menu->popups.size())
            return;
        QWidget* parent = owner != nullptr && owner->alive ? owner->widget.data() : nullptr;
        QMenu popup(parent);
        fillMenu(&popup, menu->popups[static_cast<std::size_t>(popupIndex)].popup, owner, false);
        if (QAction* chosen = popup.exec(QCursor::pos()))
            sendCommand(owner, chosen->data().toInt(), 0);
    });
}

namespace {

// The menu bar's item with this command id, or nullptr.
QAction* menuAction(Window* dialog, int id) {
    if (dialog == nullptr || !dialog->alive || !dialog->widget)
        return nullptr;
    auto* bar = dialog->widget->findChild<QMenuBar*>(QString(), Qt::FindDirectChildrenOnly);
    if (bar == nullptr)
        return nullptr;
    for (QAction* action : bar->findChildren<QAction*>())
        if (action->data().isValid() && action->data().toInt() == id)
            return action;
    return nullptr;
}

}  // namespace

void checkMenuItem(Window* dialog, int id, bool checked) {
    onInterface([=] {
        if (QAction* action = menuAction(dialog, id)) {
            action->setCheckable(true);
            action->setChecked(checked);
        }
    });
}

bool isMenuItemChecked(Window* dialog, int id) {
    return callOnInterface(
        [=] {
            const QAction* action = menuAction(dialog, id);
            return action != nullptr && action->isChecked();
        },
        false);
}
