#include "support/capture.h"

#include <mutex>

#include "engine/messages.h"

namespace {
std::mutex captureMutex;
CapturedMessages captured;

void onStatus(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(captureMutex);
        captured.statuses.push_back(text);
        captured.transcript.push_back("status: " + text);
    }
    if (statusHook)
        statusHook(text);
}
void onError(const std::string& text) {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.errors.push_back(text);
    captured.transcript.push_back("error: " + text);
}
void onDiagnostic(const std::string& text) {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.diagnostics.push_back(text);
    captured.transcript.push_back("diagnostic: " + text);
}
const MessageSink captureSink{onStatus, onError, onDiagnostic};
}  // namespace

std::function<void(const std::string&)> statusHook;

MessageCapture::MessageCapture() {
    clear();
    installMessageSink(&captureSink);
}

MessageCapture::~MessageCapture() {
    installMessageSink(nullptr);
}

const CapturedMessages& MessageCapture::messages() const {
    return captured;
}

void MessageCapture::clear() {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured = CapturedMessages{};
}

std::string MessageCapture::diagnosticText() const {
    std::lock_guard<std::mutex> lock(captureMutex);
    std::string all;
    for (const auto& line : captured.diagnostics)
        all += line;
    return all;
}
