// The synthetic night of make-sample-sequence, as a model that programs and tests can query.
//
// A Scene follows from a seed and a frame size: stars placed around a pole, hot pixels, a
// ridge of hills and a sky gradient. Frames are rendered into 32-bit Images (filler R G B,
// 8-bit samples, bytesPerLine = 4 * width; frameHeader sets that up). The sky turns about the
// pole by Scene::turn radians per frame, so stars keep their distance from the pole and only
// their angle changes: frame k shows a star at angle turn * k from where frame 0 has it.
// Without an exposure each star is a round spot there. With one (0 < exposure <= 1), the
// shutter is open for that fraction of each frame's turn: the star is a streak along its arc
// from angle turn * k to turn * (k + exposure), its peak brightness all along the axis, and a
// star sits exactly on the pole, where it does not move. Stacked, such frames draw dashed
// trails, gaps of (1 - exposure) * turn * radius pixels between the frames' streaks.
// Everything follows from the seed: a frame renders to the same bytes every time. Nothing
// here fails or reports.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/image.h"

namespace sample {

constexpr double kPi = 3.14159265358979323846;

struct Star {
    double dx, dy;  // offset from the pole in frame 0
    double peak;    // brightness at the centre (on the axis of a streak), 0..255
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
    double turn = 0.0;      // radians per frame
    double exposure = 0.0;  // fraction of the turn each frame's streaks span; 0: spots
    std::vector<Star> stars;
    std::vector<HotPixel> hotPixels;
    std::vector<int> horizon;                        // first hill row of each column
    std::vector<uint8_t> skyRed, skyGreen, skyBlue;  // per row
};

// The scene of a seed. turnDegrees is the sky's turn per frame.
Scene buildScene(int width, int height, uint64_t seed, double turnDegrees = 0.25,
                 double exposure = 0.0);

struct Point {
    double x, y;
};
// Where the star is when the sky has turned by angle (radians) from frame 0.
Point starPosition(const Scene& scene, const Star& star, double angle);
// Distance in pixels from (x, y) to the star's path between the angles from and to (from <=
// to, less than a full turn apart): the streak's axis.
double distanceToArc(const Scene& scene, const Star& star, double from, double to, double x,
                     double y);

// Camera-like frames: a textured foreground under a higher ridge (buildCameraScene raises the
// scene's horizon), a sky with a glow, a faint band of light and vignetting, and noise in
// every sample (read noise plus shot noise growing with the level).
struct CameraScene {
    std::vector<uint8_t> base;  // red, green, blue of every pixel before stars and noise
    double readNoise = 0.0;     // standard deviation in sample units
    double shotGain = 0.0;      // variance added per unit of level
    std::vector<double> gauss;  // standard normal quantiles, indexed by 12 random bits
};
CameraScene buildCameraScene(Scene& scene, uint64_t seed);

// Header of a width x height frame in the layout the renderers write (pixels untouched).
void frameHeader(Image& image, int width, int height);
// Frame number frame (from 0); frame < 0 renders the dark frame (noise and hot pixels only).
// Every byte of the image is written.
void renderFrame(const Scene& scene, Image& image, uint64_t seed, int frame);
void renderCameraFrame(const Scene& scene, const CameraScene& camera, Image& image, uint64_t seed,
                       int frame);
// Light added on top of a rendered frame. flash (0..1) is headlights from the left: warm, and
// fading to a third across the frame; dawn (0..1) how far the sky has brightened.
void lightFrame(const Scene& scene, Image& image, double flash, double dawn);

}  // namespace sample
