// make-sample-sequence: writes a synthetic star-field sequence for demos and benchmarks.
//
//   make-sample-sequence [-n FRAMES] [-W WIDTH] [-H HEIGHT] [-q QUALITY] [--seed N] [--dark]
//                        DIR [PREFIX] [EXT]
//
// Frames DIR/PREFIX0001.EXT ... show a night sky whose stars turn a little around a pole
// from frame to frame (stacked in brighten mode they draw trails), dark hills along the
// bottom, mild sensor noise and a few hot pixels that sit still in every frame. --dark writes
// only DIR/dark.EXT: the same noise and hot pixels without the scene, for dark-frame tests.
// Everything follows from the seed, so a sequence can be regenerated bit for bit.
//
// Exit status: 0 written, 1 a file could not be written, 2 usage error.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
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

namespace {

constexpr double kPi = 3.14159265358979323846;
// Turn of the sky between two frames: a quarter degree, about one minute of real time.
constexpr double kRadiansPerFrame = 0.25 * kPi / 180.0;

const char* const kUsage =
    "usage: make-sample-sequence [options] DIR [PREFIX] [EXT]\n"
    "  Writes DIR/PREFIX0001.EXT ... (PREFIX default \"frame\", EXT jpg, bmp or tif;\n"
    "  default jpg, or bmp when JPEG cannot be written). DIR is created if missing.\n"
    "  -n FRAMES   number of frames, 1..99999 (default 12)\n"
    "  -W WIDTH    frame width, 16..30000 (default 1200)\n"
    "  -H HEIGHT   frame height, 16..30000 (default 800)\n"
    "  -q QUALITY  JPEG quality, 1..100 (default 92)\n"
    "  --seed N    seed of the scene and the noise (default 1)\n"
    "  --dark      write one dark frame DIR/dark.EXT instead of the sequence\n";

struct Arguments {
    int frames = 12;
    int width = 1200;
    int height = 800;
    int quality = 92;
    uint64_t seed = 1;
    bool dark = false;
    std::string directory;
    std::string prefix = "frame";
    std::string extension;  // empty: choose
};

// splitmix64: tiny, fast, and the same sequence on every platform and library.
struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

struct Star {
    double dx, dy;  // offset from the pole in frame 0
    double peak;    // brightness at the centre, 0..255
    double sigma;   // spread in pixels
    double red, green, blue;
};

struct HotPixel {
    int x, y;
    uint8_t red, green, blue;
};

struct Scene {
    int width = 0;
    int height = 0;
    double poleX = 0.0;
    double poleY = 0.0;
    std::vector<Star> stars;
    std::vector<HotPixel> hotPixels;
    std::vector<int> horizon;                        // first hill row of each column
    std::vector<uint8_t> skyRed, skyGreen, skyBlue;  // per row
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
        } else if (flag == "--dark") {
            arguments.dark = true;
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

// Rounded and clamped to a sample.
uint8_t toByte(double value) {
    return static_cast<uint8_t>(std::clamp(value + 0.5, 0.0, 255.0));
}

Scene buildScene(int width, int height, uint64_t seed) {
    Scene scene;
    scene.width = width;
    scene.height = height;
    Random random(seed);
    scene.poleX = width * (0.3 + 0.4 * random.unit());
    scene.poleY = height * (0.05 + 0.2 * random.unit());

    // Stars fill a margin around the frame too, so the turning sky brings new ones in.
    const double area = static_cast<double>(width) * height;
    const int starCount = 200 + static_cast<int>(area / 20000.0);
    scene.stars.reserve(starCount);
    for (int i = 0; i < starCount; ++i) {
        Star star{};
        star.dx = (random.unit() * 1.6 - 0.3) * width - scene.poleX;
        star.dy = (random.unit() * 1.6 - 0.3) * height - scene.poleY;
        // Faint stars far outnumber bright ones.
        const double u = random.unit();
        star.peak = 35.0 + 220.0 * u * u * u;
        star.sigma = 0.55 + 1.3 * (star.peak / 255.0) * (star.peak / 255.0);
        // From blue-white through white to orange.
        const double t = random.unit();
        star.red = t < 0.5 ? 0.75 + 0.5 * t : 1.0;
        star.green = t < 0.5 ? 0.85 + 0.3 * t : 1.0 - 0.4 * (t - 0.5);
        star.blue = t < 0.5 ? 1.0 : 1.0 - 0.9 * (t - 0.5);
        scene.stars.push_back(star);
    }

    const int hotCount = 8 + static_cast<int>(area / 500000.0);
    for (int i = 0; i < hotCount; ++i) {
        HotPixel hot{};
        hot.x = static_cast<int>(random.unit() * width);
        hot.y = static_cast<int>(random.unit() * height);
        const uint64_t bits = random.next();
        hot.red = static_cast<uint8_t>(160 + (bits & 0x5F));
        hot.green = static_cast<uint8_t>(60 + ((bits >> 8) & 0x7F));
        hot.blue = static_cast<uint8_t>(40 + ((bits >> 16) & 0x7F));
        scene.hotPixels.push_back(hot);
    }

    // A few long, low waves make a believable ridge line.
    double phase[3];
    for (double& p : phase) {
        p = random.unit() * 2.0 * kPi;
    }
    scene.horizon.resize(width);
    for (int x = 0; x < width; ++x) {
        const double s = static_cast<double>(x) / width;
        const double ridge = 0.80 + 0.06 * std::sin(2.0 * kPi * 1.3 * s + phase[0]) +
                             0.035 * std::sin(2.0 * kPi * 3.7 * s + phase[1]) +
                             0.012 * std::sin(2.0 * kPi * 11.0 * s + phase[2]);
        scene.horizon[x] = static_cast<int>(ridge * height);
    }

    // Deep blue overhead, a faint glow towards the horizon.
    scene.skyRed.resize(height);
    scene.skyGreen.resize(height);
    scene.skyBlue.resize(height);
    for (int y = 0; y < height; ++y) {
        const double t = static_cast<double>(y) / height;
        scene.skyRed[y] = toByte(6.0 + 26.0 * t * t);
        scene.skyGreen[y] = toByte(9.0 + 28.0 * t * t);
        scene.skyBlue[y] = toByte(24.0 + 34.0 * t);
    }
    return scene;
}

void addSaturated(uint8_t& sample, double amount) {
    sample = toByte(sample + amount);
}

void drawStar(const Scene& scene, uint8_t* pixels, const Star& star, double cosAngle,
              double sinAngle) {
    const double cx = scene.poleX + star.dx * cosAngle - star.dy * sinAngle;
    const double cy = scene.poleY + star.dx * sinAngle + star.dy * cosAngle;
    const int reach = static_cast<int>(std::ceil(2.5 * star.sigma));
    if (cx < -reach || cy < -reach || cx >= scene.width + reach || cy >= scene.height + reach) {
        return;
    }
    // The Gaussian is separable, so a splat costs two short rows of exponentials.
    const int x0 = static_cast<int>(std::floor(cx)) - reach;
    const int y0 = static_cast<int>(std::floor(cy)) - reach;
    const int span = 2 * reach + 2;
    double wx[16];
    double wy[16];
    const double scale = -0.5 / (star.sigma * star.sigma);
    for (int i = 0; i < span; ++i) {
        const double ddx = x0 + i - cx;
        const double ddy = y0 + i - cy;
        wx[i] = std::exp(ddx * ddx * scale);
        wy[i] = std::exp(ddy * ddy * scale);
    }
    for (int j = 0; j < span; ++j) {
        const int y = y0 + j;
        if (y < 0 || y >= scene.height) {
            continue;
        }
        for (int i = 0; i < span; ++i) {
            const int x = x0 + i;
            // Hills stand in front of the sky.
            if (x < 0 || x >= scene.width || y >= scene.horizon[x]) {
                continue;
            }
            const double level = star.peak * wx[i] * wy[j];
            if (level < 0.5) {
                continue;
            }
            uint8_t* pixel = pixels + (static_cast<int64_t>(y) * scene.width + x) * 4;
            addSaturated(pixel[1], level * star.red);
            addSaturated(pixel[2], level * star.green);
            addSaturated(pixel[3], level * star.blue);
        }
    }
}

// frame < 0 renders the dark frame. Every byte of the image is written.
void renderFrame(const Scene& scene, Image& image, uint64_t seed, int frame) {
    uint8_t* pixels = pixelData(image);
    // Noise differs from frame to frame; the dark frame gets a stream of its own.
    Random noise(seed * 0x100000001B3ull + static_cast<uint64_t>(frame + 2));
    const bool dark = frame < 0;
    for (int y = 0; y < scene.height; ++y) {
        uint8_t* row = pixels + static_cast<int64_t>(y) * scene.width * 4;
        for (int x = 0; x < scene.width; x += 2) {
            // One draw gives the noise of two pixels: each sample gets 0..7 added.
            uint64_t bits = noise.next();
            for (int k = 0; k < 2 && x + k < scene.width; ++k) {
                uint8_t* pixel = row + (x + k) * 4;
                uint8_t red = 0, green = 0, blue = 0;
                if (!dark) {
                    if (y >= scene.horizon[x + k]) {
                        red = 3;
                        green = 4;
                        blue = 5;
                    } else {
                        red = scene.skyRed[y];
                        green = scene.skyGreen[y];
                        blue = scene.skyBlue[y];
                    }
                }
                pixel[0] = 255;
                pixel[1] = static_cast<uint8_t>(red + (bits & 7));
                pixel[2] = static_cast<uint8_t>(green + ((bits >> 3) & 7));
                pixel[3] = static_cast<uint8_t>(blue + ((bits >> 6) & 7));
                bits >>= 9;
            }
        }
    }
    if (!dark) {
        const double angle = kRadiansPerFrame * frame;
        const double cosAngle = std::cos(angle);
        const double sinAngle = std::sin(angle);
        for (const Star& star : scene.stars) {
            drawStar(scene, pixels, star, cosAngle, sinAngle);
        }
    }
    for (const HotPixel& hot : scene.hotPixels) {
        uint8_t* pixel = pixels + (static_cast<int64_t>(hot.y) * scene.width + hot.x) * 4;
        pixel[1] = hot.red;
        pixel[2] = hot.green;
        pixel[3] = hot.blue;
    }
}

void setImageHeader(Image& image, int width, int height) {
    // The writers may rewrite the header (narrowing, say), so it is set before every frame.
    image.width = width;
    image.height = height;
    image.bitsPerPixel = 32;
    image.bytesPerLine = int64_t{4} * width;
    image.dataSize = image.bytesPerLine * height;
    image.dataFormat = 0;
}

void ignoreMessage(const std::string&) {}

// Whether this build writes JPEG files: one tiny image written and removed, silently.
bool jpegWorks(const std::string& directory) {
    const MessageSink quiet{ignoreMessage, ignoreMessage, ignoreMessage};
    installMessageSink(&quiet);
    Image probe;
    initImage(probe);
    setImageHeader(probe, 16, 16);
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

    const Scene scene = buildScene(arguments.width, arguments.height, arguments.seed);
    Image image;
    initImage(image);
    setImageHeader(image, arguments.width, arguments.height);
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
        setImageHeader(image, arguments.width, arguments.height);
        renderFrame(scene, image, arguments.seed, arguments.dark ? -1 : i);
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
