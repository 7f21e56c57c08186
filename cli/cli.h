// The command-line front end: option parsing and one run over the shared engine.
//
// Exit statuses: 0 output written and every input combined; 3 output written, but some inputs
// skipped, the dark frame not applied or the gamma curve fallen back; 1 no output written;
// 2 usage error; 128 + the signal number when SIGINT, SIGTERM or SIGHUP stopped the run.
#pragma once

#include <string>
#include <vector>

#include "engine/messages.h"

struct CliRequest {
    std::string output;
    std::vector<std::string> inputs;
    std::string settingsFile;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    int every = 0;  // the time-lapse step given on the line; 0: none given
};

enum CliExit {
    kExitOk = 0,
    kExitNoOutput = 1,
    kExitUsage = 2,
    kExitSkipped = 3,
    kExitStopped = 128 + 2  // SIGINT; other stop signals give 128 + their number
};

// Parses argv into request and programOptions (which must hold the defaults, and the settings
// file's values when --settings is used: flags override them). Returns 0, or kExitUsage with a
// one-line explanation in error.
int parseCommandLine(const std::vector<std::string>& arguments, CliRequest& request,
                     std::string& error);
// The whole program: parse, check, run, report; returns the exit status.
int runCommandLine(int argc, char** argv);
// The usage text listing every switch and its default.
std::string usageText();

// What the progress line on a terminal remembers between reports.
struct ProgressLine {
    int position = 0;     // the input being loaded, from 1 (one Loading report per input)
    int combined = 0;     // inputs combined so far
    std::string current;  // its file name without the folder
};
// The progress line for a report: "[ 40%] image 3 of 5: b.jpg" while loading and combining,
// "[100%] Finalizing..." and "[100%] Writing output image: <output>" at the end. Not cut to
// the terminal's width.
std::string progressLine(ProgressLine& state, const RunProgress& progress);
