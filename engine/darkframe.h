// Dark-frame subtraction in linear light.
//
// The dark frame is a 32-bit Image loaded by the stack run. A frame without pixels makes
// both operations do nothing; neither reports failure.
#pragma once

#include "engine/image.h"

// Scales the dark frame once by runOptions.darkFrameOpacity (only for 0 <= o < 1).
void prepareDarkFrame(Image& dark);
// Lowers the three linear samples by the dark frame's pixel (x, y), clamping at 0.
void subtractDarkFrame(const Image& dark, int x, int y, double& s1, double& s2, double& s3);
