// make-sample-sequence: writes a synthetic star-field sequence for demos and benchmarks.
//
//   make-sample-sequence [-n FRAMES] [-W WIDTH] [-H HEIGHT] [-q QUALITY] [--seed N] [--dark]
//                        [--camera] [--flash N[,N...]] [--dawn N] [--turn DEG] [--exposure F]
//                        DIR [PREFIX] [EXT]
//
// Frames DIR/PREFIX0001.EXT ... show a night sky whose stars turn a little around a pole
// from frame to frame (stacked in brighten mode they draw trails), dark hills along the
// bottom, mild sensor noise and a few hot pixels that sit still in every frame. --dark writes
// only DIR/dark.EXT: the same noise and hot pixels without the scene, for dark-frame tests.
// Everything follows from the seed, so a sequence can be regenerated bit for bit. The scene
// and its rendering live in sample_scene.cpp, where tests can ask where every star is.
//
// Those frames compress unusually well (about 1.2 MB for 12 megapixels at quality 92), which
// makes them cheap to decode. --camera renders what a camera delivers instead: a textured
// foreground with a higher ridge, a sky with a glow, a faint band of light and vignetting, and
// sensor noise in every sample of every channel (read noise plus shot noise that grows with the
// level), so that 12 megapixels at quality 92 take 3 to 4 MB. Without --camera the output is
// the same, byte for byte, as it has always been.
//
// Nights are not always steady: --flash N lights frame N (counted from 1) as a passing car's
// headlights would, a strong warm light falling off across the frame from the left, and
// --dawn N brightens the sky a little more in each of the last N frames, as a slow dawn or
// moonrise does. They are for testing the rejection of odd frames; frames without either are
// the same as without the options.
//
// A real camera needs a moment between two exposures, so the trails of a stack are dashed.
// --exposure F opens the shutter for the fraction F of each frame's interval: every star is
// drawn as a streak along its arc over that share of the frame's turn, at its full brightness
// along the axis, and a bright star sits on the pole, where it does not move. --turn DEG sets
// the sky's turn per frame (default a quarter degree, about a minute of real time), so that
// gaps of a few pixels can be had in small frames. Without either option the frames are the
// same, byte for byte, as before.
//
// Exit status: 0 written, 1 a file could not be written, 2 usage error.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/image.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "imageio/imageio.h"
#include "tools/sample_scene.h"

namespace {

const char* const kUsage =
    "usage: make-sample-sequence [options] DIR [PREFIX] [EXT]\n"
    "  Writes DIR/PREFIX0001.EXT ... (PREFIX default \"frame\", EXT jpg, bmp or tif;\n"
    "  default jpg, or bmp when JPEG cannot be written). DIR is created if missing.\n"
    "  -n FRAMES   number of frames, 1..99999 (default 12)\n"
    "  -W WIDTH    frame width, 16..30000 (default 1200)\n"
    "  -H HEIGHT   frame height, 16..30000 (default 800)\n"
    "  -q QUALITY  JPEG quality, 1..100 (default 92)\n"
    "  --seed N    seed of the scene and the noise (default 1)\n"
    "  --dark      write one dark frame DIR/dark.EXT instead of the sequence\n"
    "  --camera    camera-like frames: textured scene and sensor noise (larger files)\n"
    "  --flash N   light frame N (from 1) as by headlights; repeatable, or a list 3,9\n"
    "  --dawn N    brighten the sky steadily over the last N frames (default 0: none)\n"
    "  --turn DEG  turn of the sky per frame in degrees, 0..10 (default 0.25)\n"
    "  --exposure F  share of each frame's interval the shutter is open, 0 < F <= 1:\n"
    "              stars become streaks with gaps between frames, plus one on the pole\n"
    "              (default: stars are round spots)\n";

struct Arguments {
    int frames = 12;
    int width = 1200;
    int height = 800;
    int quality = 92;
    uint64_t seed = 1;
    bool dark = false;
    bool camera = false;
    std::vector<int> flashes;  // frame numbers from 1
    int dawn = 0;              // frames at the end with a brightening sky
    double turn = 0.25;        // degrees per frame
    double exposure = 0.0;     // 0: spots, no streaks
    std::string directory;
    std::string prefix = "frame";
    std::string extension;  // empty: choose
};

bool parseNumber(std::string_view text, long long low, long long high, long long& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= low &&
           value <= high;
}

// 0 parsed, 2 usage error (already explained on standard error).
int parseArguments(int argc, char** argv, Arguments& arguments) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string_view flag = argv[i];
        auto numberFlag = [&](long long low, long long high, long long& value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "make-sample-sequence: %s needs a value\n", argv[i]);
                return false;
            }
            if (!parseNumber(argv[i + 1], low, high, value)) {
                std::fprintf(stderr, "make-sample-sequence: bad value for %s: %s\n", argv[i],
                             argv[i + 1]);
                return false;
            }
            ++i;
            return true;
        };
        long long value = 0;
        if (flag == "-n" || flag == "-W" || flag == "-H" || flag == "-q") {
            const long long high = flag == "-n" ? 99999 : flag == "-q" ? 100 : 30000;
            const long long low = flag == "-n" || flag == "-q" ? 1 : 16;
            if (!numberFlag(low, high, value)) {
                return 2;
            }
            int& target = flag == "-n"   ? arguments.frames
                          : flag == "-W" ? arguments.width
                          : flag == "-H" ? arguments.height
                                         : arguments.quality;
            target = static_cast<int>(value);
        } else if (flag == "--seed") {
            const char* text = i + 1 < argc ? argv[i + 1] : "";
            const char* end = text + std::strlen(text);
            auto [stop, error] = std::from_chars(text, end, arguments.seed);
            if (*text == '\0' || error != std::errc() || stop != end) {
                std::fprintf(stderr, "make-sample-sequence: bad value for --seed: %s\n", text);
                return 2;
            }
            ++i;
        } else if (flag == "--flash") {
            // A comma-separated list, each number checked on its own.
            const std::string_view list = i + 1 < argc ? argv[i + 1] : "";
            size_t start = 0;
            do {
                const size_t comma = std::min(list.find(',', start), list.size());
                if (!parseNumber(list.substr(start, comma - start), 1, 99999, value)) {
                    std::fprintf(stderr, "make-sample-sequence: bad value for --flash: %.*s\n",
                                 static_cast<int>(list.size()), list.data());
                    return 2;
                }
                arguments.flashes.push_back(static_cast<int>(value));
                start = comma + 1;
            } while (start <= list.size());
            ++i;
        } else if (flag == "--dawn") {
            if (!numberFlag(0, 99999, value)) {
                return 2;
            }
            arguments.dawn = static_cast<int>(value);
        } else if (flag == "--turn" || flag == "--exposure") {
            const bool turn = flag == "--turn";
            const char* text = i + 1 < argc ? argv[i + 1] : "";
            const char* end = text + std::strlen(text);
            double number = 0.0;
            auto [stop, error] = std::from_chars(text, end, number);
            // Written so that NaN fails too.
            const bool inRange =
                turn ? number >= 0.0 && number <= 10.0 : number > 0.0 && number <= 1.0;
            if (*text == '\0' || error != std::errc() || stop != end || !inRange) {
                std::fprintf(stderr, "make-sample-sequence: bad value for %s: %s\n", argv[i], text);
                return 2;
            }
            (turn ? arguments.turn : arguments.exposure) = number;
            ++i;
        } else if (flag == "--dark") {
            arguments.dark = true;
        } else if (flag == "--camera") {
            arguments.camera = true;
        } else if (flag == "-h" || flag == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (flag.size() > 1 && flag[0] == '-') {
            std::fprintf(stderr, "make-sample-sequence: unknown option %s\n", argv[i]);
            return 2;
        } else {
            positional.emplace_back(flag);
        }
    }
    if (positional.empty() || positional.size() > 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    arguments.directory = positional[0];
    if (positional.size() > 1) {
        arguments.prefix = positional[1];
    }
    if (positional.size() > 2) {
        std::string lower = positional[2];
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (lower != "jpg" && lower != "bmp" && lower != "tif") {
            std::fprintf(stderr, "make-sample-sequence: extension must be jpg, bmp or tif: %s\n",
                         positional[2].c_str());
            return 2;
        }
        arguments.extension = positional[2];
    }
    return 0;
}

void ignoreMessage(const std::string&) {}

// Whether this build writes JPEG files: one tiny image written and removed, silently.
bool jpegWorks(const std::string& directory) {
    const MessageSink quiet{ignoreMessage, ignoreMessage, ignoreMessage};
    installMessageSink(&quiet);
    Image probe;
    initImage(probe);
    sample::frameHeader(probe, 16, 16);
    probe.pixels = allocPixels(probe.dataSize);
    bool works = false;
    if (probe.pixels != nullptr) {
        const std::string path =
            directory + "/.make-sample-sequence-" + std::to_string(getpid()) + ".jpg";
        works = writeImage(probe, path.c_str()) == 0;
        unlink(path.c_str());
        freePixels(probe.pixels);
    }
    installMessageSink(nullptr);
    return works;
}

std::string frameName(const Arguments& arguments, int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", number);
    return arguments.prefix + digits + "." + arguments.extension;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (int status = parseArguments(argc, argv, arguments); status != 0) {
        return status;
    }
    if (::mkdir(arguments.directory.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "make-sample-sequence: can't create %s: %s\n",
                     arguments.directory.c_str(), std::strerror(errno));
        return 1;
    }

    setDefaultOptions(runOptions);
    runOptions.jpeg_quality = arguments.quality;
    if (arguments.extension.empty()) {
        arguments.extension = jpegWorks(arguments.directory) ? "jpg" : "bmp";
    }

    sample::Scene scene = sample::buildScene(arguments.width, arguments.height, arguments.seed,
                                             arguments.turn, arguments.exposure);
    sample::CameraScene camera;
    if (arguments.camera) {
        camera = sample::buildCameraScene(scene, arguments.seed);
    }
    Image image;
    initImage(image);
    sample::frameHeader(image, arguments.width, arguments.height);
    image.pixels = allocPixels(image.dataSize);
    if (image.pixels == nullptr) {
        return 1;
    }

    int written = 0;
    std::string first;
    std::string last;
    const int count = arguments.dark ? 1 : arguments.frames;
    for (int i = 0; i < count; ++i) {
        const std::string name =
            arguments.dark ? "dark." + arguments.extension : frameName(arguments, i + 1);
        const std::string path = arguments.directory + "/" + name;
        // The writers may rewrite the header (narrowing, say), so it is set before every frame.
        sample::frameHeader(image, arguments.width, arguments.height);
        const int frame = arguments.dark ? -1 : i;
        if (arguments.camera) {
            sample::renderCameraFrame(scene, camera, image, arguments.seed, frame);
        } else {
            sample::renderFrame(scene, image, arguments.seed, frame);
        }
        const bool flash = !arguments.dark &&
                           std::find(arguments.flashes.begin(), arguments.flashes.end(), i + 1) !=
                               arguments.flashes.end();
        // The first frame of the tail already shows some light, the last all of it.
        const int intoDawn = arguments.dark ? -1 : i - (count - arguments.dawn);
        if (flash || intoDawn >= 0) {
            const double dawn = intoDawn >= 0 ? (intoDawn + 1.0) / arguments.dawn : 0.0;
            sample::lightFrame(scene, image, flash ? 1.0 : 0.0, std::min(dawn, 1.0));
        }
        if (writeImage(image, path.c_str()) != 0) {
            std::fprintf(stderr, "make-sample-sequence: could not write %s\n", path.c_str());
            freePixels(image.pixels);
            return 1;
        }
        if (first.empty()) {
            first = name;
        }
        last = name;
        ++written;
    }
    freePixels(image.pixels);

    if (written == 1) {
        std::printf("Wrote 1 file to %s: %s\n", arguments.directory.c_str(), first.c_str());
    } else {
        std::printf("Wrote %d files to %s: %s .. %s\n", written, arguments.directory.c_str(),
                    first.c_str(), last.c_str());
    }
    return 0;
}
