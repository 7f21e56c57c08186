#include "ui/inputlist.h"

#include <cstdio>

#include "engine/options.h"
#include "imageio/filenames.h"
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

}  // namespace

std::string limitPath(const std::string& path, std::size_t maxBytes) {
    if (path.size() <= maxBytes)
        return path;
    std::size_t end = maxBytes;
    // Back up over continuation bytes (10xxxxxx) so the cut lands before a lead byte.
    while (end > 0 && (static_cast<unsigned char>(path[end]) & 0xC0) == 0x80)
        --end;
    return path.substr(0, end);
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

void addSelection(const std::string& buffer, const std::string& subText) {
    const std::size_t end = buffer.find('\0');
    if (end == std::string::npos || end + 1 >= buffer.size() || buffer[end + 1] == '\0') {
        addListEntry(firstString(buffer), subText);
        return;
    }
    std::vector<std::string> paths;
    splitMultiSelection(buffer, paths);
    for (const std::string& path : paths)
        addListEntry(path, subText);
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

void addDroppedFiles(const DropInfo& drop) {
    for (const std::string& file : drop.files)
        addListEntry(file, "");
    sortListEntries();
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
    addSelection(selection, "");
    sortListEntries();
    return 1;
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
