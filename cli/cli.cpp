#include "cli/cli.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <utility>

#include "engine/messages.h"
#include "engine/options.h"
#include "engine/stack.h"
#include "engine/system.h"
#include "imageio/filenames.h"
#include "imageio/imageio.h"
#include "settings/settings.h"

namespace {

const char* const kProgram = "quorvane-cli";

bool parseDouble(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno == 0 && std::isfinite(value);
}

bool parseInt(const std::string& text, int& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno != 0 ||
        parsed < std::numeric_limits<int>::min() || parsed > std::numeric_limits<int>::max()) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// --name=value, --name value, -x value and -xvalue all work; on return index points at the
// last word consumed.
struct ArgumentReader {
    const std::vector<std::string>& words;
    std::size_t index = 1;
    std::string inlineValue;
    bool hasInline = false;

    bool value(const std::string& option, std::string& out, std::string& error) {
        if (hasInline) {
            out = inlineValue;
            return true;
        }
        if (index + 1 >= words.size()) {
            error = "option '" + option + "' needs a value";
            return false;
        }
        out = words[++index];
        return true;
    }
};

}  // namespace

std::string usageText() {
    return "Usage: quorvane-cli [OPTIONS] -o OUTPUT INPUT...\n"
           "Combine photographs of one scene, pixel by pixel, in linear light.\n"
           "\n"
           "  -o, --output FILE        output image; its extension (.jpg, .jpeg, .tif, .tiff,\n"
           "                           .png, .bmp) chooses the format\n"
           "  -m, --mode MODE          stack | average | mix | brighten        (default stack)\n"
           "  -d, --divisor X          divisor for mix (default 1.0); must be a finite number > 0\n"
           "  -g, --gamma CURVE        srgb | high-contrast | EXPONENT (0.2-10.0)   (default "
           "srgb)\n"
           "      --low N, --high N    threshold filters, 0-255 (defaults 0 and 255)\n"
           "  -q, --quality N          JPEG quality 1-100 (default 96)\n"
           "      --depth 8|16         bits per output sample (default 8); 16 keeps the\n"
           "                           stack's precision, for TIFF and PNG outputs only\n"
           "      --tiff-compression packbits|deflate|lzw|none\n"
           "                           TIFF output compression (default packbits at 8 bits,\n"
           "                           deflate at 16)\n"
           "      --comet N            comet trails: each frame's light fades to 1 % over the\n"
           "                           next N frames, 2-100000 (stack, mix and brighten)\n"
           "      --reverse            combine the inputs last to first (trail heads at the\n"
           "                           first frame)\n"
           "      --fill-gaps[=PX]     bridge gaps of up to 2*PX pixels between one frame's\n"
           "                           trails and the next's, PX 1-8 (default 3; brighten)\n"
           "      --timelapse DIR      also write the result so far after every K-th image\n"
           "                           (and the last) as DIR/<output name>_00001.<ext>, ...\n"
           "      --every K            the time-lapse step, 1-100000 (default 1)\n"
           "      --video FILE.mp4     encode the time-lapse frames as H.264 video\n"
           "      --fps N              its frame rate, 1-240 (default 25)\n"
           "      --video-width N      its largest width, 16-7680 (default: the frame's, at\n"
           "                           most 3840)\n"
           "      --reject-bright[=K]  leave out frames brighter than the median of the 15\n"
           "                           around them by more than K median absolute\n"
           "                           deviations (default 5): headlights, torches\n"
           "      --raw-wb camera|daylight\n"
           "                           white balance of RAW inputs (default camera: as shot)\n"
           "      --raw-half           decode RAW inputs at half size (about 4x faster)\n"
           "      --no-metadata        leave out the first input's EXIF, XMP, IPTC and ICC\n"
           "                           profile (kept by default)\n"
           "      --dark FILE          subtract this dark frame (turns noise reduction on)\n"
           "      --dark-opacity X     fraction of the dark frame subtracted, 0-1 (default 1.0)\n"
           "      --settings FILE      read the options from this settings file first; the other\n"
           "                           switches override it (default: no settings file)\n"
           "      --quiet              no progress display\n"
           "  -v, --verbose            diagnostic lines to standard output\n"
           "  -h, --help               this text\n"
           "      --version            the program's version\n"
           "      --                   everything after it is an input file\n"
           "\n"
           "Exit status: 0 output written and every input combined; 3 output written, but\n"
           "some inputs were skipped, the dark frame was not applied, or the gamma curve fell\n"
           "back; 1 no output written; 2 usage error; 130, 143, 129 stopped by SIGINT,\n"
           "SIGTERM, SIGHUP (one during the save lets it finish; a second one ends the\n"
           "program at once, and an unfinished save leaves the old output).\n";
}

int parseCommandLine(const std::vector<std::string>& arguments, CliRequest& request,
                     std::string& error) {
    ProgramOptions& options = programOptions;
    ArgumentReader reader{arguments, 1, {}, false};
    bool onlyFiles = false;
    for (; reader.index < arguments.size(); ++reader.index) {
        const std::string& word = arguments[reader.index];
        if (onlyFiles || word.empty() || word[0] != '-' || word == "-") {
            request.inputs.push_back(word);
            continue;
        }
        if (word == "--") {
            onlyFiles = true;
            continue;
        }
        std::string name = word;
        reader.hasInline = false;
        if (word.rfind("--", 0) == 0) {
            const std::size_t equals = word.find('=');
            if (equals != std::string::npos) {
                name = word.substr(0, equals);
                reader.inlineValue = word.substr(equals + 1);
                reader.hasInline = true;
            }
        } else if (word.size() > 2) {
            name = word.substr(0, 2);
            reader.inlineValue = word.substr(2);
            reader.hasInline = true;
        }

        std::string value;
        const auto need = [&]() { return reader.value(name, value, error); };
        const auto bad = [&](const std::string& what) {
            error = "invalid value '" + value + "' for " + name + ": " + what;
            return kExitUsage;
        };
        const auto noValue = [&]() {
            if (!reader.hasInline)
                return true;
            error = "option '" + name + "' takes no value";
            return false;
        };

        if (name == "-o" || name == "--output") {
            if (!need())
                return kExitUsage;
            if (value.empty())
                return bad("an output file name is needed");
            if (value.size() > kOutputNameMax)
                return bad("the name is too long");
            request.output = value;
        } else if (name == "-m" || name == "--mode") {
            if (!need())
                return kExitUsage;
            static const std::pair<const char*, CombineMode> modes[] = {
                {"stack", MODE_STACK},
                {"average", MODE_AVERAGE},
                {"mix", MODE_MIX},
                {"brighten", MODE_BRIGHTEN}};
            const auto chosen = std::find_if(std::begin(modes), std::end(modes),
                                             [&](const auto& mode) { return value == mode.first; });
            if (chosen == std::end(modes))
                return bad("expected stack, average, mix or brighten");
            options.combine_mode = chosen->second;
        } else if (name == "-d" || name == "--divisor") {
            double divisor = 0;
            if (!need())
                return kExitUsage;
            if (!parseDouble(value, divisor) || divisor <= 0) {
                return bad("expected a finite number greater than 0");
            }
            options.Divisor = divisor;
        } else if (name == "-g" || name == "--gamma") {
            if (!need())
                return kExitUsage;
            double exponent = 0;
            if (value == "srgb") {
                options.presetGammaCurve = CURVE_SRGB;
            } else if (value == "high-contrast") {
                options.presetGammaCurve = CURVE_HIGH_CONTRAST;
            } else if (parseDouble(value, exponent) && exponent >= 0.2 && exponent <= 10.0) {
                options.presetGammaCurve = CURVE_CUSTOM;
                options.Gamma = exponent;
            } else {
                return bad("expected srgb, high-contrast or an exponent from 0.2 to 10.0");
            }
        } else if (name == "--low" || name == "--high") {
            int threshold = 0;
            if (!need())
                return kExitUsage;
            if (!parseInt(value, threshold) || threshold < 0 || threshold > 255) {
                return bad("expected a whole number from 0 to 255");
            }
            (name == "--low" ? options.low_pass_threshold : options.high_pass_threshold) =
                threshold;
        } else if (name == "-q" || name == "--quality") {
            int quality = 0;
            if (!need())
                return kExitUsage;
            if (!parseInt(value, quality) || quality < 1 || quality > 100) {
                return bad("expected a whole number from 1 to 100");
            }
            options.jpeg_quality = quality;
        } else if (name == "--depth") {
            if (!need())
                return kExitUsage;
            if (value != "8" && value != "16")
                return bad("expected 8 or 16");
            options.outputDepth = value == "8" ? 8 : 16;
        } else if (name == "--tiff-compression") {
            if (!need())
                return kExitUsage;
            static const std::pair<const char*, TiffCompression> schemes[] = {
                {"packbits", TIFF_COMPRESSION_PACKBITS},
                {"deflate", TIFF_COMPRESSION_DEFLATE},
                {"lzw", TIFF_COMPRESSION_LZW},
                {"none", TIFF_COMPRESSION_NONE}};
            const auto chosen =
                std::find_if(std::begin(schemes), std::end(schemes),
                             [&](const auto& scheme) { return value == scheme.first; });
            if (chosen == std::end(schemes))
                return bad("expected packbits, deflate, lzw or none");
            options.tiffCompression = chosen->second;
        } else if (name == "--comet") {
            int length = 0;
            if (!need())
                return kExitUsage;
            if (!parseInt(value, length) || length < 2 || length > 100000)
                return bad("expected a whole number from 2 to 100000");
            options.cometLength = length;
        } else if (name == "--fill-gaps") {
            // Like --reject-bright: only "=PX" gives a value, so "--fill-gaps 5" leaves 5 an
            // input.
            int width = 3;
            if (reader.hasInline) {
                value = reader.inlineValue;
                if (!parseInt(value, width) || width < 1 || width > 8)
                    return bad("expected a whole number from 1 to 8");
            }
            options.fillGaps = width;
        } else if (name == "--reverse") {
            if (!noValue())
                return kExitUsage;
            options.reverseOrder = 1;
        } else if (name == "--timelapse" || name == "--video") {
            if (!need())
                return kExitUsage;
            if (value.empty() || value.size() > kPathMax)
                return bad("a name of 1 to 511 bytes is needed");
            (name == "--timelapse" ? options.timelapseFolder : options.videoFile) = value;
        } else if (name == "--every" || name == "--fps" || name == "--video-width") {
            int number = 0;
            const auto [least, most] = name == "--every" ? std::pair(1, 100000)
                                       : name == "--fps" ? std::pair(1, 240)
                                                         : std::pair(16, 7680);
            if (!need())
                return kExitUsage;
            if (!parseInt(value, number) || number < least || number > most)
                return bad("expected a whole number from " + std::to_string(least) + " to " +
                           std::to_string(most));
            (name == "--every" ? request.every
             : name == "--fps" ? options.videoFps
                               : options.videoWidth) = number;
        } else if (name == "--reject-bright") {
            // The value is optional, so only "=K" gives one: a following word is an input.
            double deviations = 5.0;
            if (reader.hasInline) {
                value = reader.inlineValue;
                if (!parseDouble(value, deviations) || !(deviations > 0) || deviations > 1000)
                    return bad("expected a number greater than 0 and at most 1000");
            }
            options.rejectBright = 1;
            options.rejectDeviations = deviations;
        } else if (name == "--raw-wb") {
            if (!need())
                return kExitUsage;
            if (value != "camera" && value != "daylight")
                return bad("expected camera or daylight");
            options.rawDaylight = value == "daylight" ? 1 : 0;
        } else if (name == "--raw-half" || name == "--no-metadata") {
            if (!noValue())
                return kExitUsage;
            (name == "--raw-half" ? options.rawHalfSize : options.keepMetadata) =
                name == "--raw-half" ? 1 : 0;
        } else if (name == "--dark") {
            if (!need())
                return kExitUsage;
            if (value.empty())
                return bad("a dark-frame file name is needed");
            if (value.size() > kDarkFrameFileMax)
                return bad("the name is too long");
            options.darkFrameFile = value;
            options.useNoiseReduction = 1;
        } else if (name == "--dark-opacity") {
            double opacity = 0;
            if (!need())
                return kExitUsage;
            if (!parseDouble(value, opacity) || opacity < 0 || opacity > 1) {
                return bad("expected a number from 0 to 1");
            }
            options.darkFrameOpacity = opacity;
        } else if (name == "--settings") {
            if (!need())
                return kExitUsage;
            request.settingsFile = value;
        } else if (name == "--quiet") {
            if (!noValue())
                return kExitUsage;
            request.quiet = true;
        } else if (name == "-v" || name == "--verbose") {
            if (!noValue())
                return kExitUsage;
            request.verbose = true;
        } else if (name == "-h" || name == "--help") {
            request.help = true;
        } else if (name == "--version") {
            request.version = true;
        } else {
            error = "unknown option '" + word + "'";
            return kExitUsage;
        }
    }
    if (request.help || request.version)
        return 0;
    if (request.output.empty()) {
        error = "an output file is needed (-o FILE)";
        return kExitUsage;
    }
    if (request.inputs.empty()) {
        error = "no input images given";
        return kExitUsage;
    }
    return 0;
}

std::string progressLine(ProgressLine& state, const RunProgress& progress) {
    const int total = progress.total;
    switch (progress.phase) {
        case RunProgress::Phase::Loading:
            // The input's place in the list: a skipped file does not renumber the rest, as the
            // engine's count of images accepted would.
            ++state.position;
            state.current = progress.file;
            stripDirectory(state.current);
            break;
        case RunProgress::Phase::Combining:
            state.combined = progress.index;
            break;
        case RunProgress::Phase::Finalizing:
        case RunProgress::Phase::Writing:
            break;
    }
    const int percent = total > 0 ? state.combined * 100 / total : 0;
    char head[64];
    if (progress.phase == RunProgress::Phase::Finalizing) {
        std::snprintf(head, sizeof head, "[%3d%%] Finalizing...", percent);
        return head;
    }
    if (progress.phase == RunProgress::Phase::Writing) {
        std::snprintf(head, sizeof head, "[%3d%%] Writing output image: ", percent);
        return head + progress.file;
    }
    std::snprintf(head, sizeof head, "[%3d%%] image %d of %d: ", percent, state.position, total);
    return head + state.current;
}

namespace {

// What the terminal shows while a run goes on; all of it is on standard error.
struct Terminal {
    bool progress = false;
    bool verbose = false;
    bool lineShown = false;
    ProgressLine line;
    std::string shown;  // the progress line last drawn, for redrawing it under a status
};
Terminal terminal;

void clearProgress() {
    if (!terminal.lineShown)
        return;
    std::fputs("\r\033[K", stderr);
    terminal.lineShown = false;
}

int terminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10)
        return size.ws_col;
    return 80;
}

void drawProgress() {
    if (terminal.shown.empty())
        return;
    // A wrapped line could not be redrawn in place.
    const std::string line =
        truncateUtf8(terminal.shown, static_cast<std::size_t>(terminalWidth() - 1));
    std::fputs("\r\033[K", stderr);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    terminal.lineShown = true;
}

void onProgress(const RunProgress& progress) {
    if (!terminal.progress)
        return;
    terminal.shown = progressLine(terminal.line, progress);
    drawProgress();
}

void onStatus(const std::string& text) {
    if (!terminal.verbose)
        return;
    clearProgress();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (terminal.progress)
        drawProgress();
}

void onError(const std::string& text) {
    clearProgress();
    std::fputs(text.c_str(), stderr);
    if (text.empty() || text.back() != '\n')
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

void onDiagnostic(const std::string& text) {
    if (!terminal.verbose)
        return;
    clearProgress();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

const MessageSink terminalSink{onStatus, onError, onDiagnostic, onProgress};

// The signal that stopped the run, and how many have come.
volatile std::sig_atomic_t stopSignal = 0;
std::atomic<int> signalsReceived{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The first signal asks the run to stop at its next image; a save already under way finishes,
// since the images are read by then. A second one ends the process at once, as if the signal
// were not handled, but without leaving the save's temporary file behind.
void onStopSignal(int number) {
    if (signalsReceived.fetch_add(1) == 0) {
        stopSignal = number;
        stopRequest.store(1);
        return;
    }
    discardTemporaryFile();
    std::signal(number, SIG_DFL);
    std::raise(number);
}

void handleStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start (nohup, a background job) stays ignored.
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(number, &action, nullptr);
    }
}

void usageError(const std::string& error) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, error.c_str(),
                 kProgram);
}

// The time-lapse folder exists afterwards, and none of the files the run may write there, nor
// the video, is one of the inputs or the output.
bool prepareTimelapse(const CliRequest& request) {
    const std::string& folder = programOptions.timelapseFolder;
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error) &&
        !std::filesystem::create_directories(folder, error)) {
        usageError("cannot create the time-lapse folder '" + folder + "': " + error.message());
        return false;
    }
    std::vector<std::string> protect{""};
    protect.insert(protect.end(), request.inputs.begin(), request.inputs.end());
    protect.push_back(request.output);
    const std::string& video = programOptions.videoFile;
    if (!video.empty() && outputIsInput(video, protect)) {
        usageError("the video file is one of the input images or the output");
        return false;
    }
    const int every = programOptions.timelapseEvery;
    const int frames = static_cast<int>(request.inputs.size()) / every + 1;
    for (int k = 1; !folder.empty() && k <= frames; ++k) {
        if (outputIsInput(timelapseFrameName(folder, request.output, k), protect)) {
            usageError("the time-lapse images would overwrite an input image or the output");
            return false;
        }
    }
    return true;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    std::vector<std::string> words(argv, argv + argc);
    setDefaultOptions(programOptions);
    installMessageSink(&terminalSink);

    // The settings file comes first so that the switches can override what it holds.
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "--")
            break;
        std::string file;
        if (words[i] == "--settings" && i + 1 < words.size()) {
            file = words[i + 1];
        } else if (words[i].rfind("--settings=", 0) == 0) {
            file = words[i].substr(11);
        } else {
            continue;
        }
        if (loadSettingsFile(file, programOptions) != 0) {
            usageError("cannot read settings file '" + file + "'");
            return kExitUsage;
        }
        // The desktop program checks none of its mode buttons for an unknown mode, and its next
        // Start stores 0.
        if (programOptions.combine_mode < MODE_STACK ||
            programOptions.combine_mode > MODE_BRIGHTEN) {
            programOptions.combine_mode = MODE_STACK;
        }
    }

    CliRequest request;
    std::string error;
    if (parseCommandLine(words, request, error) != 0) {
        usageError(error);
        return kExitUsage;
    }
    if (request.help) {
        std::fputs(usageText().c_str(), stdout);
        return kExitOk;
    }
    if (request.version) {
        std::printf("%s %s\n", kProgram, programVersion());
        return kExitOk;
    }

    // A settings file holds the divisor as any number; a mix run with one that is not
    // positive would write a white or black image.
    if (programOptions.combine_mode == MODE_MIX &&
        !(std::isfinite(programOptions.Divisor) && programOptions.Divisor > 0.0)) {
        usageError("invalid divisor in the settings file: expected a finite number greater than 0");
        return kExitUsage;
    }

    // An average divides by the number of images, which a fading sum no longer counts.
    if (programOptions.cometLength != 0 && programOptions.combine_mode == MODE_AVERAGE) {
        usageError("comet trails need the stack, mix or brighten mode, not average");
        return kExitUsage;
    }

    // Only a brighten run bridges gaps; refused, as the desktop program's Start refuses it,
    // rather than ignored.
    if (programOptions.fillGaps != 0 && programOptions.combine_mode != MODE_BRIGHTEN) {
        usageError("filling gaps needs the brighten mode");
        return kExitUsage;
    }

    installImageFileHandlers();
    if (checkOutputFormat(request.output.c_str()) != 0)
        return kExitUsage;
    // A step from the settings file stands unless the line gives one.
    if (programOptions.timelapseFolder.empty() && programOptions.videoFile.empty())
        programOptions.timelapseEvery = 0;
    else if (request.every != 0 || programOptions.timelapseEvery == 0)
        programOptions.timelapseEvery = request.every != 0 ? request.every : 1;
    if (programOptions.timelapseEvery > 0 && !prepareTimelapse(request))
        return kExitUsage;
    // The depth may come from a settings file as well as from the switch.
    const std::string depthProblem = outputDepthProblem(request.output, programOptions.outputDepth);
    if (!depthProblem.empty()) {
        usageError(depthProblem);
        return kExitUsage;
    }

    std::vector<std::string> arguments{"quorvane-cli"};
    for (const std::string& input : request.inputs) {
        // The run skips entries that look like switches; these are files.
        arguments.push_back(!input.empty() && input[0] == '-' ? "./" + input : input);
    }
    const std::string dark =
        programOptions.useNoiseReduction != 0 ? programOptions.darkFrameFile : std::string();
    if (outputIsInput(request.output, arguments, dark)) {
        reportError("The output file is one of the input images");
        return kExitUsage;
    }
    // Found now rather than after a night of frames; the save checks again.
    if (checkOutputWritable(request.output.c_str()) != 0)
        return kExitNoOutput;
    programOptions.outputName = request.output;

    terminal.verbose = request.verbose;
    terminal.progress = !request.quiet && isatty(STDERR_FILENO);
    if (request.verbose)
        dumpOptions(programOptions);

    handleStopSignals();
    const int result = runProcessing(static_cast<int>(arguments.size()), arguments);
    clearProgress();
    std::fflush(stdout);
    if (result != 0)
        return stopSignal != 0 ? 128 + stopSignal : kExitStopped;
    if (outputWritten.load() == 0)
        return kExitNoOutput;
    // Frames rejected as too bright were left out as asked.
    const int expected = static_cast<int>(request.inputs.size()) - imagesRejected.load();
    if (imageCounter.load() < expected || runFellBack.load() != 0)
        return kExitSkipped;
    return kExitOk;
}
