#include "settings/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <string_view>

#include "engine/system.h"
#include "settings/ini.h"

namespace {

constexpr const char* kSection = "General";
// What every lookup is given as its default: a value of exactly this text counts as absent.
constexpr const char* kAbsentMarker = "$$$$";
constexpr std::size_t kValueMax = 511;

std::string settingsPathBuffer;
std::string settingsDirectoryOverride;

enum class ValueKind { Double, Int, TruncatedInt, Text };

// Inclusive bounds of the values a key takes.
struct Bounds {
    double least, most;
};

struct SettingsKey {
    const char* name;
    ValueKind kind;
    double ProgramOptions::*doubleField;
    int32_t ProgramOptions::*intField;
    std::string ProgramOptions::*textField;
    // Set for the keys added after the first twelve: they are written only when they differ
    // from the default, so a file from default use stays as it was, and a number outside the
    // bounds reads as the default (a text key takes any text).
    bool sparse = false;
    std::span<const Bounds> accepted = {};
};

constexpr SettingsKey doubleKey(const char* name, double ProgramOptions::*field) {
    return {name, ValueKind::Double, field, nullptr, nullptr};
}
constexpr SettingsKey intKey(const char* name, int32_t ProgramOptions::*field,
                             ValueKind kind = ValueKind::Int) {
    return {name, kind, nullptr, field, nullptr};
}
constexpr SettingsKey sparseKey(const char* name, int32_t ProgramOptions::*field,
                                std::span<const Bounds> accepted) {
    return {name, ValueKind::Int, nullptr, field, nullptr, true, accepted};
}
constexpr SettingsKey sparseKey(const char* name, double ProgramOptions::*field,
                                std::span<const Bounds> accepted) {
    return {name, ValueKind::Double, field, nullptr, nullptr, true, accepted};
}
constexpr SettingsKey sparseKey(const char* name, std::string ProgramOptions::*field) {
    return {name, ValueKind::Text, nullptr, nullptr, field, true};
}

constexpr Bounds kOutputDepths[] = {{8, 8}, {16, 16}};
constexpr Bounds kTiffCompressions[] = {{TIFF_COMPRESSION_DEFAULT, TIFF_COMPRESSION_NONE}};
constexpr Bounds kOffOn[] = {{0, 1}};
// 0 turns each of these off.
constexpr Bounds kCometLengths[] = {{0, 0}, {2, 100000}};
constexpr Bounds kTimelapseSteps[] = {{0, 100000}};
constexpr Bounds kVideoWidths[] = {{0, 0}, {16, 7680}};
constexpr Bounds kGapWidths[] = {{0, 8}};
constexpr Bounds kFrameRates[] = {{1, 240}};
constexpr Bounds kPositive[] = {
    {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max()}};

// File order.
const SettingsKey kKeys[] = {
    doubleKey("Divisor", &ProgramOptions::Divisor),
    doubleKey("Gamma", &ProgramOptions::Gamma),
    intKey("presetGammaCurve", &ProgramOptions::presetGammaCurve),
    intKey("jpeg_quality", &ProgramOptions::jpeg_quality),
    intKey("combine_mode", &ProgramOptions::combine_mode),
    intKey("low_pass_threshold", &ProgramOptions::low_pass_threshold),
    intKey("high_pass_threshold", &ProgramOptions::high_pass_threshold),
    intKey("launch_after_processing", &ProgramOptions::launch_after_processing,
           ValueKind::TruncatedInt),
    intKey("autosuggest_output_name", &ProgramOptions::autosuggest_output_name,
           ValueKind::TruncatedInt),
    intKey("useNoiseReduction", &ProgramOptions::useNoiseReduction),
    {"darkFrameFile", ValueKind::Text, nullptr, nullptr, &ProgramOptions::darkFrameFile},
    doubleKey("darkFrameOpacity", &ProgramOptions::darkFrameOpacity),
    sparseKey("outputDepth", &ProgramOptions::outputDepth, kOutputDepths),
    sparseKey("tiffCompression", &ProgramOptions::tiffCompression, kTiffCompressions),
    sparseKey("keepMetadata", &ProgramOptions::keepMetadata, kOffOn),
    sparseKey("rawDaylight", &ProgramOptions::rawDaylight, kOffOn),
    sparseKey("rawHalfSize", &ProgramOptions::rawHalfSize, kOffOn),
    sparseKey("cometLength", &ProgramOptions::cometLength, kCometLengths),
    sparseKey("reverseOrder", &ProgramOptions::reverseOrder, kOffOn),
    sparseKey("timelapseEvery", &ProgramOptions::timelapseEvery, kTimelapseSteps),
    sparseKey("timelapseFolder", &ProgramOptions::timelapseFolder),
    sparseKey("videoFile", &ProgramOptions::videoFile),
    sparseKey("videoFps", &ProgramOptions::videoFps, kFrameRates),
    sparseKey("videoWidth", &ProgramOptions::videoWidth, kVideoWidths),
    sparseKey("rejectBright", &ProgramOptions::rejectBright, kOffOn),
    sparseKey("rejectDeviations", &ProgramOptions::rejectDeviations, kPositive),
    sparseKey("fillGaps", &ProgramOptions::fillGaps, kGapWidths),
    sparseKey("showPreview", &ProgramOptions::showPreview, kOffOn),
};

bool accepts(const SettingsKey& key, double value) {
    return !key.sparse || key.accepted.empty() ||
           std::any_of(key.accepted.begin(), key.accepted.end(),
                       [&](const Bounds& b) { return value >= b.least && value <= b.most; });
}

const ProgramOptions& defaultOptions() {
    static const ProgramOptions defaults = [] {
        ProgramOptions options;
        setDefaultOptions(options);
        return options;
    }();
    return defaults;
}

bool holdsDefault(const SettingsKey& key, const ProgramOptions& options) {
    const ProgramOptions& defaults = defaultOptions();
    switch (key.kind) {
        case ValueKind::Double:
            return options.*key.doubleField == defaults.*key.doubleField;
        case ValueKind::Int:
        case ValueKind::TruncatedInt:
            return options.*key.intField == defaults.*key.intField;
        case ValueKind::Text:
            // Compared as written: a name cut to the same text is the same name.
            return (options.*key.textField).substr(0, kValueMax) == defaults.*key.textField;
    }
    return false;
}

// The C library's isspace in the "C" locale, which is what the conversions skip.
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view skipSpace(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

int32_t parseInt(std::string_view text) {
    text = skipSpace(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // One past INT32_MAX in magnitude is enough to know the result saturates either way.
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        magnitude = std::min(magnitude * 10 + (c - '0'), kCap);
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(value);
}

// from_chars, unlike strtod, ignores the process locale, so a decimal comma locale cannot
// turn "2.2" into 2. It also refuses hexadecimal, which matches "a decimal number".
double parseDouble(std::string_view text) {
    text = skipSpace(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return 0.0;
        }
    }
    double value = 0.0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (error != std::errc() || !std::isfinite(value)) {
        return 0.0;
    }
    return value;
}

int32_t truncateToInt(double value) {
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

std::string formatDouble(double value) {
    // The widest finite double in fixed notation with six decimals needs 317 characters.
    char buffer[kValueMax + 1];
    auto [end, error] =
        std::to_chars(buffer, buffer + kValueMax, value, std::chars_format::fixed, 6);
    if (error != std::errc()) {
        return std::string();
    }
    return std::string(buffer, end);
}

std::string formatInt(int32_t value) {
    char buffer[16];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)error;
    return std::string(buffer, end);
}

void applySettings(const IniDocument& document, ProgramOptions& options) {
    for (const SettingsKey& key : kKeys) {
        std::string value = getIniString(document, kSection, key.name, kAbsentMarker, kValueMax);
        if (value.empty() || value == kAbsentMarker) {
            continue;
        }
        switch (key.kind) {
            case ValueKind::Double:
                options.*key.doubleField = parseDouble(value);
                if (!accepts(key, options.*key.doubleField))
                    options.*key.doubleField = defaultOptions().*key.doubleField;
                break;
            case ValueKind::Int:
                options.*key.intField = parseInt(value);
                if (!accepts(key, options.*key.intField))
                    options.*key.intField = defaultOptions().*key.intField;
                break;
            case ValueKind::TruncatedInt:
                options.*key.intField = truncateToInt(parseDouble(value));
                break;
            case ValueKind::Text:
                options.*key.textField = value;
                break;
        }
    }
}

IniDocument settingsDocument(const ProgramOptions& options) {
    IniDocument document;
    for (const SettingsKey& key : kKeys) {
        if (key.sparse && holdsDefault(key, options))
            continue;
        std::string value;
        switch (key.kind) {
            case ValueKind::Double:
                value = formatDouble(options.*key.doubleField);
                break;
            case ValueKind::Int:
            case ValueKind::TruncatedInt:
                value = formatInt(options.*key.intField);
                break;
            case ValueKind::Text:
                // Cut like every value read back, so the file never holds what a load drops.
                value = (options.*key.textField).substr(0, kValueMax);
                break;
        }
        setIniString(document, kSection, key.name, value);
    }
    return document;
}

}  // namespace

void buildSettingsPath(const char* name) {
    std::string directory;
    if (!settingsDirectoryOverride.empty()) {
        directory = settingsDirectoryOverride;
        if (directory.back() != '/') {
            directory += '/';
        }
    } else {
        directory = executableDirectory();
    }
    if (directory.empty()) {
        settingsPathBuffer.clear();
        return;
    }
    settingsPathBuffer = directory + name;
}

const std::string& settingsPath() {
    return settingsPathBuffer;
}

void setSettingsDirectory(const std::string& dir) {
    settingsDirectoryOverride = dir;
}

int settingsFileExists(const char* name) {
    buildSettingsPath(name);
    struct stat status {};
    if (settingsPathBuffer.empty() || ::stat(settingsPathBuffer.c_str(), &status) != 0) {
        return 0;
    }
    return S_ISREG(status.st_mode) ? 1 : 0;
}

void loadSettings() {
    if (settingsFileExists(kSettingsFileName) == 0) {
        return;
    }
    IniDocument document;
    if (readIniFile(settingsPathBuffer, document) != 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(optionsMutex);
    applySettings(document, programOptions);
}

void saveSettings() {
    buildSettingsPath(kSettingsFileName);
    if (settingsPathBuffer.empty()) {
        return;
    }
    IniDocument document;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        document = settingsDocument(programOptions);
    }
    writeIniFile(settingsPathBuffer, document);
}

int loadSettingsFile(const std::string& path, ProgramOptions& options) {
    IniDocument document;
    if (readIniFile(path, document) != 0) {
        return -1;
    }
    applySettings(document, options);
    return 0;
}

int saveSettingsFile(const std::string& path, const ProgramOptions& options) {
    return writeIniFile(path, settingsDocument(options));
}
