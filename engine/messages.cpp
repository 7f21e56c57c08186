#include "engine/messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "engine/options.h"

namespace {

std::atomic<const MessageSink*> installedSink{nullptr};
thread_local std::vector<DeferredMessage>* deferred = nullptr;

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

bool defer(DeferredMessage::Kind kind, const std::string& text) {
    if (deferred == nullptr)
        return false;
    deferred->push_back({kind, text});
    return true;
}

void showStatus(const std::string& text) {
    setStatusText(text);
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->status != nullptr) {
        sink->status(text);
    } else {
        writeOut(stdout, text);
    }
}

void showError(const std::string& text) {
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->error != nullptr) {
        sink->error(text);
    } else {
        writeOut(stderr, (text.empty() || text.back() != '\n') ? text + "\n" : text);
    }
}

void showDiagnostic(const std::string& text) {
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->diagnostic != nullptr) {
        sink->diagnostic(text);
    } else {
        writeOut(stdout, text);
    }
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
    if (!defer(DeferredMessage::Kind::Status, text))
        showStatus(text);
}

void reportError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatMessage(format, arguments);
    va_end(arguments);
    if (!defer(DeferredMessage::Kind::Error, text))
        showError(text);
}

void diagnostic(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatMessage(format, arguments);
    va_end(arguments);
    if (!defer(DeferredMessage::Kind::Diagnostic, text))
        showDiagnostic(text);
}

void deferMessages(std::vector<DeferredMessage>* list) {
    deferred = list;
}

void replayMessages(const std::vector<DeferredMessage>& list) {
    for (const DeferredMessage& message : list) {
        switch (message.kind) {
            case DeferredMessage::Kind::Status:
                showStatus(message.text);
                break;
            case DeferredMessage::Kind::Error:
                showError(message.text);
                break;
            case DeferredMessage::Kind::Diagnostic:
                showDiagnostic(message.text);
                break;
        }
    }
}

void fatalError(const char* message) {
    diagnostic("Error: %s\n", message);
    std::fflush(stdout);
    std::exit(-1);
}

void reportProgress(const RunProgress& progress) {
    const MessageSink* sink = installedSink.load();
    if (sink != nullptr && sink->progress != nullptr)
        sink->progress(progress);
}
