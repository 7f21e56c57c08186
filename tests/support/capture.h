// Captures everything the engine's message channels say, for assertions.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct CapturedMessages {
    std::vector<std::string> errors;
    std::vector<std::string> statuses;
    std::vector<std::string> diagnostics;
    // Everything in the order it was said, each text behind "status: ", "error: " or
    // "diagnostic: ".
    std::vector<std::string> transcript;
};

// Called with every status text while a capture is installed (e.g. to act at a given step).
extern std::function<void(const std::string&)> statusHook;

// Installs a capturing sink for its lifetime and restores the defaults afterwards.
class MessageCapture {
  public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    const CapturedMessages& messages() const;
    const std::vector<std::string>& errors() const { return messages().errors; }
    const std::vector<std::string>& statuses() const { return messages().statuses; }
    const std::vector<std::string>& diagnostics() const { return messages().diagnostics; }
    void clear();
    // All diagnostics joined, for substring checks.
    std::string diagnosticText() const;
};
