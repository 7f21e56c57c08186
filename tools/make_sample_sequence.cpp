// make-sample-sequence: writes a synthetic star-field sequence for demos and benchmarks.
//
//   make-sample-sequence [-n FRAMES] [-W WIDTH] [-H HEIGHT] [-q QUALITY] [--seed N] [--dark]
//                        [--camera] [--flash N[,N...]] [--dawn N] DIR [PREFIX] [EXT]
//
// Frames DIR/PREFIX0001.EXT ... show a night sky whose stars turn a little around a pole
// from frame to frame (stacked in brighten mode they draw trails), dark hills along the
// bottom, mild sensor noise and a few hot pixels that sit still in every frame. --dark writes
// only DIR/dark.EXT: the same noise and hot pixels without the scene, for dark-frame tests.
// Everything follows from the seed, so a sequence can be regenerated bit for bit.
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
    "  --dark      write one dark frame DIR/dark.EXT instead of the sequence\n"
    "  --camera    camera-like frames: textured scene and sensor noise (larger files)\n"
    "  --flash N   light frame N (from 1) as by headlights; repeatable, or a list 3,9\n"
    "  --dawn N    brighten the sky steadily over the last N frames (default 0: none)\n";

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

// Every star at its place in frame, turned about the pole as the night goes on.
void drawStars(const Scene& scene, uint8_t* pixels, int frame) {
    const double angle = kRadiansPerFrame * frame;
    const double cosAngle = std::cos(angle);
    const double sinAngle = std::sin(angle);
    for (const Star& star : scene.stars) {
        drawStar(scene, pixels, star, cosAngle, sinAngle);
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
        drawStars(scene, pixels, frame);
    }
    for (const HotPixel& hot : scene.hotPixels) {
        uint8_t* pixel = pixels + (static_cast<int64_t>(hot.y) * scene.width + hot.x) * 4;
        pixel[1] = hot.red;
        pixel[2] = hot.green;
        pixel[3] = hot.blue;
    }
}

// Camera-like frames. The scene (ridge, texture, sky) is rendered once; every frame then gets
// the turning stars and its own noise. Their random streams are separate from the plain
// frames', so those stay as they were.

// A smooth random field in [0, 1]: values on a lattice of the given cell size, interpolated
// with a smoothstep. Hashing the lattice point keeps it free of tables and platform-stable.
double latticeValue(int64_t ix, int64_t iy, uint64_t salt) {
    Random hash(salt ^ (static_cast<uint64_t>(ix) * 0x9E3779B97F4A7C15ull) ^
                (static_cast<uint64_t>(iy) * 0xC2B2AE3D27D4EB4Full));
    return hash.unit();
}

double valueNoise(double x, double y, double cell, uint64_t salt) {
    const double fx = x / cell;
    const double fy = y / cell;
    const double x0 = std::floor(fx);
    const double y0 = std::floor(fy);
    double tx = fx - x0;
    double ty = fy - y0;
    tx = tx * tx * (3.0 - 2.0 * tx);
    ty = ty * ty * (3.0 - 2.0 * ty);
    const auto ix = static_cast<int64_t>(x0);
    const auto iy = static_cast<int64_t>(y0);
    const double a = latticeValue(ix, iy, salt);
    const double b = latticeValue(ix + 1, iy, salt);
    const double c = latticeValue(ix, iy + 1, salt);
    const double d = latticeValue(ix + 1, iy + 1, salt);
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

// Octaves from `coarsest` (at least 2) down to cells of 2 pixels, each `roughness` times the
// weight of the one above. Result in [0, 1].
double fractalNoise(double x, double y, double coarsest, double roughness, uint64_t salt) {
    double sum = 0.0;
    double weight = 1.0;
    double total = 0.0;
    for (double cell = std::max(coarsest, 2.0); cell >= 2.0; cell *= 0.5) {
        sum += weight * valueNoise(x, y, cell, salt);
        total += weight;
        weight *= roughness;
        salt += 0x632BE59BD9B4E019ull;
    }
    return sum / total;
}

struct CameraScene {
    std::vector<uint8_t> base;  // red, green, blue of every pixel before stars and noise
    double readNoise = 0.0;     // standard deviation in sample units
    double shotGain = 0.0;      // variance added per unit of level
    std::vector<double> gauss;  // standard normal quantiles, indexed by 12 random bits
};

// Raises the ridge (more foreground) and renders the still parts of every camera frame.
CameraScene buildCameraScene(Scene& scene, uint64_t seed) {
    const int width = scene.width;
    const int height = scene.height;
    const double scale = std::max(width, height) / 4000.0;  // texture follows the frame size
    for (int& row : scene.horizon) {
        row -= static_cast<int>(0.17 * height);
    }
    CameraScene camera;
    camera.readNoise = 3.8;
    camera.shotGain = 0.75;
    camera.gauss.resize(4096);
    for (int i = 0; i < 4096; ++i) {
        // Inverse of the normal distribution by bisection: slow, but only 4096 times.
        const double p = (i + 0.5) / 4096.0;
        double low = -6.0, high = 6.0;
        for (int step = 0; step < 60; ++step) {
            const double middle = 0.5 * (low + high);
            (0.5 * std::erfc(-middle / std::sqrt(2.0)) < p ? low : high) = middle;
        }
        camera.gauss[i] = 0.5 * (low + high);
    }

    const uint64_t salt = seed * 0xD6E8FEB86659FD93ull + 0x5851F42D4C957F2Dull;
    camera.base.resize(static_cast<size_t>(width) * height * 3);
    const double cx = 0.5 * width;
    const double cy = 0.5 * height;
    const double radius2 = cx * cx + cy * cy;
    for (int y = 0; y < height; ++y) {
        uint8_t* out = camera.base.data() + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            double red, green, blue;
            if (y >= scene.horizon[x]) {
                // Ground: rock and grass, brighter and coarser towards the bottom (nearer).
                const double near = static_cast<double>(y - scene.horizon[x]) /
                                    std::max(1, height - scene.horizon[x]);
                const double shape = fractalNoise(x, y, 400.0 * scale, 0.62, salt + 1);
                const double grain = fractalNoise(x, y, 16.0 * scale, 0.8, salt + 2);
                const double tint = fractalNoise(x, y, 150.0 * scale, 0.5, salt + 3);
                const double level =
                    (30.0 + 80.0 * near) * (0.4 + 1.2 * shape) * (0.3 + 1.4 * grain);
                red = level * (0.95 + 0.25 * tint);
                green = level * (0.85 + 0.2 * (1.0 - tint));
                blue = level * 0.62;
            } else {
                // Sky: glow of distant lights over the ridge, a faint band of light across.
                const double t = static_cast<double>(y) / scene.horizon[x];
                const double glow = 28.0 * t * t * t;
                const double across = (x - 0.9 * y - 0.2 * width) / (0.18 * width);
                const double band = std::exp(-across * across) *
                                    (0.3 + 0.9 * fractalNoise(x, y, 220.0 * scale, 0.6, salt + 4));
                red = 14.0 + glow * 1.3 + 18.0 * band;
                green = 16.0 + glow * 1.05 + 17.0 * band;
                blue = 30.0 + glow * 0.7 + 20.0 * band;
            }
            // Lens vignetting: the corners get about 60 % of the centre's light.
            const double dx = x - cx;
            const double dy = y - cy;
            const double v = 1.0 - 0.4 * (dx * dx + dy * dy) / radius2;
            out[3 * x] = toByte(red * v);
            out[3 * x + 1] = toByte(green * v);
            out[3 * x + 2] = toByte(blue * v);
        }
    }
    return camera;
}

// frame < 0 renders the dark frame: read noise and hot pixels only.
void renderCameraFrame(const Scene& scene, const CameraScene& camera, Image& image, uint64_t seed,
                       int frame) {
    uint8_t* pixels = pixelData(image);
    const int64_t count = static_cast<int64_t>(scene.width) * scene.height;
    const bool dark = frame < 0;
    for (int64_t i = 0; i < count; ++i) {
        uint8_t* pixel = pixels + i * 4;
        pixel[0] = 255;
        for (int c = 0; c < 3; ++c) {
            pixel[1 + c] = dark ? 0 : camera.base[i * 3 + c];
        }
    }
    if (!dark) {
        drawStars(scene, pixels, frame);
    }
    // Noise on the rendered level: read noise everywhere, shot noise growing with the light.
    double sigma[256];
    for (int level = 0; level < 256; ++level) {
        sigma[level] = std::sqrt(camera.readNoise * camera.readNoise + camera.shotGain * level);
    }
    Random noise(seed * 0x9FB21C651E98DF25ull + static_cast<uint64_t>(frame + 2));
    uint64_t bits = 0;
    int left = 0;
    for (int64_t i = 0; i < count; ++i) {
        uint8_t* pixel = pixels + i * 4;
        for (int c = 1; c < 4; ++c) {
            if (left == 0) {
                bits = noise.next();
                left = 5;
            }
            const double value = pixel[c] + sigma[pixel[c]] * camera.gauss[bits & 4095];
            bits >>= 12;
            --left;
            pixel[c] = toByte(value);
        }
    }
    for (const HotPixel& hot : scene.hotPixels) {
        uint8_t* pixel = pixels + (static_cast<int64_t>(hot.y) * scene.width + hot.x) * 4;
        pixel[1] = hot.red;
        pixel[2] = hot.green;
        pixel[3] = hot.blue;
    }
}

// Light added on top of a rendered frame. flash (0..1) is headlights from the left: warm, and
// fading to a third across the frame; dawn (0..1) how far the sky has brightened.
void lightFrame(const Scene& scene, uint8_t* pixels, double flash, double dawn) {
    for (int y = 0; y < scene.height; ++y) {
        uint8_t* pixel = pixels + static_cast<int64_t>(y) * scene.width * 4;
        for (int x = 0; x < scene.width; ++x, pixel += 4) {
            const double beam = flash * 150.0 * (1.0 - 0.67 * x / scene.width);
            const double sky = y < scene.horizon[x] ? dawn * 45.0 : 0.0;
            addSaturated(pixel[1], beam + 0.55 * sky);
            addSaturated(pixel[2], 0.8 * beam + 0.75 * sky);
            addSaturated(pixel[3], 0.5 * beam + sky);
        }
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

    Scene scene = buildScene(arguments.width, arguments.height, arguments.seed);
    CameraScene camera;
    if (arguments.camera) {
        camera = buildCameraScene(scene, arguments.seed);
    }
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
        const int frame = arguments.dark ? -1 : i;
        if (arguments.camera) {
            renderCameraFrame(scene, camera, image, arguments.seed, frame);
        } else {
            renderFrame(scene, image, arguments.seed, frame);
        }
        const bool flash = !arguments.dark &&
                           std::find(arguments.flashes.begin(), arguments.flashes.end(), i + 1) !=
                               arguments.flashes.end();
        // The first frame of the tail already shows some light, the last all of it.
        const int intoDawn = arguments.dark ? -1 : i - (count - arguments.dawn);
        if (flash || intoDawn >= 0) {
            const double dawn = intoDawn >= 0 ? (intoDawn + 1.0) / arguments.dawn : 0.0;
            lightFrame(scene, pixelData(image), flash ? 1.0 : 0.0, std::min(dawn, 1.0));
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
