// Operations on the controls of a dialog. Changes may come from any thread and are carried
// to the interface thread; reads from another thread wait for the interface thread's answer.
#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QSlider>
#include <QTreeWidget>

#include <algorithm>

#include "ui/platform/internal.h"

using namespace platform_detail;

namespace {

Window* control(Window* dialog, int id) {
    Window* found = getDlgItem(dialog, id);
    return found != nullptr && found->alive ? found : nullptr;
}

template <typename T>
T* widgetOf(Window* window) {
    if (window == nullptr || window->type != Window::Type::Control || !window->alive)
        return nullptr;
    return dynamic_cast<T*>(window->widget.data());
}

QTreeWidgetItem* listItem(Window* list, int index) {
    auto* tree = widgetOf<QTreeWidget>(list);
    if (tree == nullptr || index < 0 || index >= tree->topLevelItemCount())
        return nullptr;
    return tree->topLevelItem(index);
}

}  // namespace

void setDlgItemText(Window* dialog, int id, const std::string& text) {
    onInterface([=] {
        Window* target = control(dialog, id);
        if (target == nullptr)
            return;
        const QString value = fromUtf8(text);
        QWidget* widget = target->widget;
        if (auto* edit = dynamic_cast<QLineEdit*>(widget)) {
            edit->setText(value);
            edit->setCursorPosition(0);  // a text too long for the box shows its beginning
        } else if (auto* label = dynamic_cast<QLabel*>(widget))
            label->setText(value);
        else if (auto* button = dynamic_cast<QAbstractButton*>(widget))
            button->setText(value);
        else if (auto* frame = dynamic_cast<QGroupBox*>(widget))
            frame->setTitle(value);
    });
}

std::string getDlgItemText(Window* dialog, int id, std::size_t maxChars) {
    return callOnInterface(
        [=] {
            Window* target = control(dialog, id);
            if (target == nullptr)
                return std::string();
            QString value;
            QWidget* widget = target->widget;
            if (auto* edit = dynamic_cast<QLineEdit*>(widget))
                value = edit->text();
            else if (auto* label = dynamic_cast<QLabel*>(widget))
                value = label->text();
            else if (auto* button = dynamic_cast<QAbstractButton*>(widget))
                value = button->text();
            else if (auto* frame = dynamic_cast<QGroupBox*>(widget))
                value = frame->title();
            else if (auto* combo = dynamic_cast<QComboBox*>(widget))
                value = combo->currentText();
            return truncateUtf8(toUtf8(value), maxChars);
        },
        std::string());
}

void checkDlgButton(Window* dialog, int id, bool checked) {
    onInterface([=] {
        auto* button = widgetOf<QAbstractButton>(control(dialog, id));
        if (button == nullptr)
            return;
        button->setChecked(checked);
        // The radio buttons of a dialog are one group: never two of them checked.
        if (checked && dynamic_cast<QRadioButton*>(button) != nullptr) {
            for (QObject* sibling : button->parent()->children())
                if (auto* other = dynamic_cast<QRadioButton*>(sibling))
                    if (other != button)
                        other->setChecked(false);
        }
    });
}

bool isDlgButtonChecked(Window* dialog, int id) {
    return callOnInterface(
        [=] {
            auto* button = widgetOf<QAbstractButton>(control(dialog, id));
            return button != nullptr && button->isChecked();
        },
        false);
}

void setFocusTo(Window* dialog, int id) {
    onInterface([=] {
        if (Window* target = control(dialog, id))
            if (target->widget)
                target->widget->setFocus(Qt::OtherFocusReason);
    });
}

void showControl(Window* window, bool visible) {
    onInterface([=] {
        if (window != nullptr && window->alive && window->widget)
            window->widget->setVisible(visible);
    });
}

// ---- list view ----

void listInsertColumn(Window* list, int index, const std::string& title, int widthPixels) {
    onInterface([=] {
        auto* tree = widgetOf<QTreeWidget>(list);
        if (tree == nullptr)
            return;
        const int at = std::clamp(index, 0, static_cast<int>(list->columns.size()));
        list->columns.insert(at, fromUtf8(title));
        tree->setColumnCount(static_cast<int>(list->columns.size()));
        tree->setHeaderLabels(list->columns);
        tree->setColumnWidth(at, widthPixels);
    });
}

int listCount(Window* list) {
    return callOnInterface(
        [=] {
            auto* tree = widgetOf<QTreeWidget>(list);
            return tree != nullptr ? tree->topLevelItemCount() : 0;
        },
        0);
}

int listInsertItem(Window* list, int index, const std::string& text) {
    return callOnInterface(
        [=] {
            auto* tree = widgetOf<QTreeWidget>(list);
            if (tree == nullptr)
                return -1;
            const int at = std::clamp(index, 0, tree->topLevelItemCount());
            auto* item = new QTreeWidgetItem(QStringList{fromUtf8(text)});
            item->setToolTip(0, item->text(0));  // the whole of a text cut short in the view
            if (list->style & kEditLabels)
                item->setFlags(item->flags() | Qt::ItemIsEditable);
            tree->insertTopLevelItem(at, item);
            return at;
        },
        -1);
}

void listSetSubItem(Window* list, int index, int subItem, const std::string& text) {
    onInterface([=] {
        if (QTreeWidgetItem* item = listItem(list, index)) {
            if (subItem >= 0) {
                item->setText(subItem, fromUtf8(text));
                item->setToolTip(subItem, item->text(subItem));
            }
        }
    });
}

std::string listItemText(Window* list, int index, int subItem, std::size_t maxChars) {
    return callOnInterface(
        [=] {
            QTreeWidgetItem* item = listItem(list, index);
            if (item == nullptr || subItem < 0)
                return std::string();
            return truncateUtf8(toUtf8(item->text(subItem)), maxChars);
        },
        std::string());
}

void listDeleteItem(Window* list, int index) {
    onInterface([=] { delete listItem(list, index); });
}

void listDeleteAll(Window* list) {
    onInterface([=] {
        if (auto* tree = widgetOf<QTreeWidget>(list))
            tree->clear();
    });
}

int listNextSelected(Window* list, int start) {
    return callOnInterface(
        [=] {
            auto* tree = widgetOf<QTreeWidget>(list);
            if (tree == nullptr)
                return -1;
            const int count = tree->topLevelItemCount();
            for (int i = std::max(start + 1, 0); i < count; ++i)
                if (tree->topLevelItem(i)->isSelected())
                    return i;
            return -1;
        },
        -1);
}

void listSetSelected(Window* list, int index, bool selected) {
    onInterface([=] {
        if (QTreeWidgetItem* item = listItem(list, index))
            item->setSelected(selected);
    });
}

// ---- progress bar and trackbar ----

void progressSetPos(Window* bar, int position) {
    onInterface([=] {
        // The toolkit ignores values outside the range; the classic bar clamps them.
        if (auto* progress = widgetOf<QProgressBar>(bar))
            progress->setValue(std::clamp(position, progress->minimum(), progress->maximum()));
    });
}

int progressPos(Window* bar) {
    return callOnInterface(
        [=] {
            auto* progress = widgetOf<QProgressBar>(bar);
            return progress != nullptr ? progress->value() : 0;
        },
        0);
}

void trackbarSetRange(Window* trackbar, int minimum, int maximum) {
    onInterface([=] {
        auto* slider = widgetOf<QSlider>(trackbar);
        if (slider == nullptr)
            return;
        trackbar->programmaticMove = true;
        slider->setRange(minimum, maximum);
        trackbar->programmaticMove = false;
    });
}

void trackbarSetPos(Window* trackbar, int position) {
    onInterface([=] {
        auto* slider = widgetOf<QSlider>(trackbar);
        if (slider == nullptr)
            return;
        trackbar->programmaticMove = true;
        slider->setValue(position);  // kept within the range
        trackbar->programmaticMove = false;
    });
}

int trackbarPos(Window* trackbar) {
    return callOnInterface(
        [=] {
            auto* slider = widgetOf<QSlider>(trackbar);
            return slider != nullptr ? slider->value() : 0;
        },
        0);
}

// ---- drop-down list ----

void comboSetSelection(Window* combo, int index) {
    onInterface([=] {
        // Only the user's picks notify (the activated signal), so this one stays quiet.
        if (auto* box = widgetOf<QComboBox>(combo))
            box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
    });
}

int comboSelection(Window* combo) {
    return callOnInterface(
        [=] {
            auto* box = widgetOf<QComboBox>(combo);
            return box != nullptr ? box->currentIndex() : -1;
        },
        -1);
}
