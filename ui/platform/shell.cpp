// Message boxes, the open and save dialogs, and opening files in the desktop's programs.
#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <span>

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
        layout->addItem(
            new QSpacerItem(captionWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
            layout->rowCount(), 0, 1, layout->columnCount());
    }
    // A text laid out in lines by hand keeps them: the box would wrap each line again at its
    // own width (about 500 pixels), leaving single words on lines of their own. Lines too long
    // even for a wide box still wrap.
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (label != nullptr && text.find('\n') != std::string::npos) {
        int widest = 0;
        for (const QString& line : box->text().split(u'\n'))
            widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
        const QScreen* screen = box->screen();
        const int screenWidth = screen != nullptr ? screen->availableGeometry().width() : 800;
        // The box never grows wider than this (the toolkit's own limit), icon and margins
        // included.
        const int boxLimit = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
        label->setMinimumWidth(std::min(widest + 1, boxLimit - 150));
    }
    return box;
}

// Hands path to xdg-open and reads its verdict. It answers at once when it passes the file to
// the desktop's opener, but when it runs a viewer itself it returns only when that viewer
// closes: still running after a moment means a program has the file.
bool openWithXdgOpen(const QString& opener, const QString& path) {
    constexpr int kPatienceMs = 2000;
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    QEventLoop loop;
    QObject::connect(process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(kPatienceMs, &loop, &QEventLoop::quit);
    process->start(opener, {path});
    if (process->waitForStarted())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (process->state() != QProcess::NotRunning) {
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        return true;
    }
    const bool opened = process->error() == QProcess::UnknownError &&
                        process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    delete process;
    return opened;
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

// What the file dialogs list, and so what counts as an image file elsewhere: the formats we
// write, then the camera RAW files we only read. The RAW names are those the format layer's
// isRawExtension takes; the interface tests hold the two together.
constexpr const char* kWritableExtensions[] = {"jpg", "jpeg", "jpe", "tif", "tiff", "bmp", "png"};
constexpr const char* kRawExtensions[] = {"dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf",
                                          "sr2", "raf", "orf", "rw2", "pef", "srw", "x3f", "3fr",
                                          "iiq", "erf", "kdc", "dcr", "mrw", "mos", "rwl"};

bool listed(std::span<const char* const> extensions, const QString& extension) {
    return std::any_of(extensions.begin(), extensions.end(), [&](const char* known) {
        return extension.compare(QLatin1String(known), Qt::CaseInsensitive) == 0;
    });
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

QString imageNameFilter(bool withRaw) {
    // The dialog shows the text before the last parentheses (details hidden) and matches the
    // patterns inside them, without regard to letter case.
    QStringList shown;
    QStringList patterns;
    for (const char* extension : kWritableExtensions) {
        shown << QStringLiteral("*.") + QLatin1String(extension);
        patterns << shown.back();
    }
    if (withRaw) {
        // Two dozen camera names would push the list off the screen; they show as one entry.
        shown << QStringLiteral("RAW");
        for (const char* extension : kRawExtensions)
            patterns << QStringLiteral("*.") + QLatin1String(extension);
    }
    return QStringLiteral("Image Files (%1) (%2)").arg(shown.join(u", "), patterns.join(u' '));
}

void configureFileDialog(QFileDialog& dialog, const FileDialogRequest& request) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    // An output name cannot be a RAW file's, so the save dialog does not list them.
    dialog.setNameFilter(request.nameFilter.empty() ? imageNameFilter(!request.save)
                                                    : fromUtf8(request.nameFilter));
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (request.folder) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
    } else if (request.save) {
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

bool hasImageExtension(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    const QString extension = QString::fromUtf8(path.c_str() + dot + 1);
    return listed(kWritableExtensions, extension) || listed(kRawExtensions, extension);
}

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
    const QString file = QFile::decodeName(path.c_str());
    // The toolkit would start xdg-open and call that success, whatever it then reports.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty())
        return openWithXdgOpen(opener, file) ? kOpened : kNoAssociation;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file)) ? kOpened : kNoAssociation;
}
