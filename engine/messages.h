// Message channels: status lines, error reports, fatal errors and plain diagnostics.
//
// Each front end installs a sink (message box, terminal, test capture). Without one,
// diagnostics and status echoes go to standard output and reports to standard error.
// Every text is formatted into a buffer of kMessageMax characters and truncated, never
// overflowed. Text that comes from outside (file names, library messages) must be passed
// as an argument, never as the format.
#pragma once

#include <string>
#include <vector>

// Where a run stands, for progress displays: they must not read it back out of status texts,
// whose wording is for people. index counts from 1 the input being loaded (Loading), or the
// inputs combined so far; total is the number of inputs given.
struct RunProgress {
    enum class Phase { Loading, Combining, Finalizing, Writing } phase = Phase::Loading;
    int index = 0;
    int total = 0;
    std::string file;  // the input being loaded, or the output being written
};

struct MessageSink {
    // A new status line (already stored in the run state); texts carry their own line ends.
    void (*status)(const std::string& text) = nullptr;
    // An error or warning the user must see; returns when the user has acknowledged it.
    void (*error)(const std::string& text) = nullptr;
    // A plain diagnostic line (options listing, traces, "Finished.").
    void (*diagnostic)(const std::string& text) = nullptr;
    // Where the run stands; called on the run's thread, after the matching status line.
    void (*progress)(const RunProgress& progress) = nullptr;
};

// Installs the sink for the whole process; nullptr restores the defaults. Missing members
// fall back to the default channel.
void installMessageSink(const MessageSink* sink);

// A message held back: work done ahead of time (loading the next images while the current
// one is combined) must show its messages when the run reaches it, in their order.
struct DeferredMessage {
    enum class Kind { Status, Error, Diagnostic } kind;
    std::string text;
};
// While list is set (per thread), this thread's messages are stored there instead of shown.
void deferMessages(std::vector<DeferredMessage>* list);
// Shows held-back messages through the normal channels, in order.
void replayMessages(const std::vector<DeferredMessage>& list);

// Formats into the status text, then echoes it unchanged.
void setStatus(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formats and shows an error; the calling thread waits until it is acknowledged.
void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes "Error: <message>" as a diagnostic and ends the process.
[[noreturn]] void fatalError(const char* message);
// Hands progress to the sink's progress member (nothing without one; never held back).
void reportProgress(const RunProgress& progress);
// Formats and writes one diagnostic text.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
