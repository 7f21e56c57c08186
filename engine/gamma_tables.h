// Preset gamma curves: entry i is the linear value of sample i; both end at 1.0.
#pragma once

extern const double kSrgbCurve[256];
extern const double kHighContrastCurve[256];
