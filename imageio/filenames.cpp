#include "imageio/filenames.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include "engine/messages.h"
#include "engine/system.h"

void getModuleDirectory(std::string& buffer) {
    buffer = executableDirectory();
}

void stripDirectory(std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos)
        path.erase(0, slash + 1);
}

void splitExtension(std::string& path, std::string& extension) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return;
    extension = path.substr(dot + 1);
    path.resize(dot);
}

int getFullPath(const char* name, std::string& buffer) {
    buffer = name == nullptr ? "" : name;
    return 0;
}

std::FILE* openInputFile(const char* path) {
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0) {
        reportError("can't get full path");
        return nullptr;
    }
    std::FILE* file = std::fopen(fullPath.c_str(), "rb");
    if (file == nullptr)
        reportError("can't open %s", path);
    return file;
}

bool closeWrittenFile(std::FILE* file) {
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    return flushed && closed;
}

void sortStringArray(std::vector<std::string>& items, int count) {
    diagnostic("In sortStringArray\n");
    const std::size_t n = std::min(static_cast<std::size_t>(std::max(count, 0)), items.size());
    std::sort(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(n),
              [](const std::string& a, const std::string& b) { return compareStrings(a, b) < 0; });
}

int compareStrings(const std::string& a, const std::string& b) {
    diagnostic("Comparing: %s | %s\n", a.c_str(), b.c_str());
    // char_traits<char> compares as unsigned char, so bytes above 127 sort after ASCII.
    const int order = a.compare(b);
    return (order > 0) - (order < 0);
}
