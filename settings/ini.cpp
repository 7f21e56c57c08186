#include "settings/ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "engine/system.h"

namespace {

// A settings file is a few hundred bytes; anything past this is not one we wrote, and the
// cap keeps a mistaken path (a device, a huge log) from eating memory.
constexpr std::size_t kMaxFileBytes = 1 << 20;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string cutValue(std::string_view value, std::size_t maxLength) {
    return std::string(value.substr(0, maxLength));
}

int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace

void parseIni(std::string_view text, IniDocument& document) {
    document.sections.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    IniSection* current = nullptr;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }

        std::string_view trimmed = trimBlanks(line);
        if (trimmed.empty() || trimmed.front() == ';') {
            continue;
        }
        if (trimmed.front() == '[') {
            std::size_t close = trimmed.find(']');
            if (close != std::string_view::npos) {
                document.sections.push_back(
                    {std::string(trimBlanks(trimmed.substr(1, close - 1))), {}});
                current = &document.sections.back();
                continue;
            }
        }
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (current == nullptr) {
            document.sections.push_back({std::string(), {}});
            current = &document.sections.back();
        }
        current->entries.emplace_back(std::string(trimBlanks(line.substr(0, equals))),
                                      std::string(line.substr(equals + 1)));
    }
}

int readIniFile(const std::string& path, IniDocument& document) {
    document.sections.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return -1;
    }
    std::string text;
    char buffer[4096];
    while (text.size() < kMaxFileBytes) {
        std::size_t count = std::fread(buffer, 1, sizeof buffer, file);
        text.append(buffer, count);
        if (count < sizeof buffer) {
            break;
        }
    }
    // A directory opens fine on Linux; its first read is where the failure shows.
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return -1;
    }
    parseIni(text, document);
    return 0;
}

std::string getIniString(const IniDocument& document, std::string_view section,
                         std::string_view key, std::string_view defaultValue,
                         std::size_t maxLength) {
    for (const IniSection& candidate : document.sections) {
        if (!equalsIgnoringCase(candidate.name, section)) {
            continue;
        }
        for (const auto& [name, value] : candidate.entries) {
            if (equalsIgnoringCase(name, key)) {
                return cutValue(value, maxLength);
            }
        }
    }
    return cutValue(defaultValue, maxLength);
}

void setIniString(IniDocument& document, std::string_view section, std::string_view key,
                  std::string_view value) {
    value = value.substr(0, value.find_first_of("\r\n"));
    IniSection* target = nullptr;
    for (IniSection& candidate : document.sections) {
        if (equalsIgnoringCase(candidate.name, section)) {
            target = &candidate;
            break;
        }
    }
    if (target == nullptr) {
        document.sections.push_back({std::string(section), {}});
        target = &document.sections.back();
    }
    for (auto& [name, stored] : target->entries) {
        if (equalsIgnoringCase(name, key)) {
            stored = value;
            return;
        }
    }
    target->entries.emplace_back(std::string(key), std::string(value));
}

std::string formatIni(const IniDocument& document) {
    std::string text;
    for (const IniSection& section : document.sections) {
        // Keys that came before any header stay headerless, or they would change section.
        if (!section.name.empty()) {
            text += '[';
            text += section.name;
            text += "]\n";
        }
        for (const auto& [key, value] : section.entries) {
            text += key;
            text += '=';
            text += value;
            text += '\n';
        }
    }
    return text;
}

int writeIniFile(const std::string& path, const IniDocument& document) {
    const std::string text = formatIni(document);
    const int result = replaceFile(path, [&](const std::string& temporary) {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        const bool written = writeAll(fd, text) == 0;
        return (::close(fd) == 0) && written;
    });
    return result == REPLACE_DONE ? 0 : -1;
}
