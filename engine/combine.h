// The combine engine: accumulate input images in linear light, then finalise.
//
// The accumulator is the output Image with 256 bits per pixel: four doubles, slot 0 unused,
// slots 1..3 the running linear values of the red, green and blue samples. Inputs are in the
// 32-bit layout (filler R G B). Operations read the run's options from runOptions and the
// count of combined images from imageCounter. Results: 0 success, -1 failure (reported).
#pragma once

#include <cstdint>

#include "engine/image.h"

// Turns the output (holding a copy of the first input's header) into a zero-filled
// accumulator. -1 when the memory cannot be had (already reported).
int prepareAccumulator(Image& image);
// Folds one input into the accumulator: thresholds, linearisation, dark frame, combineFunc.
// The input's pixels are modified by the thresholds.
int combineImage(Image& output, Image& input, const Image& dark);
// Folds several inputs in one pass over the accumulator; each pixel takes them in the given
// order, so the sums equal combining them one by one.
constexpr int kMaxCombineBatch = 8;
int combineImages(Image& output, Image* const* inputs, int count, const Image& dark);
// The threshold filter on one 32-bit pixel, in place.
void applyThresholds(uint8_t* pixel);
void combineAdd(const double& newR, const double& newG, const double& newB, double& accR,
                double& accG, double& accB);
// Keeps the pixel whose three linear values sum higher; ties keep the stored one.
void combineBrighten(const double& newR, const double& newG, const double& newB, double& accR,
                     double& accG, double& accB);
// Divides where the mode asks for it and encodes back to the 32-bit layout (filler 255).
// -1 when nothing was combined.
int finalizeImage(Image& output);
