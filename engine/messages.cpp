#include "engine/messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "engine/options.h"

namespace {

std::atomic<const MessageSink*> installedSink{nullptr};

// Formats into a buffer of the fixed message size; longer texts are cut, never overflowed.
std::string formatMessage(const char* format, va_list arguments) {
    char buffer[kMessageMax + 1];
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    return buffer;
}

void writeOut(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

void installMessageSink(const MessageSink* sink) {
    installedSink.store(sink);
}

void setStatus(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatMessage(format, arguments);
    va_end(arguments);
    setStatusText(text);
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->status != nullptr) {
        sink->status(text);
    } else {
        writeOut(stdout, text);
    }
}

void reportError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatMessage(format, arguments);
    va_end(arguments);
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->error != nullptr) {
        sink->error(text);
    } else {
        writeOut(stderr, (text.empty() || text.back() != '\n') ? text + "\n" : text);
    }
}

void diagnostic(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatMessage(format, arguments);
    va_end(arguments);
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->diagnostic != nullptr) {
        sink->diagnostic(text);
    } else {
        writeOut(stdout, text);
    }
}

void fatalError(const char* message) {
    diagnostic("Error: %s\n", message);
    std::fflush(stdout);
    std::exit(-1);
}
