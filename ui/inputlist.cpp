#include "ui/inputlist.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/options.h"
#include "engine/system.h"
#include "imageio/filenames.h"
#include "imageio/imageio.h"
#include "ui/ui.h"

std::string lastFileLocation;

namespace {

// The first string of a selection buffer (up to its terminating zero).
std::string firstString(const std::string& buffer) {
    return buffer.substr(0, buffer.find('\0'));
}

FileDialogRequest prepareFileDialog(Window* owner, const char* title) {
    FileDialogRequest request;
    request.owner = owner;
    request.title = title;
    request.initialLocation = lastFileLocation;
    return request;
}

// The files paths stand for: a folder gives the image files directly inside it (not those of
// its subfolders), anything else itself, when it has an image file's name or keepOthers holds.
// Returns how many files were left out.
int collectInputFiles(const std::vector<std::string>& paths, bool keepOthers,
                      std::vector<std::string>& files) {
    namespace fs = std::filesystem;
    int ignored = 0;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            if (keepOthers || hasImageExtension(path))
                files.push_back(path);
            else
                ++ignored;
            continue;
        }
        for (fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, error),
             end;
             !error && it != end; it.increment(error)) {
            std::error_code kindError;
            if (it->is_directory(kindError))
                continue;
            if (hasImageExtension(it->path().filename().string()))
                files.push_back(it->path().string());
            else
                ++ignored;
        }
    }
    return ignored;
}

// Adds the files paths stand for and says in the status line how many were left out; returns
// how many were added.
int addInputFiles(const std::vector<std::string>& paths, bool keepOthers) {
    std::vector<std::string> files;
    const int ignored = collectInputFiles(paths, keepOthers, files);
    for (const std::string& file : files)
        addListEntry(file, "");
    char text[80] = "";
    if (ignored > 0)
        std::snprintf(text, sizeof text,
                      ignored == 1 ? "Ignored %d file that is not an image"
                                   : "Ignored %d files that are not images",
                      ignored);
    setDlgItemText(mainWindow, IDC_STATUS, text);
    return static_cast<int>(files.size());
}

}  // namespace

std::string limitPath(const std::string& path, std::size_t maxBytes) {
    return truncateUtf8(path, maxBytes);
}

int setupListColumns(Window* list) {
    listInsertColumn(list, 0, "Image Name", 500);
    listInsertColumn(list, 1, "", 1);
    return 1;
}

int addListEntry(const std::string& text, const std::string& subText) {
    const int index = listCount(listView);
    listInsertItem(listView, index, limitPath(text, kPathMax));
    listSetSubItem(listView, index, 1, subText);
    updateImageCountLabel();
    return 1;
}

void updateImageCountLabel() {
    char text[64];
    std::snprintf(text, sizeof text, "%d images loaded", listCount(listView));
    setDlgItemText(mainWindow, IDC_COUNT_LABEL, text);
}

void removeSelectedEntries() {
    for (int index = listNextSelected(listView, -1); index != -1;
         index = listNextSelected(listView, -1)) {
        listDeleteItem(listView, index);
    }
    updateImageCountLabel();
}

void sortListEntries() {
    const int count = listCount(listView);
    uiLog("GUI input file count: %d\n", count);
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        names.push_back(listItemText(listView, i, 0, kPathMax));
        uiLog("Getting file from GUI: %s\n", names.back().c_str());
    }
    sortStringArray(names, count);
    listDeleteAll(listView);
    for (const std::string& name : names)
        addListEntry(name, "");
}

int addSelection(const std::string& buffer) {
    const std::size_t end = buffer.find('\0');
    std::vector<std::string> paths;
    if (end == std::string::npos || end + 1 >= buffer.size() || buffer[end + 1] == '\0')
        paths.push_back(firstString(buffer));
    else
        splitMultiSelection(buffer, paths);
    // A file the user picked in the dialog is taken whatever its name.
    return addInputFiles(paths, true);
}

int splitMultiSelection(const std::string& buffer, std::vector<std::string>& paths) {
    const std::string directory = firstString(buffer);
    std::size_t position = directory.size() + 1;
    int count = 0;
    while (position < buffer.size() && buffer[position] != '\0') {
        const std::size_t end = buffer.find('\0', position);
        const std::size_t length = (end == std::string::npos ? buffer.size() : end) - position;
        std::string path = directory;
        // A root directory already ends in the separator.
        if (path.empty() || path.back() != '/')
            path += '/';
        path.append(buffer, position, length);
        paths.push_back(limitPath(path, kPathMax));
        ++count;
        position += length + 1;
    }
    return count;
}

int addDroppedFiles(const DropInfo& drop) {
    const int added = addInputFiles(drop.files, false);
    sortListEntries();
    return added;
}

int browseInputFiles(Window* window) {
    FileDialogRequest request = prepareFileDialog(window, "Select input image file(s)");
    request.multiSelect = true;
    request.fileMustExist = true;
    std::string selection;
    if (!fileDialog(request, selection))
        return 0;
    const std::string first = firstString(selection);
    lastFileLocation = limitPath(first, kPathMax);
    // The title is the chosen file's own name; a multiple selection has none.
    const std::size_t end = first.size();
    const bool single = end + 1 >= selection.size() || selection[end + 1] == '\0';
    std::string title = single ? first : std::string();
    stripDirectory(title);
    uiLog("FileBuffer: %s\n", first.c_str());
    uiLog("FileTitleBuffer: %s\n", title.c_str());
    const int added = addSelection(selection);
    sortListEntries();
    return added > 0 ? 1 : 0;
}

void browseOutputFile(Window* window) {
    FileDialogRequest request = prepareFileDialog(window, "Select output file");
    request.save = true;
    request.promptOverwrite = true;
    std::string selection;
    if (!fileDialog(request, selection))
        return;
    const std::string path = limitPath(firstString(selection), kPathMax);
    lastFileLocation = path;
    setDlgItemText(window, IDC_OUTPUT_NAME, path);
}

void suggestOutputName(Window* window) {
    uiLog("Suggesting name...\n");
    const int count = listCount(listView);
    if (count == 0) {
        messageBox(window, "Must have at least one input file in order to suggest an output name",
                   "Hint", MB_ICONINFORMATION);
        return;
    }
    std::string first = listItemText(listView, 0, 0, kPathMax);
    std::string last = listItemText(listView, count - 1, 0, kPathMax);
    uiLog("Names: %s %s\n", first.c_str(), last.c_str());
    std::string extension;
    splitExtension(first, extension);
    first += '_';
    stripDirectory(last);
    // Start would refuse a name we cannot write, such as a camera's RAW files: TIFF instead,
    // which keeps everything a 16-bit run gives.
    if (!formatWritable(imageFormatOf(last.c_str()))) {
        splitExtension(last, extension);
        last += ".tif";
    }
    first += last;
    // A cut name would point somewhere the user never meant; keep the old one instead.
    if (first.size() > kPathMax) {
        messageBox(window, "The suggested output name is too long", "Hint", MB_ICONINFORMATION);
        return;
    }
    setDlgItemText(window, IDC_OUTPUT_NAME, first);
}

void viewSelectedImage(Window* window) {
    const int index = listNextSelected(listView, -1);
    const std::string path =
        index == -1 ? std::string() : listItemText(listView, index, 0, kPathMax);
    if (path.empty()) {
        messageBox(window, "No image is currently selected", "Error", MB_OK);
        return;
    }
    uiLog("Launching **%s**\n", path.c_str());
    if (shellOpen(window, path) <= 32)
        messageBox(window, "Could not launch image", "Error", MB_OK);
}
