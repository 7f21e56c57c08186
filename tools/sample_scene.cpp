#include "tools/sample_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace sample {

namespace {

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

// Rounded and clamped to a sample.
uint8_t toByte(double value) {
    return static_cast<uint8_t>(std::clamp(value + 0.5, 0.0, 255.0));
}

void addSaturated(uint8_t& sample, double amount) {
    sample = toByte(sample + amount);
}

// A star's light at one pixel, in its colour; less than half a level adds nothing.
void addStarLight(const Scene& scene, uint8_t* pixels, const Star& star, int x, int y,
                  double level) {
    if (level < 0.5) {
        return;
    }
    uint8_t* pixel = pixels + (static_cast<int64_t>(y) * scene.width + x) * 4;
    addSaturated(pixel[1], level * star.red);
    addSaturated(pixel[2], level * star.green);
    addSaturated(pixel[3], level * star.blue);
}

void drawSpot(const Scene& scene, uint8_t* pixels, const Star& star, double cosAngle,
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
            addStarLight(scene, pixels, star, x, y, star.peak * wx[i] * wy[j]);
        }
    }
}

// The streak a star draws while the shutter is open from angle from to angle to: at every
// pixel, the brightest its Gaussian reaches from any point of the arc, which is the Gaussian
// of the distance to the arc. So the axis keeps the star's peak all along, as a tracked
// star's would, and the ends fade as a spot does.
void drawStreak(const Scene& scene, uint8_t* pixels, const Star& star, double from, double to) {
    // The box holds the arc's points 2 pixels apart or closer; their chords stray from the
    // arc by far less than the pixel of margin added.
    const double radius = std::hypot(star.dx, star.dy);
    const int steps = 1 + static_cast<int>(std::ceil((to - from) * radius / 2.0));
    double left = scene.width, right = -1.0, top = scene.height, bottom = -1.0;
    for (int i = 0; i <= steps; ++i) {
        const Point at = starPosition(scene, star, from + (to - from) * i / steps);
        left = std::min(left, at.x);
        right = std::max(right, at.x);
        top = std::min(top, at.y);
        bottom = std::max(bottom, at.y);
    }
    // Past 3.6 spreads even the brightest star adds less than half a level.
    const double reach = std::ceil(3.6 * star.sigma) + 1.0;
    const int x0 = static_cast<int>(std::max(0.0, std::floor(left - reach)));
    const int x1 = static_cast<int>(std::min(scene.width - 1.0, std::ceil(right + reach)));
    const int y0 = static_cast<int>(std::max(0.0, std::floor(top - reach)));
    const int y1 = static_cast<int>(std::min(scene.height - 1.0, std::ceil(bottom + reach)));
    const double scale = -0.5 / (star.sigma * star.sigma);
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            // Hills stand in front of the sky; no point of the arc is nearer than its circle.
            if (y >= scene.horizon[x] ||
                std::abs(std::hypot(x - scene.poleX, y - scene.poleY) - radius) > reach) {
                continue;
            }
            const double d = distanceToArc(scene, star, from, to, x, y);
            addStarLight(scene, pixels, star, x, y, star.peak * std::exp(d * d * scale));
        }
    }
}

// Every star at its place in frame, turned about the pole as the night goes on: a spot, or
// with an exposure the streak of the frame's share of the turn.
void drawStars(const Scene& scene, uint8_t* pixels, int frame) {
    const double angle = scene.turn * frame;
    if (scene.exposure > 0.0) {
        const double end = scene.turn * (frame + scene.exposure);
        for (const Star& star : scene.stars) {
            drawStreak(scene, pixels, star, angle, end);
        }
        return;
    }
    const double cosAngle = std::cos(angle);
    const double sinAngle = std::sin(angle);
    for (const Star& star : scene.stars) {
        drawSpot(scene, pixels, star, cosAngle, sinAngle);
    }
}

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

}  // namespace

Scene buildScene(int width, int height, uint64_t seed, double turnDegrees, double exposure) {
    Scene scene;
    scene.width = width;
    scene.height = height;
    scene.turn = turnDegrees * kPi / 180.0;
    scene.exposure = exposure;
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
    if (exposure > 0.0) {
        // A bright white star on the pole: the one light besides the hot pixels that stays
        // put while the sky turns. Added after the others, which the seed places as before.
        scene.stars.push_back(
            {0.0, 0.0, 180.0, 0.55 + 1.3 * (180.0 / 255.0) * (180.0 / 255.0), 1.0, 1.0, 1.0});
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

Point starPosition(const Scene& scene, const Star& star, double angle) {
    const double cosAngle = std::cos(angle);
    const double sinAngle = std::sin(angle);
    return {scene.poleX + star.dx * cosAngle - star.dy * sinAngle,
            scene.poleY + star.dx * sinAngle + star.dy * cosAngle};
}

double distanceToArc(const Scene& scene, const Star& star, double from, double to, double x,
                     double y) {
    // Seen from the pole, a point whose direction lies within the arc's is nearest to the arc
    // point in that direction; any other is nearest to one of the ends.
    const double vx = x - scene.poleX;
    const double vy = y - scene.poleY;
    const double start = std::atan2(star.dy, star.dx) + from;
    const double along = std::remainder(std::atan2(vy, vx) - start, 2.0 * kPi);
    if (along >= 0.0 && along <= to - from) {
        return std::abs(std::hypot(vx, vy) - std::hypot(star.dx, star.dy));
    }
    const Point a = starPosition(scene, star, from);
    const Point b = starPosition(scene, star, to);
    return std::min(std::hypot(x - a.x, y - a.y), std::hypot(x - b.x, y - b.y));
}

// Camera-like frames. The scene (ridge, texture, sky) is rendered once; every frame then gets
// the turning stars and its own noise. Their random streams are separate from the plain
// frames', so those stay as they were. This raises the ridge (more foreground) and renders the
// still parts of every camera frame.
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

void frameHeader(Image& image, int width, int height) {
    image.width = width;
    image.height = height;
    image.bitsPerPixel = 32;
    image.bytesPerLine = int64_t{4} * width;
    image.dataSize = image.bytesPerLine * height;
    image.dataFormat = 0;
}

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

void lightFrame(const Scene& scene, Image& image, double flash, double dawn) {
    uint8_t* pixels = pixelData(image);
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

}  // namespace sample
