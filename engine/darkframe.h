// The dark frame: loaded by the run like an input (in the run's layout), scaled once by its
// opacity, then subtracted in linear light by the fold (see Accumulator::fold).
#pragma once

#include "engine/image.h"
#include "engine/run.h"

// Scales the frame by the run's darkFrameOpacity in linear light and requantises it through
// the curve, only for 0 <= opacity < 1; out of range (or not a number) the frame is subtracted
// whole. A frame without pixels is left alone, and so is one in the 64-bit layout: the 16-bit
// fold scales its linear values by the opacity without re-encoding them.
void prepareDarkFrame(const RunContext& context, Image& dark);
