// Message boxes, the open and save dialogs, and opening files in the desktop's programs.
#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "ui/platform/internal.h"

using namespace platform_detail;

namespace {

QMessageBox* makeBox(Window* owner, const std::string& text, const std::string& caption,
                     unsigned flags) {
    auto* box = new QMessageBox(parentWidgetFor(owner));
    box->setTextFormat(Qt::PlainText);
    box->setText(fromUtf8(text));
    box->setWindowTitle(fromUtf8(caption));
    if (flags & MB_ICONERROR)
        box->setIcon(QMessageBox::Critical);
    else if (flags & MB_ICONINFORMATION)
        box->setIcon(QMessageBox::Information);
    else
        box->setIcon(QMessageBox::NoIcon);
    box->setStandardButtons(QMessageBox::Ok);
    // A short text makes a narrow box whose title the window manager cuts ("Co... ete");
    // keep the box wide enough for its caption and the title bar's buttons.
    const int captionWidth = box->fontMetrics().horizontalAdvance(box->windowTitle()) + 160;
    if (auto* layout = qobject_cast<QGridLayout*>(box->layout())) {
        layout->addItem(new QSpacerItem(captionWidth, 0, QSizePolicy::Minimum,
                                        QSizePolicy::Expanding),
                        layout->rowCount(), 0, 1, layout->columnCount());
    }
    return box;
}

Window* wrapBox(QMessageBox* box) {
    Window* window = newWindow(Window::Type::MessageBox);
    window->widget = box;
    window->id = 0;
    return window;
}

// A box shown for another thread: not modal, so the window stays usable (Stop works), and
// finished when the user dismisses it or it disappears.
void showBoxFor(const std::shared_ptr<Completion>& done, Window* owner, const std::string& text,
                const std::string& caption, unsigned flags) {
    if (hooks().messageBox) {
        hooks().messageBox(owner, text, caption, flags);
        done->finish();
        return;
    }
    QMessageBox* box = makeBox(owner, text, caption, flags);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    Window* window = wrapBox(box);
    QObject::connect(box, &QDialog::finished, box, [done] { done->finish(); });
    QObject::connect(box, &QObject::destroyed, [done, window] {
        window->alive = false;
        done->finish();
    });
    box->show();
    box->activateWindow();
    notifyModalShown(window);
}

// The deepest directory that holds every path, with no trailing '/' unless it is the root.
std::string commonDirectory(const std::vector<std::string>& paths) {
    std::string directory = paths.front().substr(0, paths.front().rfind('/') + 1);
    for (const std::string& path : paths) {
        while (!directory.empty() && path.compare(0, directory.size(), directory) != 0) {
            directory.pop_back();
            directory.erase(directory.rfind('/') + 1);
        }
    }
    if (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

}  // namespace

namespace platform_detail {

std::string formatFileSelection(const std::vector<std::string>& paths) {
    if (paths.empty())
        return std::string();
    if (paths.size() == 1)
        return paths.front() + std::string(2, '\0');
    const std::string directory = commonDirectory(paths);
    const std::size_t skip = directory == "/" ? 1 : directory.size() + 1;
    std::string selection = directory;
    selection.push_back('\0');
    for (const std::string& path : paths) {
        selection += path.substr(skip);
        selection.push_back('\0');
    }
    selection.push_back('\0');
    return selection;
}

QString imageNameFilter() {
    // The dialog shows the text before the last parentheses (details hidden) and matches the
    // patterns inside them, without regard to letter case.
    return QStringLiteral("Image Files (*.jpg, *.bmp, *.tif) (*.jpg *.bmp *.tif)");
}

void configureFileDialog(QFileDialog& dialog, const FileDialogRequest& request) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilter(imageNameFilter());
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (request.save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.promptOverwrite);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        if (request.multiSelect)
            dialog.setFileMode(QFileDialog::ExistingFiles);
        else
            dialog.setFileMode(request.fileMustExist ? QFileDialog::ExistingFile
                                                     : QFileDialog::AnyFile);
    }
    if (!request.initialLocation.empty()) {
        const QFileInfo location(QFile::decodeName(request.initialLocation.c_str()));
        if (location.isDir()) {
            dialog.setDirectory(location.absoluteFilePath());
        } else {
            dialog.setDirectory(location.absolutePath());
            dialog.selectFile(location.fileName());
        }
    }
}

}  // namespace platform_detail

int messageBox(Window* owner, const std::string& text, const std::string& caption, unsigned flags) {
    if (!isInterfaceThread()) {
        auto done = std::make_shared<Completion>();
        if (postToInterface([done, owner, text, caption, flags] {
                showBoxFor(done, owner, text, caption, flags);
            }))
            waitFor(*done);
        return IDOK;
    }
    if (hooks().messageBox)
        return hooks().messageBox(owner, text, caption, flags);
    QMessageBox* box = makeBox(owner, text, caption, flags);
    Window* window = wrapBox(box);
    modalStack().push_back(window);
    notifyModalShown(window);
    box->exec();
    auto& stack = modalStack();
    stack.erase(std::remove(stack.begin(), stack.end(), window), stack.end());
    window->alive = false;
    delete box;
    return IDOK;
}

bool fileDialog(const FileDialogRequest& request, std::string& selection) {
    if (!isInterfaceThread()) {
        // Shared with the interface thread: a released wait must not leave it a dangling buffer.
        auto result = std::make_shared<std::string>();
        const bool chosen =
            callOnInterface([request, result] { return fileDialog(request, *result); }, false);
        if (chosen)
            selection = *result;
        return chosen;
    }
    if (hooks().fileDialog)
        return hooks().fileDialog(request, selection);

    QFileDialog dialog(parentWidgetFor(request.owner), fromUtf8(request.title));
    configureFileDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    std::vector<std::string> paths;
    for (const QString& file : dialog.selectedFiles()) {
        const QByteArray bytes = QFile::encodeName(file);
        paths.emplace_back(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    if (paths.empty())
        return false;
    selection = formatFileSelection(paths);
    return true;
}

int shellOpen(Window* owner, const std::string& path) {
    // The classic shell's codes: file not found, no association, and any value above 32.
    constexpr int kNotFound = 2;
    constexpr int kNoAssociation = 31;
    constexpr int kOpened = 42;
    if (!isInterfaceThread())
        return callOnInterface([=] { return shellOpen(owner, path); }, kNotFound);
    if (hooks().shellOpen)
        return hooks().shellOpen(path);
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0 || access(path.c_str(), R_OK) != 0)
        return kNotFound;
    const QUrl url = QUrl::fromLocalFile(QFile::decodeName(path.c_str()));
    return QDesktopServices::openUrl(url) ? kOpened : kNoAssociation;
}
