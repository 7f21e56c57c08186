#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "engine/options.h"
#include "ui/ui.h"

namespace {

// Runs before main, while nothing has touched standard output yet (the only moment setvbuf
// is allowed). The lines are mostly unseen, so they are written in large blocks instead of
// one system call each; a reader that went away must not kill the program with SIGPIPE.
const bool logPrepared = [] {
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    return true;
}();

}  // namespace

void uiLog(const char* format, ...) {
    // One formatted block per call: lines from the worker and the interface thread never mix.
    char buffer[kMessageMax + 1];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    if (length <= 0)
        return;
    const std::size_t size = static_cast<std::size_t>(length) < sizeof buffer
                                 ? static_cast<std::size_t>(length)
                                 : sizeof buffer - 1;
    std::fwrite(buffer, 1, size, stdout);
    (void)logPrepared;
}
